// Reading and decoding the configuration record, and the hex text conversions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/KIVO.h"
#include "tests/support/TempDir.h"

namespace {

class KivoConfig : public ::testing::Test {
protected:
    void SetUp() override {
        KIVO::ResetSettings();
        temp_ = std::make_unique<TempDir>("kivo_cfg_");
        dir_ = temp_->path();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        KIVO::ResetSettings();
        temp_.reset();
    }
    std::string file(const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ + "/cfg" + std::to_string(counter_++);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // Reads and decodes the record at path on a fresh object, as start-up steps 1 and 2 do.
    void load(KIVO& k, const std::string& path) {
        KIVO::ResetSettings();
        KIVO::filename = path;
        k.ReadCFG();
        k.InterpretCFG();
    }
    std::unique_ptr<TempDir> temp_;
    std::string dir_;
    int counter_ = 0;
};

TEST_F(KivoConfig, AbsentShortAndLongFiles) {
    {
        KIVO k;
        load(k, dir_ + "/missing");
        EXPECT_EQ(KIVO::comport, "COM1");
        EXPECT_EQ(k.devtype, "KIVO16");
        EXPECT_EQ(k.port, 3001);
        EXPECT_EQ(KIVO::to, 0);  // a missing file decodes zero bytes, not the initial 5
        EXPECT_TRUE(KIVO::autoaccept);
        EXPECT_EQ(KIVO::outmode, 0);
        EXPECT_EQ(k.ReadyLine(), "COM1  KIVO16  0 minutes  Ready");
    }
    {
        KIVO k;  // two bytes: the rest reads as 0
        load(k, file({0x01, 0x50}));
        EXPECT_EQ(KIVO::comport, "COM2");
        EXPECT_EQ(k.port, 3001);
        EXPECT_EQ(KIVO::to, 0);
        EXPECT_TRUE(KIVO::autoaccept);
    }
    {
        KIVO k;
        load(k, file({0x01, 0x50, 0x00, 0x02, 0x00, 0x02}));
        EXPECT_EQ(k.ReadyLine(), "COM2  KIVO16  5 minutes  Ready");
        EXPECT_EQ(KIVO::outmode, 2);
        EXPECT_TRUE(KIVO::autoaccept);
    }
    {
        std::vector<uint8_t> big(200);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i < 128 ? 0 : 0xEE);
        big[0] = 3;
        KIVO k;
        load(k, file(big));
        EXPECT_EQ(KIVO::comport, "COM4");
        for (int i = 1; i < KIVO::CFGFILESIZE; ++i) ASSERT_EQ(KIVO::CFG[static_cast<std::size_t>(i)], 0) << i;
    }
    {
        // Port bytes past the documented range make names with control characters (NUL to ESC): they
        // are shown as "?", not written raw to the console and the window.
        KIVO k;
        load(k, file({0xCF}));
        EXPECT_EQ(KIVO::comport, std::string("COM\0", 4));
        EXPECT_EQ(k.ReadyLine(), "COM?  KIVO16  0 minutes  Ready");
        load(k, file({0xEA}));
        EXPECT_EQ(k.ReadyLine(), "COM?  KIVO16  0 minutes  Ready");
    }
}

TEST_F(KivoConfig, SignedOffsetsAndCodes) {
    struct Case {
        std::vector<uint8_t> bytes;
        std::string comport;
        int port, to;
        bool autoaccept;
        int outmode;
    };
    const std::vector<Case> cases = {
        {{0, 0, 0xFF}, "COM1", 3000, 0, true, 0},
        {{0, 0, 0x7F}, "COM1", 3128, 0, true, 0},
        {{0, 0, 0x80}, "COM1", 2873, 0, true, 0},
        {{0, 0, 0, 6}, "COM1", 3001, 60, true, 0},
        {{0, 0, 0, 7}, "COM1", 3001, 5, true, 0},     // unknown code keeps the initial 5
        {{0, 0, 0, 0xFF}, "COM1", 3001, 5, true, 0},
        {{8, 0, 0, 0, 1}, "COM9", 3001, 0, false, 0},
        {{0xFF, 0, 0, 0, 2}, "COM0", 3001, 0, false, 0},  // COM0: no serial port
        {{0x30, 0, 0, 0, 0xFF}, "COMa", 3001, 0, false, 0},  // a digit from an editor is not a number
        {{0, 0, 0, 0, 0, 1}, "COM1", 3001, 0, true, 1},
        {{0, 0, 0, 0, 0, 3}, "COM1", 3001, 0, true, 0},   // no such routing: falls back to 0
        {{0, 0, 0, 0, 0, 0xFF}, "COM1", 3001, 0, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(KIVO::BS2S(c.bytes, static_cast<int>(c.bytes.size())));
        KIVO k;
        load(k, file(c.bytes));
        EXPECT_EQ(KIVO::comport, c.comport);
        EXPECT_EQ(k.port, c.port);
        EXPECT_EQ(KIVO::to, c.to);
        EXPECT_EQ(KIVO::autoaccept, c.autoaccept);
        EXPECT_EQ(KIVO::outmode, c.outmode);
    }
}

// The record is bytes, not text: line ends and the old end-of-file mark 0x1A are read as they are
// (a text-mode read on Windows would drop the 0x0D before 0x0A and stop at 0x1A).
TEST_F(KivoConfig, LineEndAndEndOfFileBytesAreReadAsTheyAre) {
    KIVO k;
    load(k, file({0x01, 0x0D, 0x0A, 0x02, 0x00, 0x02}));
    EXPECT_EQ(KIVO::comport, "COM2");
    EXPECT_EQ(k.port, 3011);
    EXPECT_EQ(KIVO::to, 5);
    EXPECT_EQ(KIVO::outmode, 2);
    KIVO k2;
    load(k2, file({0x1A, 0x00, 0x05}));
    EXPECT_EQ(KIVO::comport, "COMK");
    EXPECT_EQ(k2.port, 3006);
}

TEST_F(KivoConfig, UnreadableFileIsTreatedAsMissingWithOneLine) {
    const std::string sub = dir_ + "/adir";
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    KIVO::CFG.fill(0x55);  // stale content must not survive
    testing::internal::CaptureStdout();
    KIVO k;
    load(k, sub);
    const std::string out = testing::internal::GetCapturedStdout();
#ifdef _WIN32
    EXPECT_EQ(out, "Can't read configuration file " + sub + ": Permission denied\n");
#else
    EXPECT_EQ(out, "Can't read configuration file " + sub + ": Is a directory\n");
#endif
    EXPECT_EQ(KIVO::comport, "COM1");
    EXPECT_EQ(k.port, 3001);
    EXPECT_EQ(KIVO::to, 0);

    testing::internal::CaptureStdout();
    KIVO k2;
    load(k2, dir_ + "/missing");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // missing: silent
}

TEST(KivoHex, Conversions) {
    const std::vector<uint8_t> frame = {0xFE, 0x01, 0x0A};
    EXPECT_EQ(KIVO::BS2S(frame, 3), "FE010A");
    EXPECT_EQ(KIVO::BS2S(frame, 2), "FE01");
    EXPECT_EQ(KIVO::BS2S(frame, 0), "");
    EXPECT_EQ(KIVO::BS2S(frame, -1), "");
    EXPECT_EQ(KIVO::BS2S(frame, 9), "FE010A");  // never past the array

    using B = std::vector<uint8_t>;
    EXPECT_EQ(KIVO::S2BS("fe0110"), (B{0xFE, 0x01, 0x10}));
    EXPECT_EQ(KIVO::S2BS("99"), (B{0x99}));
    EXPECT_EQ(KIVO::S2BS("12345"), (B{0x12, 0x34}));
    EXPECT_EQ(KIVO::S2BS("7"), B{});
    EXPECT_EQ(KIVO::S2BS("0G"), (B{0x00}));
    EXPECT_EQ(KIVO::S2BS("FE 1"), (B{0xFE, 0x01}));
    EXPECT_EQ(KIVO::C2B('a'), 10);
    EXPECT_EQ(KIVO::C2B('F'), 15);
    EXPECT_EQ(KIVO::C2B('g'), 0);
}

TEST(KivoHex, LongTextIsConvertedWhole) {
    std::string text;
    std::vector<uint8_t> expected;
    for (int i = 0; i < 20; ++i) {
        const auto b = static_cast<uint8_t>(0x11 * (i % 15) + 1);
        expected.push_back(b);
        text += KIVO::BS2S({b}, 1);
    }
    ASSERT_EQ(text.size(), 40u);
    EXPECT_EQ(KIVO::S2BS(text), expected);  // every byte, also after the 15th
    EXPECT_EQ(KIVO::BS2S(expected, 20), text);
}

}  // namespace
