#include "SerialIO/SerialPortLocal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "SerialIO/FlowControlTask.h"
#include "SerialIO/native/SerialNative.h"

namespace SerialIO {

namespace {

// Stands in for a native library that could not be loaded: no port opens, every call fails.
class MissingNative final : public SerialNative {
public:
    explicit MissingNative(std::string libName) : text("native library " + std::move(libName) + " not loaded") {}
    int SerGetLibVer() override { return -1; }
    int SerOpenPort(SerialConfig&) override { return 1004; }
    int SerConfigure(const SerialConfig&) override { return 1004; }
    int SerClosePort(int) override { return -1; }
    int SerPutByte(int, int) override { return -1; }
    int SerPutData(int, const uint8_t*, int) override { return -1; }
    int SerGetByte(int) override { return -1; }
    int SerGetData(int, uint8_t*, int) override { return -1; }
    int SerRxFlush(int) override { return -1; }
    int SerTxFlush(int) override { return -1; }
    int SerTxDrain(int) override { return -1; }
    int SerRxReadyCount(int) override { return -1; }
    int SerTxBufCount(int) override { return -1; }
    int SerRxOverflow(int) override { return -1; }
    int SerSetDTR(int, int) override { return -1; }
    int SerSetRTS(int, int) override { return -1; }
    int SerSendBreak(int, int) override { return -1; }
    int SerSetTimeoutRx(int, int) override { return -1; }
    int SerSetTimeoutTx(int, int) override { return -1; }
    int SerGetTimeoutRx(int) override { return -1; }
    int SerGetTimeoutTx(int) override { return -1; }
    int SerSigCTS(int) override { return -1; }
    int SerSigDSR(int) override { return -1; }
    int SerSigCD(int) override { return -1; }
    int SerSigFrameErr(int) override { return -1; }
    int SerSigParityErr(int) override { return -1; }
    int SerSigOverrun(int) override { return -1; }
    int SerSigRing(int) override { return -1; }
    int SerSigBreak(int) override { return -1; }
    int SerFlowTask(int) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return -1;
    }
    std::string SerLastError() override { return text; }

private:
    const std::string text;
};

std::once_flag classInitOnce;
std::atomic<SerialNative*> processLib{nullptr};  // made once, kept for the whole process
std::atomic<SerialNative*> testLib{nullptr};

// Picks the native library for this platform and loads it, once per process. A platform with no
// library ends the process.
void classInit() {
    std::call_once(classInitOnce, [] {
        const PlatformFacts facts = readPlatformFacts();
        const std::string libName = selectLibrary(facts);
        if (libName.empty()) {
            consoleLine("Platform not supported");
            std::exit(1);
        }
        std::string error;
        std::unique_ptr<SerialNative> loaded = loadNativeLibrary(libName, error);
        if (loaded) {
            processLib = loaded.release();
            consoleLine("SerialPort class loaded: " + libName);
        } else {
            processLib = new MissingNative(libName);
            consoleLine(error + ": Check that native library " + libName + " is in proper directory");
        }
    });
}

// The polling wait measures on the monotonic clock at full resolution, so that a wait of t ms
// never ends early by a fraction of a millisecond.
using Clock = std::chrono::steady_clock;

}  // namespace

int SerialNative::SerDeviceLost(int, std::string*) { return 0; }

namespace {
std::atomic<void (*)()> writeWaitNotice{nullptr};
}

void setWriteWaitNotice(void (*notice)()) { writeWaitNotice.store(notice); }

void noticeWriteWait() {
    if (const auto notice = writeWaitNotice.load()) notice();
}

std::string SerialNative::SerDevicePath(const SerialConfig& cfg) {
    const std::vector<uint8_t>& name = cfg.getPortName();
    return std::string(name.begin(), std::find(name.begin(), name.end(), uint8_t{0}));
}

void SerialPortLocal::setNativeForTesting(SerialNative* native) { testLib.store(native); }

void SerialPortLocal::initCommon() {
    classInit();
    SerialNative* injected = testLib.load();
    lib = injected ? injected : processLib.load();
    osName = platformOsName();
    featureSetup();
}

SerialPortLocal::SerialPortLocal() {
    initCommon();
    config = std::make_shared<SerialConfig>(caps.devName);
}

SerialPortLocal::SerialPortLocal(std::shared_ptr<SerialConfig> cfg) {
    if (!cfg) throw std::invalid_argument("SerialPortLocal: no configuration");
    initCommon();
    config = std::move(cfg);
    open();
}

