#include "tests/net/Loopback.h"
#include "tests/support/Wine.h"

#include <gtest/gtest.h>

#include <future>
#include <set>

using net::Connection;
using Status = net::Connection::ReadStatus;
using nettest::Pair;

TEST(Connection, WriteLineSendsTextAndCrLfAtOnce)
{
    Pair pair;
    EXPECT_TRUE(pair.server->writeLine("OK"));
    EXPECT_TRUE(pair.server->writeLine(""));
    EXPECT_EQ(pair.client.receive(6), "OK\r\n\r\n");
}

TEST(Connection, ConnectAndPeerText)
{
    auto listener = net::Listener::open(0);
    auto client = Connection::connect("127.0.0.1", listener->port());
    auto server = listener->accept();
    EXPECT_EQ(server->peer().rfind("127.0.0.1:", 0), 0u) << server->peer();
    EXPECT_EQ(client->peer(), "127.0.0.1:" + std::to_string(listener->port()));

    // Lines travel both ways between two connections of this layer.
    EXPECT_TRUE(client->writeLine("PWD secret"));
    std::string line;
    EXPECT_EQ(server->readLine(line), Status::Line);
    EXPECT_EQ(line, "PWD secret");
}

TEST(Connection, ConnectToAClosedPortFails)
{
    int port;
    {
        auto listener = net::Listener::open(0);
        port = listener->port();
    }
    try {
        Connection::connect("127.0.0.1", port);
        FAIL() << "connect succeeded";
    } catch (const net::NetError& error) {
        EXPECT_STREQ(error.what(), "connect: Connection refused");
    }
}

TEST(Connection, WriteToAVanishedPeerFailsWithoutSignal)
{
    Pair pair;
    pair.client.reset();
    // The first writes may still land in the kernel's buffer; a later one must fail,
    // and none may kill the process with SIGPIPE.
    bool failed = false;
    for (int attempt = 0; attempt < 100 && !failed; ++attempt) {
        failed = !pair.server->writeLine("TIME");
        nettest::pause(5);
    }
    EXPECT_TRUE(failed);
}

TEST(Connection, ResetByPeerIsAReadError)
{
    if (runningUnderWine())
        GTEST_SKIP() << "Wine reports a reset by the peer as an orderly end of stream";
    Pair pair;
    pair.client.reset();
    std::string line;
    try {
        pair.server->readLine(line);
        FAIL() << "read after a reset did not fail";
    } catch (const net::NetError& error) {
        EXPECT_EQ(error.what(), "recv: " + net::sys::errorText(net::sys::kErrConnReset));
    }
}

TEST(Connection, CloseFromAnotherThreadEndsABlockedRead)
{
    Pair pair;
    pair.client.send("partial command");  // no line end: the reader stays blocked
    auto reader = std::async(std::launch::async, [&] {
        std::string line;
        return pair.server->readLine(line);
    });
    nettest::pause(100);
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    pair.server->close();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    // The unfinished line is not handed out once the connection was closed here.
    EXPECT_EQ(reader.get(), Status::EndOfStream);

    EXPECT_FALSE(pair.server->isOpen());
    pair.server->close();
    EXPECT_FALSE(pair.server->writeLine("late"));
    std::string line;
    EXPECT_EQ(pair.server->readLine(line), Status::EndOfStream);
    EXPECT_EQ(pair.client.receive(1), "");  // the client sees the end of the stream
}

TEST(Connection, ConcurrentWritersNeverInterleaveLines)
{
    Pair pair;
    const int perWriter = 300;
    const std::string a(500, 'a'), b(500, 'b');
    auto writer = [&](const std::string& text) {
        for (int i = 0; i < perWriter; ++i)
            EXPECT_TRUE(pair.server->writeLine(text));
    };
    std::thread first(writer, a), second(writer, b);
    const std::string received = pair.client.receive(2 * perWriter * (a.size() + 2));
    first.join();
    second.join();

    std::size_t lines = 0;
    for (std::size_t at = 0; at < received.size(); at += a.size() + 2, ++lines) {
        const std::string one = received.substr(at, a.size() + 2);
        ASSERT_TRUE(one == a + "\r\n" || one == b + "\r\n") << "line " << lines;
    }
    EXPECT_EQ(lines, 2u * perWriter);
}

TEST(Connection, ReadDeadlineEndsAWaitForALine)
{
    Pair pair;
    using Clock = Connection::Clock;
    std::string line;
    pair.client.send("PWDunfinished");
    pair.server->setReadDeadline(Clock::now() + std::chrono::milliseconds(300));
    EXPECT_EQ(pair.server->readLine(line), Status::TimedOut);
    EXPECT_EQ(line, "PWDunfinished");  // what came of the line so far
    EXPECT_EQ(pair.server->readLine(line), Status::TimedOut);  // the deadline stays passed

    // Lines that come before the deadline are read as usual; with no deadline reads wait on.
    pair.server->setReadDeadline(Clock::now() + std::chrono::seconds(30));
    pair.client.send("Set5\r\n");
    EXPECT_EQ(pair.server->readLine(line), Status::Line);
    EXPECT_EQ(line, "Set5");
    pair.server->setReadDeadline(std::nullopt);
    auto reader = std::async(std::launch::async, [&] {
        std::string got;
        pair.server->readLine(got);
        return got;
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    pair.client.send("Close\n");
    EXPECT_EQ(reader.get(), "Close");
}
