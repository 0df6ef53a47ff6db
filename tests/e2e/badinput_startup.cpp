// Bad start-up conditions, against the real server: a configuration "file" that is a folder or cannot
// be read, a TCP port that another program holds, no standard output.
#include <gtest/gtest.h>

#include <string>

#include "net/Net.h"
#include "tests/e2e/badinput_support.h"

namespace badinput {
namespace {

TEST(BadInputStartup, UnreadableConfigurationGivesTheDefaults) {
    TempDir dir;
    // A folder opens but cannot be read; reading /proc/self/mem at its start fails with an I/O error.
    // Both servers take the defaults: COM1, port 3001, no time limit. Each runs in a network of its
    // own where it can (then each gets the port); otherwise one of them may find it taken.
    Pty pty1, pty2;
    Server folder(dir.path(), pty1.path(), true);
    Server unreadable("/proc/self/mem", pty2.path(), true);
    const std::string ready = "COM1  KIVO16  0 minutes  Ready";
    ASSERT_TRUE(folder.waitForLine(ready)) << folder.console();
    ASSERT_TRUE(unreadable.waitForLine(ready)) << unreadable.console();
    EXPECT_EQ(folder.count("Can't read configuration file " + dir.path() + ": Is a directory"), 1)
        << folder.console();
    EXPECT_EQ(unreadable.count("Can't read configuration file /proc/self/mem: Input/output error"), 1)
        << unreadable.console();
    // A file named on the command line that is not there (a typo) is said, not silently replaced.
    Pty pty3;
    Server missing(dir.path() + "/kivonet.cgf", pty3.path(), true);
    ASSERT_TRUE(missing.waitForLine(ready)) << missing.console();
    EXPECT_EQ(missing.count("Configuration file " + dir.path() + "/kivonet.cgf not found", false), 1)
        << missing.console();
    for (const Server* s : {&folder, &unreadable, &missing}) {
        EXPECT_EQ(s->count("Server Socket Opened OK at Port 3001") + s->count("Can't Get ServerSocket at Port 3001"), 1)
            << s->console();
        EXPECT_TRUE(s->alive());
    }
    // The driver's start-up selection still reaches each line.
    EXPECT_EQ(pty1.waitBytes(6), frames(1));
    EXPECT_EQ(pty2.waitBytes(6), frames(1));
    EXPECT_EQ(pty3.waitBytes(6), frames(1));
}

TEST(BadInputStartup, PortInUseIsReportedAndTheServerRuns) {
    TempDir dir;
    Pty pty;
    // Another program holds the port: a listener of the test's own.
    int port = -1;
    std::unique_ptr<net::Listener> holder;
    for (int attempt = 0; attempt < 5 && !holder; ++attempt) {
        port = freeConfigurablePort();
        try {
            holder = net::Listener::open(port);
        } catch (const net::NetError&) {
        }
    }
    ASSERT_NE(holder, nullptr);
    Server server(dir.config(port), pty.path());
    EXPECT_TRUE(server.waitForLine("Can't Get ServerSocket at Port " + std::to_string(port))) << server.console();
    // The reason comes on the next line, which may reach the console a moment later.
    const std::string reason = "Line protocol not started: port " + std::to_string(port) + ": bind:";
    EXPECT_TRUE(server.waitUntil([&] { return server.console().find(reason) != std::string::npos; }))
        << server.console();
    EXPECT_TRUE(server.waitForLine("COM1  KIVO16  0 minutes  Ready")) << server.console();
    EXPECT_EQ(pty.waitBytes(6), frames(1));
    EXPECT_TRUE(server.alive());
}

TEST(BadInputStartup, WithoutStandardOutputOnlyFramesReachTheLine) {
    // The serial line must not take standard output's place: the console would write onto it.
    TempDir dir;
    Pty pty;
    Server server({"--headless", "--config", dir.config(freeConfigurablePort()), "--device", pty.path()}, false,
                  {}, true);
    // The ready line comes 2 s after the start-up frames.
    EXPECT_EQ(pty.waitBytes(7, 3000ms), frames(1));
    EXPECT_TRUE(server.alive());
}

}  // namespace
}  // namespace badinput
