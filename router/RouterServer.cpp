#include "router/RouterServer.h"

#include <chrono>
#include <utility>

#include "net/Access.h"
#include "net/Net.h"
#include "net/Socket.h"

namespace router {

struct RouterServer::Client {
    Client(net::SocketHandle socket, std::string address, std::string hostAddress, Routing& record,
           Routing::ClientId clientId, const std::string& name, Session::Submit submitFn)
        : fd(socket),
          peer(std::move(address)),
          host(std::move(hostAddress)),
          session(record, clientId, name, std::move(submitFn)) {}
    ~Client() { net::sys::closeSocket(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const net::SocketHandle fd;
    const std::string peer;
    const std::string host;  // the peer's address without the port
    Session session;
    std::string queued;       // bytes the socket has not taken yet, from `sent` on
    std::size_t sent = 0;
    std::size_t pending = 0;  // routing blocks waiting for the line
};

RouterServer::RouterServer(Routing& record, Route route, Console console, Options options)
    : record_(record), route_(std::move(route)), console_(std::move(console)), options_(std::move(options)) {}

RouterServer::~RouterServer() {
    // No more updates, then no more selections, then no more loop.
    if (observer_ != 0) record_.unsubscribe(observer_);
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        stopping_ = true;
        jobs_.clear();
    }
    jobsWake_.notify_all();
    loop_.stop();
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
    for (const auto& [id, client] : clients_) record_.releaseAll(id);
    clients_.clear();
    if (listener_) listener_->close();
}

void RouterServer::start() {
    listener_ = net::Listener::open(options_.port);
    listenFd_ = listener_->fd();
    loop_.watch(listenFd_, net::EventLoop::Readable, [this](unsigned) { acceptClients(); });
    // Changes of the record reach the loop's thread as a task; the observer itself never blocks.
    observer_ = record_.subscribe([this](const std::vector<Routing::Change>& changes, const Routing::State& state) {
        loop_.post([this, changes, state] { broadcast(changes, state); });
    });
    for (std::thread& t : threads_) t = std::thread([this] { serve(); });
}

int RouterServer::port() const { return listener_ ? listener_->port() : -1; }

void RouterServer::acceptClients() {
    // A bounded number per round, so that a flood of connections leaves the clients served.
    for (int n = 0; n < 64; ++n) {
        sockaddr_storage address{};
        const net::SocketHandle fd = net::sys::acceptClient(listenFd_, &address, true);
        if (fd == net::sys::kNoSocket) {
            const int error = net::sys::lastError();
            if (net::sys::isOutOfResources(error)) {
                // The waiting connection keeps the socket ready: accepting pauses until a client
                // leaves or a second has passed (the descriptors may be another part's, given back).
                if (!acceptShort_)
                    console_("Router protocol: cannot accept a client: " + net::sys::errorText(error) +
                             "; trying again each second");
                acceptShort_ = true;
                acceptPaused_ = true;
                loop_.setInterest(listenFd_, 0);
                loop_.after(std::chrono::seconds(1), [this] { resumeAccepting(); });
            }
            return;  // EAGAIN: none left; ECONNABORTED and the like: the client is gone already
        }
        if (std::exchange(acceptShort_, false)) console_("Router protocol: accepting clients again");
        if (net::refuseIfNotAllowed(fd, address)) continue;
        if (clients_.size() >= options_.maxClients) {
            // Idle panels that need no login must not take every descriptor of the process (the line
            // protocol's client, the state file).
            net::sys::closeSocket(fd);
            if (!std::exchange(full_, true))
                console_("Router protocol: " + std::to_string(options_.maxClients) +
                         " clients connected, the most served at once; refusing more until one leaves");
            continue;
        }
        full_ = false;
        // One host's idle connections must not take every place: the others' panels still get in.
        std::string host = net::addressText(reinterpret_cast<const sockaddr*>(&address));
        PerAddress& held = perAddress_[host];
        if (held.open >= options_.maxPerAddress) {
            net::sys::closeSocket(fd);
            const auto now = std::chrono::steady_clock::now();
            if (held.saidAt == std::chrono::steady_clock::time_point{} || now - held.saidAt >= std::chrono::minutes(1)) {
                held.saidAt = now;
                console_("Router protocol: " + std::to_string(options_.maxPerAddress) + " clients from " + host +
                         ", the most one address may have; refusing more until one leaves");
            }
            continue;
        }
        ++held.open;
        net::setKeepAlive(fd);
        // Each reply and update is one send, complete: none waits for the peer's acknowledgement of
        // the one before (up to 40 ms with a delayed ACK).
        net::sys::setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        const Routing::ClientId id = Routing::newClientId();
        auto client = std::make_unique<Client>(fd, net::peerOf(fd), std::move(host), record_, id, options_.friendlyName,
                                               [this, id](const std::vector<Selection>& selections) {
                                                   const auto it = clients_.find(id);
                                                   return it != clients_.end() && submit(*it->second, selections);
                                               });
        Client& c = *client;
        clients_.emplace(id, std::move(client));
        loop_.watch(fd, net::EventLoop::Readable, [this, id](unsigned ready) { onClientReady(id, ready); });
        console_("Router client " + c.peer + " connected");
        send(c, c.session.greeting());
    }
}

void RouterServer::onClientReady(Routing::ClientId id, unsigned ready) {
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& client = *it->second;
    if (ready & net::EventLoop::Writable) {
        flush(client);
        if (!clients_.count(id)) return;
    }
    if (ready & (net::EventLoop::Readable | net::EventLoop::Closed)) readFrom(client);
}

void RouterServer::readFrom(Client& client) {
    // One read per round keeps a client that sends without pause from holding up the others.
    char buffer[16384];
    const long n = net::sys::recvNoWait(client.fd, buffer, sizeof buffer);
    if (n == 0) {
        disconnect(client.session.id(), "");
        return;
    }
    if (n < 0) {
        const int error = net::sys::lastError();
        if (error == net::sys::kErrWouldBlock || error == net::sys::kErrInterrupted) return;
        disconnect(client.session.id(), " (" + net::sys::errorText(error) + ")");
        return;
    }
    std::string reply;
    const Routing::Source source("router " + client.peer);  // for the console lines of label changes
    const BlockReader::Status status = client.session.receive(std::string_view(buffer, static_cast<size_t>(n)), reply);
    const Routing::ClientId id = client.session.id();
    if (!reply.empty()) send(client, reply);
    if (status == BlockReader::Status::LineTooLong)
        disconnect(id, ": line longer than " + std::to_string(BlockReader::maxLine) + " bytes");
    else if (status == BlockReader::Status::BlockTooLong)
        disconnect(id, ": block longer than " + std::to_string(BlockReader::maxBlock) + " bytes");
}

void RouterServer::send(Client& client, std::string_view text) {
    if (client.queued.size() - client.sent + text.size() > options_.maxQueued) {
        disconnect(client.session.id(), ": dropped, it does not read (over " + std::to_string(options_.maxQueued) +
                                            " bytes waiting)");
        return;
    }
    client.queued.append(text);
    if (leavingLoop_) {
        // This thread is about to put a frame on the line: the thread that serves the loop next sends
        // it, before it waits for the sockets.
        unflushed_.push_back(client.session.id());
        return;
    }
    flush(client);
}

void RouterServer::flush(Client& client) {
    while (client.sent < client.queued.size()) {
        const long n = net::sys::sendNoWait(client.fd, client.queued.data() + client.sent,
                                            client.queued.size() - client.sent);
        if (n > 0) {
            client.sent += static_cast<size_t>(n);
            continue;
        }
        const int error = n < 0 ? net::sys::lastError() : 0;
        if (n < 0 && error == net::sys::kErrWouldBlock) break;
        if (n < 0 && error == net::sys::kErrInterrupted) continue;
        disconnect(client.session.id(), " (" + net::sys::errorText(error) + ")");
        return;
    }
    if (client.sent == client.queued.size()) {
        client.queued.clear();
        client.sent = 0;
    } else if (client.sent > 65536) {
        client.queued.erase(0, client.sent);
        client.sent = 0;
    }
    loop_.setInterest(client.fd, net::EventLoop::Readable | (client.queued.empty() ? 0 : net::EventLoop::Writable));
}

void RouterServer::flushHeldBack() {
    for (const Routing::ClientId id : std::exchange(unflushed_, {}))
        if (const auto it = clients_.find(id); it != clients_.end()) flush(*it->second);
}

void RouterServer::disconnect(Routing::ClientId id, const std::string& why) {
    const auto it = clients_.find(id);
    if (it == clients_.end()) return;
    loop_.unwatch(it->second->fd);
    console_("Router client " + it->second->peer + " disconnected" + why);
    if (const auto held = perAddress_.find(it->second->host); held != perAddress_.end() && --held->second.open == 0)
        perAddress_.erase(held);
    clients_.erase(it);  // closes the socket
    record_.releaseAll(id);
    resumeAccepting();
}

void RouterServer::resumeAccepting() {
    if (!std::exchange(acceptPaused_, false)) return;
    loop_.setInterest(listenFd_, net::EventLoop::Readable);
}

bool RouterServer::submit(Client& client, const std::vector<Selection>& selections) {
    // A client asking faster than the line takes its frames gets NAK instead of a growing queue that
    // would keep everyone else's selections waiting.
    // The bound on all clients keeps clients that ask and leave at once from growing the queue.
    if (client.pending >= options_.maxPendingRequests) return false;
    if (options_.lineUp && !options_.lineUp()) return false;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        Job job{client.session.id(), client.peer, selections};
        if (idle_ > 0 && jobs_.empty() && !handedOver_ && !onLine_) {
            // The other thread is free: it takes the loop, this thread takes the line.
            handedOver_ = std::move(job);
            leavingLoop_ = true;
            loop_.leave();
        } else {
            if (jobs_.size() >= options_.maxQueuedRequests) return false;
            jobs_.push_back(std::move(job));
            wake = true;
        }
    }
    ++client.pending;
    if (wake) jobsWake_.notify_one();
    return true;
}

void RouterServer::broadcast(const std::vector<Routing::Change>& changes, const Routing::State& state) {
    std::vector<Routing::ClientId> ids;
    for (const auto& [id, client] : clients_) ids.push_back(id);
    for (const Routing::ClientId id : ids) {
        const auto it = clients_.find(id);  // an earlier send may have dropped it
        if (it == clients_.end()) continue;
        const std::string text = text::update(changes, state, id);
        if (!text.empty()) send(*it->second, text);
    }
}

void RouterServer::serve() {
    std::unique_lock<std::mutex> lock(jobsMutex_);
    for (;;) {
        // A queued selection waits while a handed-over one (asked for earlier) has not gone out yet.
        const auto lineWork = [this] { return !jobs_.empty() && !handedOver_ && !onLine_; };
        ++idle_;
        jobsWake_.wait(lock, [&] { return stopping_ || !loopServed_ || lineWork(); });
        --idle_;
        if (stopping_) return;
        std::optional<Job> job;
        bool handingOver = false;  // this thread left the loop for its own request
        if (!loopServed_) {
            // Serving the clients comes first.
            loopServed_ = true;
            lock.unlock();
            flushHeldBack();
            loop_.run();  // until stop(), or until this thread hands the loop over for a request
            lock.lock();
            loopServed_ = false;
            leavingLoop_ = false;
            job = std::exchange(handedOver_, std::nullopt);
            if (stopping_ || !job) continue;
            handingOver = true;
        } else {
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        onLine_ = true;
        lock.unlock();
        putOnLine(std::move(*job), handingOver);
        lock.lock();
        onLine_ = false;
        // Queued selections may have waited for this one; the other thread may be idle.
        jobsWake_.notify_all();
    }
}

void RouterServer::putOnLine(Job job, bool handingOver) {
    // After a hand-over the other thread takes the loop once this thread's first frame is on the
    // line (or once the line turns out to be busy, or its write has to wait for room): waking it
    // earlier would let it take the core that is about to write the frame. A selection that never
    // reaches the line wakes nobody; this thread then serves the loop again itself.
    //
    // Once a frame is written this thread yields before it wakes the other thread. On a
    // pseudo-terminal the bytes reach the reader through a kernel worker woken on this core, and the
    // scheduler often leaves it waiting while this thread goes on: the frame would wait for the
    // record's bookkeeping that follows, or for the other thread taking the loop (it sends the
    // request's ACK first), tens of microseconds on a small virtual machine. With nothing else to
    // run the yield returns at once.
    bool woken = !handingOver;
    const std::function<void()> frameOut = [&] {
        std::this_thread::yield();
        if (!std::exchange(woken, true)) jobsWake_.notify_all();
    };
    {
        const Routing::Source source("router " + job.peer);
        for (const Selection& s : job.selections) route_(s.output, s.input, frameOut);
    }
    loop_.post([this, id = job.id] {
        if (const auto it = clients_.find(id); it != clients_.end() && it->second->pending > 0) --it->second->pending;
    });
}

}  // namespace router
