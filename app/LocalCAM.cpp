#include "app/LocalCAM.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "app/ClientSocket.h"
#include "app/CommandScope.h"
#include "app/KIVO.h"
#include "app/KIVO16.h"
#include "app/LocalGUI.h"
#include "app/Password.h"
#include "app/SerOutPort.h"
#include "net/Net.h"
#include "SerialIO/SerialPortLocal.h"

std::recursive_mutex LocalCAM::critsect;
std::atomic<Device*> LocalCAM::cam{nullptr};
std::atomic<bool> LocalCAM::lineClosed{false};

LocalCAM::SerOutPortFactory LocalCAM::serOutPortFactory =
    [](const std::string& comport, const std::string& type, int rate, int dbits, int sbits,
       const std::string& parity, const std::string& handshake) {
        return std::make_unique<SerOutPort>(comport, type, rate, dbits, sbits, parity, handshake);
    };

void SessionThreads::started() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
}

void SessionThreads::ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    cv_.notify_all();
}

void SessionThreads::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    cv_.notify_all();
}

bool SessionThreads::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void SessionThreads::pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void SessionThreads::waitAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return running_ == 0; });
}

namespace {
// The driver keeps all its state in class-level values, so one object serves every hub the process
// builds. It is never freed: sessions and the window may use it until the process ends.
Device* theDriver() {
    static Device* const driver = new KIVO16;
    return driver;
}
// Set by the port's onWritten on the thread that writes: the record has been told of the command.
thread_local bool notedEarly = false;
// Route's beforeWait for the selection this thread is making, called at most once.
thread_local const std::function<void()>* waitNotice = nullptr;

void noticeWait() {
    if (const auto* notice = std::exchange(waitNotice, nullptr)) (*notice)();
}

}  // namespace

LocalCAM::LocalCAM(const std::string& comport, const std::string& devtype_, int port, int rate,
                   int dbits, int sbits, const std::string& parity, const std::string& handshake)
    : routing_(std::make_unique<Routing>(KIVO::statePath)), devtype(devtype_), SerIn(64, 0) {
    portWanted_ = comport != "COM0";
    sop = serOutPortFactory(comport, devtype_, rate, dbits, sbits, parity, handshake);
    // A write that must wait for room on the line lets the face that asked go on meanwhile.
    SerialIO::setWriteWaitNotice(&noticeWait);
    sop->onWritten = [this](const std::vector<uint8_t>& written) {
        notedEarly = true;
        // The face that asked hears first (it may hand work on, or let the line's bytes go before
        // anything else); the record's bookkeeping and the wake-ups it makes come after.
        noticeWait();  // the pacing pause comes next
        routing_->noteWritten(written);
    };
    NoCOM = SerOutPort::NoCOM.load();
    watch_ = std::make_unique<SerialWatch>(*sop, portWanted_ && NoCOM == 0, [this] { return restoreRouting(); });
    // The driver must be in place before the window is built: the window takes it from KIVO::cam.
    cam = theDriver();
    KIVO::cam = cam.load();
    localgui = std::make_unique<LocalGUI>(port, devtype_);
    CommandB4("");
    if (KIVO::autoaccept) {
        const bool ok = OpenServerSocket(port);
        localgui->EnableConnect(ok);
    }
    localgui->setLocalname(KIVO::password.get());
    // The console says when the line goes and comes back; an operator at the window reads it on the
    // status line too, instead of the last selection as if all were well.
    watch_->addObserver([this, device = sop->devicePath()](bool up, SerialWatch::Clock::time_point) {
        if (!KIVO::headless.load()) localgui->ShowStatus("Serial device " + device + (up ? " back" : " lost"));
    });
    watch_->start();
}

LocalCAM::~LocalCAM() {
    threads_->stop();
    if (ss) ss->close();
    if (auto session = currentSession()) session->Close(false);
    threads_->waitAll();
    std::lock_guard<std::mutex> lock(sessionMutex_);
    connectthread.reset();
}

void LocalCAM::ShowStat(const std::string& text) { localgui->ShowStatus(text); }

bool LocalCAM::OpenServerSocket(int port) {
    try {
        ss = net::Listener::open(port);
        ShowStat("Server Socket Opened OK at Port " + std::to_string(port));
        return true;
    } catch (const net::NetError& e) {
        ShowStat("Can't Get ServerSocket at Port " + std::to_string(port));
        KIVO::OutLine("Line protocol not started: port " + std::to_string(port) + ": " + e.what());
        return false;
    }
}

