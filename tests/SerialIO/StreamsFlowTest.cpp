#include <gtest/gtest.h>

#include <thread>

#include "FakeNative.h"
#include "SerialIO/FlowControlTask.h"
#include "SerialIO/SerInputStream.h"
#include "SerialIO/SerOutputStream.h"

using namespace SerialIO;

TEST_F(FakeNativeTest, StreamsRefuseAClosedPort) {
    SerialPortLocal closed;
    try {
        SerInputStream in(closed);
        FAIL();
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "Port not open");
    }
    try {
        SerOutputStream out(closed);
        FAIL();
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "Port not open");
    }
    EXPECT_EQ(fake.count("SerSetTimeoutRx"), 0);
    EXPECT_EQ(fake.count("SerSetTimeoutTx"), 0);
}

TEST_F(FakeNativeTest, InputStreamReads) {
    auto port = openPort();
    port->setTimeoutRx(500);
    SerInputStream in(*port);
    EXPECT_EQ(fake.timeoutRx(), 0);

    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fake.receive({0xFF});
    });
    EXPECT_EQ(in.read(), 255);  // waits in 20 ms steps for the byte
    late.join();

    fake.receive({1, 2, 3, 4, 5});
    std::vector<uint8_t> buf(64, 0);
    EXPECT_EQ(in.available(), 5);
    EXPECT_EQ(in.read(buf), 5);
    EXPECT_EQ(buf[4], 5);

    fake.receive({7, 8, 9});
    std::vector<uint8_t> dst(16, 0);
    EXPECT_EQ(in.read(&dst, 10, 4), 3);
    EXPECT_EQ(dst[10], 7);
    EXPECT_EQ(dst[12], 9);
    EXPECT_EQ(dst[13], 0);

    fake.receive({1, 2, 3});
    EXPECT_THROW(in.read(&dst, 15, 3), std::out_of_range);
    EXPECT_FALSE(in.markSupported());
    EXPECT_THROW(in.reset(), IOException);

    in.close();  // closes the port itself
    EXPECT_FALSE(port->isOpen());
}

TEST_F(FakeNativeTest, OutputStreamWrites) {
    auto port = openPort();
    SerOutputStream out(*port);
    EXPECT_EQ(fake.timeoutTx(), 2147483647);
    out.write(511);
    out.write(std::vector<uint8_t>{1, 2});
    out.write(std::vector<uint8_t>{9, 8, 7, 6}, 1, 2);
    EXPECT_THROW(out.write(std::vector<uint8_t>{1, 2, 3, 4}, 2, 3), std::out_of_range);
    EXPECT_EQ(fake.sentBytes(), (std::vector<uint8_t>{0xFF, 1, 2, 8, 7}));
    out.flush();  // nothing waiting: returns at once
    out.close();
    EXPECT_TRUE(port->isOpen());
    fake.set("SerPutData", 1);
    EXPECT_THROW(out.write(std::vector<uint8_t>{1, 2}), IOException);
}

TEST_F(FakeNativeTest, FlowControlTaskRunsOnlyOnWindows95AndStopsOnClose) {
    auto cfgLinux = std::make_shared<SerialConfig>("COM3");
    cfgLinux->setHandshake(SerialConfig::HS_CTSRTS);
    SerialPortLocal lux(cfgLinux);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake.flowCalls.load(), 0);
    lux.close();

    useOs("Windows 95");
    cfg = std::make_shared<SerialConfig>("COM3");
    cfg->setHandshake(SerialConfig::HS_CTSRTS);
    testing::internal::CaptureStdout();
    SerialPortLocal win(cfg);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("FlowControlTask created\n"), std::string::npos);
    for (int i = 0; i < 200 && fake.flowCalls.load() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(fake.flowCalls.load(), 3);
    win.close();
    fake.stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(fake.flowCallAfterStop.load());
}
