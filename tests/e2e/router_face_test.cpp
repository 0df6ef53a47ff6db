// The router-protocol face of the real server program, on a pseudo-terminal line: two router clients
// and one line-protocol client share the selector; selections from either face reach every router
// client; locks hold other clients off; a client that stops reading is dropped without holding up the
// others, and a client's locks go with it.
#include <sys/socket.h>


#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace {

using badinput::Clock;
using badinput::frames;
using badinput::operator+;
using badinput::Pty;
using badinput::Server;
using badinput::TempDir;
using namespace std::chrono_literals;

// A router-protocol client: what it receives is searched in order, each wait consuming through its match.
class RouterClient {
public:
    explicit RouterClient(int port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const timeval limit{2, 0};  // a send the server does not take fails instead of hanging the test
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("connect");
    }
    ~RouterClient() { ::close(fd_); }
    RouterClient(const RouterClient&) = delete;
    RouterClient& operator=(const RouterClient&) = delete;

    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = 5000ms) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (const auto at = buffer_.find(text); at != std::string::npos) {
                buffer_.erase(0, at + text.size());
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    const std::string& unread() const { return buffer_; }

private:
    int fd_ = -1;
    std::string buffer_;
};

// Waits until `times` console lines contain `part`.
bool waitForPart(const Server& server, const std::string& part, int times, std::chrono::milliseconds limit = 5000ms) {
    return server.waitUntil([&] { return server.count(part, false) >= times; }, limit);
}

std::vector<uint8_t> frame(int output, int input) {
    return {0xFE, static_cast<uint8_t>(output), static_cast<uint8_t>(input)};
}

