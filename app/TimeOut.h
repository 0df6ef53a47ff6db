#pragma once
// The session time limit: counts down in 200 ms steps and, when it runs out, sends "TIME" and closes
// the session that started it.
#include <atomic>
#include <memory>
#include <thread>

class ClientSocket;

class TimeOut {
public:
    // Length of one "minute" in milliseconds; tests shorten it.
    static std::atomic<int> minuteMillis;

    explicit TimeOut(std::weak_ptr<ClientSocket> session);
    virtual ~TimeOut();
    TimeOut(const TimeOut&) = delete;
    TimeOut& operator=(const TimeOut&) = delete;

    void start();
    virtual void run();
    virtual void stopme();
    virtual void setNegTime();

private:
    std::atomic<long long> time;   // milliseconds left
    std::atomic<bool> stop{false};
    std::weak_ptr<ClientSocket> session_;
    std::thread thread_;
};
