// The router face's socket side on loopback. POSIX only: the descriptors are limited with setrlimit.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "router/RouterServer.h"
#include "tests/app/support/TestClient.h"

namespace {

bool dumpArrives(TestClient& client, int ms) {
    while (auto line = client.readLine(ms))
        if (*line == "END PRELUDE:") return true;
    return false;
}

// Another part of the process holds every descriptor for a moment: the panel that connects then
// is taken once they are back, with no router client leaving in between, and so is the next one.
TEST(RouterServer, AcceptsAgainOnceDescriptorsAreBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own checks need descriptors while the test holds every one";
#endif
    Routing record;
    router::RouterServer::Options options;
    options.port = 0;
    router::RouterServer server(
        record, [](int, int, const std::function<void()>&) {}, [](const std::string&) {}, options);
    server.start();

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    ::close(held.back());
    held.pop_back();
    TestClient first(server.port());  // takes the last one: accept fails
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const int fd : held) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(dumpArrives(first, 3000));
    TestClient second(server.port());
    EXPECT_TRUE(dumpArrives(second, 3000));
}

TEST(RouterServer, ClientsPastTheLimitsAreRefusedUntilOneLeaves) {
    Routing record;
    router::RouterServer::Options options;
    options.port = 0;
    options.maxClients = 3;
    options.maxPerAddress = 2;
    router::RouterServer server(
        record, [](int, int, const std::function<void()>&) {}, [](const std::string&) {}, options);
    server.start();
    auto first = std::make_unique<TestClient>(server.port(), "127.0.0.1");
    TestClient second(server.port(), "127.0.0.1");
    ASSERT_TRUE(dumpArrives(*first, 3000));
    ASSERT_TRUE(dumpArrives(second, 3000));
    TestClient third(server.port(), "127.0.0.1");  // one address past its share
    EXPECT_FALSE(dumpArrives(third, 1000));
    EXPECT_TRUE(third.closedByServer());
    TestClient fourth(server.port(), "127.0.0.2");  // another address still gets in
    EXPECT_TRUE(dumpArrives(fourth, 3000));
    TestClient fifth(server.port(), "127.0.0.3");   // past the limit of all
    EXPECT_FALSE(dumpArrives(fifth, 1000));
    EXPECT_TRUE(fifth.closedByServer());
    first.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    TestClient sixth(server.port(), "127.0.0.1");
    EXPECT_TRUE(dumpArrives(sixth, 3000));
}

// While the serial line is down a selection would reach nobody: NAK, not ACK, and nothing is tried.
TEST(RouterServer, RoutingRequestsGetNakWhileTheLineIsDown) {
    Routing record;
    std::atomic<bool> up{false};
    std::atomic<int> routed{0};
    router::RouterServer::Options options;
    options.port = 0;
    options.lineUp = [&] { return up.load(); };
    router::RouterServer server(
        record, [&](int, int, const std::function<void()>&) { ++routed; }, [](const std::string&) {}, options);
    server.start();
    TestClient panel(server.port());
    ASSERT_TRUE(dumpArrives(panel, 3000));
    panel.readLine();  // the blank line after the dump
    panel.sendRaw("VIDEO OUTPUT ROUTING:\n0 3\n\n");
    EXPECT_EQ(panel.readLine(), "NAK");
    up = true;
    panel.readLine();
    panel.sendRaw("VIDEO OUTPUT ROUTING:\n0 3\n\n");
    EXPECT_EQ(panel.readLine(), "ACK");
    for (int i = 0; i < 200 && routed == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(routed, 1);
}

}  // namespace
#endif  // _WIN32
