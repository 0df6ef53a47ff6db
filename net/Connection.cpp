#include "net/Net.h"

#include <algorithm>

#include "net/Socket.h"

namespace net {

namespace {

// "a.b.c.d:port" or "[v6]:port"; IPv4 clients of a dual-stack listener show as IPv4.
std::string formatPeer(sys::Socket fd)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        const int port = ntohs(v6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
            return std::string(text) + ":" + std::to_string(port);
        }
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    return "";
}

}  // namespace

std::string peerOf(SocketHandle fd)
{
    return formatPeer(fd);
}

Connection::Connection(SocketHandle fd) : fd_(fd), peer_(formatPeer(fd)), buffer_(kChunk) {}

Connection::~Connection()
{
    close();
    sys::closeSocket(fd_);
}

std::unique_ptr<Connection> Connection::connect(const std::string& host, int port)
{
    sys::startup();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0)
        throw NetError("getaddrinfo: " + std::string(::gai_strerror(rc)));

    int lastError = sys::kErrHostUnreach;
    std::string lastCall = "connect";
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const sys::Socket fd = sys::openSocket(candidate->ai_family, candidate->ai_socktype);
        if (fd == sys::kNoSocket) {
            lastError = sys::lastError();
            lastCall = "socket";
            continue;
        }
        int result;
        do {
            result = ::connect(fd, candidate->ai_addr, static_cast<socklen_t>(candidate->ai_addrlen));
        } while (result != 0 && sys::lastError() == sys::kErrInterrupted);
        if (result == 0) {
            ::freeaddrinfo(found);
            return std::make_unique<Connection>(fd);
        }
        lastError = sys::lastError();
        lastCall = "connect";
        sys::closeSocket(fd);
    }
    ::freeaddrinfo(found);
    throw NetError::fromErrno(lastCall, lastError);
}

Connection::Fill Connection::fillBuffer()
{
    for (;;) {
        if (deadline_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now());
            if (left.count() <= 0)
                return Fill::TimedOut;
            sys::PollFd watch{fd_, POLLIN, 0};
            const int ready =
                sys::pollSockets(&watch, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
            if (ready < 0 && sys::lastError() != sys::kErrInterrupted)
                throw NetError::fromErrno("poll", sys::lastError());
            if (ready <= 0)
                continue;
        }
        const long got = sys::recvBytes(fd_, buffer_.data(), buffer_.size());
        if (got > 0) {
            pos_ = 0;
            end_ = static_cast<std::size_t>(got);
            return Fill::Data;
        }
        if (got == 0)
            return Fill::End;
        const int error = sys::lastError();
        if (error == sys::kErrInterrupted)
            continue;
        // A read that fails because this side closed the connection is an end of stream.
        if (!open_.load())
            return Fill::End;
        throw NetError::fromErrno("recv", error);
    }
}

Connection::ReadStatus Connection::readLine(std::string& line, std::size_t maxLength)
{
    std::lock_guard<std::mutex> lock(readMutex_);
    line.clear();
    for (;;) {
        if (!open_.load())
            return ReadStatus::EndOfStream;  // a partial line is dropped once closed here
        while (pos_ < end_) {
            const char c = buffer_[pos_];
            if (skipLf_) {
                skipLf_ = false;
                if (c == '\n') {
                    ++pos_;
                    continue;
                }
            }
            if (c == '\n' || c == '\r') {
                ++pos_;
                skipLf_ = (c == '\r');
                return ReadStatus::Line;
            }
            if (line.size() >= maxLength)
                return ReadStatus::TooLong;
            line.push_back(c);
            ++pos_;
        }
        const Fill filled = eof_ ? Fill::End : fillBuffer();
        if (filled == Fill::TimedOut)
            return ReadStatus::TimedOut;
        if (filled == Fill::End) {
            eof_ = true;
            if (!line.empty() && open_.load())
                return ReadStatus::Line;
            return ReadStatus::EndOfStream;
        }
    }
}

void Connection::setReadDeadline(std::optional<Clock::time_point> deadline)
{
    std::lock_guard<std::mutex> lock(readMutex_);
    deadline_ = deadline;
}

bool Connection::writeLine(const std::string& text)
{
    const std::string data = text + "\r\n";
    const bool bounded = sendTimeout_.count() > 0;
    const auto deadline = std::chrono::steady_clock::now() + sendTimeout_;
    {
        std::unique_lock<std::mutex> lock(writeMutex_);
        if (!bounded)
            writeFree_.wait(lock, [this] { return !writing_; });
        else if (!writeFree_.wait_until(lock, deadline, [this] { return !writing_; }))
            return false;  // another writer is stuck: nothing of this line was sent
        writing_ = true;
    }
    struct Turn {
        Connection& c;
        ~Turn()
        {
            {
                std::lock_guard<std::mutex> lock(c.writeMutex_);
                c.writing_ = false;
            }
            c.writeFree_.notify_one();
        }
    } turn{*this};
    std::size_t sent = 0;
    while (sent < data.size()) {
        if (!open_.load())
            return false;
        if (bounded) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            sys::PollFd ready{fd_, POLLOUT, 0};
            const int r = left.count() > 0 ? sys::pollSockets(&ready, 1, static_cast<int>(left.count())) : 0;
            if (r < 0 && sys::lastError() == sys::kErrInterrupted)
                continue;
            if (r == 0) {
                sendTimedOut_ = true;
                close();
                return false;
            }
        }
        const long n = bounded ? sys::sendNoWait(fd_, data.data() + sent, data.size() - sent)
                               : sys::sendBytes(fd_, data.data() + sent, data.size() - sent);
        if (n < 0) {
            const int error = sys::lastError();
            if (error == sys::kErrInterrupted || (bounded && error == sys::kErrWouldBlock))
                continue;
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void Connection::setSendTimeout(std::chrono::milliseconds limit)
{
    sendTimeout_ = limit;
}

bool Connection::sendTimedOut() const
{
    return sendTimedOut_.load();
}

void Connection::close()
{
    if (open_.exchange(false))
        sys::shutdownBoth(fd_);
}

bool Connection::isOpen() const
{
    return open_.load();
}

std::string hostOf(const std::string& peer)
{
    if (!peer.empty() && peer.front() == '[') {
        const auto close = peer.find(']');
        return close == std::string::npos ? peer : peer.substr(1, close - 1);
    }
    const auto colon = peer.rfind(':');
    // More than one colon without brackets: a bare IPv6 address.
    if (colon == std::string::npos || peer.find(':') != colon) return peer;
    return peer.substr(0, colon);
}

std::string Connection::peer() const
{
    return peer_;
}

}  // namespace net
