// Loopback helpers for the network layer's tests: a listener with one accepted
// connection, and a raw client socket that sends bytes exactly as given.
#pragma once

#include "net/Net.h"
#include "net/Socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace nettest {

class RawClient {
public:
    explicit RawClient(int port)
    {
        fd_ = net::sys::openSocket(AF_INET, SOCK_STREAM);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw net::NetError::fromErrno("connect", net::sys::lastError());
    }
    ~RawClient() { closeNow(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void send(const std::string& bytes) const
    {
        ASSERT_EQ(net::sys::sendBytes(fd_, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }
    void finish() const { ::shutdown(fd_, net::sys::kShutWrite); }  // the server sees end of stream
    // Closes with a reset instead of an orderly end.
    void reset()
    {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        closeNow();
    }
    void closeNow()
    {
        if (fd_ != net::sys::kNoSocket)
            net::sys::closeSocket(fd_);
        fd_ = net::sys::kNoSocket;
    }
    std::string receive(std::size_t count) const
    {
        std::string got;
        char chunk[256];
        while (got.size() < count) {
            const long n = net::sys::recvBytes(fd_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0)
                break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    net::sys::Socket fd_ = net::sys::kNoSocket;
};

// A server-side connection and the raw client at its other end.
struct Pair {
    std::unique_ptr<net::Listener> listener = net::Listener::open(0);
    RawClient client{listener->port()};
    std::unique_ptr<net::Connection> server = listener->accept();
};

// Whether this machine can bind ::1 (IPv6 may be missing or switched off).
inline bool hasIpv6Loopback()
{
    const net::sys::Socket fd = net::sys::openSocket(AF_INET6, SOCK_STREAM);
    if (fd == net::sys::kNoSocket)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    net::sys::closeSocket(fd);
    return ok;
}

inline void pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace nettest
