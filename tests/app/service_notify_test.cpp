// What the service manager is told: the status text it shows, and the watchdog that pings only while
// its check answers.
#include "app/ServiceNotify.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(ServiceNotifyStatus, HidesThePasswordAndKeepsOneLine) {
    EXPECT_EQ(ServiceNotify::statusText("Password = JVK OK"), "Password = *** OK");
    EXPECT_EQ(ServiceNotify::statusText("New Password= s3cret"), "New Password= ***");
    EXPECT_EQ(ServiceNotify::statusText("Client Command: PWDs3cret"), "Client Command: PWD***");
    EXPECT_EQ(ServiceNotify::statusText("Client Command: PWD"), "Client Command: PWD***");
    EXPECT_EQ(ServiceNotify::statusText("Client Command: Set5"), "Client Command: Set5");
    EXPECT_EQ(ServiceNotify::statusText("COM1  KIVO16  5 minutes  Ready"), "COM1  KIVO16  5 minutes  Ready");
    // A client's bytes never start a notification line of their own or reach the manager as non-ASCII.
    EXPECT_EQ(ServiceNotify::statusText("Client Command: 0x\nREADY=1\x7f\xc3\xa9"),
              "Client Command: 0x?READY=1???");
}

// Pings counted while the check answers; none while it hangs; again once it answers.
TEST(ServiceNotifyWatchdog, PingsOnlyWhileTheCheckAnswers) {
    std::mutex m;
    std::condition_variable cv;
    bool hung = false;
    std::atomic<int> pings{0};
    {
        ServiceNotify::Watchdog watchdog(
            20ms,
            [&] {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [&] { return !hung; });
            },
            [&] { ++pings; });
        const auto waitFor = [&](int count) {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (pings < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
            return pings.load() >= count;
        };
        ASSERT_TRUE(waitFor(3));
        {
            std::lock_guard<std::mutex> lock(m);
            hung = true;
        }
        // A ping already past its check may still come; after that, none while the check hangs.
        std::this_thread::sleep_for(100ms);
        const int before = pings;
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(pings.load(), before);
        {
            std::lock_guard<std::mutex> lock(m);
            hung = false;
        }
        cv.notify_all();
        EXPECT_TRUE(waitFor(before + 3));
    }
}

}  // namespace
