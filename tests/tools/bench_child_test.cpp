#include "bench/BenchSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The bench reads a program's output through a pipe, in order, standard error included: a terminal
// there would share the kernel's pseudo-terminal worker with the serial lines being measured.
TEST(BenchChild, ReadsTheOutputThroughAPipeLineByLine) {
    bench::Child child;
    ASSERT_TRUE(child.start({"/bin/sh", "-c", "if [ -t 1 ]; then echo tty; else echo pipe; fi; echo done >&2"}, {}));
    const auto giveUp = bench::Clock::now() + 5s;
    while (!child.lineEndingWith("done") && bench::Clock::now() < giveUp) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(child.lastLines(2), (std::vector<std::string>{"pipe", "done"}));
    child.stop();
}

}  // namespace
