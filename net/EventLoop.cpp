#include "net/EventLoop.h"

#include "net/Socket.h"

namespace net {

EventLoop::EventLoop() {
    if (!sys::openWakePair(wakeRead_, wakeWrite_)) throw NetError::fromErrno("wake pair", sys::lastError());
}

EventLoop::~EventLoop() {
    sys::closeWakeEnd(wakeRead_);
    sys::closeWakeEnd(wakeWrite_);
}

void EventLoop::watch(SocketHandle fd, unsigned interest, Handler handler) {
    entries_[fd] = Entry{interest, std::make_shared<Handler>(std::move(handler)), nextGeneration_++};
    changed_ = true;
}

void EventLoop::setInterest(SocketHandle fd, unsigned interest) {
    const auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.interest == interest) return;
    it->second.interest = interest;
    changed_ = true;
}

void EventLoop::unwatch(SocketHandle fd) {
    if (entries_.erase(fd) > 0) changed_ = true;
}

void EventLoop::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void EventLoop::stop() {
    stopping_ = true;
    wake();
}

void EventLoop::wake() {
    // One byte in the wake pair is enough to wake the loop; the flag keeps a busy poster from filling it.
    if (woken_.exchange(true)) return;
    sys::wake(wakeWrite_);
}

void EventLoop::drainWake() {
    woken_ = false;
    sys::drainWake(wakeRead_);
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
    thread_ = std::this_thread::get_id();
    std::vector<sys::PollFd> set;
    std::vector<std::uint64_t> generations;  // of the entry each poll slot was built for
    while (!stopping_) {
        if (changed_) {
            set.assign(1, sys::PollFd{wakeRead_, POLLIN, 0});
            generations.assign(1, 0);
            for (const auto& [fd, entry] : entries_) {
                short events = 0;
                if (entry.interest & Readable) events |= POLLIN;
                if (entry.interest & Writable) events |= POLLOUT;
                set.push_back(sys::PollFd{fd, events, 0});
                generations.push_back(entry.generation);
            }
            changed_ = false;
        }
        if (sys::pollSockets(set.data(), set.size(), -1) < 0) {
            if (sys::lastError() == sys::kErrInterrupted) continue;
            throw NetError::fromErrno("poll", sys::lastError());
        }
        if (set[0].revents != 0) drainWake();
        for (size_t i = 1; i < set.size(); ++i) {
            const short revents = set[i].revents;
            if (revents == 0) continue;
            // A socket unwatched (or closed and watched anew) by an earlier handler of this round
            // is skipped.
            const auto it = entries_.find(set[i].fd);
            if (it == entries_.end() || it->second.generation != generations[i]) continue;
            unsigned ready = 0;
            if (revents & POLLIN) ready |= Readable;
            if (revents & POLLOUT) ready |= Writable;
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) ready |= Closed;
            const std::shared_ptr<Handler> handler = it->second.handler;
            (*handler)(ready);
        }
        runTasks();
    }
    thread_ = std::thread::id{};
}

}  // namespace net
