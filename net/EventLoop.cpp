#include "net/EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "net/Net.h"

namespace net {

EventLoop::EventLoop() {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) throw NetError::fromErrno("pipe2", errno);
    wakeRead_ = pipe[0];
    wakeWrite_ = pipe[1];
}

EventLoop::~EventLoop() {
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void EventLoop::watch(int fd, unsigned interest, Handler handler) {
    entries_[fd] = Entry{interest, std::make_shared<Handler>(std::move(handler)), nextGeneration_++};
    changed_ = true;
}

void EventLoop::setInterest(int fd, unsigned interest) {
    const auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.interest == interest) return;
    it->second.interest = interest;
    changed_ = true;
}

void EventLoop::unwatch(int fd) {
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
    // One byte in the pipe is enough to wake the loop; the flag keeps a busy poster from filling it.
    if (woken_.exchange(true)) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void EventLoop::drainWake() {
    woken_ = false;
    char buffer[64];
    while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
    }
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
    std::vector<pollfd> set;
    std::vector<std::uint64_t> generations;  // of the entry each poll slot was built for
    while (!stopping_) {
        if (changed_) {
            set.assign(1, pollfd{wakeRead_, POLLIN, 0});
            generations.assign(1, 0);
            for (const auto& [fd, entry] : entries_) {
                short events = 0;
                if (entry.interest & Readable) events |= POLLIN;
                if (entry.interest & Writable) events |= POLLOUT;
                set.push_back(pollfd{fd, events, 0});
                generations.push_back(entry.generation);
            }
            changed_ = false;
        }
        if (::poll(set.data(), set.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw NetError::fromErrno("poll", errno);
        }
        if (set[0].revents != 0) drainWake();
        for (size_t i = 1; i < set.size(); ++i) {
            const short revents = set[i].revents;
            if (revents == 0) continue;
            // A descriptor unwatched (or closed and watched anew) by an earlier handler of this round
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
