#include "web/WebServer.h"

#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "net/Access.h"
#include "web/Assets.h"

namespace web {

namespace {

// The latest state text, numbered; every push stream sends each number it has not sent yet. A slow
// stream skips states it was too slow for (it always ends on the newest one), so nothing queues up.
class Broadcaster {
public:
    void publish(std::string state) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state == latest_) return;
            latest_ = std::move(state);
            ++version_;
        }
        cv_.notify_all();
    }
    // Waits until a state newer than `seen` exists (true, text in `out`), the wait ends (false, out
    // empty: send a heartbeat) or the broadcaster stops (false, stopped set).
    bool next(std::uint64_t& seen, std::string& out, std::chrono::seconds wait, bool& stopped) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, wait, [&] { return stopping_ || version_ > seen; });
        stopped = stopping_;
        if (stopping_ || version_ <= seen) return false;
        seen = version_;
        out = latest_;
        return true;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
    }
    bool acquire(size_t cap) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || subscribers_ >= cap) return false;
        ++subscribers_;
        return true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        --subscribers_;
    }
    size_t subscribers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return subscribers_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string latest_;
    std::uint64_t version_ = 0;
    size_t subscribers_ = 0;
    bool stopping_ = false;
};

// One push stream's place among the subscribers, given back when the stream's response goes away.
struct Subscription {
    explicit Subscription(Broadcaster& b) : broadcaster(b) {}
    ~Subscription() { broadcaster.release(); }
    Broadcaster& broadcaster;
    std::uint64_t seen = 0;
};

// The peer's address without port; an IPv4 client on an IPv6 socket is shown as plain IPv4.
std::string addressOf(int fd, bool peer, int& port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                        : ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = 0;
    if (rc != 0) return {};
    if (addr.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return net::addressText(reinterpret_cast<const sockaddr*>(&addr));
}

int pollFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, ms);
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0 && (p.revents & (POLLERR | POLLNVAL))) return -1;
        return rc;
    }
}

// A connected socket as the library's request reader and response writer see it, with a small
// read buffer (the library reads request lines a byte at a time) and the server's time limits.
//
// Each request may be read in a bounded number of bytes and a bounded time: the library counts
// neither the header lines of a request nor the bytes of a chunked body, and its read time-out
// holds for one read only, so a client could otherwise grow the server's memory without end or
// hold a worker for ever by sending a line every few seconds. Past either bound reading fails and
// the connection ends.
class SocketStream : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    SocketStream(int fd, int readMs, int writeMs) : fd_(fd), readMs_(readMs), writeMs_(writeMs) {}

    void beginRequest(size_t maxBytes, std::chrono::milliseconds maxTime) {
        bytesLeft_ = maxBytes;
        deadline_ = Clock::now() + maxTime;
    }
    // A read of the request failed (time-out, or a bound passed): the library answers 400 and would
    // go on reading the rest as the next request; the connection is to end instead.
    bool readFailed() const { return readFailed_; }

    bool is_readable() const override {
        if (begin_ < end_) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left > 0 && pollFor(fd_, POLLIN, static_cast<int>(std::min<long long>(readMs_, left))) > 0) return true;
        readFailed_ = true;
        return false;
    }
    bool is_writable() const override { return pollFor(fd_, POLLOUT, writeMs_) > 0; }
    ssize_t read(char* ptr, size_t size) override {
        if (bytesLeft_ == 0) {
            readFailed_ = true;
            return -1;
        }
        size = std::min(size, bytesLeft_);
        if (begin_ == end_) {
            if (!is_readable()) return -1;
            ssize_t n;
            do n = ::recv(fd_, buffer_, sizeof buffer_, 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0) return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, n);
        begin_ += n;
        bytesLeft_ -= n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        do n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = addressOf(fd_, true, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = addressOf(fd_, false, port);
    }
    socket_t socket() const override { return fd_; }
    bool buffered() const { return begin_ < end_; }

private:
    int fd_;
    int readMs_;
    int writeMs_;
    char buffer_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t bytesLeft_ = 0;
    Clock::time_point deadline_{};
    mutable bool readFailed_ = false;
};

// Set while a request is answered on this thread when its connection must end with the answer.
thread_local bool endAfterAnswer = false;
// The connection this thread serves.
thread_local int servedSocket = -1;

