#pragma once
// The router-protocol face on a TCP port: any number of clients served by one event loop, the
// selections they ask for put on the line off the loop (the hub paces each frame, which must never
// hold up the clients), and every change of the routing record sent to every client.
//
// Two threads share the work, leader and follower: one serves the loop; when a client asks for a
// selection and the other thread is free, the serving thread hands the loop over and puts the frames
// on the line itself, waking the other thread only once the first frame is written, so a request
// reaches the line without waiting for another thread to wake up.
// When the other thread is busy with the line, the request waits in a queue that it takes next.
//
// A client that does not read is dropped once its unsent output passes a bound; a client's locks are
// released when it goes. Connects, disconnects and drops are console lines with the peer's address.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Routing.h"
#include "net/EventLoop.h"
#include "router/RouterProtocol.h"

namespace net {
class Listener;
}

namespace router {

class RouterServer {
public:
    // Puts one selection on the line (1-based output and input); blocks while the frame is paced.
    // Called by one thread at a time, never while it serves the loop. Locks were checked when the
    // request was accepted: a lock taken since then does not hold back a selection the client already
    // got ACK for. beforeWait is to be called once the call is about to wait: after the first frame
    // is written, or before waiting for a line that another selection holds (LocalCAM::Route).
    using Route = std::function<void(int output, int input, const std::function<void()>& beforeWait)>;
    using Console = std::function<void(const std::string&)>;

    struct Options {
        int port = 9990;                           // 0: any free port (tests)
        std::string friendlyName = "KIVO16";
        std::size_t maxClients = 512;              // connected at once; more are closed as they come
        std::size_t maxPerAddress = 32;            // of those from one address
        std::size_t maxQueued = 256 * 1024;        // unsent bytes past which a client is dropped
        std::size_t maxPendingRequests = 4;        // routing blocks of one client waiting for the line
        std::size_t maxQueuedRequests = 64;        // routing blocks of all clients waiting for the line
        // False while the serial line is known to be down (or there is none): routing requests get
        // NAK then, since nothing would reach the selector. Empty: always up.
        std::function<bool()> lineUp;
    };

    RouterServer(Routing& record, Route route, Console console, Options options);
    ~RouterServer();  // stops serving and closes every connection
    RouterServer(const RouterServer&) = delete;
    RouterServer& operator=(const RouterServer&) = delete;

    // Opens the port and starts the threads. Throws net::NetError when the port cannot be had.
    void start();
    int port() const;

private:
    struct Client;
    struct Job {
        Routing::ClientId id;
        std::string peer;
        std::vector<Selection> selections;
    };

    // On whichever thread serves the loop.
    void acceptClients();
    void onClientReady(Routing::ClientId id, unsigned ready);
    void readFrom(Client& client);
    void send(Client& client, std::string_view text);
    void flush(Client& client);
    void flushHeldBack();
    void disconnect(Routing::ClientId id, const std::string& why);
    void resumeAccepting();
    bool submit(Client& client, const std::vector<Selection>& selections);
    void broadcast(const std::vector<Routing::Change>& changes, const Routing::State& state);

    // Both threads: serve the loop or put queued selections on the line, whichever is needed.
    void serve();
    void putOnLine(Job job, bool handingOver);

    Routing& record_;
    const Route route_;
    const Console console_;
    const Options options_;

    std::unique_ptr<net::Listener> listener_;
    net::SocketHandle listenFd_{};
    net::EventLoop loop_;
    int observer_ = 0;

    // Only on the thread that serves the loop.
    std::map<Routing::ClientId, std::unique_ptr<Client>> clients_;
    bool acceptPaused_ = false;  // out of descriptors: accepting waits for a client to leave, or a second
    bool acceptShort_ = false;   // accepting has failed for want of descriptors since the last success
    bool full_ = false;          // maxClients were connected when the last one came: said once
    struct PerAddress {
        std::size_t open = 0;
        std::chrono::steady_clock::time_point saidAt{};  // the last console line about its limit
    };
    std::map<std::string, PerAddress> perAddress_;  // clients connected, by address without port
    bool leavingLoop_ = false;   // this round ends with a hand-over: replies wait for the next thread
    std::vector<Routing::ClientId> unflushed_;  // clients whose output the next serving thread sends

    // Guarded by jobsMutex_: the queue and who does what.
    std::mutex jobsMutex_;
    std::condition_variable jobsWake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    bool loopServed_ = false;  // a thread serves the loop
    int idle_ = 0;             // threads waiting for work
    bool onLine_ = false;      // a thread is putting selections on the line
    std::optional<Job> handedOver_;  // the serving thread's own selection, for once it has left the loop
    std::thread threads_[2];
};

}  // namespace router
