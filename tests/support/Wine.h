#pragma once
// Whether this Windows test program runs under Wine, for the few places where Wine is known to
// behave unlike Windows (each use says how).
#ifdef _WIN32
#include <windows.h>
#endif

inline bool runningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
