// A serial device that misbehaves under the real server: held by another process, or gone while the
// server runs. The server reports it per selection and goes on serving clients.
#include <gtest/gtest.h>

#include <string>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace badinput {
namespace {

const std::string kNotCommunicating = "COM port not communicating.";

TEST(BadInputDevice, DeviceHeldByAnotherServer) {
    TempDir dir;
    Pty pty;
    const int port1 = freeConfigurablePort();
    const int port2 = freeConfigurablePort(port1);
    ASSERT_GT(port1, 0);
    ASSERT_GT(port2, 0);
    Server first(dir.config(port1, "first.cfg"), pty.path());
    ASSERT_TRUE(first.waitForLine("Server Socket Opened OK at Port " + std::to_string(port1))) << first.console();
    ASSERT_EQ(pty.waitBytes(6), frames(1));

    Server second(dir.config(port2, "second.cfg"), pty.path());
    ASSERT_TRUE(second.waitForLine("Server Socket Opened OK at Port " + std::to_string(port2))) << second.console();
    EXPECT_EQ(second.count("SerialIO::IOException: SerOpenPort failed: Port is in use"), 1) << second.console();
    {
        TestClient client(port2);
        ASSERT_EQ(client.readLine(), "OK");
        // Start-up's own selection has already been refused by now.
        const int before = second.count(kNotCommunicating);
        EXPECT_GE(before, 1) << second.console();
        client.send("Set5");
        EXPECT_TRUE(second.waitForLine(kNotCommunicating, before + 1)) << second.console();
        client.send("Close");
    }
    // The first server still owns the line; nothing of the second reached it.
    TestClient client(port1);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set6");
    EXPECT_EQ(pty.waitBytes(12), frames(1) + frames(6));
    EXPECT_TRUE(first.alive());
    EXPECT_TRUE(second.alive());
}

TEST(BadInputDevice, DeviceGoneWhileRunning) {
    TempDir dir;
    Pty pty;
    const int port = freeConfigurablePort();
    ASSERT_GT(port, 0);
    Server server(dir.config(port), pty.path());
    ASSERT_TRUE(server.waitForLine("Server Socket Opened OK at Port " + std::to_string(port))) << server.console();
    ASSERT_EQ(pty.waitBytes(6), frames(1));

    pty.closeMaster();  // the device disappears
    {
        TestClient client(port);
        ASSERT_EQ(client.readLine(), "OK");
        client.send("Set3");
        EXPECT_TRUE(server.waitForLine(kNotCommunicating, 1)) << server.console();
        const int afterOne = server.count(kNotCommunicating);
        client.send("Set4");
        EXPECT_TRUE(server.waitForLine(kNotCommunicating, afterOne + 1)) << server.console();
        client.send("Close");
        EXPECT_TRUE(client.closedByServer());
    }
    // Still serving.
    TestClient next(port);
    EXPECT_EQ(next.readLine(), "OK");
    EXPECT_TRUE(server.alive());
}

}  // namespace
}  // namespace badinput