// Whether the peer has closed or reset the connection (a closed page); reading nothing.
bool peerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A thread pool whose waiting list is bounded: past the bound the connection is closed on the
// accepting thread at once instead of waiting (the job notices `turnedAway`).
thread_local bool turnedAway = false;

class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(size_t threads, size_t maxWaiting) : maxWaiting_(maxWaiting) {
        for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (jobs_.size() < maxWaiting_) {
                jobs_.push_back(std::move(fn));
                lock.unlock();
                cv_.notify_one();
                return;
            }
        }
        turnedAway = true;
        fn();
        turnedAway = false;
    }
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            fn();
        }
    }
    const size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

void addSecurityHeaders(httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
}

Request toRequest(const httplib::Request& req) {
    Request r;
    r.method = req.method;
    r.path = req.path;
    r.body = req.body;
    r.cookie = req.get_header_value("Cookie");
    r.origin = req.get_header_value("Origin");
    r.host = req.get_header_value("Host");
    r.peer = req.remote_addr;
    return r;
}

}  // namespace

class WebServer::Impl : public httplib::Server {
public:
    Impl(Backend& backend, Api::Console console, WebServer::Options options)
        : backend_(backend), console_(console), api_(backend, std::move(console)), options_(std::move(options)) {
        new_task_queue = [this] {
            return new BoundedPool(options_.maxSubscribers + options_.maxPerAddress + options_.spareThreads,
                                   options_.maxWaitingConnections);
        };
        // SO_REUSEADDR only: the library's default also sets SO_REUSEPORT, which would let a second
        // server bind the same port and take a share of this one's connections.
        set_socket_options([](socket_t sock) {
            int one = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        });
        set_payload_max_length(maxBodyBytes);
        // Asked before any body is read: the page and the API take plain bodies only (an encoded
        // body would be inflated before its size is known), and one range of a file at most (the
        // answer to many ranges of one file is built whole in memory, many times the file).
        // Such a request's body is never read, so its connection ends with the answer: what follows
        // on it would otherwise be taken as the next request.
        set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            // A request with neither a length nor chunks has no body (a plain `curl -X POST`); the
            // library would read one to the connection's end, and answer 400 once the time ran out.
            if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding"))
                const_cast<httplib::Request&>(req).headers.emplace("Content-Length", "0");
            const std::string encoding = req.get_header_value("Content-Encoding");
            if (!encoding.empty() && encoding != "identity") {
                res.status = 415;
                res.set_content(R"({"error":"encoded bodies are not taken"})", "application/json");
                endAfterAnswer = true;
                return HandlerResponse::Handled;
            }
            // A transfer coding other than chunked cannot be read (the library would read to the
            // connection's end): refused at once, as the standard says.
            if (req.has_header("Transfer-Encoding") && req.get_header_value("Transfer-Encoding") != "chunked") {
                res.status = 501;
                endAfterAnswer = true;
                return HandlerResponse::Handled;
            }
            if (req.ranges.size() > 1) {
                res.status = 416;
                endAfterAnswer = true;
                return HandlerResponse::Handled;
            }
            return HandlerResponse::Unhandled;
        });
        set_read_timeout(5, 0);
        set_write_timeout(5, 0);
        set_keep_alive_timeout(5);
        set_keep_alive_max_count(100);
        routes();
    }

    ~Impl() override { shutdown(); }

    bool begin(std::string& error) {
        std::string want = options_.listenAddress;
        // "[::1]" as --listen takes it: the library binds the bare address.
        if (want.size() > 2 && want.front() == '[' && want.back() == ']') want = want.substr(1, want.size() - 2);
        // Every address: IPv6 and IPv4 on one socket where the machine has IPv6.
        const std::vector<std::string> hosts =
            want.empty() ? std::vector<std::string>{"::", "0.0.0.0"} : std::vector<std::string>{want};
        bool bound = false;
        int why = 0;  // the system's error of the last attempt, as the library leaves it
        for (const auto& host : hosts) {
            errno = 0;
            if (options_.port == 0) {
                const int p = bind_to_any_port(host);
                if (p > 0) {
                    port_ = p;
                    bound = true;
                }
            } else if (bind_to_port(host, options_.port)) {
                port_ = options_.port;
                bound = true;
            }
            if (bound) break;
            why = errno;
        }
        if (!bound) {
            error = "cannot listen on port " + std::to_string(options_.port) +
                    (want.empty() ? "" : " at " + want) + (why != 0 ? std::string(": ") + std::strerror(why) : "");
            return false;
        }
        refresher_ = std::thread([this] { refresh(); });
        listener_ = std::thread([this] { listen_after_bind(); });
        // The library's stop() does nothing until its loop has begun: a server stopped at once
        // would otherwise leave the listening thread waiting in accept for good.
        for (int i = 0; i < 2000 && !is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        wake_.notify_all();
        broadcaster_.stop();
        stop();
        if (listener_.joinable()) listener_.join();
        if (refresher_.joinable()) refresher_.join();
    }

    void changed() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dirty_ = true;
        }
        wake_.notify_one();
    }

    Backend& backend_;
    const Api::Console console_;
    Api api_;
    WebServer::Options options_;  // (httplib::Server::Options is a method: name the type fully)
    Broadcaster broadcaster_;
    std::atomic<int> port_{-1};

