// The server program without a window: configuration file, status lines on the console, a client
// served, the ready line after the start-up pause, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/e2e/badinput_support.h"
#include "tests/app/support/TestClient.h"

namespace {

using badinput::Clock;
using badinput::Server;
using badinput::TempDir;

TEST(Headless, ServesAClientAndStopsCleanly) {
    const int port = badinput::freeConfigurablePort();
    ASSERT_GT(port, 0);
    TempDir dir;
    const std::string configPath = dir.path() + "/cfg.bin";
    {
        // No serial port (COM0), the device type byte, the port offset, no time limit, clients
        // accepted at once, routing to both outputs.
        const char record[6] = {static_cast<char>(0xFF), 0x50, static_cast<char>(port - 3001), 0, 0, 2};
        std::ofstream(configPath, std::ios::binary).write(record, sizeof record);
    }

    const auto started = Clock::now();
    Server server({"--headless", "--config", configPath});
    const std::string opened = "Server Socket Opened OK at Port " + std::to_string(port);
    ASSERT_TRUE(server.waitForLine(opened)) << server.console();
    ASSERT_TRUE(server.waitForLine("Awaiting Client Connection")) << server.console();

    TestClient client(port);
    EXPECT_EQ(client.readLine(), "OK");
    const std::string ready = "COM0  KIVO16  0 minutes  Ready";
    ASSERT_TRUE(server.waitForLine(ready)) << server.console();
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(2000));

    const std::string console = server.console();
    const auto pos = [&](const std::string& line) { return console.find(line + "\n"); };
    // The note on the built-in password; the program says once that it runs without a window;
    // then the hub's first status line.
    EXPECT_EQ(console.rfind("The built-in client password is in force: set one with --password-file "
                            "FILE or the environment variable KIVONET_PASSWORD\n"
                            "Running headless\nNew Password= \n", 0),
              0u)
        << console;
    EXPECT_LT(pos(opened), pos("Selected Input #1")) << console;
    EXPECT_LT(pos("Selected Input #1"), pos("Awaiting Client Connection")) << console;
    EXPECT_LT(pos("Client Connection Accepted!"), pos(ready)) << console;
    // The ready line is the last line of start-up.
    EXPECT_EQ(console.substr(console.size() - ready.size() - 1), ready + "\n") << console;

    EXPECT_EQ(server.stop(SIGTERM), 0);
}

}  // namespace
