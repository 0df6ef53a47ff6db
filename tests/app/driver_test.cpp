// The selector driver: frames per output mode, command words, refused frames, whole selections
// under concurrent use.
#include <thread>

#include "tests/app/support/HubFixture.h"

namespace {

using Frame = RecordingSerOutPort::Frame;

class DriverTest : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        KIVO::autoaccept = false;  // no listening socket needed
    }
    Device& driver() { return *KIVO::cam.load(); }
};

TEST_F(DriverTest, FramesFollowTheOutputMode) {
    makeHub();
    driver().DevInit();
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x01}, {0xFE, 0x02, 0x01}}));
    EXPECT_EQ(hub->gui().statusText(), "Selected Input #1");

    port->clear();
    EXPECT_TRUE(driver().ParseNetCommand("Out1"));
    EXPECT_EQ(hub->gui().outModeIndex(), 0);
    EXPECT_TRUE(driver().ParseNetCommand("Set16"));
    EXPECT_EQ(hub->gui().statusText(), "Selected Input #16");

    EXPECT_TRUE(driver().ParseNetCommand("Out2"));
    EXPECT_EQ(hub->gui().outModeIndex(), 1);
    EXPECT_TRUE(driver().ParseNetCommand("Set3"));

    EXPECT_TRUE(driver().ParseNetCommand("Out3"));
    EXPECT_EQ(hub->gui().outModeIndex(), 2);
    EXPECT_TRUE(driver().ParseNetCommand("Set7"));
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x10},
                                            {0xFE, 0x02, 0x03},
                                            {0xFE, 0x01, 0x07},
                                            {0xFE, 0x02, 0x07}}));
    // The templates keep the last input.
    EXPECT_EQ(KIVO16::frame1(), (std::array<uint8_t, 3>{0xFE, 0x01, 0x07}));
    EXPECT_EQ(KIVO16::frame2(), (std::array<uint8_t, 3>{0xFE, 0x02, 0x07}));
}

TEST_F(DriverTest, OnlyExactCommandWordsAreCommands) {
    makeHub();
    for (const char* line : {"set1", "SET1", "Set1 ", " Set1", "Set01", "Set0", "Set17", "Out0", "Out4",
                             "", "Set", "Out", "Set1Set2", "0xFE0101"}) {
        EXPECT_FALSE(driver().ParseNetCommand(line)) << '"' << line << '"';
    }
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(KIVO16::outmode.load(), 2);
}

TEST_F(DriverTest, RefusedFramesAreReportedAndNoSelectionShown) {
    noCom = 1;
    makeHub();
    log->clear();
    EXPECT_TRUE(driver().ParseNetCommand("Set5"));
    EXPECT_EQ(log->lines(),
              (std::vector<std::string>{"COM port not communicating.", "COM port not communicating."}));
    EXPECT_TRUE(frames().empty());
    EXPECT_FALSE(hub->CommandB0({0xFE, 0x01, 0x01}));
}

TEST_F(DriverTest, FailedWriteIsNotReportedAsSent) {
    makeHub();
    port->failWrites = true;
    log->clear();
    EXPECT_FALSE(hub->CommandB0({0xFE, 0x01, 0x02}));
    driver().set(4);
    EXPECT_FALSE(log->contains("Selected Input #4"));
    EXPECT_EQ(log->count("COM port not communicating."), 3u);

    port->failWrites = false;
    EXPECT_TRUE(hub->CommandB0({0xFE, 0x01, 0x02}));
    EXPECT_EQ(hub->serIn(), std::vector<uint8_t>(64, 0));
}

TEST_F(DriverTest, BothOutputsSelectionIsDoneOnlyWhenEveryFrameWasWritten) {
    makeHub();
    log->clear();
    port->failNext = 1;  // output 1's frame is refused, output 2's is written
    driver().set(4);
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x04}, {0xFE, 0x02, 0x04}}));
    EXPECT_EQ(log->lines(), (std::vector<std::string>{"COM port not communicating."}));
    driver().set(5);
    EXPECT_EQ(hub->gui().statusText(), "Selected Input #5");
}

TEST_F(DriverTest, ConcurrentSelectionsLeaveWhole) {
    makeHub();
    constexpr int rounds = 300;
    // The window's buttons and a client's command words at the same time, both frames each.
    std::thread window([this] {
        for (int i = 0; i < rounds; ++i) driver().set(1 + i % 16);
    });
    std::thread client([this] {
        for (int i = 0; i < rounds; ++i) driver().ParseNetCommand("Set" + std::to_string(16 - i % 16));
    });
    window.join();
    client.join();

    const auto all = frames();
    ASSERT_EQ(all.size(), 4u * rounds);
    for (size_t i = 0; i < all.size(); i += 2) {
        ASSERT_EQ(all[i][1], 0x01) << "frame " << i;
        ASSERT_EQ(all[i + 1][1], 0x02) << "frame " << i + 1;
        ASSERT_EQ(all[i][2], all[i + 1][2]) << "selection torn at frame " << i;
    }
}

}  // namespace