TEST(RouterFace, RouterAndLineClientsShareTheSelector) {
    TempDir dir;
    Pty line;
    const int port = badinput::freeConfigurablePort();
    ASSERT_GT(port, 0);
    Server server({"--headless", "--config", dir.config(port), "--device", line.path(), "--router-port", "0",
                   "--state-file", dir.path() + "/kivonet.state"});
    ASSERT_TRUE(server.waitForLine("Server Socket Opened OK at Port " + std::to_string(port))) << server.console();
    const int routerPort = server.portNamed("Router protocol");
    ASSERT_GT(routerPort, 0) << server.console();
    ASSERT_EQ(line.waitBytes(6), frames(1)) << server.console();  // start-up: input 1 on both outputs

    RouterClient a(routerPort);
    auto b = std::make_unique<RouterClient>(routerPort);
    for (RouterClient* c : {&a, b.get()}) {
        ASSERT_TRUE(c->waitFor("PROTOCOL PREAMBLE:\nVersion: 2.8\n\n")) << server.console();
        ASSERT_TRUE(c->waitFor("VIDEO OUTPUT ROUTING:\n0 0\n1 0\n\nCONFIGURATION:\nTake Mode: false\n\nEND PRELUDE:\n\n"));
    }
    EXPECT_TRUE(waitForPart(server, "connected", 2)) << server.console();
    EXPECT_EQ(server.count("Router client 127.0.0.1:", false), 2) << server.console();
    TestClient session(port);
    ASSERT_EQ(session.readLine(), "OK");

    // A's selection goes on the line, and both router clients hear of it, A right after its ACK.
    a.send("VIDEO OUTPUT ROUTING:\r\n1 6\r\n\r\n");
    EXPECT_EQ(line.waitBytes(9), frames(1) + frame(2, 7)) << server.console();
    EXPECT_TRUE(a.waitFor("ACK\n\nVIDEO OUTPUT ROUTING:\n1 6\n\n")) << a.unread();
    EXPECT_TRUE(b->waitFor("VIDEO OUTPUT ROUTING:\n1 6\n\n")) << b->unread();
    EXPECT_TRUE(waitForPart(server, "Route: output 2 <- input 7 (router 127.0.0.1:", 1)) << server.console();
    // A label's quotes cannot make its console line name another source.
    a.send("INPUT LABELS:\n1 Cam\" (web 10.9.9.9)\n\n");
    EXPECT_TRUE(waitForPart(server, "Label: input 2 = \"Cam\\\" (web 10.9.9.9)\" (router 127.0.0.1:", 1))
        << server.console();
    EXPECT_TRUE(a.waitFor("ACK\n\nINPUT LABELS:\n1 Cam\" (web 10.9.9.9)\n\n")) << a.unread();
    EXPECT_TRUE(b->waitFor("INPUT LABELS:\n1 Cam\" (web 10.9.9.9)\n\n")) << b->unread();

    // A selection from the line protocol (to both outputs) reaches both router clients too.
    session.send("Out3");
    session.send("Set3");
    EXPECT_EQ(line.waitBytes(15), frames(1) + frame(2, 7) + frames(3)) << server.console();
    for (RouterClient* c : {&a, b.get()}) {
        EXPECT_TRUE(c->waitFor("0 2\n")) << c->unread();
        EXPECT_TRUE(c->waitFor("1 2\n")) << c->unread();
    }

    // Selections asked for while the line still paces an earlier one go out in the order asked.
    a.send("VIDEO OUTPUT ROUTING:\n0 1\n\n");
    EXPECT_TRUE(a.waitFor("ACK\n\n")) << a.unread();
    b->send("VIDEO OUTPUT ROUTING:\n1 3\n\n");
    EXPECT_TRUE(b->waitFor("ACK\n\n")) << b->unread();
    a.send("VIDEO OUTPUT ROUTING:\n1 4\n\n");
    EXPECT_TRUE(a.waitFor("ACK\n\n")) << a.unread();
    EXPECT_EQ(line.waitBytes(24), frames(1) + frame(2, 7) + frames(3) + frame(1, 2) + frame(2, 4) + frame(2, 5))
        << server.console();
    EXPECT_TRUE(b->waitFor("VIDEO OUTPUT ROUTING:\n1 4\n\n")) << b->unread();

    // B's lock holds A off output 0: NAK, and nothing goes on the line.
    b->send("VIDEO OUTPUT LOCKS:\n0 O\n\n");
    EXPECT_TRUE(b->waitFor("ACK\n\nVIDEO OUTPUT LOCKS:\n0 O\n\n")) << b->unread();
    EXPECT_TRUE(a.waitFor("VIDEO OUTPUT LOCKS:\n0 L\n\n")) << a.unread();
    a.send("VIDEO OUTPUT ROUTING:\n1 9\n0 4\n\n");
    EXPECT_TRUE(a.waitFor("NAK\n\n")) << a.unread();

    // A client that sends without reading is dropped once its replies pile up; meanwhile the others
    // are served as before.
    {
        RouterClient hog(routerPort, 4096);
        std::string requests;
        for (int i = 0; i < 1000; ++i) requests += "INPUT LABELS:\n\n";
        // A send the server does not take in time fails and is tried again (the server may be slow,
        // e.g. under a sanitizer); once the server has dropped the client, sends fail for good.
        const auto until = Clock::now() + 60s;
        while (server.count("dropped, it does not read", false) == 0 && Clock::now() < until)
            if (!hog.send(requests)) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(waitForPart(server, "dropped, it does not read", 1)) << server.console();
        b->send("VIDEO OUTPUT ROUTING:\n0 11\n\n");
        EXPECT_TRUE(b->waitFor("ACK\n\nVIDEO OUTPUT ROUTING:\n0 11\n\n")) << b->unread();
        EXPECT_TRUE(a.waitFor("VIDEO OUTPUT ROUTING:\n0 11\n\n")) << a.unread();
    }
    EXPECT_EQ(line.waitBytes(27), frames(1) + frame(2, 7) + frames(3) + frame(1, 2) + frame(2, 4) + frame(2, 5) +
                                      frame(1, 12)) << server.console();
    EXPECT_EQ(server.count("dropped, it does not read", false), 1) << server.console();

    // B goes: its lock goes with it.
    b.reset();
    EXPECT_TRUE(a.waitFor("VIDEO OUTPUT LOCKS:\n0 U\n\n")) << a.unread() << server.console();
    EXPECT_TRUE(waitForPart(server, "disconnected", 2)) << server.console();
    EXPECT_EQ(line.waitBytes(28, 300ms).size(), 27u) << "nothing else reached the line";

    // A line that takes no bytes holds up only the selection waiting for it: another client is
    // answered long before that write gives up (after 2 s).
    RouterClient c(routerPort);
    ASSERT_TRUE(c.waitFor("END PRELUDE:\n\n")) << c.unread();
    line.holdOutput(true);
    a.send("VIDEO OUTPUT ROUTING:\n0 5\n\n");
    std::this_thread::sleep_for(100ms);  // A's selection is waiting for the line
    c.send("PING:\n\n");
    EXPECT_TRUE(c.waitFor("ACK\n\n", 1000ms)) << server.console();
    EXPECT_TRUE(waitForPart(server, "transmit time-out", 1)) << server.console();
    line.holdOutput(false);
    EXPECT_TRUE(server.alive());
}

}  // namespace
