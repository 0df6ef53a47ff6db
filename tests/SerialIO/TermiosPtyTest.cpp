// The termios library over real pseudo-terminals: the port opens the slave side by its path,
// the test plays the device on the master side.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Pty.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "SerialIO/SerialPortLocal.h"
#include "SerialIO/native/SerialNative.h"

using namespace SerialIO;

namespace {

// tcdrain and tcsendbreak answer EINTR this many times before doing their work, as they do when a
// signal arrives while they wait for the line.
std::atomic<int> interruptions{0};

template <class F, class... Args>
int interruptible(const char* name, Args... args) {
    if (interruptions.load() > 0) {
        --interruptions;
        errno = EINTR;
        return -1;
    }
    static const auto real = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    return real(args...);
}

}  // namespace

extern "C" int tcdrain(int fd) { return interruptible<int (*)(int)>("tcdrain", fd); }
extern "C" int tcsendbreak(int fd, int duration) __THROW {
    return interruptible<int (*)(int, int)>("tcsendbreak", fd, duration);
}

namespace {

std::string openError(const std::string& name) {
    try {
        SerialPortLocal port(std::make_shared<SerialConfig>(name));
    } catch (const IOException& e) {
        return e.what();
    }
    return "(opened)";
}

}  // namespace

TEST(TermiosPty, OpensAt9600And8N1AndSendsWholeFrames) {
    Pty pty;
    ASSERT_FALSE(pty.slavePath.empty());
    auto cfg = std::make_shared<SerialConfig>(pty.slavePath);
    SerialPortLocal port(cfg);
    EXPECT_TRUE(port.isOpen());
    EXPECT_GE(cfg->getPort(), 257);  // device paths are numbered after the COM ports

    struct termios t {};
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);  // a pty master reports its slave's settings
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    const std::vector<uint8_t> frame{0xFE, 0x01, 0x05, 0x0A, 0x0D, 0x00};
    port.putData(frame);
    EXPECT_EQ(pty.readSome(frame.size()), frame);
}

