// The configuration tool: its logic as functions, and one run of the real program.
#define KIVONET_CONFIG_NO_MAIN
#include "tools/kivonet-config.cpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/support/TempDir.h"

namespace {

class ConfigTool : public ::testing::Test {
protected:
    void SetUp() override {
        KIVO::ResetSettings();
        temp_ = std::make_unique<TempDir>("kivo_tool_");
        dir_ = temp_->path();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        KIVO::ResetSettings();
        temp_.reset();
    }
    int run(std::vector<std::string> args) {
        out_.str("");
        err_.str("");
        KIVO::ResetSettings();
        return kivoconfig::run(args, out_, err_);
    }
    std::unique_ptr<TempDir> temp_;
    std::string dir_;
    std::ostringstream out_, err_;
};

TEST_F(ConfigTool, WriteThenShowRoundTrips) {
    const std::string f = dir_ + "/cfg.bin";
    ASSERT_EQ(run({"write", f, "--com", "2", "--minutes", "5", "--outmode", "2"}), 0) << err_.str();
    EXPECT_EQ(std::filesystem::file_size(f), 6u);
    ASSERT_EQ(run({"show", f}), 0);
    const std::string shown = out_.str();
    EXPECT_NE(shown.find("Serial port:            COM2\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("TCP port:               3001\n"), std::string::npos);
    EXPECT_NE(shown.find("Session limit:          5 minutes\n"), std::string::npos);
    EXPECT_NE(shown.find("Automatic acceptance:   on\n"), std::string::npos);
    EXPECT_NE(shown.find("Route input to both outputs"), std::string::npos);

    // Every combination of the edges decodes back to what was written.
    for (const auto& [opts, port, minutes, accept, route] :
         std::vector<std::tuple<std::vector<std::string>, int, int, bool, int>>{
             {{"--no-serial", "--tcp-port", "2873", "--minutes", "60", "--autoaccept", "off"}, 2873, 60, false, 0},
             {{"--com", "9", "--tcp-port", "3128", "--minutes", "0", "--outmode", "1"}, 3128, 0, true, 1},
             // the byte 0x0A (port offset 10) is written as it is, over the existing record
             {{"--com", "9", "--tcp-port", "3011"}, 3011, 0, true, 0}}) {
        std::vector<std::string> args = {"write", f};
        args.insert(args.end(), opts.begin(), opts.end());
        ASSERT_EQ(run(args), 0) << err_.str();
        KIVO::ResetSettings();
        KIVO::filename = f;
        KIVO k;
        k.ReadCFG();
        k.InterpretCFG();
        EXPECT_EQ(k.port, port);
        EXPECT_EQ(KIVO::to, minutes);
        EXPECT_EQ(KIVO::autoaccept, accept);
        EXPECT_EQ(KIVO::outmode, route);
        EXPECT_EQ(KIVO::comport, opts[0] == "--no-serial" ? "COM0" : "COM9");
    }
}

TEST_F(ConfigTool, RefusesValuesTheRecordCannotHoldAndWritesNothing) {
    const std::string f = dir_ + "/cfg.bin";
    for (const std::vector<std::string>& opts : std::vector<std::vector<std::string>>{
             {"--minutes", "7"}, {"--minutes", "-1"}, {"--tcp-port", "2872"}, {"--tcp-port", "3129"},
             {"--com", "0"}, {"--com", "10"}, {"--com", "2x"}, {"--outmode", "3"},
             {"--autoaccept", "yes"}, {"--com", "1", "--no-serial"}, {"--bogus"}, {"--minutes"}}) {
        std::vector<std::string> args = {"write", f};
        args.insert(args.end(), opts.begin(), opts.end());
        EXPECT_EQ(run(args), 2) << opts[0];
        EXPECT_FALSE(err_.str().empty());
        EXPECT_FALSE(std::filesystem::exists(f)) << opts[0];
    }
    EXPECT_EQ(run({"write"}), 2);
    EXPECT_EQ(run({"frobnicate"}), 2);
    EXPECT_EQ(run({}), 2);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 0);
}

TEST_F(ConfigTool, ShowDescribesOddRecords) {
    const std::string f = dir_ + "/odd.bin";
    const uint8_t bytes[] = {0x30, 0x00, 0xFF, 0x09, 0x02, 0x05};
    FILE* fp = std::fopen(f.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    std::fwrite(bytes, 1, sizeof bytes, fp);
    std::fclose(fp);
    ASSERT_EQ(run({"show", f}), 0);
    const std::string shown = out_.str();
    EXPECT_NE(shown.find("COMa (not a serial port number"), std::string::npos) << shown;
    EXPECT_NE(shown.find("TCP port:               3000\n"), std::string::npos);
    EXPECT_NE(shown.find("Session limit:          5 minutes\n"), std::string::npos);  // unknown code
    EXPECT_NE(shown.find("Automatic acceptance:   off\n"), std::string::npos);
    EXPECT_NE(shown.find("Route input to output #1"), std::string::npos);  // 5 falls back to 0

    ASSERT_EQ(run({"show", dir_ + "/none"}), 0);
    EXPECT_NE(out_.str().find("not found"), std::string::npos);
    EXPECT_NE(out_.str().find("Serial port:            COM1\n"), std::string::npos);

    EXPECT_EQ(run({"show", dir_}), 1);  // a file that cannot be read fails, described all the same
    EXPECT_NE(out_.str().find("(unreadable: the server uses the settings of a missing file)"), std::string::npos);
}

// set changes the settings it is given and nothing else: the others, odd values and bytes past the
// record included; a missing file starts from the defaults; a file it cannot read is left alone.
TEST_F(ConfigTool, SetKeepsWhatItIsNotGiven) {
    const std::string f = dir_ + "/cfg.bin";
    ASSERT_EQ(run({"write", f, "--com", "3", "--tcp-port", "3010", "--minutes", "15", "--autoaccept", "off",
                   "--outmode", "1"}), 0) << err_.str();
    {
        FILE* fp = std::fopen(f.c_str(), "ab");  // bytes past the record: a longer file stays longer
        ASSERT_NE(fp, nullptr);
        std::fputs(std::string(200, 't').c_str(), fp);  // past the 128 bytes the server reads too
        std::fclose(fp);
    }
    ASSERT_EQ(run({"set", f, "--minutes", "60"}), 0) << err_.str();
    ASSERT_EQ(run({"set", f, "--outmode", "2"}), 0) << err_.str();
    KIVO::ResetSettings();
    KIVO::filename = f;
    KIVO k;
    k.ReadCFG();
    k.InterpretCFG();
    EXPECT_EQ(KIVO::comport, "COM3");
    EXPECT_EQ(k.port, 3010);
    EXPECT_EQ(KIVO::to, 60);
    EXPECT_FALSE(KIVO::autoaccept);
    EXPECT_EQ(KIVO::outmode, 2);
    EXPECT_EQ(std::filesystem::file_size(f), 206u);

    // A refused value writes nothing.
    EXPECT_EQ(run({"set", f, "--tcp-port", "9999"}), 2);
    ASSERT_EQ(run({"show", f}), 0);
    EXPECT_NE(out_.str().find("TCP port:               3010\n"), std::string::npos) << out_.str();

    const std::string fresh = dir_ + "/fresh.bin";
    ASSERT_EQ(run({"set", fresh, "--no-serial"}), 0) << err_.str();
    ASSERT_EQ(run({"show", fresh}), 0);
    for (const char* want : {"none (COM0", "TCP port:               3001\n", "Session limit:          none\n",
                             "acceptance:   on\n", "output #1\n"})
        EXPECT_NE(out_.str().find(want), std::string::npos) << want << " in\n" << out_.str();

    EXPECT_EQ(run({"set", dir_, "--com", "2"}), 1);  // a folder cannot be read as a record
    EXPECT_NE(err_.str().find("cannot read"), std::string::npos) << err_.str();
    const std::string huge = dir_ + "/huge.bin";
    { std::ofstream(huge) << std::string(70000, 'x'); }
    EXPECT_EQ(run({"set", huge, "--com", "2"}), 1);
    EXPECT_EQ(std::filesystem::file_size(huge), 70000u);
}

#ifndef _WIN32
// Replacing the record keeps what the operator set up around it: its permissions (whatever the
// caller's umask) and a symbolic link to it.
TEST_F(ConfigTool, ReplacingKeepsPermissionsAndLinks) {
    struct Umask {
        mode_t saved = ::umask(077);
        ~Umask() { ::umask(saved); }
    } strict;
    const std::string f = dir_ + "/cfg.bin";
    ASSERT_EQ(run({"write", f, "--com", "1"}), 0) << err_.str();
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    ASSERT_EQ(run({"set", f, "--minutes", "5"}), 0) << err_.str();
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string link = dir_ + "/link.cfg";
    ASSERT_EQ(::symlink("cfg.bin", link.c_str()), 0);
    ASSERT_EQ(run({"set", link, "--com", "3"}), 0) << err_.str();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    ASSERT_EQ(run({"show", f}), 0);
    EXPECT_NE(out_.str().find("COM3"), std::string::npos) << out_.str();
}

// The built program, next to this test program's build folder: tests/tools/../../tools.
// (The Windows build's program is run by the Windows end-to-end driver.)
TEST_F(ConfigTool, RealProgram) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    const auto tool = self.parent_path().parent_path().parent_path() / "tools" / "kivonet-config";
    if (!std::filesystem::exists(tool)) GTEST_SKIP() << "kivonet-config not built at " << tool;
    const std::string f = dir_ + "/cfg.bin";
    const std::string write = "'" + tool.string() + "' write '" + f + "' --com 2 --minutes 5 --outmode 2 >/dev/null";
    ASSERT_EQ(std::system(write.c_str()), 0);
    const std::string show = "'" + tool.string() + "' show '" + f + "'";
    FILE* p = popen(show.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string shown;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) shown += buf;
    EXPECT_EQ(pclose(p), 0);
    for (const char* want : {"COM2\n", "3001\n", "5 minutes\n", "acceptance:   on\n", "both outputs\n"})
        EXPECT_NE(shown.find(want), std::string::npos) << want << " in\n" << shown;
    const std::string bad = "'" + tool.string() + "' write '" + f + "' --minutes 7 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(bad.c_str())), 2);
}
#endif

}  // namespace
