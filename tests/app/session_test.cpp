// The client session over a real loopback connection: greeting, password, keywords, raw bytes,
// time limit, the ways a session ends, and the successor that serves the next client.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/app/support/HubFixture.h"
#include "tests/app/support/TestClient.h"

namespace {

using Frame = RecordingSerOutPort::Frame;

class SessionTest : public HubTest {
protected:
    void SetUp() override {
        HubTest::SetUp();
        startServing();
        port->clear();
    }
    // Waits until the server has taken in everything sent so far: a selection sent last shows up.
    void sync(TestClient& client, int input) {
        client.send("Set" + std::to_string(input));
        ASSERT_TRUE(waitFor([&] {
            const auto f = frames();
            return !f.empty() && f.back() == Frame{0xFE, 0x02, static_cast<uint8_t>(input)};
        }));
    }
};

TEST_F(SessionTest, GreetingPasswordAndCommands) {
    TestClient client(hub->listeningPort());
    EXPECT_EQ(client.readLine(), "OK");
    EXPECT_TRUE(client.silentFor(100));

    client.send("PWDJVK");
    EXPECT_EQ(client.readLine(), "Password/Connection Accepted!");
    EXPECT_EQ(client.readLine(), "Available Time: 5 Minutes");
    sync(client, 5);
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x05}, {0xFE, 0x02, 0x05}}));
    EXPECT_TRUE(log->contains("Password = JVK OK"));
    EXPECT_TRUE(log->contains("Client Command: Set5"));
    EXPECT_EQ(hub->gui().statusText(), "Selected Input #5");
    EXPECT_TRUE(client.silentFor(100));  // no reply to commands
    EXPECT_EQ(client.badEndings, 0);
}

TEST_F(SessionTest, WrongPasswordsAreRejected) {
    for (const char* line : {"PWDjvk", "PWD JVK", "PWD", "PWDJVKX", "PWDJV"}) {
        SCOPED_TRACE(line);
        TestClient client(hub->listeningPort());
        ASSERT_EQ(client.readLine(), "OK");
        const auto sent = std::chrono::steady_clock::now();
        client.send(line);
        EXPECT_EQ(client.readLine(), "Password/Connection Rejected!");
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(900));  // none slowed yet
        EXPECT_EQ(client.readLine(), "CLOSE");
        EXPECT_TRUE(client.closedByServer());
        ASSERT_TRUE(waitForAwaiting());
    }
    EXPECT_EQ(log->count("WRONG PASSWORD!"), 5u);
    EXPECT_TRUE(frames().empty());

    // Past five wrong within a minute, guessing slows to one a second; the right password still gets in.
    {
        TestClient guesser(hub->listeningPort());
        ASSERT_EQ(guesser.readLine(), "OK");
        const auto sent = std::chrono::steady_clock::now();
        guesser.send("PWDjvk");
        EXPECT_EQ(guesser.readLine(), "Password/Connection Rejected!");
        EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(900));
        ASSERT_TRUE(waitForAwaiting());
    }
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    client.send("PWDJVK");
    EXPECT_EQ(client.readLine(), "Password/Connection Accepted!");
}

TEST_F(SessionTest, KeywordsAreExactAndTestedInOrder) {
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    // Lower-case keywords and short lines are no keywords: the device ignores them, the session goes on.
    for (const char* line : {"close", "kill", "pwdJVK", "PW", "TO", "0x", "Se"}) client.send(line);
    sync(client, 2);
    EXPECT_EQ(frames().size(), 2u);
    EXPECT_TRUE(client.silentFor(50));

    // "0x" lines send their bytes, then go to the device as well.
    client.send("0xFE0105");
    client.send("0xfe0210");
    sync(client, 3);
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x02},
                                            {0xFE, 0x02, 0x02},
                                            {0xFE, 0x01, 0x05},
                                            {0xFE, 0x02, 0x10},
                                            {0xFE, 0x01, 0x03},
                                            {0xFE, 0x02, 0x03}}));
    EXPECT_TRUE(log->contains("CMD = FE0105"));

    // A "TO=" line is not a password line; a following right password confirms the session.
    client.send("TO=0");
    client.send("PWDJVK");
    EXPECT_EQ(client.readLine(), "Password/Connection Accepted!");
    EXPECT_TRUE(client.silentFor(100));  // no time limit, no "Available Time" line
    EXPECT_EQ(KIVO::to.load(), 0);
}

