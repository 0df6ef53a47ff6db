#pragma once
// The application's one serial port: opens the configured port at 9600 8N1 without handshake and
// sends each device command, pacing commands 50 ms apart. Failures never leave this class: set-up
// failures are recorded in NoCOM, transfer failures in SerError and in the results.
//
// A device that goes away (an unplugged USB adapter) is closed: by the write that finds it gone, or
// by checkDevice(), which a watcher calls about once a second. reopen() opens the same device again
// with the same settings. Until then every write fails at once; nothing is kept for later.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace SerialIO {
class IOException;
class SerialConfig;
class SerialPortLocal;
class SerInputStream;
class SerOutputStream;
}  // namespace SerialIO

class SerOutPort {
public:
    // Only portName is used; the other settings are accepted and ignored (the line is always 9600 8N1).
    // "COM0" means that no port is wanted.
    SerOutPort(const std::string& portName, const std::string& devType, int rate, int dataBits,
               int stopBits, const std::string& parity, const std::string& handshake);
    virtual ~SerOutPort();
    SerOutPort(const SerOutPort&) = delete;
    SerOutPort& operator=(const SerOutPort&) = delete;

    // Set-up status of the last construction: 0 ready (or no port wanted), 1 open failed,
    // 2 output stream failed, 3 input stream failed.
    static std::atomic<int> NoCOM;

    // Sends one device command, pauses 50 ms after a successful write, returns the receive buffer.
    virtual std::vector<uint8_t> SendSerial(const std::vector<uint8_t>& cmd);
    // Told of each command SendSerial has written, on the sending thread, before the pause: whoever
    // keeps track of the line learns of a frame the moment it is on the line. A command whose write
    // failed after some of its bytes went out is told with those bytes. Set before first use.
    std::function<void(const std::vector<uint8_t>&)> onWritten;
    virtual bool SendSer(const std::vector<uint8_t>& bytes);
    virtual bool SendSer(const std::string& text);
    virtual std::vector<uint8_t> ReadSer();
    virtual int SerCount();
    virtual int GetSerError();

    // Latest trace text (thread-safe copy).
    static std::string iodebug();

    // A real port is configured (not COM0, not a test double): one worth watching and reopening.
    virtual bool watchable() const;
    // The device the port opens, for messages ("/dev/ttyUSB0"); "" when no port is configured.
    std::string devicePath() const;
    // The port is open (its device was there at the latest open and has not been found gone since).
    bool isOpen() const;
    // Asks the device whether it is still there; when it is gone, closes the port. Gives the reason
    // of a loss found since the previous call (here or by a write), "" when none.
    std::string checkDevice();
    // Opens the closed port again, as the first open did; true when it is open. Writes no console
    // line; `failure` gets why it did not open, "" when the device is simply not there (yet).
    bool reopen(std::string* failure = nullptr);
    // Why the first open failed with the device there (in use, no permission), as the console was
    // told at start-up; "" otherwise.
    std::string startFailure() const;
    // Closes the port (a restore that failed): the next reopen() starts afresh.
    void closePort();
    // Called when a write finds the device gone, on the writing thread with the port's lock held:
    // it may only hand the news on (wake a watcher).
    void setLossHandler(std::function<void()> handler);

protected:
    // Constructor for test doubles: builds nothing, opens nothing.
    struct NoPort {};
    explicit SerOutPort(NoPort);

private:
    // Opens port, output and input stream; false (and nothing open) on a failure. With report, a
    // failed open writes its console line and sets NoCOM, as at start-up; else `failure` (if given)
    // gets the reason of a device that is there but cannot be opened. Caller holds portMutex.
    bool openPort(bool report, std::string* failure = nullptr);
    // Closes the port for good reason, keeping the reason for checkDevice. Caller holds portMutex.
    void dropPort(const std::string& reason);
    // After a failed write: records the error and closes the port when its device is gone, else
    // says why on the console. Caller holds portMutex.
    void writeFailed(const SerialIO::IOException& e);
    // Writes the bytes under portMutex; false when there is no port or the write failed.
    bool writeBytes(const std::vector<uint8_t>& bytes);

    static void OutLine(const std::string& text);  // trace sink: writes nothing
    static void setIodebug(const std::string& text);
    static void appendIodebug(const std::string& text);

    // How long one write may wait for room on the line: the longest command (512 bytes) takes about
    // 0.55 s at 9600 bits/s once the driver's buffer is full.
    static constexpr int writeTimeoutMs = 2000;
    int txBuf = 2048;
    int rxBuf = 4096;
    std::atomic<int> numBytes{0};
    std::atomic<int> SerError{0};
    std::shared_ptr<SerialIO::SerialConfig> serCfg;
    bool wanted = false;  // a real port is configured; written once in the constructor
    // Guards the port and its streams, which the watcher closes and reopens while commands are sent.
    mutable std::mutex portMutex;
    std::unique_ptr<SerialIO::SerialPortLocal> serialPort;
    std::unique_ptr<SerialIO::SerOutputStream> SerialOutStream;
    std::unique_ptr<SerialIO::SerInputStream> SerialInStream;
    std::string lossReason;                  // guarded by portMutex; "" when no loss is pending
    std::string startFailure_;               // guarded by portMutex
    std::function<void()> lossHandler;       // guarded by portMutex
    std::vector<uint8_t> serin;
    mutable std::mutex serinMutex;  // serin is written by ReadSer and copied out by SendSerial
};
