#include "net/Socket.h"

#include <mstcpip.h>

#include <cstring>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/WindowsError.h"

namespace net::sys {

namespace {

// Sockets shut down by this process and not yet closed. Winsock (and Wine) do not end a recv that
// is blocked or starts after a local shutdown, so reads wait in short polls and look here between.
// Beside them, the sockets this process made non-blocking: Winsock has no way to ask a socket
// whether it blocks, nor a flag that keeps one call from waiting.
std::mutex socketsMutex;
std::set<SOCKET> shutSockets;
std::set<SOCKET> nonBlockingSockets;

bool isShut(SOCKET s)
{
    std::lock_guard<std::mutex> lock(socketsMutex);
    return shutSockets.count(s) != 0;
}

bool setBlocking(SOCKET s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        return false;
    std::lock_guard<std::mutex> lock(socketsMutex);
    if (blocking)
        nonBlockingSockets.erase(s);
    else
        nonBlockingSockets.insert(s);
    return true;
}

// Runs a send or recv that must not wait: on a blocking socket, with the socket switched to
// non-blocking for the call. Another thread's recvBytes on the same socket is unaffected: it reads
// only once a poll has found data.
template <typename Call>
long withoutWaiting(SOCKET s, Call call)
{
    bool blocking;
    {
        std::lock_guard<std::mutex> lock(socketsMutex);
        blocking = nonBlockingSockets.count(s) == 0;
    }
    u_long on = 1;
    if (blocking && ::ioctlsocket(s, FIONBIO, &on) != 0)
        return -1;
    const long result = call();
    if (blocking) {
        const int error = ::WSAGetLastError();
        u_long off = 0;
        ::ioctlsocket(s, FIONBIO, &off);
        ::WSASetLastError(error);
    }
    return result;
}

int chunkOf(std::size_t size)
{
    return size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
}

constexpr int kReadPollMs = 100;

}  // namespace

void startup()
{
    // Once per process and never undone: sockets may be in use until the process ends.
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    (void)started;
}

int lastError()
{
    return ::WSAGetLastError();
}

std::string errorText(int error)
{
    // Winsock's codes start at 10000; smaller numbers are C library errno values.
    if (error < WSABASEERR)
        return std::strerror(error);
    return platform::windowsErrorText(static_cast<unsigned long>(error));
}

Socket openSocket(int family, int type, bool nonBlocking)
{
    startup();
    const SOCKET s = ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    if (nonBlocking && !setBlocking(s, false)) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(error);
        return kNoSocket;
    }
    return s;
}

Socket acceptClient(Socket listener, sockaddr_storage* peer, bool nonBlocking)
{
    int size = sizeof(sockaddr_storage);
    const SOCKET s = ::accept(listener, reinterpret_cast<sockaddr*>(peer), peer != nullptr ? &size : nullptr);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    // An accepted socket inherits the listener's mode: it is set as asked.
    setBlocking(s, !nonBlocking);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

void closeSocket(Socket s)
{
    {
        std::lock_guard<std::mutex> lock(socketsMutex);
        shutSockets.erase(s);
        nonBlockingSockets.erase(s);
    }
    ::closesocket(s);
}

void shutdownBoth(Socket s)
{
    {
        std::lock_guard<std::mutex> lock(socketsMutex);
        shutSockets.insert(s);
    }
    ::shutdown(s, SD_BOTH);
}

int bindSocket(Socket s, const sockaddr* address, socklen_t size)
{
    if (::bind(s, address, size) == 0)
        return 0;
    if (::WSAGetLastError() == WSAEACCES)
        ::WSASetLastError(WSAEADDRINUSE);
    return -1;
}

int pollSockets(PollFd* fds, std::size_t count, int timeoutMs)
{
    return ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}

long sendBytes(Socket s, const char* data, std::size_t size, int flags)
{
    return ::send(s, data, chunkOf(size), flags);
}

long recvBytes(Socket s, char* data, std::size_t size)
{
    // Wait until something can be read (data, end of stream or an error) or this process shuts
    // the socket down; then the recv does not block.
    for (;;) {
        if (isShut(s)) {
            ::WSASetLastError(WSAESHUTDOWN);
            return -1;
        }
        WSAPOLLFD p{s, POLLIN, 0};
        const int ready = ::WSAPoll(&p, 1, kReadPollMs);
        if (ready < 0)
            return -1;
        if (ready > 0)
            break;
    }
    return ::recv(s, data, chunkOf(size), 0);
}

long sendNoWait(Socket s, const char* data, std::size_t size)
{
    return withoutWaiting(s, [&] { return static_cast<long>(::send(s, data, chunkOf(size), 0)); });
}

long recvNoWait(Socket s, char* data, std::size_t size)
{
    return withoutWaiting(s, [&] { return static_cast<long>(::recv(s, data, chunkOf(size), 0)); });
}

int setIntOption(Socket s, int level, int name, int value)
{
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

int getIntOption(Socket s, int level, int name, int& value)
{
    // Boolean options come back as a single byte.
    value = 0;
    int size = sizeof value;
    return ::getsockopt(s, level, name, reinterpret_cast<char*>(&value), &size);
}

bool setKeepAlive(Socket s, int idleSeconds, int intervalSeconds, int count)
{
    if (setIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) != 0)
        return false;
    // The per-socket options of Windows 10 1709 on; where they are refused (older systems, Wine),
    // the control code every version knows sets the same two times.
    if (setIntOption(s, IPPROTO_TCP, kTcpKeepIdle, idleSeconds) != 0 ||
        setIntOption(s, IPPROTO_TCP, kTcpKeepInterval, intervalSeconds) != 0) {
        tcp_keepalive times{1, static_cast<u_long>(idleSeconds) * 1000, static_cast<u_long>(intervalSeconds) * 1000};
        DWORD unused = 0;
        if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &times, sizeof times, nullptr, 0, &unused, nullptr, nullptr) != 0)
            return false;
    }
    return setIntOption(s, IPPROTO_TCP, kTcpKeepCount, count) == 0;
}

