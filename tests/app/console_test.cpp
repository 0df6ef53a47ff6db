// The running server's console writer: lines a command holds back while its frames go out still
// reach the console in the order every thread wrote them, and a flood stays bounded and counted.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/CommandScope.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIVO::StartConsoleWriter();
        testing::internal::CaptureStdout();
    }
    std::vector<std::string> written() {
        KIVO::FlushConsole();
        return linesOf(testing::internal::GetCapturedStdout());
    }
};

TEST_F(ConsoleTest, HeldLinesKeepTheOrderOfEveryThread) {
    std::atomic<int> step{0};
    std::thread command([&] {
        CommandScope scope;
        KIVO::OutLine("Client Command: Set3");
        step = 1;
        while (step != 2) std::this_thread::yield();
        KIVO::OutLine("Selected Input #3");
        {
            CommandScope inner;  // nested scopes hand on with the outermost one
            KIVO::OutLine("inner");
        }
        // Written later by another thread, so it must not appear before this thread's lines.
        step = 3;
        while (step != 4) std::this_thread::yield();
    });
    while (step != 1) std::this_thread::yield();
    KIVO::OutLine("other thread, after the command's first line");
    step = 2;
    while (step != 3) std::this_thread::yield();
    KIVO::OutLine("other thread, last");
    step = 4;
    command.join();
    KIVO::OutLine("after the command");

    EXPECT_EQ(written(), (std::vector<std::string>{"Client Command: Set3",
                                                   "other thread, after the command's first line",
                                                   "Selected Input #3", "inner", "other thread, last",
                                                   "after the command"}));
}

// A command that waits for a line other selections hold (each write waiting out its time-out on a
// line that takes no bytes) keeps no other thread's lines back meanwhile.
TEST_F(ConsoleTest, ACommandWaitingForTheLineHoldsNoOtherThreadsLines) {
    std::unique_lock<std::recursive_mutex> line(LocalCAM::critsect);
    std::atomic<bool> asked{false};
    std::thread command([&] {
        CommandScope scope;
        KIVO::OutLine("Client Command: Set3");
        asked = true;
        std::unique_lock<std::recursive_mutex> lock(LocalCAM::critsect, std::defer_lock);
        LocalCAM::takeLine(lock);
        KIVO::OutLine("Selected Input #3");
    });
    while (!asked) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // waiting for the line
    KIVO::OutLine("other thread, meanwhile");
    EXPECT_TRUE(KIVO::FlushConsole()) << "a waiting command held the console";
    line.unlock();
    command.join();
    EXPECT_EQ(written(), (std::vector<std::string>{"Client Command: Set3", "other thread, meanwhile",
                                                   "Selected Input #3"}));
}

TEST_F(ConsoleTest, AFloodOfHeldLinesIsBoundedAndCounted) {
    constexpr int sent = 20000;
    {
        CommandScope scope;
        for (int i = 0; i < sent; ++i) KIVO::OutLine("line " + std::to_string(i));
    }
    const auto lines = written();
    ASSERT_FALSE(lines.empty());
    ASSERT_LT(lines.size(), static_cast<size_t>(sent));
    EXPECT_EQ(lines.front(), "line 0");
    const std::string prefix = "(";
    const std::string suffix = " console lines dropped)";
    const std::string& notice = lines.back();
    ASSERT_EQ(notice.rfind(prefix, 0), 0u) << notice;
    ASSERT_GT(notice.size(), prefix.size() + suffix.size());
    const int dropped = std::stoi(notice.substr(1));
    EXPECT_EQ(static_cast<int>(lines.size() - 1) + dropped, sent) << "every line written or counted";
}

TEST_F(ConsoleTest, AFailedWriteIsCountedAndTheConsoleGoesOn) {
    // The console's disk is full for a while: those lines are lost, the ones after it are not.
    const int saved = ::dup(STDOUT_FILENO);
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ::dup2(full, STDOUT_FILENO);
    for (const char* line : {"a", "b", "c"}) KIVO::OutLine(line);
    KIVO::FlushConsole();
    ::dup2(saved, STDOUT_FILENO);
    ::close(full);
    ::close(saved);
    KIVO::OutLine("after");
    EXPECT_EQ(written(), (std::vector<std::string>{"after", "(3 console lines dropped)"}));
}

TEST(ConsoleText, ControlsAndBytesThatAreNotUtf8ShowAsQuestionMarksAndLongLinesAreCut) {
    const struct {
        std::string line, shown;
    } cases[] = {
        {"Route: output 2 <- input 7", ""},                        // clean: nothing to copy
        {"Label \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5", ""},  // UTF-8 text passes
        {"Cmd \x1b[2J\b\x7f", "Cmd ?[2J??"},
        {"Cmd \xc2\x9b" "31mred \xc2\x85", "Cmd ?31mred ?"},         // C1 written as UTF-8
        {"Cmd \x9b" "31m \xff\xfe", "Cmd ?31m ??"},                  // stray bytes
        {"\xc0\xaf \xe0\x80\xaf \xed\xa0\x80 \xf4\x90\x80\x80", "?? ??? ??? ????"},  // overlong, surrogate, too high
        {"cut \xe2\x82", "cut ??"},
    };
    for (const auto& c : cases) EXPECT_EQ(KIVO::shownOnConsole(c.line), c.shown) << c.line;
    // A client's 64 KiB line keeps its start, never half a character.
    const std::string shown = KIVO::shownOnConsole(std::string(4095, 'x') + "\xc3\xa9" + std::string(65000, 'y'));
    EXPECT_EQ(shown, std::string(4095, 'x') + "\xc3\xa9... (65000 more bytes)");
}

}  // namespace