bool LocalCAM::takeLine(std::unique_lock<std::recursive_mutex>& lock,
                        std::optional<std::chrono::steady_clock::time_point> by) {
    if (lock.try_lock()) return true;
    noticeWait();  // another selection holds the line
    KIVO::HandOnHeldLines();
    if (!by) {
        lock.lock();
        return true;
    }
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= *by) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool LocalCAM::CommandB0(const std::vector<uint8_t>& bytes) {
    // While the line is down a command is refused at once, never kept for later. Without a port
    // (COM0) the port accepts and drops every command.
    if (!portWanted_ || serialUp()) {
        // critsect keeps a command's bytes together on the line; a driver already holds it for a
        // whole selection (the lock is recursive).
        std::unique_lock<std::recursive_mutex> lock(critsect, std::defer_lock);
        takeLine(lock);
        if (writeCommand(bytes)) return true;
    } else if (startingUp_) {
        std::lock_guard<std::recursive_mutex> lock(critsect);
        // A start-up frame (FE, output, input) the missing device refused: kept for its first open.
        if (bytes.size() == 3 && bytes[0] == 0xFE && bytes[1] >= 1 && bytes[1] <= Routing::outputs &&
            bytes[2] >= 1 && bytes[2] <= Routing::inputs)
            startRouting_[bytes[1] - 1] = bytes[2];
    }
    ShowStat("COM port not communicating.");
    return false;
}

bool LocalCAM::writeCommand(const std::vector<uint8_t>& bytes) {
    if (lineClosed) return false;  // the process is ending: the state file has had its last save
    notedEarly = false;
    SerIn = sop->SendSerial(bytes);
    ++writesEnded_;
    // A write the port refused is reported, not taken for success.
    if (sop->GetSerError() != 0) return false;
    // The port tells the record as soon as the bytes are on the line, not after its pacing pause; a
    // port that does not (a test double) is recorded here.
    if (!notedEarly) routing_->noteWritten(bytes);
    return true;
}

std::optional<std::string> LocalCAM::restoreRouting() {
    // Start-up's own selection, refused while the device was missing, is what the selector should
    // show first; otherwise the record's routing, which is what every client believes. The record
    // changes only when start-up's routing differs from it: a restore of the record reports nothing.
    routing_->lineReopened();  // how much of a frame cut off by the loss arrived is unknown
    const bool startUp = startRouting_ != decltype(startRouting_){};
    const Routing::Source source(startUp ? "start-up" : "serial line restored");
    const Routing::State state = routing_->state();
    std::string restored;
    for (int output = 1; output <= Routing::outputs; ++output) {
        const int input = startRouting_[output - 1] != 0 ? startRouting_[output - 1] : state.input[output - 1];
        if (input == 0) continue;  // never known: nothing to restore
        const std::vector<uint8_t> frame{0xFE, static_cast<uint8_t>(output), static_cast<uint8_t>(input)};
        if (!writeCommand(frame)) return std::nullopt;
        if (!restored.empty()) restored += ", ";
        restored += "output " + std::to_string(output) + " <- input " + std::to_string(input);
    }
    startRouting_ = {};
    return restored;
}

void LocalCAM::endStartUp() { startingUp_ = false; }

bool LocalCAM::serialUp() const { return portWanted_ && watch_->up(); }

SerialWatch::Clock::time_point LocalCAM::serialSince() const { return watch_->since(); }

void LocalCAM::waitForLineTurn() const {
    const uint64_t before = writesEnded_.load();
    std::unique_lock<std::recursive_mutex> lock(critsect, std::defer_lock);
    // Polled: the lock is not fair, and its holders may take it back at once for the next write.
    while (!lock.try_lock() && writesEnded_.load() == before)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void LocalCAM::ShowReady(const std::string& readyLine) {
    ShowStat(readyLine);
    // The console has said why already.
    if (portWanted_ && !watch_->up() && !KIVO::headless.load()) {
        localgui->ShowStatus("Serial device " + sop->devicePath() + " not open");
        // Back meanwhile: the watcher's word may have come before this one.
        if (watch_->up()) localgui->ShowStatus("Serial device " + sop->devicePath() + " back");
    }
}

int LocalCAM::addSerialObserver(SerialWatch::Observer observer) { return watch_->addObserver(std::move(observer)); }

void LocalCAM::removeSerialObserver(int token) { watch_->removeObserver(token); }

void LocalCAM::LookUpHost(const std::string& text) {
    const std::optional<std::string> address = net::resolveHost(text);
    if (!address) ShowStat("Unknown Host Can't Get IP");
    localgui->ShowIP(address);
}

void LocalCAM::CommandB4(const std::string& text) {
    LookUpHost(text);
    // The console never shows the password itself.
    localgui->ShowStatus("New Password= " + text,
                         "New Password= " + (text.empty() ? text : std::string(hiddenPassword)));
}

void LocalCAM::CommandB5() {
    if (!ss || threads_->stopping()) return;
    std::shared_ptr<ClientSocket> session;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        // One session waits for a client at a time: a request while one is already waiting (the
        // connect button racing a closing session) starts no second one.
        if (!connectthread || !connectthread->awaiting()) {
            session = std::make_shared<ClientSocket>(*this, ss, threads_);
            connectthread = session;
        }
    }
    // The button is disabled before the session runs, so that a waiting session is never seen
    // with the button still enabled.
    localgui->EnableConnect(false);
    if (session) session->start();
}