SerialPortLocal::~SerialPortLocal() { finalize(); }

void SerialPortLocal::finalize() noexcept {
    try {
        stopFlowControl();
    } catch (...) {
    }
    try {
        close();
    } catch (...) {
    }
}

void SerialPortLocal::featureSetup() { caps = featureProfile(osName); }

bool SerialPortLocal::isSupported(const std::string& feature) {
    if (feature == "sigBreak") return caps.supSigBreak;
    if (feature == "sigFrameErr") return caps.supSigFrameErr;
    if (feature == "sigOverrun") return caps.supSigOverrun;
    if (feature == "sigParityErr") return caps.supSigParityErr;
    if (feature == "rxOverflow") return caps.supRxOverflow;
    if (feature == "sigRing") return caps.supSigRing;
    if (feature == "sigCTS") return caps.supSigCTS;
    if (feature == "sigDSR") return caps.supSigDSR;
    if (feature == "sigCD") return caps.supSigCD;
    if (feature == "setRTS") return caps.supSetRTS;
    if (feature == "setDTR") return caps.supSetDTR;
    if (feature == "rxReadyCount") return caps.supRxReadyCount;
    if (feature == "txBufCount") return caps.supTxBufCount;
    if (feature == "setTimeoutTx") return caps.supSetTimeoutTx;
    return true;
}

IOException SerialPortLocal::deviceFailure(const std::string& message) {
    const SerialNative::Failure failure = lib->SerLastFailure();
    return IOException(message, lib->SerLastError(), failure.device, failure.errnum);
}

// ---- lifecycle ----

void SerialPortLocal::open() {
    if (osName != "Windows 95") config->setHardFlow(false);
    const int r = SerOpenPort(*config);
    if (r != 0) {
        if (r == 1000) throw deviceFailure("SerOpenPort failed: Port is already open");
        if (r == 1002) throw deviceFailure("SerOpenPort failed: Port is in use");
        if (r == 1003) throw deviceFailure("SerOpenPort failed: Port not valid");
        throw deviceFailure("SerOpenPort failed: " + std::to_string(r));
    }
    isOpen_ = true;
    port = config->getPort() - 1;
    try {
        configure(*config);
        if (osName == "Mac OS") {
            setTimeoutRx(2000);
            setTimeoutTx(2000);
        } else {
            setTimeoutRx(0);
            if (caps.supSetTimeoutTx) setTimeoutTx(0);
        }
    } catch (...) {
        // The library has the port open: close it so that no handle is left behind.
        try {
            close();
        } catch (...) {
        }
        throw;
    }
}

void SerialPortLocal::configure() { configure(*config); }

void SerialPortLocal::configure(const SerialConfig& cfg) {
    if (flowControl) {
        flowControl->stop();
        flowControl.reset();
    }
    const int r = SerConfigure(cfg);
    if (r != 0) throw deviceFailure("Configure failed: " + std::to_string(r));
    const int hs = cfg.getHandshake();
    if (cfg.getHardFlow() && osName == "Windows 95" && (hs == SerialConfig::HS_CTSRTS || hs == SerialConfig::HS_DSRDTR) &&
        !flowControl) {
        flowControl = std::make_unique<FlowControlTask>(*this);
        flowControl->start();
    }
}

void SerialPortLocal::setConfig(std::shared_ptr<SerialConfig> cfg) {
    if (!cfg) throw std::invalid_argument("SerialPortLocal: no configuration");
    config = std::move(cfg);
}

std::shared_ptr<SerialConfig> SerialPortLocal::getConfig() { return config; }

void SerialPortLocal::stopFlowControl() {
    if (flowControl) flowControl->stop();
}

void SerialPortLocal::close() {
    stopFlowControl();
    const int p = port;
    if (p >= 0) {
        if (SerClosePort(p) != 0) throw IOException("ClosePort failed", lib->SerLastError());
        isOpen_ = false;
        port = -1;
    }
}

void SerialPortLocal::reset() {
    close();
    const int r = SerOpenPort(*config);
    if (r != 0) throw deviceFailure("reset: SerOpenPort failed: " + std::to_string(r));
    port = config->getPort() - 1;
    isOpen_ = true;
    configure(*config);
}

// ---- the put family: no open test; a closed port hands index -1 to the library ----

void SerialPortLocal::putByte(uint8_t b) {
    if (SerPutByte(port, b) != 0) throw IOException("PutByte failed", lib->SerLastError());
}

