// The real server under a fake service manager: an AF_UNIX datagram socket named by NOTIFY_SOCKET
// receives READY=1 with the ready line, the status line as it changes, watchdog pings at the rate
// WATCHDOG_USEC asks, and STOPPING=1 on SIGTERM.
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>

#include "tests/e2e/badinput_support.h"

namespace {

using namespace badinput;

// The manager's end: every datagram with the time it came.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("notify socket");
        reader_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                char buf[4096];
                const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back({Clock::now(), std::string(buf, static_cast<size_t>(n))});
            }
        });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        ::close(fd_);
    }
    struct Message {
        Clock::time_point at;
        std::string text;
    };
    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // Waits for a message that is `text`; gives how many there are.
    bool waitFor(const std::string& text, int times = 1, std::chrono::milliseconds limit = 10000ms) const {
        const auto deadline = Clock::now() + limit;
        while (count(text) < times) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    int count(const std::string& text) const {
        int n = 0;
        for (const Message& m : messages()) n += m.text == text;
        return n;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

TEST(ServiceNotify, ReadyStatusWatchdogAndStopping) {
    TempDir dir;
    Pty pty;
    NotifySocket manager(dir.path() + "/notify");
    // The server inherits these; no other test in this process starts a server meanwhile.
    ::setenv("NOTIFY_SOCKET", (dir.path() + "/notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);  // pings every 200 ms
    int port = 0;
    // Free now; the server takes them below.
    const int routerPort = net::Listener::open(0)->port(), httpPort = net::Listener::open(0)->port();
    auto server = serveOnFreePort(dir, pty.path(), port, "cfg.bin",
                                  {"--router-port", std::to_string(routerPort), "--http-port", std::to_string(httpPort)});
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_NE(server, nullptr);

    // Ready together with the ready line, and only once the faces asked for listen. Console lines
    // reach stdout through the writer thread, so the line may follow the datagram by a moment (a TSan
    // build shows it); it must come, once.
    ASSERT_TRUE(manager.waitFor("READY=1\nSTATUS=COM1  KIVO16  0 minutes  Ready")) << server->console();
    EXPECT_NO_THROW(net::Connection::connect("127.0.0.1", httpPort)) << server->console();
    EXPECT_NO_THROW(net::Connection::connect("127.0.0.1", routerPort)) << server->console();
    EXPECT_TRUE(server->waitForLine("COM1  KIVO16  0 minutes  Ready")) << server->console();
    EXPECT_EQ(server->count("COM1  KIVO16  0 minutes  Ready"), 1) << server->console();

    // The status line follows a session; the password never reaches the manager.
    {
        auto client = net::Connection::connect("127.0.0.1", port);
        client->writeLine("PWDJVK");
        client->writeLine("Set5");
        ASSERT_TRUE(manager.waitFor("STATUS=Selected Input #5")) << server->console();
        const std::vector<uint8_t> line = pty.waitBytes(9), set5 = frames(5, true, false);
        EXPECT_NE(std::search(line.begin(), line.end(), set5.begin(), set5.end()), line.end());
    }
    for (const auto& m : manager.messages()) EXPECT_EQ(m.text.find("JVK"), std::string::npos) << m.text;

    // Watchdog pings at the asked rate: half of WATCHDOG_USEC on average. A ping goes out when the
    // round's check has answered, so one slow check (a loaded or instrumented build) brings the next
    // ping closer; never in a burst, though.
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", 6));
    std::vector<Clock::time_point> pings;
    for (const auto& m : manager.messages()) {
        if (m.text == "WATCHDOG=1") pings.push_back(m.at);
    }
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_GE(pings[i] - pings[i - 1], 50ms) << "ping " << i;
    }
    if (pings.size() >= 3) {
        EXPECT_GE((pings.back() - pings.front()) / (pings.size() - 1), 150ms);
    }

    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(manager.count("STOPPING=1"), 1) << server->console();
}

}  // namespace