void LocalCAM::CommandB6() {
    const std::shared_ptr<ClientSocket> session = currentSession();
    if (!session) {
        ShowStat("No Connection to Close");
        return;
    }
    if (session->connected()) {
        OutLine("Button close");
        session->Close(true);
    }
}

LocalCAM::RouteResult LocalCAM::Route(int output, int input, Routing::ClientId requester,
                                      const std::function<void()>& beforeWait,
                                      std::optional<std::chrono::steady_clock::time_point> takeLineBy) {
    if (output < 0 || output > Routing::outputs || input < 1 || input > Routing::inputs)
        return RouteResult::BadIndex;
    // Whichever face asks (a session has its own scope already), the console and status lines of the
    // selection are handed on after its frames: nothing wakes another thread before the write.
    CommandScope scope;
    const int first = output == 0 ? 1 : output;
    const int last = output == 0 ? Routing::outputs : output;
    bool allWritten = true;
    struct Notice {
        explicit Notice(const std::function<void()>& fn) : saved(std::exchange(waitNotice, fn ? &fn : nullptr)) {}
        ~Notice() { waitNotice = saved; }
        const std::function<void()>* saved;
    } notice(beforeWait);
    {
        std::unique_lock<std::recursive_mutex> lock(critsect, std::defer_lock);
        if (!takeLine(lock, takeLineBy)) {
            ShowStat("Serial line busy: selection of input #" + std::to_string(input) + " not sent");
            return RouteResult::Busy;
        }
        // Checked under critsect, so no other selection slips in between the check and the frames.
        for (int o = first; o <= last; ++o)
            if (requester != lockChecked && routing_->lockedByOther(o, requester)) return RouteResult::Locked;
        if (!serialUp()) {
            ShowStat("COM port not communicating.");
            return RouteResult::LineDown;
        }
        // Every frame is sent even when an earlier one failed, as the driver does.
        for (int o = first; o <= last; ++o) {
            const std::vector<uint8_t> frame{0xFE, static_cast<uint8_t>(o), static_cast<uint8_t>(input)};
            if (!CommandB0(frame)) allWritten = false;
        }
    }
    if (!allWritten) return RouteResult::WriteFailed;
    ShowStat("Selected Input #" + std::to_string(input));
    return RouteResult::Ok;
}


void LocalCAM::DelayT(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard<std::recursive_mutex> lock(critsect);
}

void LocalCAM::OutLine(const std::string& text) { KIVO::OutLine(text); }

void LocalCAM::exitNow(int status, const std::string& lastWords) {
    // No selection may reach the selector after the last save, or the file would be behind it: no
    // frame goes out from now on, and a write under way (under critsect) ends before the save.
    // Bounded, in case the holder of critsect waits on this thread.
    lineClosed = true;
    std::unique_lock<std::recursive_mutex> line(critsect, std::defer_lock);
    for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         !line.try_lock() && std::chrono::steady_clock::now() < giveUp;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The state file may be up to a second behind the routing.
    if (LocalCAM* hub = KIVO::scam.load(); hub && !hub->routing().saveNow(std::chrono::seconds(2))) {
        KIVO::OutLine("State file " + KIVO::statePath + " not written at exit: the last labels and routing are lost");
        if (status == 0) status = 1;
    }
    SerialIO::SerialPortLocal::releaseAtExit();
    // A console no one reads may share its pipe with standard error: nothing more is written then.
    if (KIVO::FlushConsole()) {
        if (!lastWords.empty()) std::fprintf(stderr, "%s\n", lastWords.c_str());
        std::cout.flush();
        std::fflush(nullptr);
    }
    std::_Exit(status);
}

bool LocalCAM::serverSocketOpen() const { return ss != nullptr && ss->isOpen(); }

int LocalCAM::listeningPort() const { return ss ? ss->port() : -1; }

std::shared_ptr<ClientSocket> LocalCAM::currentSession() const {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return connectthread;
}

std::vector<uint8_t> LocalCAM::serIn() const {
    std::lock_guard<std::recursive_mutex> lock(critsect);
    return SerIn;
}