void SerialPortLocal::putString(const std::string& s) {
    const std::vector<uint8_t> bytes(s.begin(), s.end());
    const int n = static_cast<int>(bytes.size());
    if (n == 0) return;
    const int sent = SerPutData(port, bytes, n);
    if (sent != n)
        throw IOException("PutString: sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes",
                          lib->SerLastError());
}

void SerialPortLocal::putData(const std::vector<uint8_t>& buf) {
    const int n = static_cast<int>(buf.size());
    if (n == 0) return;
    const int sent = SerPutData(port, buf, n);
    if (sent != n)
        throw IOException("PutData1: Sent only " + std::to_string(sent) + " of " + std::to_string(n) + " bytes",
                          lib->SerLastError())
            .withWritten(sent);
}

void SerialPortLocal::putData(const std::vector<uint8_t>& buf, int count) {
    if (count < 0 || static_cast<size_t>(count) > buf.size()) throw IOException("putData: count out of bounds");
    const int sent = SerPutData(port, buf, count);
    if (sent != count)
        throw IOException("PutData2: Sent only " + std::to_string(sent) + " of " + std::to_string(count) + " bytes",
                          lib->SerLastError())
            .withWritten(sent);
}

void SerialPortLocal::putData(const std::vector<uint8_t>& buf, int offset, int count) {
    // Computed in 64 bits so that a huge offset cannot wrap around and pass the test.
    if (static_cast<long long>(offset) + count > static_cast<long long>(buf.size()))
        throw IOException("putData3: count out of bounds");
    if (offset < 0 || count < 0) throw std::out_of_range("putData: offset or count negative");
    const std::vector<uint8_t> part(buf.begin() + offset, buf.begin() + offset + count);
    const int sent = SerPutData(port, part, count);
    if (sent != count)
        throw IOException("Sent only " + std::to_string(sent) + " of " + std::to_string(count) + " bytes",
                          lib->SerLastError())
            .withWritten(sent);
}

// ---- reading ----

int SerialPortLocal::getByte() {
    const int p = port;
    if (p < 0) throw IOException("getByte: Port not open");
    if (caps.pollGetDataTimeout && SerGetTimeoutRx(p) > 0) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SerGetTimeoutRx(p));
        for (;;) {
            if (SerRxReadyCount(p) > 0) return SerGetByte(p);
            const Clock::time_point t = Clock::now();
            std::this_thread::yield();
            if (!(deadline > t)) return -1;
        }
    }
    return SerGetByte(p);
}

int SerialPortLocal::getData(std::vector<uint8_t>& buf) {
    const int p = port;
    const int n = static_cast<int>(buf.size());
    if (caps.pollGetDataTimeout && SerGetTimeoutRx(p) > 0) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SerGetTimeoutRx(p));
        int ready;
        while ((ready = SerRxReadyCount(p)) < n) {
            const Clock::time_point t = Clock::now();
            std::this_thread::yield();
            if (!(deadline > t)) break;
        }
        // The time-out has been waited for once: when nothing came, the library's read (which waits
        // for the same time-out when nothing is there) is not asked to wait again.
        if (ready == 0 && n > 0) return 0;
    }
    const int r = SerGetData(p, buf, n);
    if (r == -1) throw IOException("getData: failed", lib->SerLastError());
    return r;
}

int SerialPortLocal::getData(std::vector<uint8_t>* buf, int offset, int len) {
    if (!buf) return 0;
    if (len < 0) throw IOException("getData: count out of bounds");
    // Every bound is checked before anything is read: bytes taken from the line are never dropped.
    if (offset < 0 || static_cast<long long>(offset) + len > static_cast<long long>(buf->size()))
        throw std::out_of_range("getData: " + std::to_string(len) + " bytes do not fit from offset " +
                                std::to_string(offset));
    std::vector<uint8_t> tmp(static_cast<size_t>(len));
    const int k = getData(tmp);
    if (k < 0 || k > len) throw IOException("getData: the library stored " + std::to_string(k) + " bytes");
    std::copy(tmp.begin(), tmp.begin() + k, buf->begin() + offset);
    return k;
}

// ---- buffers, lines and signals ----

// A query: capability test, open test, the library call and, when failOnMinusOne, the failure test.
int SerialPortLocal::checkedQuery(bool supported, const char* op, int (SerialPortLocal::*query)(int),
                                  bool failOnMinusOne) {
    requireSupported(supported, op);
    const int p = port;
    if (p < 0) throw IOException(std::string(op) + ": Port not open");
    const int r = (this->*query)(p);
    return failOnMinusOne ? noFailure(r, std::string(op) + " failed") : r;
}

