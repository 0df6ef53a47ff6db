#pragma once
// A serial output port that opens nothing and records every command it is asked to send.
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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(cmd);
            failed = lastFailed_ = failWrites || (failNext > 0 && failNext-- > 0);
        }
        // As the real port: written bytes are reported before the (here skipped) pacing pause.
        if (!failed && onWritten) onWritten(cmd);
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

private:
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::atomic<bool> lastFailed_{false};
};
