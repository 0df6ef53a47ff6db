// The byte/hex text conversions on arbitrary input:
//   C2B maps every character to 0..15, hex digits of either case to their value;
//   BS2S gives exactly two upper-case hex digits per byte, for the first `count` bytes only;
//   S2BS gives size/2 bytes, each one the value of its character pair (at least for the first 15),
//   and turns BS2S's text back into the bytes it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/KIVO.h"
#include "fuzz/FuzzInput.h"

namespace {

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

void checkS2BS(const std::string& text) {
    const std::vector<uint8_t> bytes = KIVO::S2BS(text);
    fuzz::check(bytes.size() == text.size() / 2, "S2BS length", std::to_string(text.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int pair = digitValue(text[2 * i]) * 16 + digitValue(text[2 * i + 1]);
        // Past the 15th byte a converter may stop converting; it then leaves zeros.
        const bool ok = bytes[i] == pair || (i >= 15 && bytes[i] == 0);
        fuzz::check(ok, "S2BS byte", std::to_string(i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int mode = in.byte() % 3;
    const std::string text = in.rest();

    for (char c : text) {
        const int v = KIVO::C2B(c);
        fuzz::check(v >= 0 && v <= 15, "C2B range");
        fuzz::check(v == digitValue(c), "C2B value", std::string(1, c));
    }

    if (mode == 0) {
        checkS2BS(text);
        return 0;
    }

    const std::vector<uint8_t> bytes(text.begin(), text.end());
    // Counts from below zero to past the end: the converter never reads beyond the array.
    const int count = mode == 1 ? static_cast<int>(bytes.size())
                                : static_cast<int>(bytes.empty() ? -1 : bytes[0]) - 8;
    const std::string hex = KIVO::BS2S(bytes, count);
    const size_t used = count <= 0 ? 0 : std::min<size_t>(count, bytes.size());
    fuzz::check(hex.size() == 2 * used, "BS2S length", std::to_string(count));
    fuzz::check(std::all_of(hex.begin(), hex.end(), isUpperHex), "BS2S digits");
    for (size_t i = 0; i < used; ++i) {
        fuzz::check(KIVO::C2B(hex[2 * i]) == bytes[i] >> 4, "BS2S high digit");
        fuzz::check(KIVO::C2B(hex[2 * i + 1]) == (bytes[i] & 0x0F), "BS2S low digit");
    }

    // Round trip: the text of up to 15 bytes converts back to the same bytes.
    const std::vector<uint8_t> back = KIVO::S2BS(hex);
    fuzz::check(back.size() == used, "round trip length");
    for (size_t i = 0; i < std::min<size_t>(used, 15); ++i)
        fuzz::check(back[i] == bytes[i], "round trip byte", std::to_string(i));
    checkS2BS(hex);
    return 0;
}
