#include "app/SerialWatch.h"

#include <algorithm>
#include <utility>

#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/SerOutPort.h"

SerialWatch::SerialWatch(SerOutPort& port, bool up, Restore restore, std::chrono::milliseconds interval)
    : port_(port), restore_(std::move(restore)), interval_(interval), up_(up), since_(Clock::now()) {}

SerialWatch::~SerialWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        port_.setLossHandler(nullptr);
    }
}

void SerialWatch::start() {
    if (thread_.joinable() || !port_.watchable()) return;
    device_ = port_.devicePath();
    openFailure_ = port_.startFailure();  // said at start-up already
    port_.setLossHandler([this] { wake(); });
    thread_ = std::thread([this] { run(); });
}

SerialWatch::Clock::time_point SerialWatch::since() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return since_;
}

int SerialWatch::addObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    observers_.emplace(nextToken_, std::move(observer));
    return nextToken_++;
}

void SerialWatch::removeObserver(int token) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    observers_.erase(token);
}

void SerialWatch::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void SerialWatch::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, interval_, [this] { return stopping_ || woken_; });
        if (stopping_) break;
        woken_ = false;
        lock.unlock();
        step();
        lock.lock();
    }
}

void SerialWatch::step() {
    if (up_) {
        const std::string reason = port_.checkDevice();
        if (reason.empty()) return;
        up_ = false;
        KIVO::OutLine("Serial device " + device_ + " lost: " + reason);
        changed(false);
        return;
    }
    port_.checkDevice();  // forget a loss already reported (a failed restore)
    if (roundsToWait_ > 0) {
        --roundsToWait_;
        return;
    }
    std::optional<std::string> restored;
    std::string reason;
    {
        // Held from the open to the last restore frame: no other command reaches the line between.
        std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
        std::string failure;
        if (!port_.reopen(&failure)) {
            // Back but not to be opened (no permission, another program has it): said once per reason.
            if (!failure.empty() && failure != openFailure_)
                KIVO::OutLine(failure + " (cannot open it again; trying each second)");
            openFailure_ = failure;
            return;
        }
        openFailure_.clear();
        if (failedRestores_ == 0) KIVO::OutLine("Serial device " + device_ + " back");
        restored = restore_ ? restore_() : std::string();
        if (restored) {
            up_ = true;
        } else {
            reason = port_.checkDevice();
            port_.closePort();
        }
    }
    if (!restored) {
        {
            // The failed restore's write reported the loss again: the next attempt still waits its
            // interval, instead of following at once for as long as the device opens but fails.
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = false;
        }
        // A device that opens but takes nothing (a stuck adapter) fails every restore: said once, and
        // tried less and less often (up to every 11th round), since each try holds the line's lock for
        // the write's time-out and every face waits meanwhile.
        if (failedRestores_++ == 0)
            KIVO::OutLine("Serial device " + device_ + " lost: " +
                          (reason.empty() ? std::string("the routing could not be restored") : reason) +
                          (reason.empty() ? "; trying again less often while it fails" : ""));
        roundsToWait_ = std::min((1 << std::min(failedRestores_, 4)) - 1, 10);
        return;
    }
    if (std::exchange(failedRestores_, 0) > 0) KIVO::OutLine("Serial device " + device_ + " back");
    if (!restored->empty()) KIVO::OutLine("Serial device " + device_ + ": routing restored (" + *restored + ")");
    changed(true);
}

void SerialWatch::changed(bool up) {
    Clock::time_point at;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        at = since_ = Clock::now();
    }
    std::lock_guard<std::mutex> lock(observerMutex_);
    for (const auto& [token, observer] : observers_) observer(up, at);
}
