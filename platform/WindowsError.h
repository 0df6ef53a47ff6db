#pragma once
// The system's English text for a Windows error code (GetLastError(), WSAGetLastError()), or its text in
// the system's language where English is not installed, without the trailing full stop and line end;
// "system error N" when the system has none.
#ifdef _WIN32
#include <windows.h>

#include <string>

namespace platform {

inline std::string windowsErrorText(unsigned long error) {
    char text[512] = "";
    const auto lookUp = [&](DWORD language) {
        return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, language,
                              text, sizeof text, nullptr);
    };
    // A Windows without English messages has the text in its own language only.
    DWORD n = lookUp(MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT));
    if (n == 0) n = lookUp(0);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    if (s.empty()) s = "system error " + std::to_string(error);
    return s;
}

}  // namespace platform
#endif
