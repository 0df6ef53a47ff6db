// The router protocol without sockets: block splitting, the dump, requests and their replies, updates.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "router/RouterProtocol.h"

namespace {

using router::Block;
using router::BlockReader;
using router::Selection;
using router::Session;

std::vector<Block> readAll(BlockReader& reader, const std::vector<std::string>& reads) {
    std::vector<Block> blocks;
    for (const std::string& r : reads) EXPECT_EQ(reader.feed(r, blocks), BlockReader::Status::Ok);
    return blocks;
}

void expectBlock(const Block& block, const std::string& header, const std::vector<std::string>& lines) {
    EXPECT_EQ(block.header, header);
    EXPECT_EQ(block.lines, lines);
}

TEST(RouterBlockReader, BlocksWhateverTheReadsCutThemInto) {
    const std::string stream = "VIDEO OUTPUT ROUTING:\r\n0 5\r\n1 2\r\n\r\n\n\nPING:\n\nINPUT LABELS:\n3 Cam 4\n\n";
    // All at once, one byte at a time, and cut inside a CR LF pair: the same three blocks.
    std::vector<std::vector<std::string>> cuts = {{stream}, {}, {stream.substr(0, 26), stream.substr(26)}};
    for (char c : stream) cuts[1].emplace_back(1, c);
    for (const auto& reads : cuts) {
        BlockReader reader;
        const auto blocks = readAll(reader, reads);
        ASSERT_EQ(blocks.size(), 3u);
        expectBlock(blocks[0], "VIDEO OUTPUT ROUTING:", {"0 5", "1 2"});
        expectBlock(blocks[1], "PING:", {});
        expectBlock(blocks[2], "INPUT LABELS:", {"3 Cam 4"});
    }
    // A block without its blank line is not complete yet.
    BlockReader reader;
    EXPECT_TRUE(readAll(reader, {"PING:\n"}).empty());
    EXPECT_EQ(readAll(reader, {"\n"}).size(), 1u);
}

TEST(RouterBlockReader, LimitsEndTheStream) {
    std::vector<Block> blocks;
    {
        // The longest line allowed, with a CR LF end, passes.
        BlockReader reader;
        EXPECT_EQ(reader.feed("X:\n" + std::string(BlockReader::maxLine, 'a') + "\r\n\n", blocks),
                  BlockReader::Status::Ok);
        EXPECT_EQ(blocks.size(), 1u);
    }
    {
        // One byte more fails, even before its line end arrives, and the reader stays failed.
        BlockReader reader;
        EXPECT_EQ(reader.feed(std::string(BlockReader::maxLine + 2, 'a'), blocks), BlockReader::Status::LineTooLong);
        EXPECT_EQ(reader.feed("\n\nPING:\n\n", blocks), BlockReader::Status::LineTooLong);
    }
    {
        BlockReader reader;
        const std::string line(1000, 'b');
        BlockReader::Status status = reader.feed("X:\n", blocks);
        for (int i = 0; i < 70 && status == BlockReader::Status::Ok; ++i) status = reader.feed(line + "\n", blocks);
        EXPECT_EQ(status, BlockReader::Status::BlockTooLong);
    }
}

// A session on a record of its own, with the selections it submits recorded.
struct Client {
    Client(Routing& record, bool accept = true)
        : session(record, Routing::newClientId(), "Studio", [this, accept](const std::vector<Selection>& s) {
              submitted.push_back(s);
              return accept;
          }) {}
    std::string send(const std::string& bytes) {
        std::string reply;
        EXPECT_EQ(session.receive(bytes, reply), BlockReader::Status::Ok);
        return reply;
    }
    Session session;
    std::vector<std::vector<Selection>> submitted;
};

class RouterSessionTest : public ::testing::Test {
protected:
    Routing record;
    Client a{record};
    Client b{record};
};

TEST_F(RouterSessionTest, DumpOnConnect) {
    record.noteWritten({0xFE, 0x02, 0x07});  // output 1 unknown, output 2 shows input 7
    record.setInputLabel(5, "Camera 5");
    record.lock(2, b.session.id());  // output index 1
    const std::string dump = a.session.greeting();
    const Routing::State state = record.state();
    EXPECT_EQ(dump,
              "PROTOCOL PREAMBLE:\nVersion: 2.8\n\n"
              "VIDEOHUB DEVICE:\nDevice present: true\nModel name: KIVO16 via KIVONet\nFriendly name: Studio\n"
              "Unique ID: " + state.uniqueId + "\nVideo inputs: 16\nVideo processing units: 0\nVideo outputs: 2\n"
              "Video monitoring outputs: 0\nSerial ports: 0\n\n"
              "INPUT LABELS:\n0 Input 1\n1 Input 2\n2 Input 3\n3 Input 4\n4 Camera 5\n5 Input 6\n6 Input 7\n"
              "7 Input 8\n8 Input 9\n9 Input 10\n10 Input 11\n11 Input 12\n12 Input 13\n13 Input 14\n"
              "14 Input 15\n15 Input 16\n\n"
              "OUTPUT LABELS:\n0 Output 1\n1 Output 2\n\n"
              "VIDEO OUTPUT LOCKS:\n0 U\n1 L\n\n"
              "VIDEO OUTPUT ROUTING:\n1 6\n\n"
              "CONFIGURATION:\nTake Mode: false\n\n"
              "END PRELUDE:\n\n");
    EXPECT_EQ(state.uniqueId.size(), 12u);
    EXPECT_NE(b.session.greeting().find("VIDEO OUTPUT LOCKS:\n0 U\n1 O\n\n"), std::string::npos);
}

TEST_F(RouterSessionTest, RoutingRequestsAreCheckedWholeBeforeAnythingIsSent) {
    EXPECT_EQ(a.send("VIDEO OUTPUT ROUTING:\n1 6\n\n"), "ACK\n\n");
    // Several blocks in one read, CR LF ends; two lines for one output leave the last.
    EXPECT_EQ(a.send("VIDEO OUTPUT ROUTING:\r\n0 1\r\n1 15\r\n0 3\r\n\r\nPING:\r\n\r\n"), "ACK\n\nACK\n\n");
    EXPECT_EQ(a.submitted, (std::vector<std::vector<Selection>>{{{2, 7}}, {{1, 4}, {2, 16}}}));
    a.submitted.clear();
    // One bad line spoils the block: nothing is submitted.
    for (const char* bad : {"0 16", "2 0", "-1 3", "0", "0 x", "a 1", "0 1 2", "+0 1", "00000 1"})
        EXPECT_EQ(a.send(std::string("VIDEO OUTPUT ROUTING:\n1 2\n") + bad + "\n\n"), "NAK\n\n") << bad;
    EXPECT_TRUE(a.submitted.empty());
    // A queue that cannot take the selections makes it NAK too.
    Client full(record, false);
    EXPECT_EQ(full.send("VIDEO OUTPUT ROUTING:\n0 1\n\n"), "NAK\n\n");
}

TEST_F(RouterSessionTest, LocksAreSeenAsOwnOrOthersAndBlockOthers) {
    const Routing::ClientId idA = a.session.id(), idB = b.session.id();
    EXPECT_EQ(a.send("VIDEO OUTPUT LOCKS:\n0 O\n\n"), "ACK\n\n");
    const std::vector<Routing::Change> lockChange{{Routing::Kind::Lock, 1}};
    EXPECT_EQ(router::text::update(lockChange, record.state(), idA), "VIDEO OUTPUT LOCKS:\n0 O\n\n");
    EXPECT_EQ(router::text::update(lockChange, record.state(), idB), "VIDEO OUTPUT LOCKS:\n0 L\n\n");
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n\n"), "ACK\n\nVIDEO OUTPUT LOCKS:\n0 L\n1 U\n\n");

    // B can neither route, lock nor unlock output 0, and a good line beside a refused one changes nothing.
    EXPECT_EQ(b.send("VIDEO OUTPUT ROUTING:\n1 3\n0 3\n\n"), "NAK\n\n");
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n1 O\n0 O\n\n"), "NAK\n\n");
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n0 U\n\n"), "NAK\n\n");
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n0 X\n\n"), "NAK\n\n");
    EXPECT_TRUE(b.submitted.empty());
    EXPECT_EQ(record.state().lockOwner, (std::array<Routing::ClientId, 2>{idA, 0}));
    // The holder still routes its output; B routes the other one.
    EXPECT_EQ(a.send("VIDEO OUTPUT ROUTING:\n0 3\n\n"), "ACK\n\n");
    EXPECT_EQ(b.send("VIDEO OUTPUT ROUTING:\n1 3\n\n"), "ACK\n\n");

    // F frees another's lock; U gives back one's own.
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n0 F\n1 O\n\n"), "ACK\n\n");
    EXPECT_EQ(record.state().lockOwner, (std::array<Routing::ClientId, 2>{0, idB}));
    EXPECT_EQ(b.send("VIDEO OUTPUT LOCKS:\n1 U\n\n"), "ACK\n\n");
    EXPECT_FALSE(record.lockedByOther(2, idA));
}

TEST_F(RouterSessionTest, LabelsChangeAllOrNothing) {
    EXPECT_EQ(a.send("INPUT LABELS:\n0 Camera one\n15 Replay\n\nOUTPUT LABELS:\n1 Program\n\n"), "ACK\n\nACK\n\n");
    Routing::State state = record.state();
    EXPECT_EQ(state.inputLabels[0], "Camera one");
    EXPECT_EQ(state.inputLabels[15], "Replay");
    EXPECT_EQ(state.outputLabels[1], "Program");
    const std::vector<Routing::Change> changes{{Routing::Kind::InputLabel, 1}, {Routing::Kind::OutputLabel, 2}};
    EXPECT_EQ(router::text::update(changes, state, a.session.id()),
              "INPUT LABELS:\n0 Camera one\n\nOUTPUT LABELS:\n1 Program\n\n");

    for (const std::string& bad : std::vector<std::string>{"16 Sixteen", "2 ", "2", "x Name", "2 " + std::string(41, 'n'),
                                                        "2 tab\there"})
        EXPECT_EQ(a.send("INPUT LABELS:\n1 Changed\n" + bad + "\n\n"), "NAK\n\n") << bad;
    EXPECT_EQ(a.send("OUTPUT LABELS:\n2 Third\n\n"), "NAK\n\n");
    state = record.state();
    EXPECT_EQ(state.inputLabels[1], "Input 2");
    EXPECT_EQ(state.outputLabels[0], "Output 1");

    // Thousands of renames of one input in a block make one change, to the last of them.
    std::atomic<int> heard{0};
    const int token = record.subscribe(
        [&](const std::vector<Routing::Change>& c, const Routing::State&) { heard += static_cast<int>(c.size()); });
    std::string many = "INPUT LABELS:\n";
    for (int i = 0; i < 2000; ++i) many += i % 2 ? "2 Odd\n" : "2 Even\n";
    EXPECT_EQ(a.send(many + "\n"), "ACK\n\n");
    record.flush();
    record.unsubscribe(token);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(record.state().inputLabels[2], "Odd");

    // Once the server is stopping (its last save made), a rename is refused, not acknowledged.
    record.saveNow(std::chrono::seconds(1));
    EXPECT_EQ(a.send("INPUT LABELS:\n1 Too late\n\n"), "NAK\n\n");
}

TEST_F(RouterSessionTest, EmptyBodiesAskForTheBlockAndTheRestIsNotUnderstood) {
    record.noteWritten({0xFE, 0x01, 0x10, 0xFE, 0x02, 0x01});
    EXPECT_EQ(a.send("VIDEO OUTPUT ROUTING:\n\n"), "ACK\n\nVIDEO OUTPUT ROUTING:\n0 15\n1 0\n\n");
    EXPECT_EQ(a.send("OUTPUT LABELS:\n\n"), "ACK\n\nOUTPUT LABELS:\n0 Output 1\n1 Output 2\n\n");
    EXPECT_EQ(a.send("CONFIGURATION:\n\n"), "ACK\n\nCONFIGURATION:\nTake Mode: false\n\n");
    EXPECT_EQ(a.send("PROTOCOL PREAMBLE:\n\n"), "ACK\n\nPROTOCOL PREAMBLE:\nVersion: 2.8\n\n");
    EXPECT_EQ(a.send("PING:\n\n"), "ACK\n\n");
    for (const char* other : {"END PRELUDE:\n\n", "VIDEO MONITORING OUTPUT ROUTING:\n0 1\n\n", "hello\n\n",
                              "ping:\n\n", "ACK\n\n", "CONFIGURATION:\nTake Mode: true\n\n"})
        EXPECT_EQ(a.send(other), "NAK\n\n") << other;
    EXPECT_TRUE(a.submitted.empty());
}

TEST(RouterUpdate, RoutingChangesAsTheClientSeesThem) {
    Routing::State state = Routing::defaults();
    state.input = {3, 7};
    using K = Routing::Kind;
    EXPECT_EQ(router::text::update({{K::Route, 2}}, state, 1), "VIDEO OUTPUT ROUTING:\n1 6\n\n");
    EXPECT_EQ(router::text::update({{K::Route, 1}, {K::Route, 2}, {K::Route, 1}}, state, 1),
              "VIDEO OUTPUT ROUTING:\n0 2\n1 6\n\n");
    state.input = {0, 7};  // unknown: left out
    EXPECT_EQ(router::text::update({{K::Route, 1}}, state, 1), "");
}

}  // namespace
