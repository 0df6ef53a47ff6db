#include "app/TimeOut.h"

#include <chrono>

#include "app/ClientSocket.h"
#include "app/KIVO.h"

std::atomic<int> TimeOut::minuteMillis{60000};

long long TimeOut::limitMillis(int minutes) { return static_cast<long long>(minutes) * minuteMillis.load() + 2000; }

TimeOut::TimeOut(std::weak_ptr<ClientSocket> session, int minutes)
    : time(limitMillis(minutes)), session_(std::move(session)) {}

TimeOut::~TimeOut() {
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id()) {
            // The timer thread let go of the last reference itself: it is about to end.
            thread_.detach();
            return;
        }
        stop = true;
        wake_.notify_all();
        t = std::move(thread_);
    }
    t.join();
}

void TimeOut::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
}

void TimeOut::run() {
    while (time > 0 && !stop) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop.load(); });
        }
        time -= 200;
    }
    if (time == 0 && !stop) {
        KIVO::OutLine("Timeout close");
        if (const std::shared_ptr<ClientSocket> session = session_.lock()) session->SendTimeoutMsg();
    }
}

void TimeOut::stopme() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop = true;
    wake_.notify_all();
}

void TimeOut::setNegTime() { time = -1; }

void TimeOut::bringForward(int minutes) {
    // Whole 200 ms steps, so that the countdown still ends exactly at 0.
    const long long limit = (limitMillis(minutes) + 199) / 200 * 200;
    long long left = time.load();
    // Only a running countdown is shortened: a stopped (negative) or ended one stays as it is.
    while (left > limit && !time.compare_exchange_weak(left, limit)) {
    }
}

void TimeOut::join() {
    std::thread::id self = std::this_thread::get_id();
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable() && thread_.get_id() != self) t = std::move(thread_);
    }
    if (t.joinable()) t.join();
}
