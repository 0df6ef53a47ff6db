#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// Feeds the bytes in chunks of the given sizes (cycled), then flushes gathered invalid bytes.
Lines decodeChunked(const Bytes& bytes, const std::vector<std::size_t>& chunks) {
    FrameDecoder d;
    Lines lines;
    auto sink = [&lines](const std::string& l) { lines.push_back(l); };
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < bytes.size(); ++i) {
        const std::size_t n = std::min(chunks[i % chunks.size()], bytes.size() - pos);
        d.feed(std::span<const uint8_t>(bytes.data() + pos, n), sink);
        pos += n;
    }
    d.flushInvalid(sink);
    return lines;
}

Lines decode(const Bytes& bytes) { return decodeChunked(bytes, {bytes.size() + 1}); }

}  // namespace

TEST(SimFrameDecoder, ValidFramesOnBothOutputsAllInputs) {
    FrameDecoder d;
    EXPECT_EQ(d.outputInput(1), 0);  // unknown until the first frame
    EXPECT_EQ(d.outputInput(2), 0);
    EXPECT_EQ(d.feed(Bytes{0xFE, 0x01, 0x05, 0xFE, 0x02, 0x0A}),
              (Lines{"Output 1 <- Input 5", "Output 2 <- Input 10"}));
    EXPECT_EQ(d.outputInput(1), 5);
    EXPECT_EQ(d.outputInput(2), 10);
    // A frame that changes nothing is still reported.
    EXPECT_EQ(d.feed(Bytes{0xFE, 0x01, 0x05}), (Lines{"Output 1 <- Input 5"}));
    EXPECT_EQ(d.validFrames(), 3u);
    EXPECT_EQ(d.invalidBytes(), 0u);
    EXPECT_EQ(d.pendingBytes(), 0u);
    EXPECT_THROW(d.outputInput(0), std::out_of_range);
    EXPECT_THROW(d.outputInput(3), std::out_of_range);
    for (int out = 1; out <= 2; ++out) {
        for (int in = 1; in <= 16; ++in) {
            const Bytes frame{0xFE, static_cast<uint8_t>(out), static_cast<uint8_t>(in)};
            EXPECT_EQ(d.feed(frame), (Lines{FrameDecoder::outputLine(out, in)}));
            EXPECT_EQ(d.outputInput(out), in);
        }
    }
    EXPECT_EQ(FrameDecoder::outputLine(2, 16), "Output 2 <- Input 16");
}

TEST(SimFrameDecoder, ChunkingDoesNotChangeTheEvents) {
    const Bytes stream{0x41, 0xFE, 0x01, 0x05, 0xFE, 0xFE, 0x02, 0x10, 0xFE, 0x03, 0x05, 0x00,
                       0xFE, 0x02, 0x01, 0xFE, 0x01, 0x11, 0xFE, 0x01, 0x10, 0x7F};
    const Lines expected{"Invalid bytes: 41",          "Output 1 <- Input 5",
                         "Invalid bytes: FE",          "Output 2 <- Input 16",
                         "Invalid bytes: FE 03 05 00", "Output 2 <- Input 1",
                         "Invalid bytes: FE 01 11",    "Output 1 <- Input 16",
                         "Invalid bytes: 7F"};
    EXPECT_EQ(decode(stream), expected);
    EXPECT_EQ(decodeChunked(stream, {1}), expected);
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> chunks;
        for (int i = 0; i < 8; ++i) chunks.push_back(1 + rng() % 6);
        EXPECT_EQ(decodeChunked(stream, chunks), expected) << "round " << round;
    }
}

