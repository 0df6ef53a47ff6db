// Notifications to the service manager. The messages go out through sd_notify where the system has
// one; everything else here is the same on every platform.
#include "app/ServiceNotify.h"

#include <cstdlib>
#include <utility>

#if defined(KIVO_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>

bool ServiceNotify::send(const std::string& message) { return sd_notify(0, message.c_str()) > 0; }

std::optional<std::chrono::microseconds> ServiceNotify::watchdogInterval() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec);
}
#else
bool ServiceNotify::send(const std::string&) { return false; }
std::optional<std::chrono::microseconds> ServiceNotify::watchdogInterval() { return std::nullopt; }
#endif

namespace ServiceNotify {

namespace {

bool managed() {
    static const bool yes = [] {
        const char* socket = std::getenv("NOTIFY_SOCKET");
        return socket != nullptr && *socket != '\0';
    }();
    return yes;
}

// What stands for the password.
constexpr const char* hiddenPassword = "***";
// The status texts that carry the password after a fixed opening.
constexpr const char* passwordOpenings[] = {"Password = ", "New Password= ", "Client Command: PWD"};

// Sends the latest status line on its own thread. Never destroyed: the process ends without unwinding.
struct StatusSender {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<std::string> latest;

    StatusSender() {
        std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [this] { return latest.has_value(); });
                const std::string text = std::move(*latest);
                latest.reset();
                lock.unlock();
                send("STATUS=" + text);
                lock.lock();
            }
        }).detach();
    }
};

}  // namespace

std::string statusText(const std::string& line) {
    std::string text = line;
    for (const char* opening : passwordOpenings) {
        const std::string o = opening;
        if (text.compare(0, o.size(), o) != 0) continue;
        // "Password = X OK" keeps its verdict; the others end with the password.
        const bool ok = o == passwordOpenings[0] && text.size() >= o.size() + 3 &&
                        text.compare(text.size() - 3, 3, " OK") == 0;
        text = o + hiddenPassword + (ok ? " OK" : "");
        break;
    }
    // Plain printable ASCII only: a client's bytes cannot start a line or break the manager's UTF-8.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return text;
}

void ready(const std::string& readyLine) {
    if (managed()) send("READY=1\nSTATUS=" + statusText(readyLine));
}

void stopping() {
    if (managed()) send("STOPPING=1");
}

void status(const std::string& line) {
    if (!managed()) return;
    static StatusSender* sender = new StatusSender;
    std::string text = statusText(line);
    {
        std::lock_guard<std::mutex> lock(sender->mutex);
        sender->latest = std::move(text);
    }
    sender->wake.notify_one();
}

Watchdog::Watchdog(std::chrono::microseconds interval, std::function<void()> check,
                   std::function<void()> ping)
    : interval_(interval), check_(std::move(check)), ping_(std::move(ping)) {
    checker_ = std::thread([this] { checker(); });
    pinger_ = std::thread([this] { pinger(); });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    pinger_.join();
    checker_.join();  // a check that hangs holds this up: the process's watchdog is never destroyed
}

bool Watchdog::answers() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A check still running from an earlier round is not asked again: it has not answered yet.
    if (answered_ == asked_) {
        ++asked_;
        cv_.notify_all();
    }
    const uint64_t want = asked_;
    return cv_.wait_for(lock, interval_, [&] { return answered_ >= want || stop_; }) && !stop_;
}

void Watchdog::checker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return asked_ > answered_ || stop_; });
        if (stop_) return;
        const uint64_t round = asked_;
        lock.unlock();
        check_();
        lock.lock();
        answered_ = round;
        cv_.notify_all();
    }
}

void Watchdog::pinger() {
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        if (answers()) ping_();
        std::unique_lock<std::mutex> lock(mutex_);
        if (cv_.wait_until(lock, start + interval_, [this] { return stop_; })) return;
    }
}

void startWatchdog(std::function<void()> check) {
    if (!managed()) return;
    const auto interval = watchdogInterval();
    if (!interval) return;
    static Watchdog* watchdog = nullptr;
    if (watchdog == nullptr) watchdog = new Watchdog(*interval / 2, std::move(check));
}

}  // namespace ServiceNotify
