#pragma once
// The web face of a running hub: the hub as the web API sees it, and the web server that follows
// the hub's changes (routing record, status line, serial line, line-protocol client).
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "web/WebApi.h"
#include "web/WebServer.h"

class LocalCAM;

namespace web {

class HubBackend : public Backend {
public:
    explicit HubBackend(LocalCAM& hub);
    RouteResult route(int output, int input, const std::string& who) override;
    bool setLabel(bool input, int index, const std::string& label, const std::string& who) override;
    Snapshot snapshot() override;
    bool passwordMatches(const std::string& given) override;
    std::size_t passwordStamp() override;

private:
    LocalCAM& hub_;
};

class WebFace {
public:
    // Starts serving the hub's page on `port` (0: any free port) at the access policy's listen
    // address; nullptr with `error` set when the port cannot be bound. Console lines go to
    // `console` (default: the program's console).
    static std::unique_ptr<WebFace> start(LocalCAM& hub, int port, std::string& error,
                                          WebServer::Options options = {},
                                          Api::Console console = nullptr);
    ~WebFace();  // stops following the hub, then stops the server
    WebFace(const WebFace&) = delete;
    WebFace& operator=(const WebFace&) = delete;

    WebServer& server() { return *server_; }
    int port() const { return server_->port(); }

private:
    struct Poke;
    WebFace(LocalCAM& hub, WebServer::Options options, Api::Console console);

    LocalCAM& hub_;
    HubBackend backend_;
    std::unique_ptr<WebServer> server_;
    std::shared_ptr<Poke> poke_;
    int routingToken_ = 0;
    int statusToken_ = 0;
    int serialToken_ = 0;
};

}  // namespace web