int setListenAddressOptions(Socket s)
{
    return setIntOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

bool openWakePair(Socket& readEnd, Socket& writeEnd)
{
    // Windows has no pipe WSAPoll can wait on: a datagram socket on 127.0.0.1 and a second one
    // connected to it stand in for the two ends.
    SOCKET in = openSocket(AF_INET, SOCK_DGRAM, true);
    if (in == INVALID_SOCKET)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    SOCKET out = INVALID_SOCKET;
    if (::bind(in, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(in, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        (out = openSocket(AF_INET, SOCK_DGRAM, true)) != INVALID_SOCKET &&
        ::connect(out, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        readEnd = in;
        writeEnd = out;
        return true;
    }
    const int error = ::WSAGetLastError();
    closeSocket(in);
    if (out != INVALID_SOCKET)
        closeSocket(out);
    ::WSASetLastError(error);
    return false;
}

void wake(Socket writeEnd)
{
    const char byte = 1;
    ::send(writeEnd, &byte, 1, 0);
}

void drainWake(Socket readEnd)
{
    char buffer[64];
    while (::recv(readEnd, buffer, sizeof buffer, 0) > 0) {
    }
}

void closeWakeEnd(Socket end)
{
    closeSocket(end);
}

// Windows has no readiness queue for sockets that a plain wait could use: the set is one WSAPoll
// array, kept in place between waits.
struct ReadySet::Impl {
    std::vector<WSAPOLLFD> polled;
    std::vector<std::uint32_t> tags;
    std::unordered_map<SOCKET, std::size_t> slots;
    std::size_t first = 0;  // where the next report starts, so that no socket waits behind others
};

ReadySet::ReadySet() : impl_(std::make_unique<Impl>()) {}

ReadySet::~ReadySet() = default;

void ReadySet::put(Socket s, unsigned interest, std::uint32_t tag, bool)
{
    const SHORT events = static_cast<SHORT>(((interest & kReadable) ? POLLRDNORM : 0) |
                                            ((interest & kWritable) ? POLLWRNORM : 0));
    const auto [slot, added] = impl_->slots.try_emplace(s, impl_->polled.size());
    if (added) {
        impl_->polled.push_back(WSAPOLLFD{s, events, 0});
        impl_->tags.push_back(tag);
        return;
    }
    impl_->polled[slot->second].events = events;
    impl_->tags[slot->second] = tag;
}

void ReadySet::remove(Socket s)
{
    const auto found = impl_->slots.find(s);
    if (found == impl_->slots.end())
        return;
    const std::size_t slot = found->second;
    impl_->slots.erase(found);
    const std::size_t last = impl_->polled.size() - 1;
    if (slot != last) {
        impl_->polled[slot] = impl_->polled[last];
        impl_->tags[slot] = impl_->tags[last];
        impl_->slots[impl_->polled[slot].fd] = slot;
    }
    impl_->polled.pop_back();
    impl_->tags.pop_back();
}

std::size_t ReadySet::wait(Ready* out, std::size_t capacity, int timeoutMs)
{
    // The wait is bounded: a wake-up datagram that a poll misses (seen once under Wine) then holds
    // the loop's tasks back for at most this long, not until some socket happens to become ready.
    constexpr int kMaxWaitMs = 1000;
    if (timeoutMs < 0 || timeoutMs > kMaxWaitMs)
        timeoutMs = kMaxWaitMs;
    std::vector<WSAPOLLFD>& polled = impl_->polled;
    if (::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs) < 0)
        throw NetError::fromErrno("WSAPoll", ::WSAGetLastError());
    std::size_t count = 0;
    const std::size_t size = polled.size();
    for (std::size_t n = 0; n < size && count < capacity; ++n) {
        const std::size_t i = (impl_->first + n) % size;
        const SHORT revents = polled[i].revents;
        if (revents == 0)
            continue;
        unsigned ready = 0;
        if (revents & POLLRDNORM)
            ready |= kReadable;
        if (revents & POLLWRNORM)
            ready |= kWritable;
        if (revents & (POLLHUP | POLLERR | POLLNVAL))
            ready |= kClosed;
        out[count++] = Ready{polled[i].fd, impl_->tags[i], ready};
    }
    impl_->first = size == 0 ? 0 : (impl_->first + 1) % size;
    return count;
}

}  // namespace net::sys
