#pragma once
// A scriptable native serial library for tests: every result can be set, every call is recorded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SerialIO/SerialConfig.h"
#include "SerialIO/SerialPortLocal.h"
#include "SerialIO/native/SerialNative.h"

class FakeNative : public SerialIO::SerialNative {
public:
    // Results by function name; a function without an entry gives its natural answer.
    void set(const std::string& fn, int result) {
        std::lock_guard<std::mutex> l(m);
        results[fn] = result;
    }
    void unset(const std::string& fn) {
        std::lock_guard<std::mutex> l(m);
        results.erase(fn);
    }
    int count(const std::string& fn) {
        std::lock_guard<std::mutex> l(m);
        int n = 0;
        for (const auto& c : calls) n += c.fn == fn;
        return n;
    }
    int lastPortArg(const std::string& fn) {
        std::lock_guard<std::mutex> l(m);
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->fn == fn) return it->port;
        return -99;
    }
    void receive(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> l(m);
        rx.insert(rx.end(), bytes.begin(), bytes.end());
    }
    std::vector<uint8_t> sentBytes() {
        std::lock_guard<std::mutex> l(m);
        return sent;
    }
    int timeoutRx() {
        std::lock_guard<std::mutex> l(m);
        return rxTimeout;
    }
    int timeoutTx() {
        std::lock_guard<std::mutex> l(m);
        return txTimeout;
    }

    int openPortNum = 3;  // the 1-based number a successful open records
    std::atomic<int> flowCalls{0};
    std::atomic<bool> flowCallAfterStop{false};
    std::atomic<bool> stopped{false};

    int SerGetLibVer() override { return call("SerGetLibVer", -1, 42); }
    int SerOpenPort(SerialIO::SerialConfig& cfg) override {
        const int r = call("SerOpenPort", -1, 0);
        if (r == 0) cfg.setPortNum(openPortNum);
        return r;
    }
    int SerConfigure(const SerialIO::SerialConfig&) override { return call("SerConfigure", -1, 0); }
    int SerClosePort(int p) override { return call("SerClosePort", p, 0); }
    int SerPutByte(int p, int b) override {
        const int r = call("SerPutByte", p, 0);
        std::lock_guard<std::mutex> l(m);
        if (r == 0) sent.push_back(static_cast<uint8_t>(b));
        return r;
    }
    int SerPutData(int p, const uint8_t* data, int n) override {
        const int r = call("SerPutData", p, n);
        std::lock_guard<std::mutex> l(m);
        for (int i = 0; i < r && i < n; ++i) sent.push_back(data[i]);
        return r;
    }
    int SerGetByte(int p) override {
        std::lock_guard<std::mutex> l(m);
        if (auto r = scripted("SerGetByte", p)) return *r;
        if (rx.empty()) return -1;
        const int b = rx.front();
        rx.pop_front();
        return b;
    }
    int SerGetData(int p, uint8_t* buf, int n) override {
        std::lock_guard<std::mutex> l(m);
        if (auto r = scripted("SerGetData", p)) return *r;
        int k = 0;
        while (k < n && !rx.empty()) {
            buf[k++] = rx.front();
            rx.pop_front();
        }
        return k;
    }
    int SerRxFlush(int p) override { return call("SerRxFlush", p, 0); }
    int SerTxFlush(int p) override { return call("SerTxFlush", p, 0); }
    int SerTxDrain(int p) override { return call("SerTxDrain", p, 0); }
    int SerRxReadyCount(int p) override {
        std::lock_guard<std::mutex> l(m);
        if (auto r = scripted("SerRxReadyCount", p)) return *r;
        return static_cast<int>(rx.size());
    }
    int SerTxBufCount(int p) override { return call("SerTxBufCount", p, 0); }
    int SerRxOverflow(int p) override { return call("SerRxOverflow", p, 0); }
    int SerSetDTR(int p, int) override { return call("SerSetDTR", p, 0); }
    int SerSetRTS(int p, int) override { return call("SerSetRTS", p, 0); }
    int SerSendBreak(int p, int) override { return call("SerSendBreak", p, 0); }
    int SerSetTimeoutRx(int p, int ms) override {
        const int r = call("SerSetTimeoutRx", p, 0);
        std::lock_guard<std::mutex> l(m);
        if (r == 0) rxTimeout = ms;
        return r;
    }
    int SerSetTimeoutTx(int p, int t) override {
        const int r = call("SerSetTimeoutTx", p, 0);
        std::lock_guard<std::mutex> l(m);
        if (r == 0) txTimeout = t;
        return r;
    }
    int SerGetTimeoutRx(int p) override {
        std::lock_guard<std::mutex> l(m);
        if (auto r = scripted("SerGetTimeoutRx", p)) return *r;
        return rxTimeout;
    }
    int SerGetTimeoutTx(int p) override {
        std::lock_guard<std::mutex> l(m);
        if (auto r = scripted("SerGetTimeoutTx", p)) return *r;
        return txTimeout;
    }
    int SerSigCTS(int p) override { return call("SerSigCTS", p, 0); }
    int SerSigDSR(int p) override { return call("SerSigDSR", p, 0); }
    int SerSigCD(int p) override { return call("SerSigCD", p, 0); }
    int SerSigFrameErr(int p) override { return call("SerSigFrameErr", p, 0); }
    int SerSigParityErr(int p) override { return call("SerSigParityErr", p, 0); }
    int SerSigOverrun(int p) override { return call("SerSigOverrun", p, 0); }
    int SerSigRing(int p) override { return call("SerSigRing", p, 0); }
    int SerSigBreak(int p) override { return call("SerSigBreak", p, 0); }
    int SerFlowTask(int) override {
        if (stopped.load()) flowCallAfterStop = true;
        ++flowCalls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
    // Set "SerDeviceLost" to 1 for a device that went away ("hung up").
    int SerDeviceLost(int p, std::string* reason) override {
        const int r = call("SerDeviceLost", p, 0);
        if (r == 1 && reason) *reason = "hung up";
        return r;
    }
    std::string SerLastError() override { return ""; }
    Failure SerLastFailure() override {
        std::lock_guard<std::mutex> l(m);
        return failure;
    }
    void fail(const std::string& device, int errnum) {
        std::lock_guard<std::mutex> l(m);
        failure = {device, errnum};
    }

private:
    struct Call {
        std::string fn;
        int port;
    };
    std::optional<int> scripted(const std::string& fn, int p) {
        calls.push_back({fn, p});
        auto it = results.find(fn);
        if (it == results.end()) return std::nullopt;
        return it->second;
    }
    int call(const std::string& fn, int p, int natural) {
        std::lock_guard<std::mutex> l(m);
        return scripted(fn, p).value_or(natural);
    }

    std::mutex m;
    std::map<std::string, int> results;
    std::vector<Call> calls;
    std::vector<uint8_t> sent;
    std::deque<uint8_t> rx;
    int rxTimeout = 0;
    int txTimeout = 0;
    Failure failure;
};

// Installs a fresh fake library (and optionally a made-up operating-system name) for the ports a
// test makes, and removes both afterwards.
class FakeNativeTest : public ::testing::Test {
protected:
    void TearDown() override {
        SerialIO::SerialPortLocal::setNativeForTesting(nullptr);
        SerialIO::setOsNameForTesting("");
    }
    void SetUp() override {
        SerialIO::SerialPortLocal::setNativeForTesting(&fake);
        useOs("Linux");
    }
    void useOs(const std::string& os) { SerialIO::setOsNameForTesting(os); }
    // An open port over the fake, on the platform set with useOs (Linux otherwise).
    std::unique_ptr<SerialIO::SerialPortLocal> openPort() {
        cfg = std::make_shared<SerialIO::SerialConfig>("COM3");
        return std::make_unique<SerialIO::SerialPortLocal>(cfg);
    }
    FakeNative fake;
    std::shared_ptr<SerialIO::SerialConfig> cfg;
};
