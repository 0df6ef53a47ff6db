#pragma once
// The session time limit: counts down in 200 ms steps and, when it runs out, sends "TIME" and closes
// the session that started it.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class ClientSocket;

class TimeOut : public std::enable_shared_from_this<TimeOut> {
public:
    // Length of one "minute" in milliseconds; tests shorten it.
    static std::atomic<int> minuteMillis;

    // The limit is taken from `minutes` now: minutes * minuteMillis + 2000 ms.
    TimeOut(std::weak_ptr<ClientSocket> session, int minutes);
    // minutes * minuteMillis + 2000.
    static long long limitMillis(int minutes);
    virtual ~TimeOut();
    TimeOut(const TimeOut&) = delete;
    TimeOut& operator=(const TimeOut&) = delete;

    // Starts the timer thread; it holds its own reference until it ends.
    void start();
    virtual void run();
    virtual void stopme();
    virtual void setNegTime();
    // Brings the end closer: afterwards at most `minutes` (counted as the constructor does) are left.
    // A limit further away than the running one changes nothing.
    void bringForward(int minutes);
    // Waits for the timer thread, unless called on that thread.
    void join();

private:
    std::atomic<long long> time;   // milliseconds left
    std::atomic<bool> stop{false};
    std::weak_ptr<ClientSocket> session_;
    std::mutex mutex_;             // guards thread_ and the wake-up of the 200 ms sleep
    std::condition_variable wake_;
    std::thread thread_;
};
