// The socket calls that differ between POSIX and Winsock, behind one set of names. The rest of the
// network layer (and the tests' raw clients) use these and the calls both systems share (bind,
// listen, connect, getaddrinfo, getsockname ...). One implementation file per system:
// SocketPosix.cpp and SocketWinsock.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/Net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace net::sys {

using Socket = SocketHandle;

#ifdef _WIN32
static_assert(sizeof(SOCKET) == sizeof(Socket));
using PollFd = WSAPOLLFD;
inline constexpr Socket kNoSocket = INVALID_SOCKET;
inline constexpr int kNoSignal = 0;  // Winsock never raises a signal on a vanished peer
inline constexpr int kShutWrite = SD_SEND;
inline constexpr int kErrInterrupted = WSAEINTR;
inline constexpr int kErrWouldBlock = WSAEWOULDBLOCK;
inline constexpr int kErrConnAborted = WSAECONNABORTED;
inline constexpr int kErrConnReset = WSAECONNRESET;
inline constexpr int kErrAddrNotAvail = WSAEADDRNOTAVAIL;
inline constexpr int kErrAddrInUse = WSAEADDRINUSE;
inline constexpr int kErrClientGone = WSAECONNRESET;  // the client left before accept()
inline constexpr int kErrHostUnreach = WSAEHOSTUNREACH;
inline constexpr int kErrBadSocket = WSAENOTSOCK;
inline constexpr int kErrInvalid = WSAEINVAL;
// The TCP keepalive options (Windows 10 1709 on); MinGW's headers lack the names.
inline constexpr int kTcpKeepIdle = 3;       // TCP_KEEPALIVE: seconds before the first probe
inline constexpr int kTcpKeepInterval = 17;  // TCP_KEEPINTVL
inline constexpr int kTcpKeepCount = 16;     // TCP_KEEPCNT

// Errors of accept() that mean the process ran out of sockets or memory, not that the client left.
inline bool isOutOfResources(int error)
{
    return error == WSAEMFILE || error == WSAENOBUFS;
}
#else
using PollFd = pollfd;
inline constexpr Socket kNoSocket = -1;
inline constexpr int kNoSignal = MSG_NOSIGNAL;
inline constexpr int kShutWrite = SHUT_WR;
inline constexpr int kErrInterrupted = EINTR;
inline constexpr int kErrWouldBlock = EWOULDBLOCK;
inline constexpr int kErrConnAborted = ECONNABORTED;
inline constexpr int kErrConnReset = ECONNRESET;
inline constexpr int kErrAddrNotAvail = EADDRNOTAVAIL;
inline constexpr int kErrAddrInUse = EADDRINUSE;
inline constexpr int kErrClientGone = EPROTO;
inline constexpr int kErrHostUnreach = EHOSTUNREACH;
inline constexpr int kErrBadSocket = EBADF;
inline constexpr int kErrInvalid = EINVAL;
inline constexpr int kTcpKeepIdle = TCP_KEEPIDLE;
inline constexpr int kTcpKeepInterval = TCP_KEEPINTVL;
inline constexpr int kTcpKeepCount = TCP_KEEPCNT;

inline bool isOutOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}
#endif

// Makes the socket library usable; called by every function here that creates a socket or looks a
// name up, cheap after the first call (Winsock's WSAStartup runs once per process).
void startup();

// The error of the latest failed socket call of this thread (errno, WSAGetLastError()).
int lastError();

// The system's text for an error number of lastError() (or a C library errno value).
std::string errorText(int error);

// A new socket that is not inherited by child processes; non-blocking when asked.
// kNoSocket on failure (lastError() tells why).
Socket openSocket(int family, int type, bool nonBlocking = false);

// Accepts a client on a listening socket; the new socket is not inherited and blocks unless
// asked otherwise. `peer`, when given, receives the client's address.
Socket acceptClient(Socket listener, sockaddr_storage* peer = nullptr, bool nonBlocking = false);

