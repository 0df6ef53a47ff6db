#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "FakeNative.h"
#include "SerialIO/Platform.h"
#include "SerialIO/SerialConfig.h"
#include "SerialIO/SerialPortLocal.h"
#include "SerialIO/native/PortNames.h"
#include "SerialIO/native/SerialNative.h"

using namespace SerialIO;

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

template <class F>
std::string invalidArgument(F f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(nothing raised)";
}
}  // namespace

TEST(SerialConfig, ConstructorsSetTheirFields) {
    SerialConfig plain;
    EXPECT_EQ(plain.getPortName(), bytes("COM1"));
    EXPECT_EQ(plain.getBaseName(), bytes("/dev/ttyS"));
    EXPECT_EQ(plain.getPort(), 0);

    SerialConfig numbered(-3);  // numeric constructors do not check
    EXPECT_EQ(numbered.getPort(), -3);
    EXPECT_EQ(numbered.getPortName(), std::vector<uint8_t>{0});

    SerialConfig sized(2, 100, 200);
    EXPECT_EQ(sized.getTxLen(), 100);
    EXPECT_EQ(sized.getRxLen(), 200);

    SerialConfig named("COM2");
    EXPECT_EQ(named.getPortName(), bytes("COM2"));
    EXPECT_EQ(named.getBaseName(), std::vector<uint8_t>{0});
    EXPECT_EQ(named.getPort(), 0);
    EXPECT_TRUE(named.getHardFlow());
    EXPECT_EQ(named.getTxLen(), 2048);
    EXPECT_EQ(named.getRxLen(), 4096);
    EXPECT_EQ(named.getBitRate(), SerialConfig::BR_9600);
    EXPECT_EQ(named.getDataBits(), SerialConfig::LN_8BITS);
#ifdef _WIN32
    EXPECT_EQ(named.getOsName(), "Windows NT");
#else
    EXPECT_EQ(named.getOsName(), "Linux");
#endif
}

#ifdef _WIN32
// Port names in any case, as Windows takes them; messages name the port the operator named.
TEST(Win32Ports, NamesInAnyCaseAndShownAsTheOperatorNamesThem) {
    const auto native = makeWin32Native();
    SerialConfig lower("com97");  // no such port: the open fails on the device path
    EXPECT_NE(native->SerOpenPort(lower), 0);
    EXPECT_NE(native->SerLastError().find("CreateFileA(\\\\.\\COM97)"), std::string::npos) << native->SerLastError();
    mapPortName("COM98", "com97");
    EXPECT_EQ(native->SerDevicePath(SerialConfig("COM98")), "COM97");
}
#endif

TEST(SerialConfig, SettersRefuseBadValuesAndKeepTheOldOne) {
    SerialConfig c("COM1");
    c.setBitRate(11);
    EXPECT_EQ(invalidArgument([&] { c.setBitRate(12); }), "Invalid Serial Port Bit Rate");
    EXPECT_EQ(invalidArgument([&] { c.setBitRate(-1); }), "Invalid Serial Port Bit Rate");
    EXPECT_EQ(c.getBitRate(), 11);
    c.setParity(SerialConfig::PY_EVEN);
    EXPECT_EQ(invalidArgument([&] { c.setParity(SerialConfig::PY_MARK); }), "Invalid Serial Port Parity");
    EXPECT_EQ(c.getParity(), 2);
    EXPECT_EQ(invalidArgument([&] { c.setDataBits(4); }), "Invalid Serial Port Data Bits");
    EXPECT_EQ(invalidArgument([&] { c.setStopBits(2); }), "Invalid Serial Port Stop Bits");
    c.setPortNum(0);
    EXPECT_EQ(invalidArgument([&] { c.setPortNum(-5); }), "Invalid Port Number: -5");
    EXPECT_EQ(c.getPortName(), bytes("COM1"));  // setPortNum leaves the name alone
    for (int ok : {0, 1, 2, 16, 17, 240}) EXPECT_NO_THROW(c.setHandshake(ok)) << ok;
    for (int bad : {4, 15, 241, -1}) EXPECT_EQ(invalidArgument([&] { c.setHandshake(bad); }), "Invalid Serial Port Handshake");
    EXPECT_EQ(c.getHandshake(), 240);
}

