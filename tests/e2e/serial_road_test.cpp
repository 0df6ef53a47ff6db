// The whole road from a client to the serial line, against the real server program: the frames a
// selection puts on the line and their pacing, the line settings, a configuration without a serial
// port, a device that is missing or goes away, and the built-in simulated selector.
#include <algorithm>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace {

using badinput::Clock;
using badinput::frames;
using badinput::freeConfigurablePort;
using badinput::Server;
using badinput::TempDir;
using namespace std::chrono_literals;

const std::string kNotCommunicating = "COM port not communicating.";

// The selector's end of the line, read by the test itself: each byte is stamped with the time it
// arrived on the master side.
class Line {
public:
    struct Byte {
        uint8_t value;
        Clock::time_point at;
    };

    Line() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("posix_openpt");
        path_ = ::ptsname(master_);
        // Held so the master sees no hang-up before the server has opened the line.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) throw std::runtime_error("open slave");
        termios tio{};
        ::tcgetattr(master_, &tio);
        ::cfmakeraw(&tio);
        // Raw, but otherwise settings the server has to change: what it leaves alone shows when read
        // back. (A pseudo-terminal keeps 8 data bits and no parity whatever it is told.)
        ::cfsetispeed(&tio, B38400);
        ::cfsetospeed(&tio, B38400);
        tio.c_cflag |= CSTOPB | CRTSCTS;
        tio.c_iflag |= IXON | IXOFF;
        ::tcsetattr(master_, TCSANOW, &tio);
    }
    ~Line() { close(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    const std::string& path() const { return path_; }
    termios settings() const {
        termios tio{};
        ::tcgetattr(master_, &tio);
        return tio;
    }
    // Up to `count` bytes, as many as came before the time was up; later bytes stay for the next call.
    std::vector<Byte> read(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::vector<Byte> got;
        const auto deadline = Clock::now() + limit;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            uint8_t chunk[64];
            const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            const auto now = Clock::now();
            if (n <= 0) std::this_thread::sleep_for(5ms);
            for (ssize_t i = 0; i < n; ++i) got.push_back({chunk[i], now});
        }
        return got;
    }
    std::vector<uint8_t> bytes(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::vector<uint8_t> values;
        for (const Byte& b : read(count, limit)) values.push_back(b.value);
        return values;
    }
    // The device goes away under the server.
    void close() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
        master_ = slave_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

std::vector<std::string> headlessArgs(const std::string& config, const std::string& device) {
    return {"--headless", "--config", config, "--device", device};
}

TEST(SerialRoad, SelectionsReachTheLineWithTheirFramesPacedAndSettings) {
    TempDir dir;
    Line line;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    const termios before = line.settings();
    ASSERT_EQ(::cfgetospeed(&before), static_cast<speed_t>(B38400));
    ASSERT_EQ(before.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
    Server server(headlessArgs(dir.config(port), line.path()));

    // Start-up selects input 1 on both outputs.
    EXPECT_EQ(line.bytes(6), frames(1)) << server.console();
    ASSERT_TRUE(server.waitForLine("Server Socket Opened OK at Port " + std::to_string(port))) << server.console();

    EXPECT_TRUE(server.hasOpen(line.path()));
    // While the server holds the line: 9600 bits/s, 8 data bits, no parity, 1 stop bit, no flow control.
    const termios tio = line.settings();
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set5");
    const std::vector<Line::Byte> got = line.read(6);
    std::vector<uint8_t> values;
    for (const Line::Byte& b : got) values.push_back(b.value);
    ASSERT_EQ(values, frames(5)) << server.console();
    // The pause after the first frame; a few ms of slack for the test's own wake-up on that frame.
    EXPECT_GE(got[3].at - got[2].at, 45ms);
    EXPECT_TRUE(server.waitForLine("Selected Input #5")) << server.console();

    // Output mode 0: only the first output's frame.
    client.send("Out1");
    client.send("Set16");
    EXPECT_EQ(line.bytes(3), frames(16, true, false)) << server.console();
    EXPECT_TRUE(line.bytes(1, 300ms).empty());

    // Raw bytes go out as written, and nothing else with them.
    client.send("0xFE0203");
    EXPECT_EQ(line.bytes(3), std::vector<uint8_t>({0xFE, 0x02, 0x03})) << server.console();
    EXPECT_TRUE(line.bytes(1, 300ms).empty());

    // The device goes away: the selection is reported as not reaching the line, and the server still
    // stops cleanly.
    line.close();
    client.send("Out3");
    client.send("Set2");
    EXPECT_TRUE(server.waitForLine(kNotCommunicating, 2)) << server.console();
    EXPECT_EQ(server.count("Selected Input #2"), 0) << server.console();
    EXPECT_TRUE(server.alive());
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.console();
}

TEST(SerialRoad, NoSerialPortConfiguredOpensNone) {
    TempDir dir;
    Line line;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    const std::string config = dir.path() + "/com0.cfg";
    const char record[6] = {static_cast<char>(0xFF), 0, static_cast<char>(port - 3001), 0, 0, 0};
    std::ofstream(config, std::ios::binary).write(record, sizeof record);
    // A device on the command line changes nothing when no port is configured.
    Server server(headlessArgs(config, line.path()));
    ASSERT_TRUE(server.waitForLine("Server Socket Opened OK at Port " + std::to_string(port))) << server.console();
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set5");
    EXPECT_TRUE(server.waitForLine("Selected Input #5")) << server.console();
    EXPECT_TRUE(server.waitForLine("COM0  KIVO16  0 minutes  Ready")) << server.console();

    // The server's open files tell whether it took the line; bytes on the terminal would not, since
    // a server of a test running beside this one may open a terminal number that is free again.
    EXPECT_FALSE(server.hasOpen(line.path()));
    EXPECT_EQ(server.count("SerOpenPort", false), 0) << server.console();
    EXPECT_EQ(server.count(kNotCommunicating, false), 0) << server.console();
}

TEST(SerialRoad, MissingDeviceIsReportedPerFrameAndTheServerServesOn) {
    TempDir dir;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    Server server(headlessArgs(dir.config(port), "/dev/does-not-exist-kivo"));
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();
    EXPECT_EQ(server.count("SerOpenPort failed", false), 1) << server.console();
    // Start-up's selection in output mode 2: both frames fail.
    EXPECT_EQ(server.count(kNotCommunicating), 2) << server.console();

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set5");
    EXPECT_TRUE(server.waitForLine(kNotCommunicating, 4)) << server.console();
    client.send("Set6");
    EXPECT_TRUE(server.waitForLine("Client Command: Set6")) << server.console();
    EXPECT_TRUE(server.waitForLine(kNotCommunicating, 6)) << server.console();
    EXPECT_EQ(server.count("Selected Input #5") + server.count("Selected Input #6"), 0) << server.console();
    EXPECT_EQ(server.count("SerOpenPort failed", false), 1) << server.console();
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.console();
}

TEST(SerialRoad, ConfiguredRoutingHoldsFromTheFirstSelection) {
    TempDir dir;
    Line line;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    // Routing to output 2: start-up still selects input 1 on both outputs, then only output 2 follows.
    Server server(headlessArgs(dir.config(port, "cfg.bin", 1), line.path()));
    EXPECT_EQ(line.bytes(6), frames(1)) << server.console();
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();
    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set5");
    EXPECT_EQ(line.bytes(3), frames(5, false, true)) << server.console();
    EXPECT_TRUE(line.bytes(1, 300ms).empty()) << server.console();
    EXPECT_TRUE(server.waitForLine("Selected Input #5")) << server.console();
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.console();
}

TEST(SerialRoad, SimulatedSelectorReportsWhatItWasSent) {
    TempDir dir;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    Server server({"--simulate", "--headless", "--config", dir.config(port)});
    ASSERT_TRUE(server.waitForLine("Server Socket Opened OK at Port " + std::to_string(port))) << server.console();
    EXPECT_TRUE(server.waitForLine("Simulated selector: Output 2 <- Input 1")) << server.console();

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set7");
    EXPECT_TRUE(server.waitForLine("Simulated selector: Output 1 <- Input 7")) << server.console();
    EXPECT_TRUE(server.waitForLine("Simulated selector: Output 2 <- Input 7")) << server.console();
    EXPECT_EQ(server.count(kNotCommunicating, false), 0) << server.console();
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.console();
}

}  // namespace
