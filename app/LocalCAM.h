#pragma once
// The control hub: owns the serial output port, the window, the listening socket and the current
// client session; the driver's only path to the serial port and to the status line.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Device;
class LocalGUI;
class SerOutPort;
class ClientSocket;
namespace net {
class Listener;
}

class LocalCAM {
public:
    // Held around each whole device command (both frames of a selection) and taken by DelayT.
    // Recursive, as a monitor is: a driver may pause (DelayT) while it holds the lock.
    static std::recursive_mutex critsect;
    static std::atomic<Device*> cam;

    // Builds the serial output port; tests replace it with a recording double.
    using SerOutPortFactory = std::function<std::unique_ptr<SerOutPort>(
        const std::string& comport, const std::string& devtype, int rate, int dbits, int sbits,
        const std::string& parity, const std::string& handshake)>;
    static SerOutPortFactory serOutPortFactory;

    LocalCAM(const std::string& comport, const std::string& devtype, int port, int rate, int dbits,
             int sbits, const std::string& parity, const std::string& handshake);
    virtual ~LocalCAM();
    LocalCAM(const LocalCAM&) = delete;
    LocalCAM& operator=(const LocalCAM&) = delete;

    virtual void ShowStat(const std::string& text);
    virtual bool OpenServerSocket(int port);
    virtual bool CommandB0(const std::vector<uint8_t>& bytes);
    virtual void CommandB4(const std::string& text);
    virtual void CommandB5();
    virtual void CommandB6();
    virtual void DelayT(int ms);

    static void OutLine(const std::string& text);

    // Thread-safe accessors used by start-up, the window and the sessions.
    bool serverSocketOpen() const;
    std::shared_ptr<ClientSocket> currentSession() const;
    LocalGUI& gui() const { return *localgui; }
    int noCOM() const { return NoCOM; }

private:
    mutable std::mutex sessionMutex_;          // guards connectthread
    std::shared_ptr<ClientSocket> connectthread;
    std::shared_ptr<net::Listener> ss;
    std::unique_ptr<LocalGUI> localgui;
    std::string devtype;
    std::unique_ptr<SerOutPort> sop;
    std::vector<uint8_t> SerIn;                 // guarded by critsect
    int NoCOM = 0;                              // written once in the constructor
};
