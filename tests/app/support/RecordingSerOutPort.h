#pragma once
// A serial output port that opens nothing and records every command it is asked to send.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/SerOutPort.h"

class RecordingSerOutPort : public SerOutPort {
public:
    using Frame = std::vector<uint8_t>;

    RecordingSerOutPort() : SerOutPort(NoPort{}) {}

    std::vector<uint8_t> SendSerial(const std::vector<uint8_t>& cmd) override {
        bool failed;
        const std::size_t cut = std::min(static_cast<std::size_t>(std::max(cutNext.exchange(-1), 0)), cmd.size());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(cmd);
            failed = lastFailed_ = failWrites || (failNext > 0 && failNext-- > 0) || cut > 0;
        }
        // As the real port: written bytes are reported before the (here skipped) pacing pause, and
        // those of a write cut off too.
        if (onWritten && (!failed || cut > 0))
            onWritten(cut > 0 ? Frame(cmd.begin(), cmd.begin() + static_cast<std::ptrdiff_t>(cut)) : cmd);
        return std::vector<uint8_t>(64, 0);
    }
    int GetSerError() override { return lastFailed_ ? 1 : 0; }

    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.clear();
    }

    // Every write is reported as failed by GetSerError.
    std::atomic<bool> failWrites{false};
    // The next this many writes are reported as failed.
    std::atomic<int> failNext{0};
    // The next write fails after this many of its bytes went out (-1: it does not).
    std::atomic<int> cutNext{-1};

private:
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::atomic<bool> lastFailed_{false};
};