TEST(TermiosPty, ReceivesAndTimesOut) {
    Pty pty;
    SerialPortLocal port(std::make_shared<SerialConfig>(pty.slavePath));
    ASSERT_EQ(::write(pty.master, "\x01\x02\x03", 3), 3);
    int ready = 0;
    for (int i = 0; i < 200 && (ready = port.rxReadyCount()) < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ready, 3);
    std::vector<uint8_t> buf(8);
    EXPECT_EQ(port.getData(buf), 3);
    EXPECT_EQ(buf[2], 3);

    port.setTimeoutRx(100);
    EXPECT_EQ(port.getTimeoutRx(), 100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.getByte(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(TermiosPty, SecondOpenIsRefused) {
    Pty pty;
    SerialPortLocal first(std::make_shared<SerialConfig>(pty.slavePath));
    EXPECT_EQ(openError(pty.slavePath), "SerOpenPort failed: Port is already open");
    first.close();

    // Another holder of the line: an open file description with its own lock.
    const int other = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(openError(pty.slavePath), "SerOpenPort failed: Port is in use");
    ::close(other);

    // Another process.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const int fd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
        const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        (void)!::write(ready[1], locked ? "y" : "n", 1);
        ::sleep(2);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(openError(pty.slavePath), "SerOpenPort failed: Port is in use");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(openError(pty.slavePath), "(opened)");
}

TEST(TermiosPty, NamesThatAreNoPort) {
    EXPECT_EQ(openError("/dev/does-not-exist"), "SerOpenPort failed: Port not valid");
    EXPECT_EQ(openError("/dev/null"), "SerOpenPort failed: Port not valid");  // not a terminal
    EXPECT_EQ(openError("LPT1"), "SerOpenPort failed: Port not valid");
    EXPECT_EQ(openError("COM0"), "SerOpenPort failed: Port not valid");
}

TEST(TermiosPty, MappedComNameOpensTheDevice) {
    Pty pty;
    mapPortName("COM9", pty.slavePath);
    auto cfg = std::make_shared<SerialConfig>("COM9");
    SerialPortLocal port(cfg);
    EXPECT_EQ(cfg->getPort(), 9);
    EXPECT_EQ(port.getPortNum(), 8);
    port.putString("abc\n");
    EXPECT_EQ(pty.readSome(4), (std::vector<uint8_t>{'a', 'b', 'c', '\n'}));
    EXPECT_GE(port.txBufCount(), 0);
    EXPECT_EQ(port.rxFlush(), 0);
}

TEST(TermiosPty, WriteAfterOtherSideClosedFails) {
    auto pty = std::make_unique<Pty>();
    SerialPortLocal port(std::make_shared<SerialConfig>(pty->slavePath));
    pty.reset();
    try {
        port.putData(std::vector<uint8_t>{1, 2, 3});
        ADD_FAILURE() << "write to a hung-up line succeeded";
    } catch (const IOException& e) {
        EXPECT_EQ(std::string(e.what()), "PutData1: Sent only -1 of 3 bytes");
        EXPECT_NE(e.systemError().find("write("), std::string::npos);
    }
}

TEST(TermiosPty, WriteLargerThanTheDriversBufferWaitsForRoomWithinTheTimeout) {
    // Far more than a pseudo-terminal holds: the write must wait for room, not fail or spin.
    const std::vector<uint8_t> block(256 * 1024, 0x55);
    {
        Pty pty;
        SerialPortLocal port(std::make_shared<SerialConfig>(pty.slavePath));
        port.setTimeoutTx(5000);
        std::vector<uint8_t> got;
        std::thread reader([&] { got = pty.readSome(block.size()); });
        port.putData(block);
        reader.join();
        EXPECT_EQ(got.size(), block.size());
    }
    Pty pty;
    SerialPortLocal port(std::make_shared<SerialConfig>(pty.slavePath));
    port.setTimeoutTx(300);
    const auto start = std::chrono::steady_clock::now();
    try {
        port.putData(block);  // nobody reads
        ADD_FAILURE() << "a write to a line nobody reads succeeded";
    } catch (const IOException& e) {
        EXPECT_NE(std::string(e.what()).find("Sent only"), std::string::npos) << e.what();
        EXPECT_NE(e.systemError().find("transmit time-out"), std::string::npos) << e.systemError();
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

TEST(TermiosPty, GetDataWaitsOnceForTheReceiveTimeout) {
    Pty pty;
    SerialPortLocal port(std::make_shared<SerialConfig>(pty.slavePath));
    port.setTimeoutRx(1000);
    std::vector<uint8_t> buf(4);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.getData(buf), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::milliseconds(1800));  // not the port's wait and then the library's
}

TEST(TermiosPty, ConfigureSetsEveryLineFlagAndReadsTheSettingsBack) {
    Pty pty;
    {
        // Flags a previous program left on the line: mark/space parity, parity marking and dropping.
        const int fd = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        struct termios t {};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        t.c_cflag |= CMSPAR;
        t.c_iflag |= INPCK | IGNPAR | PARMRK | ISTRIP;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    auto cfg = std::make_shared<SerialConfig>(pty.slavePath);
    SerialPortLocal port(cfg);
    struct termios t {};
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(t.c_cflag & CMSPAR, 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | IGNPAR | PARMRK | ISTRIP), 0u);

    // A pseudo-terminal carries no parity bit: tcsetattr succeeds, the setting does not take.
    cfg->setParity(SerialConfig::PY_ODD);
    try {
        port.configure();
        ADD_FAILURE() << "a parity the device did not take was reported as configured";
    } catch (const IOException& e) {
        EXPECT_STREQ(e.what(), "Configure failed: 2004");
        EXPECT_EQ(plainReason(e), "Serial device " + pty.slavePath + ": the device did not take parity");
    }
}

TEST(TermiosPty, DrainAndBreakGoOnAfterASignal) {
    Pty pty;
    SerialPortLocal port(std::make_shared<SerialConfig>(pty.slavePath));
    interruptions = 2;
    EXPECT_EQ(port.txDrain(), 0);
    EXPECT_EQ(interruptions.load(), 0);
    interruptions = 2;
    EXPECT_NO_THROW(port.sendBreak(0));
    EXPECT_EQ(interruptions.load(), 0);
}