private:
    // Takes the state again whenever told of a change, and once a second in case a change came
    // without a word (the serial line's or the client's state may move on their own).
    void refresh() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            dirty_ = false;
            lock.unlock();
            broadcaster_.publish(stateJson(backend_.snapshot()));
            lock.lock();
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_ || dirty_; });
            if (stopping_) return;
        }
    }

    void routes() {
        for (size_t i = 0; i < assetCount; ++i) {
            const Asset& asset = assets[i];
            Get(std::string(asset.path), [&asset](const httplib::Request&, httplib::Response& res) {
                addSecurityHeaders(res);
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
                res.set_header("Cache-Control", "no-cache");
                res.set_content(asset.body.data(), asset.body.size(), std::string(asset.type));
            });
        }
        Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        auto api = [this](const httplib::Request& req, httplib::Response& res) {
            apiCall(req, res);
        };
        Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            events(req, res);
        });
        Get("/api/.*", api);
        Post("/api/.*", api);
    }

    void apiCall(const httplib::Request& req, httplib::Response& res) {
        const Response r = api_.handle(toRequest(req));
        addSecurityHeaders(res);
        res.set_header("Cache-Control", "no-store");
        res.status = r.status;
        for (const auto& [name, value] : r.headers) res.set_header(name.c_str(), value);
        if (!r.body.empty()) res.set_content(r.body, r.contentType.c_str());
    }

    void events(const httplib::Request& req, httplib::Response& res) {
        addSecurityHeaders(res);
        res.set_header("Cache-Control", "no-store");
        const Request r = toRequest(req);
        if (!api_.authorised(r)) {
            res.status = 401;
            res.set_content(R"({"error":"log in first"})", "application/json");
            return;
        }
        if (!broadcaster_.acquire(options_.maxSubscribers)) {
            res.status = 503;
            res.set_header("Retry-After", "5");
            res.set_content(R"({"error":"too many open pages"})", "application/json");
            return;
        }
        auto sub = std::make_shared<Subscription>(broadcaster_);
        const auto heartbeat = std::chrono::seconds(options_.heartbeatSeconds);
        res.set_chunked_content_provider(
            "text/event-stream", [this, sub, heartbeat, r, fd = servedSocket](size_t, httplib::DataSink& sink) {
                std::string state;
                bool stopped = false;
                bool fresh = false;
                // Waited for in steps: a page closed meanwhile gives its place back within a second,
                // not at the first heartbeat that fails to go out (up to two heartbeats later).
                for (auto left = heartbeat;;) {
                    const auto step = std::min(left, std::chrono::seconds(1));
                    fresh = broadcaster_.next(sub->seen, state, step, stopped);
                    left -= step;
                    if (fresh || stopped || left.count() <= 0) break;
                    if (peerGone(fd)) return false;
                }
                // A stream lives no longer than its login: once the session has been logged out or
                // has run out, it ends instead of sending the next state or heartbeat.
                if (stopped || !api_.authorised(r)) return false;
                // The heartbeat is an event, not a comment: a page sees it and so knows the stream is alive.
                const std::string chunk =
                    fresh ? "data: " + state + "\n\n" : std::string("event: beat\ndata: still here\n\n");
                return sink.write(chunk.data(), chunk.size());
            });
    }

    // Every accepted connection starts here: the access policy decides before any byte is read or
    // written, then requests are served on it until it closes, goes idle or the server stops.
    bool process_and_close_socket(socket_t sock) override {
        if (turnedAway) {
            ::close(sock);
            return false;
        }
        if (!net::admitAccepted(sock)) return false;
        int peerPort = 0;
        const std::string address = addressOf(sock, true, peerPort);
        if (!takeAddressSlot(address)) {
            ::close(sock);
            return false;
        }
        struct Slot {
            Impl& impl;
            const std::string& address;
            ~Slot() { impl.giveAddressSlot(address); }
        } slot{*this, address};
        // Each response and each pushed state goes out at once: without this the second small
        // write of a response waits for the client's delayed acknowledgement (tens of ms).
        int one = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        servedSocket = sock;
        SocketStream stream(sock, static_cast<int>(read_timeout_sec_ * 1000),
                            static_cast<int>(write_timeout_sec_ * 1000));
        bool ok = false;
        for (size_t count = keep_alive_max_count_; count > 0 && waitForRequest(stream); --count) {
            stream.beginRequest(maxRequestBytes, std::chrono::milliseconds(options_.requestMillis));
            bool closed = false;
            endAfterAnswer = false;
            ok = process_request(stream, count == 1, closed, nullptr);
            if (!ok || closed || stream.readFailed() || endAfterAnswer) break;
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    // Every connection holds a worker while it waits for its next request: one address may hold
    // only a share of them, so that a client opening connections without end (logged in or not)
    // leaves the page to everyone else. Past the share its connections are closed at once.
    bool takeAddressSlot(const std::string& address) {
        std::lock_guard<std::mutex> lock(addressMutex_);
        Held& held = perAddress_[address];
        if (held.open < options_.maxPerAddress) {
            ++held.open;
            return true;
        }
        // Said once a minute at most while the address keeps trying.
        const auto now = std::chrono::steady_clock::now();
        if (held.saidAt == std::chrono::steady_clock::time_point{} || now - held.saidAt >= std::chrono::minutes(1)) {
            held.saidAt = now;
            console_("Web: " + std::to_string(options_.maxPerAddress) + " connections from " + address +
                     ", the most one address may hold; closing more until one ends");
        }
        return false;
    }

    void giveAddressSlot(const std::string& address) {
        std::lock_guard<std::mutex> lock(addressMutex_);
        const auto it = perAddress_.find(address);
        if (it == perAddress_.end()) return;
        if (--it->second.open == 0) perAddress_.erase(it);
    }

    // Waits for the next request on a kept-alive connection, in short steps so that stopping the
    // server ends idle connections at once.
    bool waitForRequest(SocketStream& stream) {
        if (stream.buffered()) return true;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        while (svr_sock_ != INVALID_SOCKET && std::chrono::steady_clock::now() < deadline) {
            const int rc = pollFor(stream.socket(), POLLIN, 100);
            if (rc < 0) return false;
            if (rc > 0) return true;
        }
        return false;
    }

    struct Held {
        size_t open = 0;
        std::chrono::steady_clock::time_point saidAt{};  // when a refusal was last put on the console
    };
    std::mutex addressMutex_;
    std::map<std::string, Held> perAddress_;  // addresses with open connections only

    std::mutex mutex_;
    std::condition_variable wake_;
    bool dirty_ = false;
    bool stopping_ = false;
    std::thread refresher_;
    std::thread listener_;
};

WebServer::WebServer(Backend& backend, Api::Console console, Options options)
    : impl_(std::make_unique<Impl>(backend, std::move(console), std::move(options))) {}

WebServer::~WebServer() = default;

bool WebServer::start(std::string& error) { return impl_->begin(error); }
void WebServer::stop() { impl_->shutdown(); }
int WebServer::port() const { return impl_->port_; }
void WebServer::changed() { impl_->changed(); }
size_t WebServer::subscribers() const { return impl_->broadcaster_.subscribers(); }
Api& WebServer::api() { return impl_->api_; }

}  // namespace web