void SerialPortLocal::requireSupported(bool supported, const char* what) {
    if (!supported) throw IOException(std::string(what) + " not supported on " + osName);
}

int SerialPortLocal::noFailure(int r, const std::string& message) {
    if (r == -1) throw IOException(message, lib->SerLastError());
    return r;
}

int SerialPortLocal::rxFlush() { return noFailure(SerRxFlush(port), "rxFlush failed"); }
int SerialPortLocal::txFlush() { return noFailure(SerTxFlush(port), "txFlush failed"); }
int SerialPortLocal::txDrain() { return noFailure(SerTxDrain(port), "txDrain failed"); }
int SerialPortLocal::rxReadyCount() {
    return checkedQuery(caps.supRxReadyCount, "rxReadyCount", &SerialPortLocal::SerRxReadyCount);
}
int SerialPortLocal::txBufCount() {
    return checkedQuery(caps.supTxBufCount, "txBufCount", &SerialPortLocal::SerTxBufCount);
}
bool SerialPortLocal::rxOverflow() {
    return checkedQuery(caps.supRxOverflow, "rxOverflow", &SerialPortLocal::SerRxOverflow) == 1;
}
bool SerialPortLocal::sigDSR() { return checkedQuery(true, "sigDSR", &SerialPortLocal::SerSigDSR) == 1; }
bool SerialPortLocal::sigCTS() { return checkedQuery(true, "sigCTS", &SerialPortLocal::SerSigCTS) == 1; }
bool SerialPortLocal::sigCD() { return checkedQuery(caps.supSigCD, "sigCD", &SerialPortLocal::SerSigCD) == 1; }
bool SerialPortLocal::sigFrameErr() {
    return checkedQuery(caps.supSigFrameErr, "sigFrameErr", &SerialPortLocal::SerSigFrameErr) == 1;
}
bool SerialPortLocal::sigOverrun() {
    return checkedQuery(caps.supSigOverrun, "sigOverrun", &SerialPortLocal::SerSigOverrun) == 1;
}
// sigParityErr and sigRing read a failure (-1) as false.
bool SerialPortLocal::sigParityErr() {
    return checkedQuery(caps.supSigParityErr, "sigParityErr", &SerialPortLocal::SerSigParityErr, false) == 1;
}
bool SerialPortLocal::sigRing() {
    return checkedQuery(caps.supSigRing, "sigRing", &SerialPortLocal::SerSigRing, false) == 1;
}
bool SerialPortLocal::sigBreak() {
    return checkedQuery(caps.supSigBreak, "sigBreak", &SerialPortLocal::SerSigBreak) == 1;
}
void SerialPortLocal::setDTR(bool on) {
    requireSupported(caps.supSetDTR, "setDTR");
    noFailure(SerSetDTR(port, on), "setDTR failed");
}
void SerialPortLocal::setRTS(bool on) {
    requireSupported(caps.supSetRTS, "setRts");
    noFailure(SerSetRTS(port, on), "setRTS failed");
}
void SerialPortLocal::sendBreak(int duration) { noFailure(SerSendBreak(port, duration), "sendBreak failed"); }
void SerialPortLocal::setTimeoutRx(int ms) { noFailure(SerSetTimeoutRx(port, ms), "setTimeoutRx failed"); }
void SerialPortLocal::setTimeoutTx(int t) { noFailure(SerSetTimeoutTx(port, t), "setTimeoutTx failed"); }

int SerialPortLocal::getTimeoutRx() { return SerGetTimeoutRx(port); }
int SerialPortLocal::getTimeoutTx() { return SerGetTimeoutTx(port); }

// ---- identity and configuration pass-throughs ----

