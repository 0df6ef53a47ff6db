#pragma once
// The layout of the configuration record and its code tables, shared by the server's decoder
// (KIVO::InterpretCFG) and the configuration tool, so that both read the same bytes the same way.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ConfigCodes {

// Positions of the settings in the record; the rest of the file is ignored.
inline constexpr int OFS_COMPORT = 0;     // serial port: 0 to 8 give COM1 to COM9, 0xFF gives COM0 (none)
inline constexpr int OFS_DEVTYPE = 1;     // DEVTYPE_KIVO16 selects the 16-input selector
inline constexpr int OFS_PORTOFFSET = 2;  // signed offset added to BASE_PORT
inline constexpr int OFS_TIMELIMIT = 3;   // session time limit code, see sessionMinutes
inline constexpr int OFS_AUTOACCEPT = 4;  // 0 = accept clients automatically, anything else = off
inline constexpr int OFS_OUTMODE = 5;     // initial output routing, index into outputChoices
inline constexpr int RECORD_SIZE = 6;     // the bytes that carry a meaning

inline constexpr uint8_t DEVTYPE_KIVO16 = 0x50;  // the letter P
inline constexpr uint8_t NO_SERIAL = 0xFF;       // gives "COM0": no serial port wanted
inline constexpr int BASE_PORT = 3001;
inline constexpr int MIN_PORT = BASE_PORT - 128;
inline constexpr int MAX_PORT = BASE_PORT + 127;
inline constexpr int MIN_COM = 1;
inline constexpr int MAX_COM = 9;

// Session time limit in minutes (0 = no limit), indexed by the code at OFS_TIMELIMIT.
inline constexpr std::array<int, 7> sessionMinutes = {0, 1, 5, 10, 15, 30, 60};

// The output-routing choices, indexed by the value at OFS_OUTMODE.
inline constexpr std::array<std::string_view, 3> outputChoices = {
    "Route input to output #1", "Route input to output #2", "Route input to both outputs"};

// Minutes for a session time limit code; no value for an unknown code.
constexpr std::optional<int> minutesForCode(uint8_t code) {
    if (code < sessionMinutes.size()) return sessionMinutes[code];
    return std::nullopt;
}

// The code that stores a number of minutes; no value when the record cannot hold it.
constexpr std::optional<uint8_t> codeForMinutes(int minutes) {
    for (std::size_t i = 0; i < sessionMinutes.size(); ++i)
        if (sessionMinutes[i] == minutes) return static_cast<uint8_t>(i);
    return std::nullopt;
}

// The routing value stored at OFS_OUTMODE (a signed byte); values without a choice fall back to 0.
constexpr int outmodeForByte(uint8_t b) {
    const int v = static_cast<int8_t>(b);
    return (v >= 0 && v < static_cast<int>(outputChoices.size())) ? v : 0;
}

}  // namespace ConfigCodes
