#include "net/EventLoop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "net/Net.h"

namespace net {

namespace {

// What an epoll event carries: the descriptor and (the low half of) its entry's generation, so an
// event for a descriptor unwatched, or closed and watched anew, earlier in the same round is known.
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
std::uint64_t tagOf(int fd, std::uint64_t generation) {
    return (generation << 32) | static_cast<std::uint32_t>(fd);
}

std::uint32_t epollEvents(unsigned interest) {
    std::uint32_t events = 0;  // hang-up and error are reported whatever is asked
    if (interest & EventLoop::Readable) events |= EPOLLIN;
    if (interest & EventLoop::Writable) events |= EPOLLOUT;
    return events;
}

}  // namespace

EventLoop::EventLoop() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) throw NetError::fromErrno("epoll_create1", errno);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(epoll_);
        throw NetError::fromErrno("pipe2", error);
    }
    wakeRead_ = pipe[0];
    wakeWrite_ = pipe[1];
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeRead_, &event) != 0) {
        const int error = errno;
        ::close(wakeRead_);
        ::close(wakeWrite_);
        ::close(epoll_);
        throw NetError::fromErrno("epoll_ctl", error);
    }
}

EventLoop::~EventLoop() {
    ::close(wakeRead_);
    ::close(wakeWrite_);
    ::close(epoll_);
}

void EventLoop::subscribe(int fd, const Entry& entry, bool known) {
    epoll_event event{};
    event.events = epollEvents(entry.interest);
    event.data.u64 = tagOf(fd, entry.generation);
    // A descriptor closed without unwatch() has left epoll by itself: its number may come back new.
    if (::epoll_ctl(epoll_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) return;
    if (known && errno == ENOENT && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0) return;
    if (!known && errno == EEXIST && ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) == 0) return;
    throw NetError::fromErrno("epoll_ctl", errno);
}

void EventLoop::watch(int fd, unsigned interest, Handler handler) {
    const bool known = entries_.count(fd) > 0;
    Entry entry{interest, std::make_shared<Handler>(std::move(handler)), nextGeneration_++};
    subscribe(fd, entry, known);
    entries_[fd] = std::move(entry);
}

void EventLoop::setInterest(int fd, unsigned interest) {
    const auto it = entries_.find(fd);
    if (it == entries_.end() || it->second.interest == interest) return;
    it->second.interest = interest;
    subscribe(fd, it->second, true);
}

void EventLoop::unwatch(int fd) {
    // Failure means the descriptor was closed already, which took it out of epoll.
    if (entries_.erase(fd) > 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
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
    std::array<epoll_event, 64> ready;
    while (!stopping_) {
        const int count = ::epoll_wait(epoll_, ready.data(), static_cast<int>(ready.size()), -1);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw NetError::fromErrno("epoll_wait", errno);
        }
        for (int i = 0; i < count; ++i) {
            const std::uint64_t tag = ready[static_cast<size_t>(i)].data.u64;
            if (tag == kWakeTag) {
                drainWake();
                continue;
            }
            const int fd = static_cast<int>(static_cast<std::uint32_t>(tag));
            // A descriptor unwatched (or closed and watched anew) by an earlier handler of this round
            // is skipped.
            const auto it = entries_.find(fd);
            if (it == entries_.end() || tagOf(fd, it->second.generation) != tag) continue;
            const std::uint32_t events = ready[static_cast<size_t>(i)].events;
            unsigned bits = 0;
            if (events & EPOLLIN) bits |= Readable;
            if (events & EPOLLOUT) bits |= Writable;
            if (events & (EPOLLHUP | EPOLLERR)) bits |= Closed;
            const std::shared_ptr<Handler> handler = it->second.handler;
            (*handler)(bits);
        }
        runTasks();
    }
    thread_ = std::thread::id{};
}

}  // namespace net