TEST(SerialConfig, DsrDtrHandshakeOnlyWherePlatformOffersIt) {
    setOsNameForTesting("Linux");
    EXPECT_EQ(invalidArgument([] { SerialConfig("COM1").setHandshake(3); }),
              "DSRDTR handshaking not available on this platform");
    setOsNameForTesting("Windows 98");
    SerialConfig win("COM1");
    EXPECT_NO_THROW(win.setHandshake(3));
    setOsNameForTesting("windows 98");
    EXPECT_EQ(invalidArgument([] { SerialConfig("COM1").setHandshake(3); }),
              "DSRDTR handshaking not available on this platform");
    setOsNameForTesting("");
}

TEST(SerialConfig, CopyIsIndependent) {
    SerialConfig a("COM4");
    a.setParity(1);
    SerialConfig b = a.copy();
    EXPECT_EQ(b.getParity(), 1);
    EXPECT_EQ(b.getPortName(), bytes("COM4"));
    b.setParity(2);
    b.setPortName("COM9");
    b.setPortNum(9);
    EXPECT_EQ(a.getParity(), 1);
    EXPECT_EQ(a.getPortName(), bytes("COM4"));
    EXPECT_EQ(a.getPort(), 0);
}

TEST(LibrarySelection, TableRows) {
    struct Row {
        PlatformFacts facts;
        const char* library;
    };
    const Row rows[] = {
        {{"Windows NT", "1.0.2", "Microsoft Corp.", "x86"}, "sioWinRnia"},
        {{"Windows NT", "1.0.2", "Other Inc.", "x86"}, "sioWinNm"},
        {{"Windows NT", "1.1", "Other Inc.", "x86"}, "sioWin"},
        {{"Windows 95", "102", "Microsoft Corp.", "x86"}, "sioWinRni"},
        {{"Windows 95", "", "", ""}, "sioWin"},
        // A Windows 10 or 11 machine as this program reads it: no runtime vendor, kernel version 10.0.
        {{"Windows NT", "10.0.22631", "", "x86_64"}, "sioWin"},
        {{"Windows CE", "", "", "arm"}, "sioWce"},
        {{"OS/2", "", "", "x86"}, "sioos2j"},
        {{"Mac OS", "", "", "PowerPC"}, "sioMac"},
        {{"Linux", "", "", "x86"}, "sioLux86"},
        {{"Linux", "", "", "i386"}, ""},
        {{"FreeBSD", "", "", "i386"}, "sioBsdx86"},
        {{"FreeBSD", "", "", "x86"}, "sioBsdx86"},
        {{"SunOS", "", "", "sparc"}, "sioSolSparc"},
        {{"Solaris", "", "", "x86"}, "sioSolx86"},
        {{"HP-UX", "", "", "PA-RISC"}, "sioHpxPaRisc"},
        {{"Irix", "", "", "mips"}, "sioIrxMips"},
        {{"AIX", "", "", "POWER_PC"}, "sioAixPpc"},
        {{"Windows 98", "", "", "x86"}, ""},
        {{"Linux", "", "", "x86_64"}, "sioLuxAmd64"},
        {{"Linux", "", "", "amd64"}, "sioLuxAmd64"},
        {{"Linux", "", "", "aarch64"}, "sioLuxArm64"},
        {{"Linux", "", "", "armv7l"}, "sioLuxArm"},
        {{"Linux", "", "", "riscv64"}, ""},
        {{"linux", "", "", "x86_64"}, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(selectLibrary(r.facts), r.library) << r.facts.osName << " / " << r.facts.arch;
    EXPECT_FALSE(selectLibrary(readPlatformFacts()).empty()) << "this machine must have a library";
}

TEST(LibrarySelection, OnlyThisSystemsLibrariesAreContained) {
    std::string error;
#ifdef _WIN32
    EXPECT_NE(loadNativeLibrary("sioWin", error), nullptr);
    EXPECT_EQ(loadNativeLibrary("sioWinRni", error), nullptr);
    EXPECT_EQ(loadNativeLibrary("sioLuxAmd64", error), nullptr);
    EXPECT_NE(error.find("sioLuxAmd64"), std::string::npos);
    const PlatformFacts facts = readPlatformFacts();
    EXPECT_EQ(facts.osName, "Windows NT");
    EXPECT_EQ(std::count(facts.version.begin(), facts.version.end(), '.'), 2) << "major.minor.build: " << facts.version;
    EXPECT_EQ(selectLibrary(facts), "sioWin");
#else
    EXPECT_NE(loadNativeLibrary("sioLuxAmd64", error), nullptr);
    EXPECT_NE(loadNativeLibrary("sioLuxArm", error), nullptr);
    EXPECT_EQ(loadNativeLibrary("sioWin", error), nullptr);
    EXPECT_NE(error.find("sioWin"), std::string::npos);
#endif
}

TEST(LibrarySelectionDeathTest, ClassLoadedLineOncePerProcess) {
#ifdef _WIN32
    // GoogleTest's simple expressions on Windows; the console line ends with CR LF there.
    const char* kLoadedLine = "^SerialPort class loaded: sioWin\\s*$";
#else
    const char* kLoadedLine = "^SerialPort class loaded: sioLux[A-Za-z0-9]+\n$";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);  // the console line goes to stdout; the death test reads stderr
            SerialPortLocal a;
            SerialPortLocal b;
            std::exit(0);
        },
        testing::ExitedWithCode(0), kLoadedLine);
}