TEST_F(SessionTest, OverlongRawLineIsRefusedWholeAndTheSessionGoesOn) {
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    testing::internal::CaptureStdout();
    client.send("0x" + std::string(1026, 'A'));  // 513 bytes
    sync(client, 1);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(frames(), (std::vector<Frame>{{0xFE, 0x01, 0x01}, {0xFE, 0x02, 0x01}}));
    EXPECT_TRUE(log->contains("Raw command too long"));
    EXPECT_NE(console.find("Raw command of 513 bytes refused"), std::string::npos) << console;

    client.send("0x" + std::string(1025, 'A'));  // 512 bytes and an unpaired digit: sent
    sync(client, 2);
    ASSERT_EQ(frames().size(), 5u);
    EXPECT_EQ(frames()[2], Frame(512, 0xAA));
}

TEST_F(SessionTest, LineEndsAndSplitCrLf) {
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    client.sendRaw("Set1\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.sendRaw("\nSet2\nSet3\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.sendRaw("Set4\r\n");
    sync(client, 5);
    EXPECT_EQ(frames().size(), 10u);
    EXPECT_FALSE(log->contains("Len=0 Close"));
}

TEST_F(SessionTest, TimeLimitSetting) {
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    // Not integers, or too many minutes for the timer: the limit stays as it was.
    for (const char* line : {"TO=", "TO=abc", "TO=1.5", "TO= 7", "TO=35792", "TO=99999999999"}) client.send(line);
    sync(client, 1);
    EXPECT_EQ(KIVO::to.load(), 5);
    client.send("TO=+35791");
    sync(client, 2);
    EXPECT_EQ(KIVO::to.load(), 35791);
    client.send("TO=-3");
    client.send("PWDJVK");
    EXPECT_EQ(client.readLine(), "Password/Connection Accepted!");
    EXPECT_TRUE(client.silentFor(100));
    EXPECT_EQ(KIVO::to.load(), -3);
}

TEST_F(SessionTest, TimedSessionEndsWithTime) {
    TimeOut::minuteMillis = 1000;
    TestClient client(hub->listeningPort());
    ASSERT_EQ(client.readLine(), "OK");
    client.send("TO=1");
    client.send("PWDJVK");
    ASSERT_EQ(client.readLine(), "Password/Connection Accepted!");
    ASSERT_EQ(client.readLine(), "Available Time: 1 Minutes");
    const auto accepted = std::chrono::steady_clock::now();
    // Neither a repeated password nor a longer limit sent meanwhile pushes the end back.
    client.send("TO=30");
    client.send("PWDJVK");
    ASSERT_EQ(client.readLine(), "Password/Connection Accepted!");
    ASSERT_EQ(client.readLine(), "Available Time: 30 Minutes");
    EXPECT_EQ(client.readLine(10000), "TIME");
    EXPECT_GE(std::chrono::steady_clock::now() - accepted, std::chrono::milliseconds(2800));
    EXPECT_TRUE(client.closedByServer());
    EXPECT_TRUE(waitForAwaiting());

    // A smaller limit sent meanwhile brings the end closer.
    TestClient closer(hub->listeningPort());
    ASSERT_EQ(closer.readLine(), "OK");
    closer.send("PWDJVK");
    ASSERT_EQ(closer.readLine(), "Password/Connection Accepted!");
    ASSERT_EQ(closer.readLine(), "Available Time: 30 Minutes");
    closer.send("TO=1");
    closer.send("PWDJVK");
    ASSERT_EQ(closer.readLine(), "Password/Connection Accepted!");
    ASSERT_EQ(closer.readLine(), "Available Time: 1 Minutes");
    EXPECT_EQ(closer.readLine(10000), "TIME");
    EXPECT_TRUE(waitForAwaiting());

    // A session that ends before its limit sends no "TIME" and its timer does not touch the successor.
    TestClient second(hub->listeningPort());
    ASSERT_EQ(second.readLine(), "OK");
    second.send("PWDJVK");
    ASSERT_EQ(second.readLine(), "Password/Connection Accepted!");
    ASSERT_EQ(second.readLine(), "Available Time: 1 Minutes");
    second.send("KILL");
    EXPECT_TRUE(second.closedByServer());
    TestClient third(hub->listeningPort());
    ASSERT_EQ(third.readLine(), "OK");
    EXPECT_TRUE(third.silentFor(3500));
}

TEST_F(SessionTest, ClientThatStopsReadingHoldsNobody) {
    TimeOut::minuteMillis = 1000;
    KIVO::to = 2;
    TestClient flooder(hub->listeningPort());
    ASSERT_EQ(flooder.readLine(), "OK");
    // Password lines, each answered with two lines the client never reads, until every buffer on the
    // way is full and a reply cannot be written. Sent without blocking: the server may stop reading.
    std::atomic<bool> done{false};
    std::thread flood([&] {
        const std::string lines = [] {
            std::string s;
            for (int i = 0; i < 512; ++i) s += "PWDJVK\r\n";
            return s;
        }();
        size_t total = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && total < (4u << 20) && std::chrono::steady_clock::now() < deadline) {
            const ssize_t n = flooder.sendSome(lines);
            if (n < 0) break;
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            total += static_cast<size_t>(n);
        }
    });
    // The next client waits in the queue; it is served once the flooding session has ended.
    TestClient next(hub->listeningPort());
    const auto reply = next.readLine(15000);
    done = true;
    flood.join();
    EXPECT_EQ(reply, "OK");
}

