#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include "FakeNative.h"
#include "SerialIO/SerInputStream.h"

using namespace SerialIO;

namespace {
template <class F>
std::string ioError(F f) {
    try {
        f();
    } catch (const IOException& e) {
        return e.what();
    }
    return "(nothing raised)";
}
}  // namespace

TEST_F(FakeNativeTest, OpenResultCodes) {
    const std::pair<int, std::string> cases[] = {
        {1000, "SerOpenPort failed: Port is already open"},
        {1001, "SerOpenPort failed: 1001"},
        {1002, "SerOpenPort failed: Port is in use"},
        {1003, "SerOpenPort failed: Port not valid"},
    };
    for (const auto& [code, message] : cases) {
        fake.set("SerOpenPort", code);
        EXPECT_EQ(ioError([&] { openPort(); }), message);
    }
    EXPECT_EQ(fake.count("SerConfigure"), 0);
    EXPECT_EQ(fake.count("SerClosePort"), 0);
}

TEST_F(FakeNativeTest, FailedOpenKeepsItsMessageAndGivesThePlainReason) {
    fake.set("SerOpenPort", 1001);
    fake.fail("/dev/ttyUSB0", EACCES);
    try {
        openPort();
        FAIL() << "opened";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "SerOpenPort failed: 1001");
        EXPECT_EQ(plainReason(e),
                  "Serial device /dev/ttyUSB0: Permission denied (the user needs to be in the dialout group)");
    }
    fake.unset("SerOpenPort");
    fake.set("SerConfigure", 2003);
    fake.fail("/dev/ttyUSB0", EIO);
    EXPECT_EQ(ioError([&] { openPort(); }), "Configure failed: 2003");
}

TEST_F(FakeNativeTest, OpenSharesTheConfigAndSetsLinuxTimeouts) {
    auto port = openPort();
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), 2);        // the recorded number 3, minus 1
    EXPECT_EQ(cfg->getPort(), 3);            // written into the caller's record
    EXPECT_FALSE(cfg->getHardFlow());        // cleared everywhere but Windows 95
    EXPECT_EQ(port->getConfig(), cfg);       // the same object, not a copy
    EXPECT_EQ(fake.count("SerSetTimeoutRx"), 1);
    EXPECT_EQ(fake.count("SerSetTimeoutTx"), 0);  // Linux cannot set the transmit time-out
    EXPECT_EQ(fake.lastPortArg("SerSetTimeoutRx"), 2);
    port->setBitRate(SerialConfig::BR_19200);
    EXPECT_EQ(cfg->getBitRate(), SerialConfig::BR_19200);
    EXPECT_EQ(port->getLibVer(), 42);
}

TEST_F(FakeNativeTest, OpenOnMacSetsBothTimeouts) {
    useOs("Mac OS");
    auto port = openPort();
    EXPECT_EQ(fake.timeoutRx(), 2000);
    EXPECT_EQ(fake.timeoutTx(), 2000);
}

TEST_F(FakeNativeTest, FailedOpenAfterLibraryOpenedClosesThePort) {
    fake.set("SerConfigure", 7);
    EXPECT_EQ(ioError([&] { openPort(); }), "Configure failed: 7");
    EXPECT_EQ(fake.count("SerClosePort"), 1);
    fake.unset("SerConfigure");
    fake.set("SerSetTimeoutRx", -1);
    EXPECT_EQ(ioError([&] { openPort(); }), "setTimeoutRx failed");
    EXPECT_EQ(fake.count("SerClosePort"), 2);
}

TEST_F(FakeNativeTest, CloseTwiceAndFailedClose) {
    SerialPortLocal never;
    never.close();
    EXPECT_EQ(fake.count("SerClosePort"), 0);

    auto port = openPort();
    fake.set("SerClosePort", 5);
    EXPECT_EQ(ioError([&] { port->close(); }), "ClosePort failed");
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), 2);
    fake.unset("SerClosePort");
    port->close();
    port->close();
    EXPECT_EQ(fake.count("SerClosePort"), 2);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), -1);
}

