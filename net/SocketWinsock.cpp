#include "net/Socket.h"

#include <cstring>
#include <mutex>
#include <set>

#include "platform/WindowsError.h"

namespace net::sys {

namespace {

// Sockets shut down by this process and not yet closed. Winsock (and Wine) do not end a recv that
// is blocked or starts after a local shutdown, so reads wait in short polls and look here between.
std::mutex shutMutex;
std::set<SOCKET> shutSockets;

bool isShut(SOCKET s)
{
    std::lock_guard<std::mutex> lock(shutMutex);
    return shutSockets.count(s) != 0;
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
    u_long on = nonBlocking ? 1 : 0;
    if (nonBlocking && ::ioctlsocket(s, FIONBIO, &on) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        ::WSASetLastError(error);
        return kNoSocket;
    }
    return s;
}

Socket acceptClient(Socket listener)
{
    const SOCKET s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return kNoSocket;
    // An accepted socket inherits the listener's non-blocking mode: reads of a connection block.
    u_long off = 0;
    ::ioctlsocket(s, FIONBIO, &off);
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

void closeSocket(Socket s)
{
    {
        std::lock_guard<std::mutex> lock(shutMutex);
        shutSockets.erase(s);
    }
    ::closesocket(s);
}

void shutdownBoth(Socket s)
{
    {
        std::lock_guard<std::mutex> lock(shutMutex);
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
    const int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
    return ::send(s, data, chunk, flags);
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
    const int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
    return ::recv(s, data, chunk, 0);
}

int setIntOption(Socket s, int level, int name, int value)
{
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
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
    ::closesocket(in);
    if (out != INVALID_SOCKET)
        ::closesocket(out);
    ::WSASetLastError(error);
    return false;
}

void wake(Socket writeEnd)
{
    const char byte = 1;
    ::send(writeEnd, &byte, 1, 0);
}

void closeWakeEnd(Socket end)
{
    ::closesocket(end);
}

}  // namespace net::sys
