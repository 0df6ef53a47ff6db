#pragma once
// One thread serving many descriptors: each watched descriptor has a handler, called on the loop's
// thread when the descriptor is ready; other threads hand work to that thread with post(), which wakes
// the loop through a pipe of its own. The loop waits with epoll: a round costs what is ready, not
// what is watched, so a thousand quiet clients do not slow down the one that asks.
//
// watch(), setInterest() and unwatch() belong to the loop's thread (or to the time before run());
// post() and stop() may be called from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace net {

class EventLoop {
public:
    // Interest and readiness bits.
    static constexpr unsigned Readable = 1;
    static constexpr unsigned Writable = 2;
    static constexpr unsigned Closed = 4;  // readiness only: hang-up or error on the descriptor

    using Handler = std::function<void(unsigned ready)>;
    using Task = std::function<void()>;

    // Throws NetError when the wake-up pipe or the epoll instance cannot be made.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The handler is called with the ready bits (Closed comes with whatever else is set). A handler
    // may watch and unwatch descriptors, itself included. The loop never closes a descriptor.
    void watch(int fd, unsigned interest, Handler handler);
    void setInterest(int fd, unsigned interest);
    void unwatch(int fd);

    // Runs the task on the loop's thread, after the handlers of the current round, in posting order.
    // Tasks still queued when the loop is destroyed are dropped.
    void post(Task task);

    // Serves until stop(); the calling thread becomes the loop's thread.
    void run();
    void stop();

    bool onLoopThread() const { return std::this_thread::get_id() == thread_.load(); }

private:
    struct Entry {
        unsigned interest;
        std::shared_ptr<Handler> handler;  // shared: a handler may unwatch itself while it runs
        std::uint64_t generation;
    };

    void wake();
    void drainWake();
    void runTasks();
    // Registers (or changes) fd's interest with epoll.
    void subscribe(int fd, const Entry& entry, bool known);

    int epoll_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> woken_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<std::thread::id> thread_{};

    std::map<int, Entry> entries_;  // loop thread only
    std::uint64_t nextGeneration_ = 1;

    std::mutex tasksMutex_;
    std::vector<Task> tasks_;
};

}  // namespace net
