#pragma once
// A plain TCP client on the loopback address for talking to the hub in tests. Every wait has a
// time limit, so a misbehaving server fails the test instead of hanging it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

class TestClient {
public:
    // Connects to the port on 127.0.0.1; `from` names another loopback address to connect from.
    explicit TestClient(int port, const char* from = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket");
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
                ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                ::close(fd_);
                throw std::runtime_error("bind");
            }
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            throw std::runtime_error("connect");
        }
    }
    ~TestClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void sendRaw(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void send(const std::string& line) { sendRaw(line + "\r\n"); }
    // Sends what the connection takes without waiting: the count sent (0 when it takes nothing now),
    // -1 once the connection has failed.
    ssize_t sendSome(const std::string& bytes) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
        return n;
    }
    // Ends this side's writing: the server reads end of stream.
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

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
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
    bool eof_ = false;
};
