#include "net/EventLoop.h"

#include <algorithm>
#include <array>

#include "net/Socket.h"

namespace net {

// The loop's bits are the ready set's.
static_assert(EventLoop::Readable == sys::ReadySet::kReadable && EventLoop::Writable == sys::ReadySet::kWritable &&
              EventLoop::Closed == sys::ReadySet::kClosed);

EventLoop::EventLoop() : ready_(std::make_unique<sys::ReadySet>()) {
    if (!sys::openWakePair(wakeRead_, wakeWrite_)) throw NetError::fromErrno("wake pair", sys::lastError());
    try {
        // Tag 0: no watched socket has it (generations start at 1).
        ready_->put(wakeRead_, Readable, 0, false);
    } catch (const NetError&) {
        sys::closeWakeEnd(wakeRead_);
        sys::closeWakeEnd(wakeWrite_);
        throw;
    }
}

EventLoop::~EventLoop() {
    sys::closeWakeEnd(wakeRead_);
    sys::closeWakeEnd(wakeWrite_);
}

void EventLoop::watch(SocketHandle fd, unsigned interest, Handler handler) {
    const bool known = entries_.count(fd) > 0;
    Entry entry{interest, std::make_shared<Handler>(std::move(handler)), nextGeneration_++};
    // The ready set hands back the low half of the generation: enough to tell this entry from the
    // socket's previous one.
    ready_->put(fd, interest, static_cast<std::uint32_t>(entry.generation), known);
    entries_[fd] = std::move(entry);
}

void EventLoop::setInterest(SocketHandle fd, unsigned interest) {
    const auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.interest == interest) return;
    it->second.interest = interest;
    ready_->put(fd, interest, static_cast<std::uint32_t>(it->second.generation), true);
}

void EventLoop::unwatch(SocketHandle fd) {
    if (entries_.erase(fd) > 0) ready_->remove(fd);
}

void EventLoop::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void EventLoop::after(std::chrono::milliseconds delay, Task task) {
    timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
}

int EventLoop::untilNextTimer() const {
    if (timers_.empty()) return -1;
    const auto left = timers_.begin()->first - std::chrono::steady_clock::now();
    // Rounded up: a wait that ends a little early would only go round once more.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60'000));
}

void EventLoop::runTimers() {
    const auto now = std::chrono::steady_clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
        Task task = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        task();
    }
}

void EventLoop::stop() {
    stopping_ = true;
    wake();
}

void EventLoop::leave() { leaving_ = true; }

void EventLoop::wake() {
    // One byte in the wake pair is enough to wake the loop; the flag keeps a busy poster from filling it.
    if (woken_.exchange(true)) return;
    sys::wake(wakeWrite_);
}

void EventLoop::drainWake() {
    // Drained first, then the flag cleared: a poster that finds the flag still set has its task
    // queued already and this round's runTasks() runs it; one that comes after the flag is cleared
    // writes a byte of its own. Cleared first, a byte written in between would be drained here with
    // the flag left set, and no later post would wake the loop again.
    sys::drainWake(wakeRead_);
    woken_ = false;
}

void EventLoop::runTasks() {
    std::vector<Task> batch;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        batch.swap(tasks_);
    }
    for (Task& task : batch) task();
}

void EventLoop::run() {
    leaving_ = false;
    std::array<sys::ReadySet::Ready, 64> ready;
    while (!stopping_ && !leaving_) {
        const std::size_t count = ready_->wait(ready.data(), ready.size(), untilNextTimer());
        if (count == 0) {
            // A timer is due, the wait was interrupted, or the ready set's bounded wait ran out
            // (Windows): tasks queued without a wake-up seen still run.
            runTimers();
            runTasks();
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const sys::ReadySet::Ready& r = ready[i];
            if (r.socket == wakeRead_) {
                drainWake();
                continue;
            }
            // A socket unwatched (or closed and watched anew) by an earlier handler of this round is
            // skipped.
            const auto it = entries_.find(r.socket);
            if (it == entries_.end() || static_cast<std::uint32_t>(it->second.generation) != r.tag) continue;
            const std::shared_ptr<Handler> handler = it->second.handler;
            (*handler)(r.events);
        }
        runTimers();
        runTasks();
    }
}

}  // namespace net
