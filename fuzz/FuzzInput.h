#pragma once
// Reads typed values off the front of a fuzzer's input; once the input is used up every value is 0.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - pos_; }

    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

    int32_t int32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return static_cast<int32_t>(v);
    }

    // A text of up to maxLength bytes, its length taken from the input first.
    std::string text(size_t maxLength) {
        size_t n = byte() % (maxLength + 1);
        if (n > remaining()) n = remaining();
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

    // Everything not yet read.
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(data_ + pos_), remaining());
        pos_ = size_;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A broken invariant: says which one and stops the process, so the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) fail(what, detail);
}

}  // namespace fuzz
