// A serial adapter unplugged and plugged back under the real server: the server reaches its line
// through a symbolic link (as through a /dev/serial/by-id/ name), the test pulls the adapter by
// closing the pseudo-terminal and plugs it back by pointing the link at a new one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace badinput {
namespace {

const std::string kNotCommunicating = "COM port not communicating.";

// Points the link at the target in one step, as a device manager does.
void pointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    std::remove(fresh.c_str());
    ASSERT_EQ(::symlink(target.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(std::rename(fresh.c_str(), link.c_str()), 0);
}

TEST(SerialUnplug, PulledAdapterIsReportedAndTheRoutingIsRestoredWhenItIsBack) {
    TempDir dir;
    const std::string link = dir.path() + "/by-id-adapter";
    auto pty = std::make_unique<Pty>();
    pointLink(link, pty->path());
    int port = -1;
    const auto serverPtr = serveOnFreePort(dir, link, port);
    ASSERT_NE(serverPtr, nullptr);
    const Server& server = *serverPtr;
    ASSERT_EQ(pty->waitBytes(6), frames(1)) << server.console();

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Out1");
    client.send("Set5");
    client.send("Out2");
    client.send("Set7");
    ASSERT_EQ(pty->waitBytes(12), frames(1) + frames(5, true, false) + frames(7, false, true)) << server.console();
    ASSERT_TRUE(server.waitForLine("Selected Input #7")) << server.console();
    const int routeLines = server.count("Route:", false);

    // Pulled: noticed without any command being sent.
    pty->closeMaster();
    ASSERT_TRUE(server.waitForLine("Serial device " + link + " lost: hung up", 1, 5000ms)) << server.console();
    // The device node goes with the adapter. Left in place, the link would point at a terminal number
    // the system hands to the next pseudo-terminal made, perhaps another test's.
    ::unlink(link.c_str());
    const int refusedBefore = server.count(kNotCommunicating);
    client.send("Out3");
    client.send("Set9");
    EXPECT_TRUE(server.waitForLine(kNotCommunicating, refusedBefore + 2)) << server.console();
    EXPECT_EQ(server.count("Selected Input #9"), 0) << server.console();

    // Something that cannot be opened shows up under the name: why is said once, not every second.
    const std::string notAPort = dir.path() + "/not-a-port";
    std::ofstream(notAPort) << "";
    pointLink(link, notAPort);
    const auto saidWhy = [&] { return server.count("(cannot open it again; trying each second)", false); };
    for (auto end = Clock::now() + 5s; saidWhy() == 0 && Clock::now() < end;) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(2500ms);  // two more attempts
    EXPECT_EQ(saidWhy(), 1) << server.console();
    ::unlink(link.c_str());

    // Plugged back: the known routing comes first, then what is asked for next; the refused selection
    // never reaches the line.
    pty = std::make_unique<Pty>();
    pointLink(link, pty->path());
    EXPECT_EQ(pty->waitBytes(6, 2000ms), frames(5, true, false) + frames(7, false, true)) << server.console();
    EXPECT_TRUE(server.waitForLine("Serial device " + link + " back")) << server.console();
    EXPECT_TRUE(server.waitForLine("Serial device " + link +
                                   ": routing restored (output 1 <- input 5, output 2 <- input 7)"))
        << server.console();
    client.send("Set3");
    EXPECT_EQ(pty->waitBytes(12), frames(5, true, false) + frames(7, false, true) + frames(3)) << server.console();
    EXPECT_TRUE(server.waitForLine("Selected Input #3")) << server.console();
    // Restoring changed no routing: only the new selection's two outputs are reported as changes.
    EXPECT_EQ(server.count("Route:", false), routeLines + 2) << server.console();
    EXPECT_EQ(server.count("lost:", false), 1) << server.console();
    EXPECT_EQ(server.count("Serial device " + link + " back"), 1) << server.console();

    // Stopped right after a selection that the state file's once-a-second saving has not taken yet:
    // the file still gets it. The line is left free for the next server, though the terminal stays
    // open (as a simulated selector's does).
    client.send("Set4");
    ASSERT_TRUE(server.waitForLine("Selected Input #4")) << server.console();
    EXPECT_TRUE(pty->exclusive());
    EXPECT_EQ(serverPtr->stop(SIGTERM), 0);
    EXPECT_FALSE(pty->exclusive());
    std::ifstream file(server.statePath());
    const std::string saved((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("route1=4\nroute2=4\n"), std::string::npos) << saved;
}

TEST(SerialUnplug, DeviceMissingAtStartUpGetsTheStartRoutingWhenItAppears) {
    TempDir dir;
    const std::string link = dir.path() + "/by-id-adapter";
    int port = -1;
    const auto serverPtr = serveOnFreePort(dir, link, port);
    ASSERT_NE(serverPtr, nullptr);
    const Server& server = *serverPtr;
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();
    EXPECT_EQ(server.count("SerOpenPort failed", false), 1) << server.console();

    TestClient client(port);
    ASSERT_EQ(client.readLine(), "OK");
    const int refusedBefore = server.count(kNotCommunicating);
    client.send("Set5");
    EXPECT_TRUE(server.waitForLine(kNotCommunicating, refusedBefore + 2)) << server.console();

    Pty pty;
    pointLink(link, pty.path());
    EXPECT_EQ(pty.waitBytes(6, 2000ms), frames(1)) << server.console();
    EXPECT_TRUE(server.waitForLine("Serial device " + link +
                                   ": routing restored (output 1 <- input 1, output 2 <- input 1)"))
        << server.console();
    client.send("Set8");
    EXPECT_EQ(pty.waitBytes(12), frames(1) + frames(8)) << server.console();
    // One line for the failed first open, one when the device came: none per attempt in between.
    EXPECT_EQ(server.count("SerOpenPort failed", false), 1) << server.console();
    EXPECT_EQ(server.count("Serial device " + link + " back"), 1) << server.console();
    EXPECT_EQ(server.count("lost:", false), 0) << server.console();
    // The link goes before the terminal it names: the number is free for another test's next one.
    ::unlink(link.c_str());
}

}  // namespace
}  // namespace badinput
