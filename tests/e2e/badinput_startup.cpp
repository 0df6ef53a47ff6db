// Bad start-up conditions, against the real server: a configuration "file" that is a folder or cannot
// be read, a TCP port that another program holds, no standard output, a state file another server has.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "net/Net.h"
#include "tests/app/support/TestClient.h"
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

TEST(BadInputStartup, OneStateFileServesOneServerWhileItsFolderComesAndGoes) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.path() + "/work"));
    const std::string work = std::filesystem::canonical(dir.path() + "/work").string();  // as the server sees it
    Pty pty1, pty2;
    int port = -1;
    std::unique_ptr<Server> first, second;
    {
        // Both start in `work` and name the state file as the default does, relative to it.
        const std::string here = std::filesystem::current_path().string();
        ASSERT_EQ(::chdir(work.c_str()), 0);
        first = serveOnFreePort(dir, pty1.path(), port, "cfg.bin", {"--state-file", "kivonet.state"});
        if (first) second = std::make_unique<Server>(std::vector<std::string>{
                       "--headless", "--config", dir.config(port, "second.bin"), "--device", pty2.path(),
                       "--state-file", "kivonet.state"});
        ASSERT_EQ(::chdir(here.c_str()), 0);
    }
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(pty1.waitBytes(6), frames(1));
    // The second copy leaves at once, before it touches its line.
    EXPECT_EQ(second->stop(0), 1) << second->console();
    EXPECT_EQ(second->count("kivonet: state file " + work + "/kivonet.state is in use by another kivonet; give this "
                            "one its own with --state-file"),
              1)
        << second->console();
    EXPECT_TRUE(pty2.waitBytes(1, 200ms).empty());

    // The working folder removed and made again (a clean-up script): the file goes on being saved there.
    std::filesystem::remove_all(work);
    ASSERT_TRUE(std::filesystem::create_directory(work));
    TestClient client(port);
    EXPECT_EQ(client.readLine(), "OK");
    client.send("Set7");
    EXPECT_EQ(pty1.waitBytes(12), frames(1) + frames(7));
    const auto saved = [&] {
        std::ifstream in(work + "/kivonet.state");
        return std::string(std::istreambuf_iterator<char>(in), {}).find("route1=7") != std::string::npos;
    };
    EXPECT_TRUE(first->waitUntil(saved, 5000ms)) << first->console();
}

}  // namespace
}  // namespace badinput
