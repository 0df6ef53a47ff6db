#pragma once
// The web face's socket side: an HTTP server (cpp-httplib) on its own port that serves the page's
// three files built into the module, the JSON API (handled by web::Api), and the push stream of
// Server-Sent Events that tells every open page the whole state again whenever it changes.
//
// Every open push stream holds one of the server's worker threads, so the pool is sized for the
// subscriber cap, one address's share of connections and room for ordinary calls; a stream past the
// cap is answered 503. Connections waiting for a free worker are bounded too: past that bound a new
// connection is closed at once.
// One peer address may hold only a share of the connections, so one client cannot take them all.
#include <cstddef>
#include <memory>
#include <string>

#include "web/WebApi.h"

namespace web {

class WebServer {
public:
    struct Options {
        std::string listenAddress;  // numeric address; "" = every address
        int port = 0;               // 0 = any free port (tests)
        // Workers: every stream at the cap and one address's share of idle connections leave
        // spareThreads for everyone else's calls.
        size_t spareThreads = 16;
        size_t maxSubscribers = 56;
        size_t maxWaitingConnections = 128;
        size_t maxPerAddress = 16;  // connections one peer address may hold at once
        int heartbeatSeconds = 15;  // a beat event on an idle stream: dead peers are noticed, pages see it
        int requestMillis = 10000;  // to read one request, head and body, from its first byte
    };

    // Bytes one request may take, head and body (the head's lines are 8 KiB at most each).
    static constexpr size_t maxRequestBytes = 64 * 1024 + maxBodyBytes;

    WebServer(Backend& backend, Api::Console console, Options options);
    ~WebServer();  // stops
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving on a thread of its own; false (with `error` set) when the port
    // cannot be bound.
    bool start(std::string& error);
    void stop();
    int port() const;

    // Something the page shows may have changed: the state is taken again soon and pushed to every
    // stream if it differs. Cheap and never blocks: callable from any observer.
    void changed();

    size_t subscribers() const;
    Api& api();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
