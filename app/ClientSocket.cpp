#include "app/ClientSocket.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "app/CommandScope.h"
#include "app/Device.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "app/Password.h"
#include "app/Routing.h"
#include "app/TimeOut.h"
#include "net/Net.h"

namespace {
// Longest reply write on any path: a client that stopped reading holds no thread for longer.
constexpr std::chrono::milliseconds replyTimeout{1000};
// How late a wrong password is answered once its address has sent too many.
constexpr std::chrono::milliseconds wrongPasswordDelay{1000};
// The session time limit in milliseconds (minutes * 60000 + 2000) must fit a signed 32-bit value.
constexpr int maxTimeoutMinutes = 35791;

bool isPasswordLine(const std::string& line) { return line.compare(0, 3, "PWD") == 0; }

// A client line as the console shows it: whatever follows "PWD" is hidden, also where the line does
// not start with it (a telnet client's option bytes ahead of a password).
std::string consoleCopy(const std::string& line) {
    const size_t at = line.find("PWD");
    return at == std::string::npos ? line : line.substr(0, at) + "PWD" + hiddenPassword;
}
}  // namespace

std::atomic<int> ClientSocket::passwordWaitMillis{30000};

ClientSocket::ClientSocket(LocalCAM& hub, std::shared_ptr<net::Listener> listener,
                           std::shared_ptr<SessionThreads> threads)
    : hub_(hub), threads_(std::move(threads)), ss(std::move(listener)) {}

ClientSocket::~ClientSocket() = default;

void ClientSocket::start() {
    threads_->started();
    try {
        std::thread([self = shared_from_this(), threads = threads_]() mutable {
            self->run();
            self.reset();
            threads->ended();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: nobody waits for a client, so the operator may try again.
        threads_->ended();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_ = State::Ended;
        }
        closed_ = true;
        hub_.gui().EnableConnect(true);
    }
}

void ClientSocket::run() {
    a = false;
    ShowStat("Awaiting Client Connection");
    std::shared_ptr<net::Connection> conn;
    bool acceptFailed = false;
    try {
        conn = ss->accept();
    } catch (const std::exception&) {
        acceptFailed = true;
    }
    if (conn) {
        // No reply may hold a thread (the session's, the timer's) while the client does not read.
        conn->setSendTimeout(replyTimeout);
        bool closedMeanwhile = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) {
                closedMeanwhile = true;
            } else {
                cs = conn;
                state_ = State::Connected;
                peerAddress_ = net::hostOf(conn->peer());
            }
        }
        if (closedMeanwhile) {
            conn->close();
            conn.reset();
        } else {
            ShowStat("Client Connection Accepted!");
            writeLine("OK");
            a = true;
            // A client that must give the password may not hold the session without doing so.
            if (KIVO::requirepassword)
                conn->setReadDeadline(net::Connection::Clock::now() +
                                      std::chrono::milliseconds(passwordWaitMillis.load()));
        }
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = State::Ended;
    }
    // A listening socket that keeps failing must not start sessions in a tight loop.
    if (acceptFailed) threads_->pause(1000);

    while (a) {
        str.clear();
        net::Connection::ReadStatus status;
        try {
            status = conn->readLine(str, maxLineLength);
        } catch (const std::exception&) {
            KIVO::OutLine("Server ReadLine I/O Error");
            a = false;
            break;
        }
        if (closed_) {
            // Closed from another thread (Close button, timer): the read was cut off, which is a
            // read failure, not the client's end of stream; the successor owns the status line now.
            KIVO::OutLine("Server ReadLine I/O Error");
            a = false;
            break;
        }
        if (status == net::Connection::ReadStatus::EndOfStream) {
            ShowStat("Client Command: null");
            ShowStat("Null Close");
            break;
        }
        if (status == net::Connection::ReadStatus::TimedOut) {
            ShowStat("PASSWORD REQUIRED");
            reject();
            break;
        }
        if (status == net::Connection::ReadStatus::TooLong) {
            // No line may grow without bound: the session ends instead.
            ShowStat("Line Too Long Close");
            break;
        }
        bool leave = false;
        const bool waitingForPassword = !passwordAccepted_;
        {
            // The command's console and status lines are handed on after its frames are out.
            CommandScope scope;
            hub_.gui().ShowStatus("Client Command: " + str, "Client Command: " + consoleCopy(str));
            handleLine(str, leave);
        }
        if (leave) break;
        if (waitingForPassword && passwordAccepted_) conn->setReadDeadline(std::nullopt);
    }
    a = false;
    Close(false);
    KIVO::OutLine("Server Loop Close");
}

