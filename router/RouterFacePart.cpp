// The router-protocol face as a part of the program (see app/Parts.h).
#include <functional>
#include <memory>
#include <stdexcept>

#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/Parts.h"
#include "net/Net.h"
#include "router/RouterServer.h"

namespace parts {

std::string routerFaceMissing() { return ""; }

int startRouterFace(int port) {
    LocalCAM* hub = KIVO::scam.load();
    if (!hub) throw std::runtime_error("the server did not start");
    const std::string host = net::hostName();
    router::RouterServer::Options options;
    options.port = port;
    options.friendlyName = "KIVO16 on " + (!host.empty() ? host : "this machine");
    options.lineUp = [hub] { return hub->serialUp(); };
    static std::unique_ptr<router::RouterServer> face;  // lives as long as the process
    auto created = std::make_unique<router::RouterServer>(
        hub->routing(),
        // The lock was checked when the request was accepted: a lock taken since does not hold back
        // a selection its client got ACK for.
        [hub](int output, int input, const std::function<void()>& beforeWait) {
            hub->Route(output, input, LocalCAM::lockChecked, beforeWait);
        },
        &KIVO::OutLine, options);
    try {
        created->start();
    } catch (const net::NetError& e) {
        throw std::runtime_error(std::string("port ") + std::to_string(port) + ": " + e.what());
    }
    face = std::move(created);
    return face->port();
}

}  // namespace parts
