// A serial device that misbehaves under the real server: held by another process, or gone while the
// server runs. The server reports it per selection and goes on serving clients.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace badinput {
namespace {

const std::string kNotCommunicating = "COM port not communicating.";

TEST(BadInputDevice, DeviceHeldByAnotherServer) {
    TempDir dir;
    Pty pty;
    int port1 = -1, port2 = -1;
    const auto firstPtr = serveOnFreePort(dir, pty.path(), port1, "first.cfg");
    ASSERT_NE(firstPtr, nullptr);
    const Server& first = *firstPtr;
    ASSERT_EQ(pty.waitBytes(6), frames(1));

    const auto secondPtr = serveOnFreePort(dir, pty.path(), port2, "second.cfg");
    ASSERT_NE(secondPtr, nullptr);
    const Server& second = *secondPtr;
    EXPECT_EQ(second.count("SerialIO::IOException: SerOpenPort failed: Port is in use"), 1) << second.console();
    {
        TestClient client(port2);
        ASSERT_EQ(client.readLine(), "OK");
        // Start-up's own selection is refused too, and its console lines may still be on their way:
        // the refusal looked for is the one after the command's line.
        client.send("Set5");
        const auto refusedAfterCommand = [&] {
            const std::string text = second.console();
            const auto command = text.find("Client Command: Set5\n");
            return command != std::string::npos && text.find(kNotCommunicating + "\n", command) != std::string::npos;
        };
        EXPECT_TRUE(second.waitUntil(refusedAfterCommand)) << second.console();
        EXPECT_GE(second.count(kNotCommunicating), 2) << "start-up's selection is refused as well";
        client.send("Close");
    }
    // The first server still owns the line; nothing of the second reached it.
    TestClient client(port1);
    ASSERT_EQ(client.readLine(), "OK");
    client.send("Set6");
    EXPECT_EQ(pty.waitBytes(12), frames(1) + frames(6));
    EXPECT_TRUE(first.alive());
    EXPECT_TRUE(second.alive());
    // The second keeps trying to open the line, without naming the same reason again.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(second.count("is in use by another program", false), 1) << second.console();
}

TEST(BadInputDevice, DeviceGoneWhileRunning) {
    TempDir dir;
    Pty pty;
    // Reached through a link that goes with the device: the server keeps trying to reopen its path,
    // and the bare terminal number would soon be another test's terminal.
    const std::string link = dir.path() + "/adapter";
    ASSERT_EQ(::symlink(pty.path().c_str(), link.c_str()), 0);
    int port = -1;
    const auto serverPtr = serveOnFreePort(dir, link, port);
    ASSERT_NE(serverPtr, nullptr);
    const Server& server = *serverPtr;
    ASSERT_EQ(pty.waitBytes(6), frames(1));

    pty.closeMaster();  // the device disappears
    ::unlink(link.c_str());
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
