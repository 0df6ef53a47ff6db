// Where the client password comes from.
#include "app/Password.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using From = PasswordSetting::From;

class PasswordFile : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/kivonet-password-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string write(const std::string& content, mode_t mode) {
        const std::string path = dir_ + "/pw";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        ::chmod(path.c_str(), mode);
        return path;
    }
    std::string dir_;
};

TEST_F(PasswordFile, FileThenEnvironmentThenBuiltIn) {
    const std::string file = write("from file\r\nnext\n", 0600);
    PasswordSetting s = PasswordSetting::choose(file, "from env", "JVK");
    EXPECT_EQ(s.password, "from file");  // the first line, without CR LF; blanks kept
    EXPECT_EQ(s.from, From::File);
    EXPECT_TRUE(s.error.empty());
    EXPECT_TRUE(s.consoleLines.empty());

    EXPECT_EQ(PasswordSetting::choose(write("last line without end", 0400), nullptr, "JVK").password,
              "last line without end");

    // A byte order mark from a Windows editor is no part of the password; UTF-16 text is refused.
    EXPECT_EQ(PasswordSetting::choose(write("\xEF\xBB\xBFpw\r\n", 0600), nullptr, "JVK").password, "pw");
    EXPECT_NE(PasswordSetting::choose(write(std::string("\xFF\xFEp\0w\0\r\0\n\0", 10), 0600), nullptr, "JVK")
                  .error.find("is UTF-16 text"),
              std::string::npos);

    s = PasswordSetting::choose("", "from env", "JVK");
    EXPECT_EQ(s.password, "from env");
    EXPECT_EQ(s.from, From::Environment);
    EXPECT_TRUE(s.consoleLines.empty());

    for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
        s = PasswordSetting::choose("", unset, "JVK");
        EXPECT_EQ(s.password, "JVK");
        EXPECT_EQ(s.from, From::Default);
        ASSERT_EQ(s.consoleLines.size(), 1u);
        EXPECT_EQ(s.consoleLines[0].find("JVK"), std::string::npos);
    }
}

TEST_F(PasswordFile, ReadableByOthersWarnsUnusableIsAnError) {
    for (const mode_t mode : {0640, 0604}) {
        const std::string file = write("pw\n", mode);
        const PasswordSetting s = PasswordSetting::choose(file, nullptr, "JVK");
        EXPECT_EQ(s.password, "pw");
        ASSERT_EQ(s.consoleLines.size(), 1u);
        EXPECT_EQ(s.consoleLines[0], "Warning: the password file " + file +
                                         " can be read by other users (chmod 600 " + file + ")");
    }
    for (const std::string& content : {std::string(), std::string("\nsecond")}) {
        const PasswordSetting s = PasswordSetting::choose(write(content, 0600), "env", "JVK");
        EXPECT_NE(s.error.find("empty first line"), std::string::npos) << s.error;
    }
    EXPECT_EQ(PasswordSetting::choose(write(std::string(4096, 'p'), 0600), nullptr, "JVK").password,
              std::string(4096, 'p'));
    const std::string tooLong = write(std::string(4097, 'p') + "\n", 0600);
    EXPECT_EQ(PasswordSetting::choose(tooLong, nullptr, "JVK").error,
              "the password file " + tooLong + " has a first line longer than 4096 characters");
    const PasswordSetting missing = PasswordSetting::choose(dir_ + "/none", "env", "JVK");
    EXPECT_EQ(missing.error, "cannot read the password file " + dir_ + "/none: No such file or directory");
    EXPECT_NE(PasswordSetting::choose(dir_, "env", "JVK").error, "");  // a folder
}

// A pipe (a secret store's, a shell's <(...)) is read once its writer has written, however late.
TEST_F(PasswordFile, APipeIsWaitedFor) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(::write(ends[1], "piped\n", 6), 6);
        ::close(ends[1]);
    });
    const PasswordSetting s = PasswordSetting::choose("/dev/fd/" + std::to_string(ends[0]), nullptr, "JVK");
    writer.join();
    ::close(ends[0]);
    EXPECT_EQ(s.password, "piped") << s.error;
}

}  // namespace
