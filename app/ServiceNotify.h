#pragma once
// Tells the service manager how the server is doing: ready (with the ready line), the current status
// line, stopping, and watchdog pings for as long as the hub answers. Without a service manager (no
// NOTIFY_SOCKET), on a platform without one, or when libsystemd cannot be loaded, every call does
// nothing and starts no thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ServiceNotify {

// Sends one notification (lines such as "READY=1"); false when no manager listens. The platform seam.
bool send(const std::string& message);
// The watchdog interval the manager asks of this process; none when it asks for no pings.
std::optional<std::chrono::microseconds> watchdogInterval();

// The status line as the manager shows it (anyone on the machine may read it): the password hidden,
// control characters replaced, so one text is one STATUS= line.
std::string statusText(const std::string& line);

// READY=1 with the ready line as the status.
void ready(const std::string& readyLine);
// STOPPING=1; sent at once, for a process about to end.
void stopping();
// The latest status line, sent by a thread of its own so that the thread showing it never waits for
// the manager; lines that come faster than they can be sent are folded into the latest.
void status(const std::string& line);

// Pings "WATCHDOG=1" every `interval` from a thread of its own, as long as `check` finishes within
// the interval; `check` runs on a further thread, so a check that hangs (a hub that no longer
// answers) stops the pings and the manager restarts the service. Destroying it waits for a running
// check to finish.
class Watchdog {
public:
    Watchdog(std::chrono::microseconds interval, std::function<void()> check,
             std::function<void()> ping = [] { send("WATCHDOG=1"); });
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    bool answers();  // runs one check; false when it does not finish within the interval
    void pinger();
    void checker();

    const std::chrono::microseconds interval_;
    const std::function<void()> check_;
    const std::function<void()> ping_;
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t asked_ = 0;
    uint64_t answered_ = 0;
    bool stop_ = false;
    std::thread checker_;
    std::thread pinger_;
};

// Starts the process's watchdog when the manager asks for pings: at half the asked interval, checking
// `check` each time. Does nothing otherwise.
void startWatchdog(std::function<void()> check);

}  // namespace ServiceNotify
