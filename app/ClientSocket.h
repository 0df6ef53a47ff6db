#pragma once
// One remote-control session: waits for a client on the hub's listening socket, greets it, checks the
// password, carries out its lines and closes; closing asks the hub for the next session.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace net {
class Listener;
class Connection;
}  // namespace net
class LocalCAM;
class SessionThreads;
class TimeOut;

class ClientSocket : public std::enable_shared_from_this<ClientSocket> {
public:
    ClientSocket(LocalCAM& hub, std::shared_ptr<net::Listener> ss,
                 std::shared_ptr<SessionThreads> threads);
    virtual ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // Starts the session thread; the thread holds its own reference, so the session stays alive
    // until its thread has ended, whoever else lets go of it.
    void start();
    virtual void run();           // the thread body
    virtual void SendTimeoutMsg();
    virtual void NoPresetMsg();
    // Ends the session once, whoever calls first (session thread, Close button, timer): closes the
    // connection, stops the timer, re-enables the connect button and asks the hub for a successor.
    virtual void Close(bool fromButton);
    virtual void ShowStat(const std::string& text);

    bool connected() const;       // the client connection is open
    bool awaiting() const;        // still waiting for a client
    // The client's address without its port ("192.0.2.4", "::1"); empty while waiting.
    std::string peerAddress() const;

    // With --require-password, how long a client may take to send its accepted PWD line after
    // "OK" before the session is closed; tests shorten it.
    static std::atomic<int> passwordWaitMillis;

    // Longest line accepted from a client; a longer one ends the session.
    static constexpr size_t maxLineLength = 65536;

    // Java-style decimal integer (optional sign, digits only, 32-bit range); nullopt otherwise.
    static std::optional<int> parseDecimal(const std::string& text);
    // Whole-text comparison that takes the same time wherever the texts differ.
    static bool samePassword(const std::string& given, const std::string& expected);

private:
    enum class State { Awaiting, Connected, Ended };

    bool writeLine(const std::string& text);
    void startTimer(int minutes);
    void handleLine(const std::string& line, bool& leave);
    void reject();                             // the rejection replies; the session then ends

    LocalCAM& hub_;
    std::shared_ptr<SessionThreads> threads_;

    mutable std::mutex mutex_;                 // guards cs, timeoutthread, state_, peerAddress_
    std::shared_ptr<net::Connection> cs;       // the connection reads and writes its own lines
    const std::shared_ptr<net::Listener> ss;
    std::shared_ptr<TimeOut> timeoutthread;
    std::atomic<bool> a{false};
    bool passwordok = true;                    // session thread only
    bool passwordAccepted_ = false;            // session thread only: a PWD line was accepted
    std::string str;                           // session thread only
    std::string sercom;                        // session thread only
    State state_ = State::Awaiting;
    std::string peerAddress_;                  // set once a client is accepted
    std::atomic<bool> closed_{false};
    std::atomic<bool> notReadingTraced_{false};
};
