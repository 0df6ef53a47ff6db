// The serial line's watcher over a scripted native library: a device found gone is closed and the
// line reported down; a device that stays away costs silent attempts; a restore whose frame fails
// leaves the line down and is tried again, less often; a restore that succeeds brings the line up.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "FakeNative.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "app/SerOutPort.h"
#include "app/SerialWatch.h"

namespace {

using namespace std::chrono_literals;

template <typename Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class SerialWatchTest : public FakeNativeTest {};

TEST_F(SerialWatchTest, LostDeviceIsClosedReopenedAndAFailedRestoreIsTriedAgain) {
    SerOutPort port("COM3", "KIVO16", 9600, 8, 1, "None", "None");
    ASSERT_EQ(SerOutPort::NoCOM.load(), 0);
    std::atomic<int> restores{0};
    SerialWatch watch(
        port, true,
        [&]() -> std::optional<std::string> {
            ++restores;
            port.SendSerial({0xFE, 0x01, 0x05});
            if (port.GetSerError() != 0) return std::nullopt;
            return std::string("output 1 <- input 5");
        },
        20ms);
    std::mutex mutex;
    std::vector<bool> changes;
    watch.addObserver([&](bool up, SerialWatch::Clock::time_point) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(up);
    });
    auto seen = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return changes;
    };
    const auto startedAt = watch.since();
    watch.start();

    // The device goes away without any write: noticed, closed, reported once.
    fake.set("SerOpenPort", 1003);
    fake.set("SerDeviceLost", 1);
    ASSERT_TRUE(eventually([&] { return !watch.up(); }));
    EXPECT_TRUE(eventually([&] { return seen() == std::vector<bool>{false}; }));
    EXPECT_GE(watch.since(), startedAt);
    EXPECT_EQ(fake.count("SerClosePort"), 1);
    EXPECT_FALSE(port.isOpen());
    fake.unset("SerDeviceLost");

    // While it stays away: attempts, no restore, nothing written.
    const int opens = fake.count("SerOpenPort");
    EXPECT_TRUE(eventually([&] { return fake.count("SerOpenPort") >= opens + 3; }));
    EXPECT_EQ(restores.load(), 0);
    port.SendSerial({0xFE, 0x02, 0x09});  // refused at once, never kept for later
    EXPECT_EQ(port.GetSerError(), 1);
    EXPECT_TRUE(fake.sentBytes().empty());

    // Back, but the restore frame fails as a vanished device's does: closed again and tried again,
    // less and less often while it keeps failing (each try holds the line for the write), still down.
    fake.set("SerPutData", -1);
    fake.set("SerDeviceLost", 1);
    fake.unset("SerOpenPort");
    EXPECT_TRUE(eventually([&] { return restores.load() >= 3; }));
    const int before = restores.load();
    std::this_thread::sleep_for(400ms);  // 20 rounds
    EXPECT_LE(restores.load() - before, 4) << "a failing restore was tried again at the watch's full pace";
    EXPECT_FALSE(watch.up());
    EXPECT_GE(fake.count("SerClosePort"), 2);
    fake.unset("SerDeviceLost");

    // The restore goes through: up, and the restore's frame is the only thing written.
    fake.unset("SerPutData");
    ASSERT_TRUE(eventually([&] { return watch.up(); }));
    EXPECT_TRUE(eventually([&] { return seen() == std::vector<bool>({false, true}); }));
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(fake.sentBytes(), (std::vector<uint8_t>{0xFE, 0x01, 0x05}));
}

// With a window, its status line says when the line goes and when it is back.
TEST_F(SerialWatchTest, TheWindowsStatusLineFollowsTheLine) {
    KIVO::autoaccept = false;  // no listening socket
    KIVO::headless = false;
    LocalCAM hub("COM3", "KIVO16", 0, 9600, 8, 1, "None", "None");
    const std::string device = SerialIO::SerialPortLocal::devicePath(SerialIO::SerialConfig("COM3"));
    fake.set("SerOpenPort", 1003);
    fake.set("SerDeviceLost", 1);
    EXPECT_TRUE(eventually([&] { return hub.gui().statusText() == "Serial device " + device + " lost"; }))
        << hub.gui().statusText();
    fake.unset("SerDeviceLost");
    fake.unset("SerOpenPort");
    EXPECT_TRUE(eventually([&] { return hub.gui().statusText() == "Serial device " + device + " back"; }))
        << hub.gui().statusText();
}

}  // namespace
