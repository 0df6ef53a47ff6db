#pragma once
// A plain TCP client on the loopback address for talking to the hub in tests. Every wait has a
// time limit, so a misbehaving server fails the test instead of hanging it.
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "net/Socket.h"

class TestClient {
public:
    // Connects to the port on 127.0.0.1; `from` names another loopback address to connect from.
    explicit TestClient(int port, const char* from = nullptr) {
        fd_ = net::sys::openSocket(AF_INET, SOCK_STREAM);
        if (fd_ == net::sys::kNoSocket) throw std::runtime_error("socket");
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
                ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                net::sys::closeSocket(fd_);
                throw std::runtime_error("bind");
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            net::sys::closeSocket(fd_);
            throw std::runtime_error("connect");
        }
    }
    ~TestClient() {
        if (fd_ != net::sys::kNoSocket) net::sys::closeSocket(fd_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void sendRaw(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const long n = net::sys::sendBytes(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void send(const std::string& line) { sendRaw(line + "\r\n"); }
    // Sends what the connection takes without waiting: the count sent (0 when it takes nothing now),
    // -1 once the connection has failed.
    long sendSome(const std::string& bytes) {
        const long n = net::sys::sendNoWait(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            const int error = net::sys::lastError();
            return (error == net::sys::kErrWouldBlock || error == net::sys::kErrInterrupted) ? 0 : -1;
        }
        return n;
    }
    // Ends this side's writing: the server reads end of stream.
    void shutdownWrite() { ::shutdown(fd_, net::sys::kShutWrite); }

    // The next line the server sent, without its CR LF; nullopt when the connection ended or nothing
    // complete came in time. A line not ended by CR LF is counted in badEndings.
    std::optional<std::string> readLine(int timeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf);
                buffer_.erase(0, lf + 1);
                if (line.empty() || line.back() != '\r') ++badEndings;
                else line.pop_back();
                return line;
            }
            if (!fill(deadline)) return std::nullopt;
        }
    }

    // True when the server closes the connection within the time, with no further line.
    bool closedByServer(int timeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.empty()) {
            if (!fill(deadline)) return eof_;
        }
        return false;
    }

    // True when nothing arrives within the time (and the connection stays open).
    bool silentFor(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        return buffer_.empty() && !fill(deadline) && !eof_;
    }

    int badEndings = 0;

private:
    bool fill(std::chrono::steady_clock::time_point deadline) {
        if (eof_) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        net::sys::PollFd p{fd_, POLLIN, 0};
        if (net::sys::pollSockets(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        const long n = net::sys::recvBytes(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    net::sys::Socket fd_ = net::sys::kNoSocket;
    std::string buffer_;
    bool eof_ = false;
};