TEST_F(FakeNativeTest, ResetReopensWithStoredConfig) {
    auto port = openPort();
    auto other = std::make_shared<SerialConfig>("COM8");
    port->configure(*other);
    EXPECT_EQ(port->getConfig(), cfg);
    port->reset();
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->getPortNum(), 2);
    EXPECT_EQ(fake.count("SerOpenPort"), 2);
    fake.set("SerOpenPort", 1002);
    EXPECT_EQ(ioError([&] { port->reset(); }), "reset: SerOpenPort failed: 1002");
    EXPECT_FALSE(port->isOpen());
}

TEST_F(FakeNativeTest, PutFamilyBoundsAndShortWrites) {
    auto port = openPort();
    const std::vector<uint8_t> five{1, 2, 3, 4, 5};
    port->putString("");
    port->putData(std::vector<uint8_t>{});
    EXPECT_EQ(fake.count("SerPutData"), 0);
    port->putData(five, 0);  // count 0 still reaches the library
    EXPECT_EQ(fake.count("SerPutData"), 1);

    EXPECT_EQ(ioError([&] { port->putData(five, 6); }), "putData: count out of bounds");
    EXPECT_EQ(ioError([&] { port->putData(five, -1); }), "putData: count out of bounds");
    EXPECT_EQ(ioError([&] { port->putData(five, 3, 3); }), "putData3: count out of bounds");
    EXPECT_EQ(ioError([&] { port->putData(five, 0x7fffffff, 0x7fffffff); }), "putData3: count out of bounds");
    EXPECT_THROW(port->putData(five, -1, 2), std::out_of_range);
    EXPECT_EQ(fake.count("SerPutData"), 1);

    port->putData(five, 5);
    port->putData(five, 2, 3);
    port->putString("ab");
    port->putByte(0xFF);
    EXPECT_EQ(fake.sentBytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 3, 4, 5, 'a', 'b', 0xFF}));

    fake.set("SerPutData", 3);
    EXPECT_EQ(ioError([&] { port->putData(five, 5); }), "PutData2: Sent only 3 of 5 bytes");
    EXPECT_EQ(ioError([&] { port->putData(five, 0, 5); }), "Sent only 3 of 5 bytes");
    EXPECT_EQ(ioError([&] { port->putData(five); }), "PutData1: Sent only 3 of 5 bytes");
    EXPECT_EQ(ioError([&] { port->putString("abcde"); }), "PutString: sent only 3 of 5 bytes");
    fake.set("SerPutData", -1);
    EXPECT_EQ(ioError([&] { port->putData(five); }), "PutData1: Sent only -1 of 5 bytes");
    fake.set("SerPutByte", 1);
    EXPECT_EQ(ioError([&] { port->putByte(1); }), "PutByte failed");
}

TEST_F(FakeNativeTest, GetByteAndGetData) {
    SerialPortLocal closed;
    EXPECT_EQ(ioError([&] { closed.getByte(); }), "getByte: Port not open");
    std::vector<uint8_t> buf(4);
    EXPECT_EQ(closed.getData(buf), 0);  // no open test: the library answers for handle -1
    EXPECT_EQ(fake.lastPortArg("SerGetData"), -1);
    fake.set("SerGetData", -1);
    EXPECT_EQ(ioError([&] { closed.getData(buf); }), "getData: failed");
    fake.unset("SerGetData");

    auto port = openPort();
    fake.receive({0xFF, 7, 8});
    EXPECT_EQ(port->getByte(), 0xFF);
    EXPECT_EQ(port->getData(nullptr, 0, 5), 0);
    std::vector<uint8_t> big(10, 0);
    EXPECT_EQ(port->getData(&big, 8, 2), 2);
    EXPECT_EQ(big[8], 7);
    EXPECT_EQ(big[9], 8);
    EXPECT_EQ(ioError([&] { port->getData(&big, 0, -1); }), "getData: count out of bounds");
}

