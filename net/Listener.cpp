#include "net/Net.h"

#include "net/Access.h"
#include "net/Socket.h"

namespace net {

namespace {

// Closes a socket on scope exit unless released.
struct FdGuard {
    sys::Socket fd;
    ~FdGuard()
    {
        if (fd != sys::kNoSocket)
            sys::closeSocket(fd);
    }
    sys::Socket release()
    {
        const sys::Socket kept = fd;
        fd = sys::kNoSocket;
        return kept;
    }
};

void setOption(sys::Socket fd, int level, int name, int value, const char* call)
{
    if (sys::setIntOption(fd, level, name, value) != 0)
        throw NetError::fromErrno(call, sys::lastError());
}

// A non-blocking listening socket: accept() polls first, and a client that vanishes
// between the poll and the accept must not leave the thread blocked.
// `address` is the local address with its port still 0.
// Returns kNoSocket (lastError() set) when this address family is unusable on the machine.
sys::Socket listenSocket(sockaddr_storage address, int port)
{
    const int family = address.ss_family;
    FdGuard sock{sys::openSocket(family, SOCK_STREAM, true)};
    if (sock.fd == sys::kNoSocket)
        return sys::kNoSocket;
    if (sys::setListenAddressOptions(sock.fd) != 0)
        throw NetError::fromErrno("setsockopt(SO_REUSEADDR)", sys::lastError());
    socklen_t size;
    if (family == AF_INET6) {
        // One socket for both protocols: IPv4 clients arrive as IPv4-mapped addresses.
        setOption(sock.fd, IPPROTO_IPV6, IPV6_V6ONLY, 0, "setsockopt(IPV6_V6ONLY)");
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof(sockaddr_in);
    }
    if (sys::bindSocket(sock.fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const int error = sys::lastError();
        // IPv6 present in the kernel but switched off: no IPv6 address to bind to.
        if (family == AF_INET6 && error == sys::kErrAddrNotAvail)
            return sys::kNoSocket;
        throw NetError::fromErrno("bind", error);
    }
    if (::listen(sock.fd, SOMAXCONN) != 0)
        throw NetError::fromErrno("listen", sys::lastError());
    return sock.release();
}

sockaddr_storage anyAddress(int family)
{
    sockaddr_storage address{};
    address.ss_family = static_cast<decltype(address.ss_family)>(family);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr = in6addr_any;
    else
        reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

int boundPort(sys::Socket fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw NetError::fromErrno("getsockname", sys::lastError());
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

}  // namespace

std::unique_ptr<Listener> Listener::open(int port)
{
    return open(port, AccessPolicy::instance().listenAddress());
}

std::unique_ptr<Listener> Listener::open(int port, const std::string& address)
{
    if (port < 0 || port > 65535)
        throw NetError::fromErrno("bind", sys::kErrInvalid);
    FdGuard sock{sys::kNoSocket};
    if (address.empty()) {
        sock.fd = listenSocket(anyAddress(AF_INET6), port);
        if (sock.fd == sys::kNoSocket)
            sock.fd = listenSocket(anyAddress(AF_INET), port);
    } else {
        const auto local = parseAddress(address);
        if (!local)
            throw NetError::fromErrno("bind", sys::kErrInvalid);
        sock.fd = listenSocket(*local, port);
        if (sock.fd == sys::kNoSocket && sys::lastError() == sys::kErrAddrNotAvail)
            throw NetError::fromErrno("bind", sys::kErrAddrNotAvail);
    }
    if (sock.fd == sys::kNoSocket)
        throw NetError::fromErrno("socket", sys::lastError());
    const int actualPort = boundPort(sock.fd);
    sys::Socket wakeRead;
    sys::Socket wakeWrite;
    if (!sys::openWakePair(wakeRead, wakeWrite))
        throw NetError::fromErrno("wake pair", sys::lastError());
    return std::unique_ptr<Listener>(new Listener(sock.release(), wakeRead, wakeWrite, actualPort));
}

Listener::Listener(SocketHandle fd, SocketHandle wakeRead, SocketHandle wakeWrite, int port)
    : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite), port_(port)
{
}

Listener::~Listener()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    releaseLocked();
}

void Listener::releaseLocked()
{
    if (fd_ != sys::kNoSocket)
        sys::closeSocket(fd_);
    for (SocketHandle* end : {&wakeRead_, &wakeWrite_}) {
        if (*end != sys::kNoSocket)
            sys::closeWakeEnd(*end);
    }
    fd_ = wakeRead_ = wakeWrite_ = sys::kNoSocket;
}

std::unique_ptr<Connection> Listener::accept()
{
    sys::Socket fd;
    sys::Socket wakeRead;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            throw NetError::fromErrno("accept", sys::kErrBadSocket);
        ++inAccept_;
        fd = fd_;
        wakeRead = wakeRead_;
    }
    // The descriptors stay valid until the last thread leaves accept().
    struct Leave {
        Listener& self;
        ~Leave()
        {
            std::lock_guard<std::mutex> lock(self.mutex_);
            if (--self.inAccept_ == 0 && self.closed_)
                self.releaseLocked();
        }
    } leave{*this};

    for (;;) {
        sys::PollFd watch[2] = {{fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (sys::pollSockets(watch, 2, -1) < 0) {
            if (sys::lastError() == sys::kErrInterrupted)
                continue;
            throw NetError::fromErrno("poll", sys::lastError());
        }
        if (watch[1].revents != 0 || !isOpen())
            throw NetError::fromErrno("accept", sys::kErrBadSocket);
        sockaddr_storage peer{};
        const sys::Socket client = sys::acceptClient(fd, &peer);
        if (client != sys::kNoSocket) {
            // A peer outside the allow-list is closed here and never reaches the caller.
            if (refuseIfNotAllowed(client, peer))
                continue;
            setKeepAlive(client);
            return std::make_unique<Connection>(client);
        }
        const int error = sys::lastError();
        if (error == sys::kErrInterrupted || error == sys::kErrWouldBlock ||
            error == sys::kErrConnAborted || error == sys::kErrClientGone)
            continue;  // the client left before it was accepted
        throw NetError::fromErrno("accept", error);
    }
}

void Listener::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return;
    closed_ = true;
    if (inAccept_ == 0) {
        releaseLocked();
        return;
    }
    sys::wake(wakeWrite_);
}

bool Listener::isOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_;
}

int Listener::port() const
{
    return port_;
}

SocketHandle Listener::fd() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_ ? sys::kNoSocket : fd_;
}

}  // namespace net
