#pragma once
// A fresh folder in the system's temporary folder, removed with everything in it at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        std::random_device seed;
        std::mt19937_64 random(seed() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate = base / (prefix + std::to_string(random() % 100000000));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
        }
        if (path_.empty()) ADD_FAILURE() << "no temporary folder under " << base;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};
