#pragma once
// The application's one serial port: opens the configured port at 9600 8N1 without handshake and
// sends each device command, pacing commands 50 ms apart. Failures never leave this class: set-up
// failures are recorded in NoCOM, transfer failures in SerError and in the results.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace SerialIO {
class SerialConfig;
class SerialPort;
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
    virtual bool SendSer(const std::vector<uint8_t>& bytes);
    virtual bool SendSer(const std::string& text);
    virtual std::vector<uint8_t> ReadSer();
    virtual int SerCount();
    virtual int GetSerError();

    // Told of each command right after it was written, before the pause: whoever keeps track of
    // what the line carries learns it without waiting for the pause. Set before the port is used.
    std::function<void(const std::vector<uint8_t>&)> onWritten;

    // Latest trace text (thread-safe copy).
    static std::string iodebug();

protected:
    // Constructor for test doubles: builds nothing, opens nothing.
    struct NoPort {};
    explicit SerOutPort(NoPort);

private:
    static void OutLine(const std::string& text);  // trace sink: writes nothing
    static void setIodebug(const std::string& text);
    static void appendIodebug(const std::string& text);

    int txBuf = 2048;
    int rxBuf = 4096;
    std::atomic<int> numBytes{0};
    std::atomic<int> SerError{0};
    std::shared_ptr<SerialIO::SerialConfig> serCfg;
    std::unique_ptr<SerialIO::SerialPort> serialPort;
    std::unique_ptr<SerialIO::SerOutputStream> SerialOutStream;
    std::unique_ptr<SerialIO::SerInputStream> SerialInStream;
    std::vector<uint8_t> serin;
    mutable std::mutex serinMutex;  // serin is written by ReadSer and copied out by SendSerial
};