TEST_F(FakeNativeTest, RangesAreCheckedBeforeAnythingIsRead) {
    auto port = openPort();
    SerInputStream in(*port);
    std::vector<uint8_t> small(10, 0);
    fake.receive({1, 2, 3});
    EXPECT_THROW(port->getData(&small, 9, 3), std::out_of_range);
    EXPECT_THROW(port->getData(&small, -1, 2), std::out_of_range);
    EXPECT_THROW(in.read(&small, 8, 3), std::out_of_range);
    EXPECT_THROW(in.read(&small, -1, 1), std::out_of_range);
    // Nothing was taken from the line: the next read gets all three bytes.
    EXPECT_EQ(port->getData(&small, 7, 3), 3);
    EXPECT_EQ(small, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 1, 2, 3}));

    // A read of nothing returns at once, with or without bytes waiting.
    std::vector<uint8_t> none;
    EXPECT_EQ(in.read(&small, 0, 0), 0);
    EXPECT_EQ(in.read(none), 0);
    fake.receive({4});
    EXPECT_EQ(in.read(&small, 10, 0), 0);
    EXPECT_EQ(in.read(), 4);
}

TEST_F(FakeNativeTest, PollingWaitRunsToTheReceiveTimeout) {
    auto port = openPort();
    port->setTimeoutRx(100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->getByte(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    std::vector<uint8_t> buf(4);
    fake.receive({1, 2});
    const auto start2 = std::chrono::steady_clock::now();
    EXPECT_EQ(port->getData(buf), 2);  // waits for 4, reads the 2 that came
    EXPECT_GE(std::chrono::steady_clock::now() - start2, std::chrono::milliseconds(100));

    port->setTimeoutRx(0);
    const int before = fake.count("SerRxReadyCount");
    EXPECT_EQ(port->getByte(), -1);
    EXPECT_EQ(fake.count("SerRxReadyCount"), before);  // no wait: straight to the library
}

// One row per guarded operation: its capability flag message, its not-open message and failure.
struct QueryRow {
    const char* op;
    std::function<void(SerialPortLocal&)> call;
    const char* fn;             // the library function
    const char* unsupported;    // "" when not guarded by a capability flag
    const char* notOpen;        // "" when not tested
    const char* failure;        // "" when -1 is not a failure
};

static const std::vector<QueryRow>& queryRows() {
    static const std::vector<QueryRow> rows = {
        {"rxFlush", [](SerialPortLocal& p) { p.rxFlush(); }, "SerRxFlush", "", "", "rxFlush failed"},
        {"txFlush", [](SerialPortLocal& p) { p.txFlush(); }, "SerTxFlush", "", "", "txFlush failed"},
        {"txDrain", [](SerialPortLocal& p) { p.txDrain(); }, "SerTxDrain", "", "", "txDrain failed"},
        {"rxReadyCount", [](SerialPortLocal& p) { p.rxReadyCount(); }, "SerRxReadyCount", "rxReadyCount",
         "rxReadyCount: Port not open", "rxReadyCount failed"},
        {"txBufCount", [](SerialPortLocal& p) { p.txBufCount(); }, "SerTxBufCount", "txBufCount",
         "txBufCount: Port not open", "txBufCount failed"},
        {"rxOverflow", [](SerialPortLocal& p) { p.rxOverflow(); }, "SerRxOverflow", "rxOverflow",
         "rxOverflow: Port not open", "rxOverflow failed"},
        {"sigDSR", [](SerialPortLocal& p) { p.sigDSR(); }, "SerSigDSR", "", "sigDSR: Port not open", "sigDSR failed"},
        {"sigCTS", [](SerialPortLocal& p) { p.sigCTS(); }, "SerSigCTS", "", "sigCTS: Port not open", "sigCTS failed"},
        {"sigCD", [](SerialPortLocal& p) { p.sigCD(); }, "SerSigCD", "sigCD", "sigCD: Port not open", "sigCD failed"},
        {"sigFrameErr", [](SerialPortLocal& p) { p.sigFrameErr(); }, "SerSigFrameErr", "sigFrameErr",
         "sigFrameErr: Port not open", "sigFrameErr failed"},
        {"sigOverrun", [](SerialPortLocal& p) { p.sigOverrun(); }, "SerSigOverrun", "sigOverrun",
         "sigOverrun: Port not open", "sigOverrun failed"},
        {"sigParityErr", [](SerialPortLocal& p) { p.sigParityErr(); }, "SerSigParityErr", "sigParityErr",
         "sigParityErr: Port not open", ""},
        {"sigRing", [](SerialPortLocal& p) { p.sigRing(); }, "SerSigRing", "sigRing", "sigRing: Port not open", ""},
        {"sigBreak", [](SerialPortLocal& p) { p.sigBreak(); }, "SerSigBreak", "sigBreak", "sigBreak: Port not open",
         "sigBreak failed"},
        {"setDTR", [](SerialPortLocal& p) { p.setDTR(true); }, "SerSetDTR", "setDTR", "", "setDTR failed"},
        {"setRTS", [](SerialPortLocal& p) { p.setRTS(true); }, "SerSetRTS", "setRts", "", "setRTS failed"},
        {"sendBreak", [](SerialPortLocal& p) { p.sendBreak(250); }, "SerSendBreak", "", "", "sendBreak failed"},
        {"setTimeoutRx", [](SerialPortLocal& p) { p.setTimeoutRx(5); }, "SerSetTimeoutRx", "", "", "setTimeoutRx failed"},
        {"setTimeoutTx", [](SerialPortLocal& p) { p.setTimeoutTx(5); }, "SerSetTimeoutTx", "", "", "setTimeoutTx failed"},
    };
    return rows;
}

TEST_F(FakeNativeTest, QueryFamilyNotSupportedComesFirst) {
    useOs("Plan 9");  // a name in no capability group: every flag is clear
    SerialPortLocal closed;
    for (const QueryRow& r : queryRows()) {
        if (!*r.unsupported) continue;
        EXPECT_EQ(ioError([&] { r.call(closed); }), std::string(r.unsupported) + " not supported on Plan 9") << r.op;
        EXPECT_EQ(fake.count(r.fn), 0) << r.op;
    }
    useOs("Mac OS");
    SerialPortLocal mac;
    EXPECT_EQ(ioError([&] { mac.sigRing(); }), "sigRing not supported on Mac OS");
    EXPECT_EQ(ioError([&] { mac.sigCTS(); }), "sigCTS: Port not open");  // allowed, but closed
}

TEST_F(FakeNativeTest, QueryFamilyNotOpenThenFailure) {
    useOs("Windows NT");  // every capability present
    SerialPortLocal closed;
    for (const QueryRow& r : queryRows()) {
        if (*r.notOpen) {
            EXPECT_EQ(ioError([&] { r.call(closed); }), r.notOpen) << r.op;
            EXPECT_EQ(fake.count(r.fn), 0) << r.op;
        } else {
            EXPECT_EQ(ioError([&] { r.call(closed); }), "(nothing raised)") << r.op;
            EXPECT_EQ(fake.lastPortArg(r.fn), -1) << r.op;  // reaches the library with handle -1
        }
    }
    auto port = openPort();
    for (const QueryRow& r : queryRows()) {
        fake.set(r.fn, -1);
        EXPECT_EQ(ioError([&] { r.call(*port); }), *r.failure ? r.failure : "(nothing raised)") << r.op;
        fake.unset(r.fn);
    }
}

TEST_F(FakeNativeTest, QueryResultsAreExactlyOne) {
    useOs("Windows NT");
    auto port = openPort();
    fake.set("SerSigParityErr", -1);
    fake.set("SerSigRing", -1);
    EXPECT_FALSE(port->sigParityErr());
    EXPECT_FALSE(port->sigRing());
    fake.set("SerSigCTS", 1);
    fake.set("SerSigDSR", 2);
    fake.set("SerRxOverflow", 1);
    EXPECT_TRUE(port->sigCTS());
    EXPECT_FALSE(port->sigDSR());
    EXPECT_TRUE(port->rxOverflow());
    fake.set("SerRxReadyCount", 17);
    fake.set("SerTxBufCount", 9);
    fake.set("SerTxDrain", 4);
    EXPECT_EQ(port->rxReadyCount(), 17);
    EXPECT_EQ(port->txBufCount(), 9);
    EXPECT_EQ(port->txDrain(), 4);
    fake.set("SerGetTimeoutTx", -1);
    EXPECT_EQ(port->getTimeoutTx(), -1);  // passed on unchanged
}
