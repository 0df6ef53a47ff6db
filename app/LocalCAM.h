#pragma once
// The control hub: owns the serial output port, the window, the listening socket and the current
// client session; the driver's only path to the serial port and to the status line.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/Routing.h"
#include "app/SerialWatch.h"
#include "net/LoginLimiter.h"

class Device;
class LocalGUI;
class SerOutPort;
class ClientSocket;
namespace net {
class Listener;
}

// Counts the running session threads of one hub and tells them when the hub goes away, so that a
// hub can wait for its sessions before it is freed. Shared by the hub and every session thread.
class SessionThreads {
public:
    void started();
    void ended();
    // Marks the hub as stopping and wakes every pause() in progress.
    void stop();
    bool stopping() const;
    // Sleeps for ms milliseconds, or less when the hub stops meanwhile.
    void pause(int ms);
    void waitAll();

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int running_ = 0;
    bool stopping_ = false;
};

class LocalCAM {
public:
    // Held around each whole device command (both frames of a selection) and taken by DelayT.
    // Recursive, as a monitor is: a driver may pause (DelayT) while it holds the lock.
    static std::recursive_mutex critsect;
    // Takes critsect; a thread that must wait for it first tells the face that asked (Route's
    // beforeWait) and hands on the console lines its command holds, so a line held up (writes
    // waiting out their time-out) silences no other thread. With `by`: false, the lock not taken,
    // when it is not free by then.
    static bool takeLine(std::unique_lock<std::recursive_mutex>& lock,
                         std::optional<std::chrono::steady_clock::time_point> by = std::nullopt);
    static std::atomic<Device*> cam;
    // Set by exitNow(): nothing more goes on the line (checked under critsect).
    static std::atomic<bool> lineClosed;

    // Builds the serial output port; tests replace it with a recording double.
    using SerOutPortFactory = std::function<std::unique_ptr<SerOutPort>(
        const std::string& comport, const std::string& devtype, int rate, int dbits, int sbits,
        const std::string& parity, const std::string& handshake)>;
    static SerOutPortFactory serOutPortFactory;

    LocalCAM(const std::string& comport, const std::string& devtype, int port, int rate, int dbits,
             int sbits, const std::string& parity, const std::string& handshake);
    // The running program never frees its hub. Freeing one (tests) closes the listening socket and
    // the current session and waits for the session threads to end.
    virtual ~LocalCAM();
    LocalCAM(const LocalCAM&) = delete;
    LocalCAM& operator=(const LocalCAM&) = delete;

    virtual void ShowStat(const std::string& text);
    virtual bool OpenServerSocket(int port);
    virtual bool CommandB0(const std::vector<uint8_t>& bytes);
    virtual void CommandB4(const std::string& text);
    // CommandB4's look-up alone: the address of the host `text` names (this machine's when empty)
    // in the window, or "Unknown Host Can't Get IP"; no word about the password.
    virtual void LookUpHost(const std::string& text);
    virtual void CommandB5();
    virtual void CommandB6();
    virtual void DelayT(int ms);

    // One selection from a face that names its output (router protocol, web page): output 1 or 2,
    // or 0 for both; input 1..16. The frames go out through CommandB0 under critsect with the usual
    // pacing, so the call blocks for about 50 ms a frame. Locked: another client holds the lock of an
    // output asked for. The status line reports the outcome as for any selection.
    // lockChecked: the face checked the locks when it accepted the request (the router protocol
    // answers ACK then), so a lock taken since does not hold the selection back.
    // beforeWait, when given, is called once on the calling thread the first time the call would
    // make it wait: for the line while another selection holds it, or in the pause after a frame
    // (that is, after the first frame is on the line). A face whose thread has other work hands it
    // on from there without waking anyone before the frame.
    // takeLineBy, when given: a selection that cannot have the line by then (other selections
    // hold it, each write waiting out its time-out on a line that takes no bytes) sends nothing
    // and is Busy, since whoever asked has given up on it.
    enum class RouteResult { Ok, BadIndex, Locked, LineDown, WriteFailed, Busy };
    static constexpr Routing::ClientId lockChecked = ~Routing::ClientId{0};
    RouteResult Route(int output, int input, Routing::ClientId requester = 0,
                      const std::function<void()>& beforeWait = {},
                      std::optional<std::chrono::steady_clock::time_point> takeLineBy = std::nullopt);

