#pragma once
// Keeps the serial line alive across a device that goes away (an unplugged USB adapter). One light
// thread asks the port about once a second whether its device is still there, and is woken at once
// when a write finds it gone. On a loss it writes one console line, "Serial device <path> lost:
// <reason>", and marks the line down. While the line is down it tries to open the same device about
// once a second, silently; when the device is back ("Serial device <path> back") the restore step
// puts the routing back on the line before any other command may go out, and the line is up again.
// A restore that fails leaves the line down and the cycle repeats.
//
// The line state (up or down, and since when) is live for every face; observers hear of each change
// on the watcher's thread, never under the serial lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class SerOutPort;

class SerialWatch {
public:
    using Clock = std::chrono::system_clock;
    using Observer = std::function<void(bool up, Clock::time_point since)>;
    // Runs with LocalCAM::critsect held, right after the port opened again: writes the routing
    // frames and gives what it restored in words ("output 1 <- input 5, output 2 <- input 7", ""
    // when nothing was known), or nullopt when a frame could not be written.
    using Restore = std::function<std::optional<std::string>()>;

    // up: the line's state now (the first open's outcome). Starts no thread yet.
    SerialWatch(SerOutPort& port, bool up, Restore restore,
                std::chrono::milliseconds interval = std::chrono::seconds(1));
    // Stops the thread (waiting for a step in progress).
    ~SerialWatch();
    SerialWatch(const SerialWatch&) = delete;
    SerialWatch& operator=(const SerialWatch&) = delete;

    // Starts watching when the port is a real one (not COM0, not a test double).
    void start();

    bool up() const { return up_.load(); }
    Clock::time_point since() const;

    // Observers are cheap and never block; they must not add or remove observers. After
    // removeObserver returns, that observer is never called again.
    int addObserver(Observer observer);
    void removeObserver(int token);

private:
    void run();
    void step();
    void changed(bool up);
    void wake();

    SerOutPort& port_;
    const Restore restore_;
    const std::chrono::milliseconds interval_;
    std::string device_;  // for messages; set in start()
    int failedRestores_ = 0;  // in a row; only on the watcher's thread
    int roundsToWait_ = 0;    // before the next attempt; only on the watcher's thread
    std::string openFailure_;  // why the latest reopen failed, as said; only on the watcher's thread
    std::atomic<bool> up_;

    mutable std::mutex mutex_;  // guards since_, woken_, stopping_
    std::condition_variable wake_;
    Clock::time_point since_;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;

    std::mutex observerMutex_;  // guards observers_ and nextToken_; held while observers run
    std::map<int, Observer> observers_;
    int nextToken_ = 1;
};
