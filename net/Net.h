// Thin TCP layer of the control server: a listening socket, one connection with a
// buffered line reader and a line writer, and host name lookup.
//
// Every failure of a system call is reported as NetError whose message names the call
// and the system's error text, e.g. "accept: Bad file descriptor".
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace net {

// A socket: a file descriptor on POSIX systems, a Winsock SOCKET on Windows.
#ifdef _WIN32
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif

class NetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // "call: <text of errnum>" (an errno value, or on Windows a Winsock error code).
    static NetError fromErrno(const std::string& call, int errnum);
};

// One TCP connection. Reading is meant for one thread at a time; writeLine(), close(),
// isOpen() and peer() may be called from any thread.
class Connection {
public:
    enum class ReadStatus { Line, EndOfStream, TooLong, TimedOut };
    using Clock = std::chrono::steady_clock;

    // Connects to host:port (a numeric address such as "127.0.0.1" or "::1", or a name).
    static std::unique_ptr<Connection> connect(const std::string& host, int port);

    // Takes ownership of a connected socket.
    explicit Connection(SocketHandle fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads one line into `line` (without its end). A line ends with LF, CR or CR LF.
    // Line: `line` holds the line. EndOfStream: the peer finished, or this connection was
    // closed; a partial line received before the peer finished is first returned as a Line.
    // TooLong: more than maxLength bytes came without a line end; `line` holds the first
    // maxLength bytes and the rest of that line is still unread.
    // TimedOut: the read deadline passed before a line end; `line` holds what came of the
    // line so far (it is not handed out again).
    // Throws NetError when the read fails (e.g. connection reset).
    ReadStatus readLine(std::string& line, std::size_t maxLength = 65536);

    // Reads wait for data no later than `deadline`; std::nullopt (the default) waits for ever.
    // For the reading thread.
    void setReadDeadline(std::optional<Clock::time_point> deadline);

    // Sends text followed by CR LF, all of it, before returning. False when the
    // connection is closed or the send fails (a vanished peer never raises SIGPIPE).
    // With a send time-out, a line that is not handed over within it (the peer stopped
    // reading and every buffer is full) is given up: it may have left in part, so the
    // connection is closed as well, and sendTimedOut() tells why.
    bool writeLine(const std::string& text);

    // The longest one writeLine() may take, waiting for another writer included; zero (the
    // default): no limit. Set it before the connection is shared between threads.
    void setSendTimeout(std::chrono::milliseconds limit);
    bool sendTimedOut() const;

    // Shuts the connection down in both directions; a readLine() blocked in another
    // thread then returns. Idempotent. The descriptor itself is released by the destructor,
    // so its number cannot be reused while another thread may still be reading.
    void close();

    bool isOpen() const;

    // The peer's address and port, "127.0.0.1:54321" or "[::1]:54321".
    std::string peer() const;

private:
    static constexpr std::size_t kChunk = 4096;

    enum class Fill { Data, End, TimedOut };
    Fill fillBuffer();

    const SocketHandle fd_;
    const std::string peer_;
    std::atomic<bool> open_{true};
    // One writer at a time. A flag under a plain mutex rather than a timed mutex: a writer waits for
    // its turn only until its deadline, and thread checkers follow condition variables reliably.
    std::mutex writeMutex_;
    std::condition_variable writeFree_;
    bool writing_ = false;  // guarded by writeMutex_
    std::chrono::milliseconds sendTimeout_{0};
    std::atomic<bool> sendTimedOut_{false};

    // Reader state, guarded by readMutex_.
    std::mutex readMutex_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool skipLf_ = false;  // the last line ended with CR: a following LF belongs to it
    bool eof_ = false;
    std::optional<Clock::time_point> deadline_;
};

// The peer of a connected socket as Connection::peer() shows it; "" when it cannot be told.
std::string peerOf(SocketHandle fd);

// A listening TCP socket, on every local address of the machine unless the access policy
// (net/Access.h) names one.
class Listener {
public:
    // Listens on `port` (0: any free port) at the policy's listen address. With none, on
    // IPv6 and IPv4 where the machine has IPv6, IPv4 only otherwise. Throws NetError when the
    // port cannot be bound.
    static std::unique_ptr<Listener> open(int port);
    // Listens at a numeric address ("127.0.0.1", "::1"; "" = every address).
    static std::unique_ptr<Listener> open(int port, const std::string& address);

    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Waits for the next client the access policy allows, with TCP keepalive on; other
    // clients are closed at once (one console line each) and waited past. Throws NetError on
    // failure and once the listener is closed.
    std::unique_ptr<Connection> accept();

    // Stops listening; an accept() blocked in another thread throws promptly. Idempotent.
    // The port is released as soon as no thread is inside accept().
    void close();

    bool isOpen() const;

    // The bound port.
    int port() const;

    // The listening socket, for a face that runs its own event loop; sys::kNoSocket (net/Socket.h)
    // once closed. It is non-blocking; such a face accepts on its own and applies the access policy
    // itself (admitAccepted in net/Access.h).
    SocketHandle fd() const;

private:
    Listener(SocketHandle fd, SocketHandle wakeRead, SocketHandle wakeWrite, int port);
    void releaseLocked();

    mutable std::mutex mutex_;
    SocketHandle fd_;
    SocketHandle wakeRead_;   // wake pair: a byte written on close() wakes the poll in accept()
    SocketHandle wakeWrite_;
    const int port_;
    bool closed_ = false;
    int inAccept_ = 0;
};

// The address part of a peer text as Connection::peer() gives it: "127.0.0.1:54321" gives
// "127.0.0.1", "[::1]:54321" gives "::1"; a text without a port is returned as it is.
std::string hostOf(const std::string& peer);

// This machine's name; "" when the system cannot tell it.
std::string hostName();

// Looks a host up and gives its text form "name/a.b.c.d" (first IPv4 address).
// The empty name means this machine; a numeric address gives "/a.b.c.d".
// std::nullopt when the name cannot be resolved.
std::optional<std::string> resolveHost(const std::string& name);

// Replaces the lookup used by resolveHost (tests must not send DNS queries);
// an empty function restores the real lookup.
void setResolverForTesting(std::function<std::optional<std::string>(const std::string&)> resolver);

}  // namespace net
