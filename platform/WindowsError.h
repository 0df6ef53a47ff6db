#pragma once
// The system's English text for a Windows error code (GetLastError(), WSAGetLastError()), without
// the trailing full stop and line end; "system error N" when the system has none.
#ifdef _WIN32
#include <windows.h>

#include <string>

namespace platform {

inline std::string windowsErrorText(unsigned long error) {
    char text[512] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                   MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    if (s.empty()) s = "system error " + std::to_string(error);
    return s;
}

}  // namespace platform
#endif