TEST(FeatureProfile, Groups) {
    const FeatureProfile w = featureProfile("Windows 95");
    EXPECT_TRUE(w.supSigBreak && w.supSigRing && w.supTxBufCount && w.supSetTimeoutTx && w.supGetTimeoutTx);
    EXPECT_FALSE(w.pollGetDataTimeout);
    EXPECT_EQ(w.devName, "COM1");

    const FeatureProfile m = featureProfile("Mac OS");
    EXPECT_TRUE(m.supSigBreak && m.supSigCTS && m.supSetDTR && m.supRxReadyCount && m.supSetTimeoutTx);
    EXPECT_FALSE(m.supSigRing || m.supSigDSR || m.supSigCD || m.supSetRTS || m.supTxBufCount);
    EXPECT_TRUE(m.pollGetDataTimeout);
    EXPECT_EQ(m.devName, "Modem Port");

    const FeatureProfile l = featureProfile("Linux");
    EXPECT_TRUE(l.supSigRing && l.supSigCTS && l.supSigDSR && l.supSigCD && l.supSetRTS && l.supSetDTR &&
                l.supRxReadyCount && l.supTxBufCount && l.pollGetDataTimeout);
    EXPECT_FALSE(l.supSigBreak || l.supSigFrameErr || l.supRxOverflow || l.supSetTimeoutTx || l.supGetTimeoutTx);
    EXPECT_EQ(l.devName, "/dev/ttyS0");
    EXPECT_EQ(featureProfile("FreeBSD").devName, "/dev/tty0");
    EXPECT_TRUE(featureProfile("FreeBSD").pollGetDataTimeout);
    EXPECT_EQ(featureProfile("Solaris").devName, "/dev/ttya");
    EXPECT_TRUE(featureProfile("Solaris").pollGetDataTimeout);

    const FeatureProfile none = featureProfile("SunOS");
    EXPECT_FALSE(none.supSigCTS || none.supRxReadyCount || none.pollGetDataTimeout);
    EXPECT_EQ(none.devName, "");
}

TEST_F(FakeNativeTest, IsSupportedByFeatureName) {
    useOs("Mac OS");
    SerialPortLocal mac;
    EXPECT_FALSE(mac.isSupported("sigRing"));
    EXPECT_TRUE(mac.isSupported("sigCTS"));
    EXPECT_TRUE(mac.isSupported("getTimeoutTx"));
    EXPECT_TRUE(mac.isSupported("SIGRING"));
    EXPECT_EQ(mac.getPortName(), "Modem Port");
    useOs("Linux");
    SerialPortLocal lux;
    EXPECT_FALSE(lux.isSupported("setTimeoutTx"));
    EXPECT_TRUE(lux.isSupported("txBufCount"));
    EXPECT_EQ(lux.getPortName(), "/dev/ttyS0");
    EXPECT_EQ(lux.getName(7), "Not implemented");
    EXPECT_EQ(lux.getPortNum(), -1);
    EXPECT_FALSE(lux.isOpen());
}
