// Bad input on the client connection, against the real server: what a session does with overlong
// lines, NUL and 8-bit bytes, malformed "TO=" and "0x" lines, CR-only line ends and a very slow client.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "tests/app/support/TestClient.h"
#include "tests/e2e/badinput_support.h"

namespace badinput {
namespace {

struct Running {
    TempDir dir;
    Pty pty;
    int port = -1;
    std::unique_ptr<Server> serverPtr = serveOnFreePort(dir, pty.path(), port);
    const Server& server() const { return *serverPtr; }

    // Checks the listening socket and waits for the start-up selection (input 1 on both outputs).
    void ready() {
        ASSERT_NE(serverPtr, nullptr);
        ASSERT_EQ(pty.waitBytes(6), frames(1));
    }
};

TEST(BadInputLines, OverlongLineEndsOnlyItsSession) {
    Running r;
    r.ready();
    {
        TestClient client(r.port);
        EXPECT_EQ(client.readLine(), "OK");
        client.sendRaw(std::string(1 << 20, 'A') + "\n");  // 1 MB without a line end before its last byte
        EXPECT_FALSE(client.readLine(3000).has_value());   // no reply: the server closes
    }
    EXPECT_TRUE(r.server().waitForLine("Line Too Long Close")) << r.server().console();
    // The server is fine: the next client is served.
    TestClient next(r.port);
    EXPECT_EQ(next.readLine(), "OK");
    next.send("Set7");
    EXPECT_EQ(r.pty.waitBytes(12), frames(1) + frames(7));
    EXPECT_TRUE(r.server().alive());
}

TEST(BadInputLines, StrangeBytesAndMalformedCommandsLeaveTheSessionGoing) {
    Running r;
    r.ready();
    TestClient client(r.port);
    ASSERT_EQ(client.readLine(), "OK");
    // NUL and bytes above 127 make no command: nothing reaches the serial line.
    // Escape sequences and backspaces are shown as "?" on the console, where they would act.
    client.sendRaw(std::string("Set\0" "5\n", 6) + "Set5\xff\n" "\xfe\x80\n" "\x1b[2JFake\b\b\n" +
                   std::string("PWD\0JVK", 7) + "x\n");
    // ...but a password with a NUL in it is a wrong one.
    EXPECT_EQ(client.readLine(), "Password/Connection Rejected!");
    EXPECT_EQ(client.readLine(), "CLOSE");
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(r.server().waitForLine("Client Command: ?[2JFake??")) << r.server().console();
    const std::string console = r.server().console();
    EXPECT_TRUE(std::none_of(console.begin(), console.end(), [](char ch) {
        return (static_cast<unsigned char>(ch) < 0x20 && ch != '\n') || ch == 0x7F;
    })) << console;

    TestClient second(r.port);
    ASSERT_EQ(second.readLine(), "OK");
    // "TO=" with a number too large or with letters leaves the limit unchanged (2 minutes here).
    second.send("TO=2");
    second.send("TO=99999999999");
    second.send("TO=abc");
    second.send("TO=");
    second.send("PWDJVK");
    EXPECT_EQ(second.readLine(), "Password/Connection Accepted!");
    EXPECT_EQ(second.readLine(), "Available Time: 2 Minutes");
    // CR-only line ends; "0x" with an odd digit count drops the last digit (FE01), with text that is
    // not hex sends 00 for each pair, and the selection goes through whole.
    second.sendRaw("Out1\rSet4\r0xFE010\r0x05\r0xZZ\r");
    // A long "0x" line: 170 frames' worth of digits, one byte per pair; a line of more than 512 bytes
    // is refused whole and sends nothing.
    std::string huge = "0x";
    for (int i = 0; i < 170; ++i) huge += "FE0109";
    second.sendRaw(huge + "\r");
    second.sendRaw(huge + huge.substr(2) + "\r");
    second.sendRaw("Close\r");
    EXPECT_TRUE(second.closedByServer());

    const auto expected = frames(1) + frames(4, true, false) + std::vector<uint8_t>{0xFE, 0x01, 0x05, 0x00};
    const auto got = r.pty.waitBytes(expected.size() + 510 + 1, 2000ms);
    ASSERT_EQ(got.size(), expected.size() + 510);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + expected.size()), expected);
    EXPECT_TRUE(r.server().waitForLine("Raw command too long")) << r.server().console();
    // At least the first 15 bytes (5 frames) are converted; any bytes not converted are 0.
    for (size_t i = 0; i < 510; ++i) {
        const uint8_t b = got[expected.size() + i];
        const uint8_t pattern[3] = {0xFE, 0x01, 0x09};
        if (i < 15) EXPECT_EQ(b, pattern[i % 3]) << i;
        else EXPECT_TRUE(b == pattern[i % 3] || b == 0) << i;
    }
    EXPECT_TRUE(r.server().alive());
}

TEST(BadInputLines, OneByteASecondIsStillServed) {
    Running r;
    r.ready();
    TestClient client(r.port);
    ASSERT_EQ(client.readLine(), "OK");
    const std::string line = "Set9\n";
    for (size_t i = 0; i < line.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
        client.sendRaw(line.substr(i, 1));
    }
    EXPECT_EQ(r.pty.waitBytes(12), frames(1) + frames(9));
    client.send("Close");
    EXPECT_TRUE(client.closedByServer());
}

}  // namespace
}  // namespace badinput