    // The routing record: every frame written successfully through CommandB0 is recorded here.
    Routing& routing() const { return *routing_; }

    // Wrong line-protocol passwords per client address: past the limit each is answered late.
    net::LoginLimiter& logins() { return logins_; }

    // The serial line: a port is configured and open now. It goes down when its device goes away
    // and comes back by itself when the device does (see SerialWatch).
    bool serialUp() const;
    // When the line last went up or down (the hub's construction before any change).
    SerialWatch::Clock::time_point serialSince() const;
    // Returns once the serial lock is free, or once a write under it has ended since the call: a
    // line that takes no bytes keeps the lock busy with writes that each end at their time-out,
    // which is slow but no hang. (The service manager's watchdog asks this.)
    void waitForLineTurn() const;
    // Shows the ready line; in the window, a configured line that is not up follows it, so that the
    // status field does not end on "Ready" while the device is missing (its return is shown too).
    void ShowReady(const std::string& readyLine);
    // Observers of the line's ups and downs, called on the watcher's thread off the serial lock;
    // cheap, never blocking. Nothing is ever called when no port is configured (COM0).
    int addSerialObserver(SerialWatch::Observer observer);
    void removeSerialObserver(int token);
    // Start-up's own selection is over. The routing of its frames that a missing device refused is
    // put on the line when the device appears; frames refused after this call are never sent later.
    void endStartUp();

    static void OutLine(const std::string& text);
    // Ends the process with `status` at once, without unwinding (sessions may still be running
    // threads): no further frame goes on the line, the state file gets the last change (status 1
    // and a console line when it cannot), the serial line is given up, the console is flushed, and
    // `lastWords` (if any) goes to standard error after it (not when the console is stuck: standard
    // error may be the same pipe).
    [[noreturn]] static void exitNow(int status = 0, const std::string& lastWords = {});

    // Thread-safe accessors used by start-up, the window, the sessions and tests.
    bool serverSocketOpen() const;
    int listeningPort() const;   // the bound port, or -1 when no listening socket is open
    std::shared_ptr<ClientSocket> currentSession() const;
    LocalGUI& gui() const { return *localgui; }
    int noCOM() const { return NoCOM; }
    std::vector<uint8_t> serIn() const;

private:
    // The frames of the known routing, written once the port has opened again (critsect held).
    std::optional<std::string> restoreRouting();
    // Writes one command to the port; false when the write failed (critsect held).
    bool writeCommand(const std::vector<uint8_t>& bytes);

    std::unique_ptr<Routing> routing_;          // built first, freed last
    mutable std::mutex sessionMutex_;          // guards connectthread
    std::shared_ptr<ClientSocket> connectthread;
    std::shared_ptr<net::Listener> ss;          // written once, in the constructor
    std::unique_ptr<LocalGUI> localgui;
    std::string devtype;
    std::unique_ptr<SerOutPort> sop;
    std::vector<uint8_t> SerIn;                 // guarded by critsect
    int NoCOM = 0;                              // written once in the constructor
    bool portWanted_ = true;                    // the configuration names a port (not COM0)
    std::unique_ptr<SerialWatch> watch_;        // built after sop, freed before it
    std::atomic<bool> startingUp_{true};
    std::atomic<uint64_t> writesEnded_{0};  // every write to the port, done or failed
    std::array<int, Routing::outputs> startRouting_{};  // guarded by critsect; input per output, 0 = none
    std::shared_ptr<SessionThreads> threads_ = std::make_shared<SessionThreads>();
    net::LoginLimiter logins_;
};