int SerialPortLocal::getPortNum() { return port; }
void SerialPortLocal::setName(const std::string& label) { name = label; }
std::string SerialPortLocal::getName() { return name; }
std::string SerialPortLocal::getName(int) { return "Not implemented"; }
int SerialPortLocal::getLibVer() { return SerGetLibVer(); }
bool SerialPortLocal::isOpen() { return isOpen_; }
bool SerialPortLocal::deviceLost(std::string& reason) {
    const int p = port;
    return p >= 0 && lib->SerDeviceLost(p, &reason) == 1;
}
std::string SerialPortLocal::devicePath(const SerialConfig& cfg) {
    classInit();
    SerialNative* injected = testLib.load();
    return (injected ? injected : processLib.load())->SerDevicePath(cfg);
}
void SerialPortLocal::releaseAtExit() {
    if (SerialNative* native = processLib.load()) native->SerReleaseAtExit();
}
void SerialPortLocal::setPortName(const std::string& portName) { config->setPortName(portName); }
std::string SerialPortLocal::getPortName() {
    const std::vector<uint8_t>& bytes = config->getPortName();
    return std::string(bytes.begin(), bytes.end());
}
void SerialPortLocal::setBitRate(int code) { config->setBitRate(code); }
int SerialPortLocal::getBitRate() { return config->getBitRate(); }
void SerialPortLocal::setDataBits(int code) { config->setDataBits(code); }
int SerialPortLocal::getDataBits() { return config->getDataBits(); }
void SerialPortLocal::setStopBits(int code) { config->setStopBits(code); }
int SerialPortLocal::getStopBits() { return config->getStopBits(); }
void SerialPortLocal::setParity(int code) { config->setParity(code); }
int SerialPortLocal::getParity() { return config->getParity(); }
void SerialPortLocal::setHandshake(int code) { config->setHandshake(code); }
int SerialPortLocal::getHandshake() { return config->getHandshake(); }

// ---- the native library's functions ----

int SerialPortLocal::SerGetLibVer() { return lib->SerGetLibVer(); }
int SerialPortLocal::SerOpenPort(SerialConfig& cfg) { return lib->SerOpenPort(cfg); }
int SerialPortLocal::SerConfigure(const SerialConfig& cfg) { return lib->SerConfigure(cfg); }
int SerialPortLocal::SerClosePort(int p) { return lib->SerClosePort(p); }
int SerialPortLocal::SerPutByte(int p, uint8_t b) { return lib->SerPutByte(p, b); }
int SerialPortLocal::SerPutData(int p, const std::vector<uint8_t>& buf, int count) {
    return lib->SerPutData(p, buf.data(), count);
}
int SerialPortLocal::SerGetByte(int p) { return lib->SerGetByte(p); }
int SerialPortLocal::SerGetData(int p, std::vector<uint8_t>& buf, int count) {
    return lib->SerGetData(p, buf.data(), count);
}
int SerialPortLocal::SerRxFlush(int p) { return lib->SerRxFlush(p); }
int SerialPortLocal::SerTxFlush(int p) { return lib->SerTxFlush(p); }
int SerialPortLocal::SerTxDrain(int p) { return lib->SerTxDrain(p); }
int SerialPortLocal::SerRxReadyCount(int p) { return lib->SerRxReadyCount(p); }
int SerialPortLocal::SerTxBufCount(int p) { return lib->SerTxBufCount(p); }
int SerialPortLocal::SerRxOverflow(int p) { return lib->SerRxOverflow(p); }
int SerialPortLocal::SerSetDTR(int p, bool on) { return lib->SerSetDTR(p, on ? 1 : 0); }
int SerialPortLocal::SerSetRTS(int p, bool on) { return lib->SerSetRTS(p, on ? 1 : 0); }
int SerialPortLocal::SerSendBreak(int p, int duration) { return lib->SerSendBreak(p, duration); }
int SerialPortLocal::SerSetTimeoutRx(int p, int ms) { return lib->SerSetTimeoutRx(p, ms); }
int SerialPortLocal::SerSetTimeoutTx(int p, int t) { return lib->SerSetTimeoutTx(p, t); }
int SerialPortLocal::SerGetTimeoutRx(int p) { return lib->SerGetTimeoutRx(p); }
int SerialPortLocal::SerGetTimeoutTx(int p) { return lib->SerGetTimeoutTx(p); }
int SerialPortLocal::SerSigCTS(int p) { return lib->SerSigCTS(p); }
int SerialPortLocal::SerSigDSR(int p) { return lib->SerSigDSR(p); }
int SerialPortLocal::SerSigCD(int p) { return lib->SerSigCD(p); }
int SerialPortLocal::SerSigFrameErr(int p) { return lib->SerSigFrameErr(p); }
int SerialPortLocal::SerSigParityErr(int p) { return lib->SerSigParityErr(p); }
int SerialPortLocal::SerSigOverrun(int p) { return lib->SerSigOverrun(p); }
int SerialPortLocal::SerSigRing(int p) { return lib->SerSigRing(p); }
int SerialPortLocal::SerSigBreak(int p) { return lib->SerSigBreak(p); }
int SerialPortLocal::SerFlowTask(int p) { return lib->SerFlowTask(p); }

}  // namespace SerialIO
