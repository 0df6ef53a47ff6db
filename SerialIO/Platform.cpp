#include "SerialIO/Platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

#include <mutex>
#include <optional>

#include "SerialIO/native/SerialNative.h"

namespace SerialIO {

namespace {

std::mutex& overrideMutex() {
    static std::mutex m;
    return m;
}
std::optional<std::string>& osOverride() {
    static std::optional<std::string> name;
    return name;
}

bool oneOf(const std::string& v, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (v == n) return true;
    return false;
}

}  // namespace

#ifdef _WIN32
// Windows: every Windows of today is of the NT family, so the name is "Windows NT" and the version
// the kernel's own "major.minor.build" (RtlGetVersion: GetVersionEx reports 6.2 to programs without
// a compatibility manifest). A Windows 10 or 11 machine (version 10.0.x, no runtime vendor) selects
// the table's plain "sioWin" row: the "1.0.2"/"102" rows and the "Microsoft Corp." rows describe
// runtimes this program does not run on.
PlatformFacts readPlatformFacts() {
    PlatformFacts facts;
    facts.osName = "Windows NT";
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
        auto get = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (get && get(&v) == 0)
            facts.version = std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) + "." +
                            std::to_string(v.dwBuildNumber);
    }
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: facts.arch = "x86_64"; break;
        case PROCESSOR_ARCHITECTURE_ARM64: facts.arch = "aarch64"; break;
        case PROCESSOR_ARCHITECTURE_INTEL: facts.arch = "x86"; break;
        default: break;
    }
    return facts;
}
#else
PlatformFacts readPlatformFacts() {
    PlatformFacts facts;
    struct utsname u {};
    if (uname(&u) == 0) {
        facts.osName = u.sysname;
        facts.arch = u.machine;
    }
    if (oneOf(facts.arch, {"i386", "i486", "i586", "i686"})) facts.arch = "x86";
    return facts;
}
#endif

std::string platformOsName() {
    {
        std::lock_guard<std::mutex> lock(overrideMutex());
        if (osOverride()) return *osOverride();
    }
    static const std::string sysname = readPlatformFacts().osName;
    return sysname;
}

void setOsNameForTesting(const std::string& osName) {
    std::lock_guard<std::mutex> lock(overrideMutex());
    if (osName.empty())
        osOverride().reset();
    else
        osOverride() = osName;
}

std::string selectLibrary(const PlatformFacts& f) {
    // Every matching row replaces the choice of an earlier one; only the Windows rows build on
    // each other, the other rows exclude one another by operating-system name.
    std::string name;
    const bool windows = oneOf(f.osName, {"Windows 95", "Windows NT"});
    if (windows) name = "sioWin";
    if (windows && oneOf(f.version, {"1.0.2", "102"})) name = "sioWinNm";
    const bool microsoft = windows && f.vendor == "Microsoft Corp.";
    if (microsoft) name = "sioWinRni";
    if (microsoft && f.version == "1.0.2") name = "sioWinRnia";
    if (f.osName == "Windows CE") name = "sioWce";
    if (f.osName == "OS/2") name = "sioos2j";
    if (f.osName == "Mac OS") name = "sioMac";
    if (f.osName == "Linux" && f.arch == "x86") name = "sioLux86";
    if (f.osName == "FreeBSD" && oneOf(f.arch, {"i386", "x86"})) name = "sioBsdx86";
    if (oneOf(f.osName, {"Solaris", "SunOS"}) && f.arch == "x86") name = "sioSolx86";
    if (oneOf(f.osName, {"Solaris", "SunOS"}) && f.arch == "sparc") name = "sioSolSparc";
    if (f.osName == "HP-UX" && f.arch == "PA-RISC") name = "sioHpxPaRisc";
    if (f.osName == "Irix" && f.arch == "mips") name = "sioIrxMips";
    if (f.osName == "AIX" && f.arch == "POWER_PC") name = "sioAixPpc";
    // Today's Linux machines.
    if (f.osName == "Linux" && oneOf(f.arch, {"x86_64", "amd64"})) name = "sioLuxAmd64";
    if (f.osName == "Linux" && oneOf(f.arch, {"aarch64", "arm64"})) name = "sioLuxArm64";
    if (f.osName == "Linux" && oneOf(f.arch, {"arm", "armhf", "armv6l", "armv7l", "armv8l"})) name = "sioLuxArm";
    return name;
}

FeatureProfile featureProfile(const std::string& osName) {
    FeatureProfile p;
    if (oneOf(osName, {"Windows 95", "Windows NT", "Windows 98", "OS/2"})) {
        p.supSigBreak = p.supSigFrameErr = p.supSigOverrun = p.supSigParityErr = p.supRxOverflow = true;
        p.supSigRing = p.supSigCTS = p.supSigDSR = p.supSigCD = p.supSetRTS = p.supSetDTR = true;
        p.supRxReadyCount = p.supTxBufCount = p.supSetTimeoutTx = p.supGetTimeoutTx = true;
        p.pollGetDataTimeout = false;
        p.devName = "COM1";
    } else if (osName == "Mac OS") {
        p.supSigBreak = p.supSigFrameErr = p.supSigOverrun = p.supSigParityErr = p.supRxOverflow = true;
        p.supSigCTS = p.supSetDTR = p.supRxReadyCount = true;
        p.supSetTimeoutTx = p.supGetTimeoutTx = true;
        p.pollGetDataTimeout = true;
        p.devName = "Modem Port";
    } else if (oneOf(osName, {"Linux", "FreeBSD", "Solaris", "HP/UX", "IRIX", "AIX"})) {
        p.supSigRing = p.supSigCTS = p.supSigDSR = p.supSigCD = p.supSetRTS = p.supSetDTR = true;
        p.supRxReadyCount = p.supTxBufCount = true;
        p.pollGetDataTimeout = true;
        p.devName = "/dev/tty0";
        if (osName == "Linux") p.devName = "/dev/ttyS0";
        if (osName == "Solaris") p.devName = "/dev/ttya";
    }
    return p;
}

std::unique_ptr<SerialNative> loadNativeLibrary(const std::string& name, std::string& error) {
    struct Entry {
        const char* name;
        std::unique_ptr<SerialNative> (*make)();
    };
    // The native libraries this build contains: every Linux build is served by termios, the
    // Windows build by the Win32 library.
    static const Entry registry[] = {
#ifdef _WIN32
        {"sioWin", &makeWin32Native},
#else
        {"sioLux86", &makeTermiosNative},
        {"sioLuxAmd64", &makeTermiosNative},
        {"sioLuxArm64", &makeTermiosNative},
        {"sioLuxArm", &makeTermiosNative},
#endif
    };
    for (const Entry& e : registry)
        if (name == e.name) return e.make();
    error = "no native library " + name + " in this build";
    return nullptr;
}

}  // namespace SerialIO
