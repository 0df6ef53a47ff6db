#pragma once
// One remote-control session: waits for a client on the hub's listening socket, greets it, checks the
// password, carries out its lines and closes; closing asks the hub for the next session.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/Guarded.h"

namespace net {
class Listener;
class Connection;
}
class TimeOut;

class ClientSocket : public std::enable_shared_from_this<ClientSocket> {
public:
    explicit ClientSocket(std::shared_ptr<net::Listener> ss);
    virtual ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    void start();                 // starts the session thread (it keeps the session alive)
    virtual void run();           // the thread body
    virtual void SendTimeoutMsg();
    virtual void NoPresetMsg();
    virtual void Close(bool fromButton);
    virtual void ShowStat(const std::string& text);

    bool connected() const;       // the client connection is open

    // Longest line accepted from a client; a longer one ends the session.
    static constexpr size_t maxLineLength = 65536;
};
