#include "tests/net/Loopback.h"

#include <gtest/gtest.h>

#include <future>

using net::Connection;
using Status = net::Connection::ReadStatus;
using nettest::Pair;

namespace {

// Reads the next line, expecting a complete one.
std::string nextLine(Connection& connection, std::size_t maxLength = 65536)
{
    std::string line;
    EXPECT_EQ(connection.readLine(line, maxLength), Status::Line);
    return line;
}

}  // namespace

TEST(LineReader, EveryLineEndAndEmptyLinesAndPartialLastLine)
{
    Pair pair;
    // LF, CR, CR LF; then an empty LF line, an empty CR line, an empty CR LF line.
    pair.client.send("one\ntwo\rthree\r\n\n\r\r\nlast");
    pair.client.finish();
    for (const char* expected : {"one", "two", "three", "", "", ""})
        EXPECT_EQ(nextLine(*pair.server), expected);
    // The unterminated tail comes as a line before the end of the stream, which stays ended.
    EXPECT_EQ(nextLine(*pair.server), "last");
    std::string line = "stale";
    EXPECT_EQ(pair.server->readLine(line), Status::EndOfStream);
    EXPECT_EQ(line, "");
    EXPECT_EQ(pair.server->readLine(line), Status::EndOfStream);
}

TEST(LineReader, CrLfSplitAcrossTwoSendsIsOneLineEnd)
{
    Pair pair;
    pair.client.send("abc\r");
    EXPECT_EQ(nextLine(*pair.server), "abc");  // a CR alone already ends the line
    nettest::pause(50);
    pair.client.send("\ndef\r");
    nettest::pause(50);
    pair.client.send("\n\n");
    EXPECT_EQ(nextLine(*pair.server), "def");
    EXPECT_EQ(nextLine(*pair.server), "");  // the LF after "\r\n" is a line of its own
}

TEST(LineReader, KeepsEveryByteAsSent)
{
    Pair pair;
    const std::string bytes("a\0b\x7f\x80\xfe\xff\t z", 10);
    pair.client.send(bytes + "\r\n");
    EXPECT_EQ(nextLine(*pair.server), bytes);
}

TEST(LineReader, TooLongAtTheLimit)
{
    Pair pair;
    pair.client.send("0123456789\n"   // exactly the limit: a line
                     "0123456789A\n"  // one more: too long, the rest stays unread
                     "\n");
    EXPECT_EQ(nextLine(*pair.server, 10), "0123456789");
    std::string line;
    EXPECT_EQ(pair.server->readLine(line, 10), Status::TooLong);
    EXPECT_EQ(line, "0123456789");
    EXPECT_EQ(nextLine(*pair.server, 10), "A");
    EXPECT_EQ(nextLine(*pair.server, 10), "");

    // Past the limit, the reader answers without waiting for a line end that may never come.
    pair.client.send(std::string(11, 'y'));
    auto pending = std::async(std::launch::async, [&] { return pair.server->readLine(line, 10); });
    if (pending.wait_for(std::chrono::seconds(3)) != std::future_status::ready)
        pair.client.finish();  // unblock the reader so that the test can fail cleanly
    EXPECT_EQ(pending.get(), Status::TooLong);
}

TEST(LineReader, EndlessLineIsReadInBoundedPieces)
{
    Pair pair;
    // Far more than the limit and no line end ever: each read gives up at the limit
    // instead of collecting the whole line, and the stream still reads to its end.
    const std::size_t limit = 1000;
    const std::string block(100 * 1000, 'x');
    std::thread sender([&] {
        pair.client.send(block);
        pair.client.send("\nok\n");
    });
    std::string line;
    std::size_t total = 0;
    Status status;
    while ((status = pair.server->readLine(line, limit)) == Status::TooLong) {
        EXPECT_EQ(line.size(), limit);
        total += line.size();
    }
    EXPECT_EQ(status, Status::Line);
    EXPECT_EQ(total + line.size(), block.size());
    EXPECT_EQ(nextLine(*pair.server), "ok");
    sender.join();
}
