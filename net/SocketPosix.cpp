#include "net/Socket.h"

#include <fcntl.h>
#include <sys/epoll.h>

#include <cstring>
#include <utility>
#include <vector>

namespace net::sys {

void startup() {}

int lastError()
{
    return errno;
}

std::string errorText(int error)
{
    char text[256];
    // The GNU strerror_r returns the text (possibly a static string, not `text`).
    return strerror_r(error, text, sizeof text);
}

Socket openSocket(int family, int type, bool nonBlocking)
{
    return ::socket(family, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

Socket acceptClient(Socket listener, sockaddr_storage* peer, bool nonBlocking)
{
    socklen_t size = sizeof(sockaddr_storage);
    return ::accept4(listener, reinterpret_cast<sockaddr*>(peer), peer != nullptr ? &size : nullptr,
                     SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
}

void closeSocket(Socket s)
{
    ::close(s);
}

void shutdownBoth(Socket s)
{
    ::shutdown(s, SHUT_RDWR);
}

int bindSocket(Socket s, const sockaddr* address, socklen_t size)
{
    return ::bind(s, address, size);
}

int pollSockets(PollFd* fds, std::size_t count, int timeoutMs)
{
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

long sendBytes(Socket s, const char* data, std::size_t size, int flags)
{
    return ::send(s, data, size, flags);
}

long recvBytes(Socket s, char* data, std::size_t size)
{
    return ::recv(s, data, size, 0);
}

long sendNoWait(Socket s, const char* data, std::size_t size)
{
    return ::send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long recvNoWait(Socket s, char* data, std::size_t size)
{
    return ::recv(s, data, size, MSG_DONTWAIT);
}

int setIntOption(Socket s, int level, int name, int value)
{
    return ::setsockopt(s, level, name, &value, sizeof value);
}

int getIntOption(Socket s, int level, int name, int& value)
{
    socklen_t size = sizeof value;
    return ::getsockopt(s, level, name, &value, &size);
}

bool setKeepAlive(Socket s, int idleSeconds, int intervalSeconds, int count)
{
    bool ok = setIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) == 0;
    for (const auto& [name, value] : {std::pair{kTcpKeepIdle, idleSeconds},
                                      std::pair{kTcpKeepInterval, intervalSeconds},
                                      std::pair{kTcpKeepCount, count}})
        ok = setIntOption(s, IPPROTO_TCP, name, value) == 0 && ok;
#ifdef TCP_USER_TIMEOUT
    // No probe goes out while sent data waits for its acknowledgement: a peer that vanished just
    // after a reply would be retried for a quarter of an hour, holding its place. Data unacknowledged
    // for as long as the probes would take ends the connection as they would.
    ok = setIntOption(s, IPPROTO_TCP, TCP_USER_TIMEOUT, (idleSeconds + intervalSeconds * count) * 1000) == 0 && ok;
#endif
    return ok;
}

int setListenAddressOptions(Socket s)
{
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

bool openWakePair(Socket& readEnd, Socket& writeEnd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    readEnd = ends[0];
    writeEnd = ends[1];
    return true;
}

void wake(Socket writeEnd)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
}

void drainWake(Socket readEnd)
{
    char buffer[64];
    while (::read(readEnd, buffer, sizeof buffer) > 0) {
    }
}

void closeWakeEnd(Socket end)
{
    ::close(end);
}

namespace {

// What an epoll event carries: the descriptor in the low half, the caller's tag in the high half.
std::uint64_t packed(Socket s, std::uint32_t tag)
{
    return (std::uint64_t{tag} << 32) | static_cast<std::uint32_t>(s);
}

std::uint32_t epollEvents(unsigned interest)
{
    std::uint32_t events = 0;  // hang-up and error are reported whatever is asked
    if (interest & ReadySet::kReadable)
        events |= EPOLLIN;
    if (interest & ReadySet::kWritable)
        events |= EPOLLOUT;
    return events;
}

}  // namespace

struct ReadySet::Impl {
    int epoll = -1;
    std::vector<epoll_event> events;
};

ReadySet::ReadySet() : impl_(std::make_unique<Impl>())
{
    impl_->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (impl_->epoll < 0)
        throw NetError::fromErrno("epoll_create1", errno);
}

ReadySet::~ReadySet()
{
    ::close(impl_->epoll);
}

void ReadySet::put(Socket s, unsigned interest, std::uint32_t tag, bool known)
{
    epoll_event event{};
    event.events = epollEvents(interest);
    event.data.u64 = packed(s, tag);
    // A descriptor closed without remove() has left epoll by itself: its number may come back new.
    if (::epoll_ctl(impl_->epoll, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &event) == 0)
        return;
    if (known && errno == ENOENT && ::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, s, &event) == 0)
        return;
    if (!known && errno == EEXIST && ::epoll_ctl(impl_->epoll, EPOLL_CTL_MOD, s, &event) == 0)
        return;
    throw NetError::fromErrno("epoll_ctl", errno);
}

void ReadySet::remove(Socket s)
{
    // Failure means the descriptor was closed already, which took it out of epoll.
    ::epoll_ctl(impl_->epoll, EPOLL_CTL_DEL, s, nullptr);
}

std::size_t ReadySet::wait(Ready* out, std::size_t capacity, int timeoutMs)
{
    impl_->events.resize(capacity);
    const int count = ::epoll_wait(impl_->epoll, impl_->events.data(), static_cast<int>(capacity), timeoutMs);
    if (count < 0) {
        if (errno == EINTR)
            return 0;
        throw NetError::fromErrno("epoll_wait", errno);
    }
    for (int i = 0; i < count; ++i) {
        const epoll_event& event = impl_->events[static_cast<std::size_t>(i)];
        unsigned ready = 0;
        if (event.events & EPOLLIN)
            ready |= kReadable;
        if (event.events & EPOLLOUT)
            ready |= kWritable;
        if (event.events & (EPOLLHUP | EPOLLERR))
            ready |= kClosed;
        out[i] = Ready{static_cast<Socket>(static_cast<std::uint32_t>(event.data.u64)),
                       static_cast<std::uint32_t>(event.data.u64 >> 32), ready};
    }
    return static_cast<std::size_t>(count);
}

}  // namespace net::sys