TEST(SimFrameDecoder, GarbageIsReportedThenDecodingResyncs) {
    FrameDecoder d;
    // Garbage is held until the next valid frame, then reported first.
    EXPECT_TRUE(d.feed(Bytes{0x41, 0x42}).empty());
    EXPECT_EQ(d.feed(Bytes{0xFE, 0x01, 0x05}), (Lines{"Invalid bytes: 41 42", "Output 1 <- Input 5"}));
    // ...or until flushed (the simulator flushes when the line goes quiet).
    EXPECT_TRUE(d.feed(Bytes{0x0A, 0xab}).empty());
    Lines flushed;
    d.flushInvalid([&flushed](const std::string& l) { flushed.push_back(l); });
    EXPECT_EQ(flushed, (Lines{"Invalid bytes: 0A AB"}));
    EXPECT_EQ(d.invalidBytes(), 4u);
    // An unfinished frame is not invalid yet: flushing keeps it and it can still complete.
    EXPECT_TRUE(d.feed(Bytes{0xFE, 0x02}).empty());
    flushed.clear();
    d.flushInvalid([&flushed](const std::string& l) { flushed.push_back(l); });
    EXPECT_TRUE(flushed.empty());
    EXPECT_EQ(d.feed(Bytes{0x07}), (Lines{"Output 2 <- Input 7"}));
}

TEST(SimFrameDecoder, BrokenFramesAreInvalidAsAWhole) {
    struct Case {
        Bytes bytes;
        Lines lines;
    };
    const std::vector<Case> cases{
        {{0xFE, 0x03, 0x05}, {"Invalid bytes: FE 03 05"}},  // bad output
        {{0xFE, 0x00, 0x05}, {"Invalid bytes: FE 00 05"}},
        {{0xFE, 0x01, 0x00}, {"Invalid bytes: FE 01 00"}},  // bad input
        {{0xFE, 0x01, 0x11}, {"Invalid bytes: FE 01 11"}},
        {{0xFE, 0x02, 0xFF}, {"Invalid bytes: FE 02 FF"}},
        // FE inside a frame starts a new one; the bytes before it are invalid.
        {{0xFE, 0xFE, 0x01, 0x05}, {"Invalid bytes: FE", "Output 1 <- Input 5"}},
        {{0xFE, 0x01, 0xFE, 0x02, 0x03}, {"Invalid bytes: FE 01", "Output 2 <- Input 3"}},
        {{0xFE, 0xFE, 0xFE}, {"Invalid bytes: FE FE"}},  // last FE is an unfinished frame
    };
    for (const Case& c : cases) {
        FrameDecoder d;
        EXPECT_EQ(decode(c.bytes), c.lines) << c.lines.front();
        // The next frame after the broken bytes decodes.
        d.feed(c.bytes);
        EXPECT_EQ(d.feed(Bytes{0xFE, 0x01, 0x09}).back(), "Output 1 <- Input 9") << c.lines.front();
    }
}

TEST(SimFrameDecoder, MemoryStaysBoundedOnEndlessGarbage) {
    FrameDecoder d;
    std::size_t lines = 0;
    bool allShort = true;
    auto sink = [&](const std::string& l) {
        ++lines;
        // "Invalid bytes:" plus three characters per byte.
        allShort = allShort && l.size() <= 14 + 3 * FrameDecoder::kMaxInvalidRun;
    };
    const Bytes garbage(4096, 0x55);
    const Bytes brokenFrames{0xFE, 0x01, 0xFE, 0x02, 0xFE};  // never completes a frame
    std::size_t fed = 0;
    for (int i = 0; i < 64; ++i) {
        d.feed(garbage, sink);
        d.feed(brokenFrames, sink);
        fed += garbage.size() + brokenFrames.size();
        ASSERT_LE(d.pendingBytes(), FrameDecoder::kMaxInvalidRun + 2);
    }
    EXPECT_TRUE(allShort);
    EXPECT_GE(lines, fed / FrameDecoder::kMaxInvalidRun - 1);
    EXPECT_EQ(d.invalidBytes() + 1, fed);  // all but the final unfinished FE
    EXPECT_EQ(d.validFrames(), 0u);
}
