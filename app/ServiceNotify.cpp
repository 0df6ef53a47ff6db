// Notifications to the service manager. The messages go out through libsystemd's sd_notify, loaded
// when the process runs under the manager (NOTIFY_SOCKET set): a server started any other way maps
// neither libsystemd nor the libraries it brings. Everything else here is the same on every platform.
#include "app/ServiceNotify.h"

#include <cstdlib>
#include <utility>

#include "app/KIVO.h"

#if !defined(_WIN32)
#include <dlfcn.h>
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

// The two calls of libsystemd's in use, as <systemd/sd-daemon.h> declares them.
struct Systemd {
    int (*notify)(int unsetEnvironment, const char* state) = nullptr;
    int (*watchdogEnabled)(int unsetEnvironment, uint64_t* usec) = nullptr;
};

// libsystemd, loaded on first use under the manager and never unloaded; without a manager, or when
// it cannot be loaded (said once on the console), both calls stay empty.
const Systemd& systemd() {
    static const Systemd calls = [] {
        Systemd found;
#if !defined(_WIN32)
        if (!managed()) return found;
        constexpr const char* library = "libsystemd.so.0";
        void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
        if (handle) {
            found.notify = reinterpret_cast<decltype(found.notify)>(::dlsym(handle, "sd_notify"));
            found.watchdogEnabled =
                reinterpret_cast<decltype(found.watchdogEnabled)>(::dlsym(handle, "sd_watchdog_enabled"));
        }
        if (!found.notify || !found.watchdogEnabled) {
            const char* why = ::dlerror();
            KIVO::OutLine(std::string("No notifications to the service manager: cannot load ") + library +
                          ": " + (why ? why : "sd_notify or sd_watchdog_enabled missing"));
            found = {};
        }
#endif
        return found;
    }();
    return calls;
}

// Under a manager that the process can reach.
bool reachable() { return managed() && systemd().notify != nullptr; }

}  // namespace

bool send(const std::string& message) {
    const Systemd& calls = systemd();
    return calls.notify && calls.notify(0, message.c_str()) > 0;
}

std::optional<std::chrono::microseconds> watchdogInterval() {
    const Systemd& calls = systemd();
    uint64_t usec = 0;
    if (!calls.watchdogEnabled || calls.watchdogEnabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec);
}

namespace {

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
    if (reachable()) send("READY=1\nSTATUS=" + statusText(readyLine));
}

void stopping() {
    if (reachable()) send("STOPPING=1");
}

void status(const std::string& line) {
    if (!reachable()) return;
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
    if (!reachable()) return;
    const auto interval = watchdogInterval();
    if (!interval) return;
    static Watchdog* watchdog = nullptr;
    if (watchdog == nullptr) watchdog = new Watchdog(*interval / 2, std::move(check));
}

}  // namespace ServiceNotify