TEST_F(SessionTest, WaysToEndASession) {
    struct Case {
        std::string ending;
        std::string status;
    };
    for (const Case& c : {Case{"Close\r\n", "Client Closed Connection!"}, Case{"KILL\n", "Client Closed Connection!"},
                          Case{"\r\n", "Len=0 Close"}, Case{"", "Null Close"},
                          Case{std::string(70000, 'x'), "Line Too Long Close"}}) {
        SCOPED_TRACE(c.status);
        log->clear();
        TestClient client(hub->listeningPort());
        ASSERT_EQ(client.readLine(), "OK");
        client.sendRaw(c.ending);
        if (c.ending.empty()) client.shutdownWrite();
        EXPECT_TRUE(client.closedByServer());
        ASSERT_TRUE(waitForAwaiting());
        EXPECT_TRUE(log->contains(c.status));
        EXPECT_TRUE(hub->gui().statusText() == "Awaiting Client Connection");
        EXPECT_FALSE(hub->gui().connectEnabled());
    }
}

TEST_F(SessionTest, QueuedClientIsServedWhenTheFirstEnds) {
    TestClient first(hub->listeningPort());
    ASSERT_EQ(first.readLine(), "OK");
    TestClient second(hub->listeningPort());
    EXPECT_TRUE(second.silentFor(200));
    first.send("Close");
    EXPECT_TRUE(first.closedByServer());
    EXPECT_EQ(second.readLine(), "OK");
    second.send("Set9");
    ASSERT_TRUE(waitFor([&] { return frames().size() == 2; }));
}

TEST(SessionHelpers, DecimalAndPasswordChecks) {
    EXPECT_EQ(ClientSocket::parseDecimal("10"), 10);
    EXPECT_EQ(ClientSocket::parseDecimal("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ClientSocket::parseDecimal("+7"), 7);
    EXPECT_EQ(ClientSocket::parseDecimal("2147483648"), std::nullopt);
    EXPECT_EQ(ClientSocket::parseDecimal("-"), std::nullopt);
    EXPECT_EQ(ClientSocket::parseDecimal("1e3"), std::nullopt);

    EXPECT_TRUE(ClientSocket::samePassword("JVK", "JVK"));
    EXPECT_TRUE(ClientSocket::samePassword("", ""));
    EXPECT_FALSE(ClientSocket::samePassword("JVK", "JVKX"));
    EXPECT_FALSE(ClientSocket::samePassword(std::string("JVK\0", 4), "JVK"));
    EXPECT_FALSE(ClientSocket::samePassword("", "JVK"));
}

}  // namespace