void closeSocket(Socket s);

// Shuts the socket down in both directions so that a recvBytes() waiting in another thread returns
// (on Windows within a tenth of a second: the wait there is a series of short polls).
void shutdownBoth(Socket s);

// poll(2) / WSAPoll over sockets (and, on POSIX, the read end of a wake pair).
int pollSockets(PollFd* fds, std::size_t count, int timeoutMs);

// send/recv with the byte counts as signed sizes: < 0 on failure. recvBytes blocks until data, the
// end of stream or an error comes, or shutdownBoth() is called on the socket.
long sendBytes(Socket s, const char* data, std::size_t size, int flags = kNoSignal);
long recvBytes(Socket s, char* data, std::size_t size);

// send/recv that never wait, on blocking and non-blocking sockets alike: what the socket takes or
// holds right now; < 0 with lastError() == kErrWouldBlock when that is nothing. sendNoWait never
// raises a signal on a vanished peer.
long sendNoWait(Socket s, const char* data, std::size_t size);
long recvNoWait(Socket s, char* data, std::size_t size);

int setIntOption(Socket s, int level, int name, int value);
int getIntOption(Socket s, int level, int name, int& value);

// Turns TCP keepalive on: the first probe after idleSeconds without traffic, then one every
// intervalSeconds, the peer given up after `count` unanswered probes. False when the socket refused
// a setting (keepalive may still be on, with the system's value for that setting).
bool setKeepAlive(Socket s, int idleSeconds, int intervalSeconds, int count);

// bind(2); a port another socket holds is reported as kErrAddrInUse on every system (Windows
// answers an exclusively held port with WSAEACCES).
int bindSocket(Socket s, const sockaddr* address, socklen_t size);

// Stops any other process from binding the same port while this socket is bound, and lets a
// restarted server bind a port whose old connections still linger (SO_REUSEADDR on POSIX,
// SO_EXCLUSIVEADDRUSE on Windows, where SO_REUSEADDR would let a second process share the port).
int setListenAddressOptions(Socket s);

// Sockets waited on together, each with its interest and a 32-bit tag that comes back with its
// readiness (so that the caller can tell a socket closed and reused apart from the old one): epoll
// on Linux, where a wait costs what is ready, not what is watched; WSAPoll over the whole set on
// Windows. For one thread at a time.
class ReadySet {
public:
    static constexpr unsigned kReadable = 1;
    static constexpr unsigned kWritable = 2;
    static constexpr unsigned kClosed = 4;  // readiness only: hang-up or error on the socket

    struct Ready {
        Socket socket;
        std::uint32_t tag;
        unsigned events;
    };

    // Throws NetError when the system cannot make the set.
    ReadySet();
    ~ReadySet();
    ReadySet(const ReadySet&) = delete;
    ReadySet& operator=(const ReadySet&) = delete;

    // Adds a socket, or changes the interest and tag of one in the set; `known` tells whether the
    // caller put it in before (a socket closed meanwhile has left the set by itself). Throws NetError.
    void put(Socket s, unsigned interest, std::uint32_t tag, bool known);
    // Takes a socket out; one closed already has gone by itself.
    void remove(Socket s);
    // Waits until sockets are ready (for ever when timeoutMs < 0; on Windows a second at most) and
    // gives at most `capacity` of them; 0 when the wait was interrupted or timed out. Throws NetError.
    std::size_t wait(Ready* out, std::size_t capacity, int timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A pair a poll can wait on to be woken from another thread: a pipe on POSIX, a connected pair of
// loopback datagram sockets on Windows. False on failure (lastError() tells why).
bool openWakePair(Socket& readEnd, Socket& writeEnd);
void wake(Socket writeEnd);
// Takes every wake-up waiting at the read end, so that a poll waits again.
void drainWake(Socket readEnd);
void closeWakeEnd(Socket end);

}  // namespace net::sys
