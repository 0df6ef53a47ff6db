#include "web/WebFace.h"

#include <chrono>
#include <ctime>
#include <functional>

#include "app/ClientSocket.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "app/Routing.h"
#include "app/ServiceNotify.h"
#include "net/Access.h"

namespace web {

namespace {

std::string utc(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

HubBackend::HubBackend(LocalCAM& hub) : hub_(hub) {}

Backend::RouteResult HubBackend::route(int output, int input, const std::string& who) {
    Routing::Source scope(who);
    // Given up short of the page's own 10 s: a tap the page has called lost never goes out later.
    switch (hub_.Route(output, input, 0, {}, std::chrono::steady_clock::now() + std::chrono::seconds(8))) {
        case LocalCAM::RouteResult::Ok: return RouteResult::Ok;
        case LocalCAM::RouteResult::Busy: return RouteResult::Busy;
        case LocalCAM::RouteResult::BadIndex: return RouteResult::BadIndex;
        case LocalCAM::RouteResult::Locked: return RouteResult::Locked;
        case LocalCAM::RouteResult::LineDown: return RouteResult::LineDown;
        case LocalCAM::RouteResult::WriteFailed: break;
    }
    return RouteResult::WriteFailed;
}

bool HubBackend::setLabel(bool input, int index, const std::string& label, const std::string& who) {
    Routing::Source scope(who);
    return input ? hub_.routing().setInputLabel(index, label)
                 : hub_.routing().setOutputLabel(index, label);
}

Snapshot HubBackend::snapshot() {
    Snapshot s;
    const Routing::State routing = hub_.routing().state();
    s.inputLabels = routing.inputLabels;
    s.outputLabels = routing.outputLabels;
    s.input = routing.input;
    s.serialUp = hub_.serialUp();
    s.serialSince = utc(hub_.serialSince());
    const auto session = hub_.currentSession();
    if (session && session->connected()) {
        s.clientState = "connected";
        s.clientAddress = session->peerAddress();
    } else if (session && session->awaiting() && hub_.serverSocketOpen()) {
        s.clientState = "waiting";
    } else {
        s.clientState = "off";
    }
    // As the service manager shows it: the password a status line may carry is hidden.
    s.status = ServiceNotify::statusText(hub_.gui().outsideStatusText());
    return s;
}

bool HubBackend::passwordMatches(const std::string& given) {
    return ClientSocket::samePassword(given, KIVO::password.get());
}

std::size_t HubBackend::passwordStamp() { return std::hash<std::string>{}(KIVO::password.get()); }

// What the hub's observers hold: they may still run once after being removed, so they reach the
// server only through this, which the face empties before the server goes.
struct WebFace::Poke {
    std::mutex mutex;
    WebServer* server = nullptr;
    void operator()() {
        std::lock_guard<std::mutex> lock(mutex);
        if (server) server->changed();
    }
};

WebFace::WebFace(LocalCAM& hub, WebServer::Options options, Api::Console console)
    : hub_(hub),
      backend_(hub),
      server_(std::make_unique<WebServer>(backend_, console ? std::move(console) : &KIVO::OutLine,
                                          std::move(options))),
      poke_(std::make_shared<Poke>()) {
    poke_->server = server_.get();
}

std::unique_ptr<WebFace> WebFace::start(LocalCAM& hub, int port, std::string& error,
                                        WebServer::Options options, Api::Console console) {
    options.port = port;
    if (options.listenAddress.empty()) options.listenAddress = net::AccessPolicy::instance().listenAddress();
    std::unique_ptr<WebFace> face(new WebFace(hub, std::move(options), std::move(console)));
    auto poke = face->poke_;
    face->routingToken_ = hub.routing().subscribe(
        [poke](const std::vector<Routing::Change>&, const Routing::State&) { (*poke)(); });
    face->statusToken_ = hub.gui().addStatusObserver([poke](const std::string&) { (*poke)(); });
    face->serialToken_ = hub.addSerialObserver([poke](bool, SerialWatch::Clock::time_point) { (*poke)(); });
    if (!face->server_->start(error)) return nullptr;
    return face;
}

WebFace::~WebFace() {
    if (routingToken_) hub_.routing().unsubscribe(routingToken_);
    if (statusToken_) hub_.gui().removeStatusObserver(statusToken_);
    if (serialToken_) hub_.removeSerialObserver(serialToken_);
    {
        std::lock_guard<std::mutex> lock(poke_->mutex);
        poke_->server = nullptr;
    }
    server_->stop();
}

}  // namespace web