void ClientSocket::handleLine(const std::string& line, bool& leave) {
    if (line.empty()) {
        ShowStat("Len=0 Close");
        leave = true;
        return;
    }
    if (line == "Close" || line == "KILL") {
        ShowStat("Client Closed Connection!");
        leave = true;
        return;
    }
    if (KIVO::requirepassword && !passwordAccepted_ && !isPasswordLine(line)) {
        ShowStat("PASSWORD REQUIRED");
        reject();
        leave = true;
        return;
    }
    if (line.size() >= 3 && line.compare(0, 3, "TO=") == 0) {
        const std::optional<int> minutes = parseDecimal(line.substr(3));
        if (minutes && *minutes <= maxTimeoutMinutes) KIVO::to = *minutes;
    }
    if (isPasswordLine(line)) {
        passwordok = false;
        const std::string given = line.substr(3);
        if (samePassword(given, KIVO::password.get())) {
            hub_.gui().ShowStatus("Password = " + given + " OK",
                                  "Password = " + std::string(hiddenPassword) + " OK");
            passwordok = true;
            passwordAccepted_ = true;
            writeLine("Password/Connection Accepted!");
            const int minutes = KIVO::to;
            if (minutes > 0) {
                writeLine("Available Time: " + std::to_string(minutes) + " Minutes");
                startTimer(minutes);
            }
        } else if (!passwordAccepted_) {
            // Guessing: after five wrong passwords from one address within a minute, each further wrong
            // one is answered a second late, for a minute. The right password is never held back, so
            // the clients behind one address (a tunnel, a router) are not shut out by one of them that
            // still sends an old password.
            const std::string peer = peerAddress();
            const bool wasSlowed = hub_.logins().blocked(peer);
            const bool slowed = hub_.logins().failed(peer) || wasSlowed;
            if (slowed && !wasSlowed)
                KIVO::OutLine("Client " + peer + ": five wrong passwords within a minute; each further one is "
                              "answered a second late");
            if (wasSlowed) std::this_thread::sleep_for(wrongPasswordDelay);  // the fifth is answered at once
        }
    }
    if (!passwordok) {
        ShowStat("WRONG PASSWORD!");
        reject();
        leave = true;
        return;
    }
    // Frames this line puts on the line are recorded as the client's.
    const Routing::Source source("client " + peerAddress());
    if (line.size() > 2 && line.compare(0, 2, "0x") == 0) {
        sercom = line.substr(2);
        const size_t bytes = sercom.size() / 2;  // an unpaired last digit is ignored
        if (bytes > KIVO::maxRawBytes) {
            // Refused whole, the session goes on.
            ShowStat("Raw command too long");
            KIVO::OutLine("Raw command of " + std::to_string(bytes) + " bytes refused (at most " +
                          std::to_string(KIVO::maxRawBytes) + ")");
        } else {
            ShowStat("CMD = " + sercom);
            hub_.CommandB0(KIVO::S2BS(sercom));
        }
    }
    if (Device* device = KIVO::cam.load()) device->ParseNetCommand(line);
}

void ClientSocket::reject() {
    writeLine("Password/Connection Rejected!");
    writeLine("CLOSE");
}

void ClientSocket::startTimer(int minutes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        // A session runs one timer, and the earliest end counts: a later accepted password may bring
        // the running timer's end closer (a smaller limit sent meanwhile), never push it back.
        if (timeoutthread) {
            timeoutthread->bringForward(minutes);
            return;
        }
        timeoutthread = std::make_shared<TimeOut>(weak_from_this(), minutes);
        try {
            timeoutthread->start();
            return;
        } catch (const std::system_error&) {
            timeoutthread.reset();
        }
    }
    // No thread to be had for the timer: rather than run without its time limit, the session ends.
    KIVO::OutLine("Session time limit cannot be kept (no thread to be had): session closed");
    SendTimeoutMsg();
}

void ClientSocket::SendTimeoutMsg() {
    writeLine("TIME");
    Close(false);
}

void ClientSocket::NoPresetMsg() { writeLine("No presets on this cam."); }

void ClientSocket::Close(bool /*fromButton: the steps are the same either way*/) {
    if (closed_.exchange(true)) return;
    std::shared_ptr<net::Connection> connection;
    std::shared_ptr<TimeOut> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection = std::move(cs);
        state_ = State::Ended;
        timer = std::move(timeoutthread);
    }
    // Closing the connection also ends a read the session thread is blocked in; the connection
    // itself is freed only when the session thread lets go of it too.
    if (connection) connection->close();
    if (timer) {
        timer->setNegTime();
        timer->stopme();
        timer->join();
    }
    hub_.gui().EnableConnect(true);
    hub_.CommandB5();
}

void ClientSocket::ShowStat(const std::string& text) { hub_.gui().ShowStatus(text); }

bool ClientSocket::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cs != nullptr && cs->isOpen();
}

bool ClientSocket::awaiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::Awaiting;
}

std::string ClientSocket::peerAddress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peerAddress_;
}

bool ClientSocket::writeLine(const std::string& text) {
    std::shared_ptr<net::Connection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection = cs;
    }
    // A reply the client can no longer receive is dropped; the next read ends the session.
    if (!connection) return false;
    if (connection->writeLine(text)) return true;
    if (connection->sendTimedOut() && !notReadingTraced_.exchange(true))
        KIVO::OutLine("Client stopped reading: reply not taken within " + std::to_string(replyTimeout.count()) +
                      " ms, connection closed");
    return false;
}

std::optional<int> ClientSocket::parseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) return std::nullopt;
    return static_cast<int>(value);
}

bool ClientSocket::samePassword(const std::string& given, const std::string& expected) {
    const size_t n = std::max(given.size(), expected.size());
    size_t diff = given.size() ^ expected.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char e = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        diff |= static_cast<size_t>(g ^ e);
    }
    return diff == 0;
}
