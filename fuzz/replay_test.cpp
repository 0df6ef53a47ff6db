// Replays every stored fuzz input through its target: the seed corpus (fuzz/corpus/<target>) and the
// inputs that once broke something (fuzz/regressions/<target>). Runs in every build, so a mended fault
// stays mended under the ordinary compiler and both sanitizer builds too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_replay_table.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsOf(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(KIVO_FUZZ_DIR) / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzReplay : public ::testing::TestWithParam<FuzzEntry> {};

TEST_P(FuzzReplay, StoredInputsPass) {
    const auto files = inputsOf(GetParam().name);
    EXPECT_FALSE(files.empty()) << "no seed inputs for " << GetParam().name;
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(stream), {}};
        SCOPED_TRACE(file.string());
        // A broken invariant aborts the process; the trace names the file on stderr first.
        fprintf(stderr, "replaying %s\n", file.c_str());
        EXPECT_EQ(0, GetParam().run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kFuzzEntries),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
