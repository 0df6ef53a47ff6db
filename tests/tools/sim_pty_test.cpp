#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Collects event lines from the reader thread and lets the test wait for them.
class LineLog {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        cv_.notify_all();
    }
    // Waits up to 3 s until at least n lines have arrived; returns all lines so far.
    std::vector<std::string> waitFor(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, 3s, [&] { return lines_.size() >= n; });
        return lines_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// Opens the device as a serial client would.
int openDevice(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY); }

void writeAll(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

TEST(SimSelectorPty, ServerFramesReachTheCallback) {
    LineLog log;
    SimulatedSelector* self = nullptr;
    std::vector<int> seenInputs;  // written only by the reader thread, read after stop()
    SimulatedSelector sim([&](const std::string& line) {
        seenInputs.push_back(self->outputInput(1));  // queries work from inside the callback
        log.add(line);
    });
    self = &sim;
    EXPECT_EQ(sim.devicePath(), "");
    sim.start();
    EXPECT_TRUE(sim.running());
    EXPECT_THROW(sim.start(), std::logic_error);
    const std::string path = sim.devicePath();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    const int fd = openDevice(path);
    ASSERT_GE(fd, 0);
    writeAll(fd, {0xFE, 0x01, 0x05, 0xFE, 0x02, 0x05});
    EXPECT_EQ(log.waitFor(2), (std::vector<std::string>{"Output 1 <- Input 5", "Output 2 <- Input 5"}));
    EXPECT_EQ(sim.outputInput(1), 5);
    EXPECT_EQ(sim.outputInput(2), 5);
    EXPECT_EQ(sim.validFrames(), 2u);

    // The server closes and reopens the device: the simulator keeps listening. Garbage with nothing
    // after it is reported once the line goes quiet.
    ::close(fd);
    const int fd2 = openDevice(path);
    ASSERT_GE(fd2, 0);
    writeAll(fd2, {0x41, 0x42});
    const auto lines = log.waitFor(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "Invalid bytes: 41 42");
    EXPECT_EQ(sim.invalidBytes(), 2u);
    writeAll(fd2, {0xFE, 0x01, 0x10});
    EXPECT_EQ(log.waitFor(4).back(), "Output 1 <- Input 16");
    ::close(fd2);

    sim.stop();
    EXPECT_FALSE(sim.running());
    sim.stop();  // harmless twice
    EXPECT_EQ(seenInputs, (std::vector<int>{5, 5, 5, 16}));

    // A frame written just before stop() is reported all the same (the reader used to leave at once).
    int missed = 0;
    for (int round = 0; round < 30; ++round) {
        std::string last;
        SimulatedSelector quick([&](const std::string& line) { last = line; });
        quick.start();
        const int fd3 = openDevice(quick.devicePath());
        ASSERT_GE(fd3, 0);
        writeAll(fd3, {0xFE, 0x01, 0x07});
        ::tcdrain(fd3);
        quick.stop();
        ::close(fd3);
        if (last != "Output 1 <- Input 7") ++missed;
    }
    EXPECT_EQ(missed, 0);
}

TEST(SimSelectorPty, LineIs9600EightNoneOneWithoutFlowControl) {
    SimulatedSelector sim(nullptr);
    sim.start();
    const int fd = openDevice(sim.devicePath());
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    ::close(fd);

    // Restarting gives a fresh pty and a fresh decoder.
    sim.stop();
    sim.start();
    EXPECT_FALSE(sim.devicePath().empty());
    EXPECT_EQ(sim.outputInput(1), 0);
    EXPECT_EQ(sim.validFrames(), 0u);
}
