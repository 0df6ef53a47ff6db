#include "net/Net.h"

#include "net/Access.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

// Closes a descriptor on scope exit unless released.
struct FdGuard {
    int fd;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int kept = fd;
        fd = -1;
        return kept;
    }
};

void setOption(int fd, int level, int name, int value, const char* call)
{
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0)
        throw NetError::fromErrno(call, errno);
}

// A non-blocking listening socket: accept() polls first, and a client that vanishes
// between the poll and the accept must not leave the thread blocked.
// `address` is the local address with its port still 0.
// Returns -1 (errno set) when this address family is unusable on the machine.
int listenSocket(sockaddr_storage address, int port)
{
    const int family = address.ss_family;
    FdGuard sock{::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    if (sock.fd < 0)
        return -1;
    setOption(sock.fd, SOL_SOCKET, SO_REUSEADDR, 1, "setsockopt(SO_REUSEADDR)");
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
    if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        // IPv6 present in the kernel but switched off: no IPv6 address to bind to.
        if (family == AF_INET6 && errno == EADDRNOTAVAIL)
            return -1;
        throw NetError::fromErrno("bind", errno);
    }
    if (::listen(sock.fd, SOMAXCONN) != 0)
        throw NetError::fromErrno("listen", errno);
    return sock.release();
}

sockaddr_storage anyAddress(int family)
{
    sockaddr_storage address{};
    address.ss_family = static_cast<sa_family_t>(family);
    if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr = in6addr_any;
    else
        reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_ANY);
    return address;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw NetError::fromErrno("getsockname", errno);
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
        throw NetError::fromErrno("bind", EINVAL);
    FdGuard sock{-1};
    if (address.empty()) {
        sock.fd = listenSocket(anyAddress(AF_INET6), port);
        if (sock.fd < 0)
            sock.fd = listenSocket(anyAddress(AF_INET), port);
    } else {
        const auto local = parseAddress(address);
        if (!local)
            throw NetError::fromErrno("bind", EINVAL);
        sock.fd = listenSocket(*local, port);
        if (sock.fd < 0 && errno == EADDRNOTAVAIL)
            throw NetError::fromErrno("bind", errno);
    }
    if (sock.fd < 0)
        throw NetError::fromErrno("socket", errno);
    const int actualPort = boundPort(sock.fd);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw NetError::fromErrno("pipe2", errno);
    return std::unique_ptr<Listener>(new Listener(sock.release(), wake[0], wake[1], actualPort));
}

Listener::Listener(int fd, int wakeRead, int wakeWrite, int port)
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
    for (int* fd : {&fd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

std::unique_ptr<Connection> Listener::accept()
{
    int fd;
    int wakeRead;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            throw NetError::fromErrno("accept", EBADF);
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
        pollfd watch[2] = {{fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        if (::poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw NetError::fromErrno("poll", errno);
        }
        if (watch[1].revents != 0 || !isOpen())
            throw NetError::fromErrno("accept", EBADF);
        sockaddr_storage peer{};
        socklen_t peerSize = sizeof peer;
        const int client =
            ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC);
        if (client >= 0) {
            // A peer outside the allow-list is closed here and never reaches the caller.
            if (refuseIfNotAllowed(client, peer))
                continue;
            setKeepAlive(client);
            return std::make_unique<Connection>(client);
        }
        switch (errno) {
        case EINTR:
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
        case ECONNABORTED:  // the client left before it was accepted
        case EPROTO:
            continue;
        default:
            throw NetError::fromErrno("accept", errno);
        }
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
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &wake, 1);
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

int Listener::fd() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_ ? -1 : fd_;
}

}  // namespace net
