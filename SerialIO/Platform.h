#pragma once
// Platform facts, the choice of native serial library per platform, and the capability profile
// of a port per operating system. The choice and the profile are pure functions so that they can
// be checked with made-up platform facts.
#include <memory>
#include <string>

namespace SerialIO {

class SerialNative;

struct PlatformFacts {
    std::string osName;   // "Linux", "Windows NT", ...
    std::string version;  // runtime version text
    std::string vendor;   // runtime vendor name
    std::string arch;     // "x86", "x86_64", "aarch64", "sparc", ...
};

// Facts of this machine: uname's sysname and machine (32-bit PC names i386..i686 reported as
// "x86"); this program has no runtime vendor or version, so both are empty. On Windows: "Windows NT",
// the kernel's version "major.minor.build" and the processor ("x86_64", "aarch64", "x86").
PlatformFacts readPlatformFacts();

// The operating-system name used by every configuration and port (uname's sysname), unless a
// test has replaced it.
std::string platformOsName();
// Replaces the operating-system name for the records and ports made afterwards; "" restores it.
void setOsNameForTesting(const std::string& osName);

// Name of the native serial library for these facts, "" when the platform has none.
std::string selectLibrary(const PlatformFacts& facts);

struct FeatureProfile {
    bool supSigBreak = false;
    bool supSigFrameErr = false;
    bool supSigOverrun = false;
    bool supSigParityErr = false;
    bool supRxOverflow = false;
    bool supSigRing = false;
    bool supSigCTS = false;
    bool supSigDSR = false;
    bool supSigCD = false;
    bool supSetRTS = false;
    bool supSetDTR = false;
    bool supRxReadyCount = false;
    bool supTxBufCount = false;
    bool supSetTimeoutTx = false;
    bool supGetTimeoutTx = false;
    bool pollGetDataTimeout = false;
    std::string devName;
};

// Capabilities, polling mode and default device of a port on the named operating system.
FeatureProfile featureProfile(const std::string& osName);

// Finds a native library built into this program by name. On failure returns null and sets
// error to the loader's description of the failure.
std::unique_ptr<SerialNative> loadNativeLibrary(const std::string& name, std::string& error);

}  // namespace SerialIO
