#pragma once
// One thread serving many sockets: each watched socket has a handler, called on the loop's thread
// when the socket is ready; other threads hand work to that thread with post(), which wakes the loop
// through a wake pair of its own (net/Socket.h). The loop waits on a ready set (sys::ReadySet:
// epoll on Linux, so a round costs what is ready, not what is watched, and a thousand quiet clients
// do not slow down the one that asks).
//
// watch(), setInterest() and unwatch() belong to the loop's thread (or to the time before run());
// post() and stop() may be called from any thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "net/Net.h"

namespace net {

namespace sys {
class ReadySet;
}

class EventLoop {
public:
    // Interest and readiness bits.
    static constexpr unsigned Readable = 1;
    static constexpr unsigned Writable = 2;
    static constexpr unsigned Closed = 4;  // readiness only: hang-up or error on the socket

    using Handler = std::function<void(unsigned ready)>;
    using Task = std::function<void()>;

    // Throws NetError when the wake pair or the ready set cannot be made.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The handler is called with the ready bits (Closed comes with whatever else is set). A handler
    // may watch and unwatch sockets, itself included. The loop never closes a socket.
    void watch(SocketHandle fd, unsigned interest, Handler handler);
    void setInterest(SocketHandle fd, unsigned interest);
    void unwatch(SocketHandle fd);

    // Runs the task on the loop's thread, after the handlers of the current round, in posting order.
    // Tasks still queued when the loop is destroyed are dropped.
    void post(Task task);
    // Called on the loop's thread: runs the task on it once `delay` has passed (or later, when the
    // loop is not being served then).
    void after(std::chrono::milliseconds delay, Task task);

    // Serves until stop() or leave(); the calling thread becomes the loop's thread.
    void run();
    void stop();
    // Called on the loop's thread: run() returns after the current round, its sockets and tasks kept,
    // so that another thread may serve the loop next (the caller orders the two threads).
    void leave();

private:
    struct Entry {
        unsigned interest;
        std::shared_ptr<Handler> handler;  // shared: a handler may unwatch itself while it runs
        std::uint64_t generation;
    };

    void wake();
    void drainWake();
    void runTasks();
    int untilNextTimer() const;  // milliseconds for the ready set's wait; -1: no timer
    void runTimers();

    std::unique_ptr<sys::ReadySet> ready_;
    SocketHandle wakeRead_;
    SocketHandle wakeWrite_;
    std::atomic<bool> woken_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> leaving_{false};

    std::map<SocketHandle, Entry> entries_;  // loop thread only
    std::uint64_t nextGeneration_ = 1;
    std::multimap<std::chrono::steady_clock::time_point, Task> timers_;  // loop thread only

    std::mutex tasksMutex_;
    std::vector<Task> tasks_;
};

}  // namespace net
