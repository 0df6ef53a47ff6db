#include "net/Socket.h"

#include <fcntl.h>

#include <cstring>
#include <utility>

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

}  // namespace net::sys
