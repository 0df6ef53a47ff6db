// The slice hint must leave the thread's priority as it was, whether or not the kernel takes it.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "SerialIO/ThreadPriority.h"

TEST(ThreadPriority, ShortSlicesKeepThePriority) {
    std::optional<int> before, after;
    std::thread([&] {
        const int self = SerialIO::currentThreadId();
        SerialIO::setThreadPriority(self, -5);  // lowering needs no privilege
        before = SerialIO::threadPriority(self);
        SerialIO::preferShortTimeSlices();
        after = SerialIO::threadPriority(self);
    }).join();
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before, after);
}
