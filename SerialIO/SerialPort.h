#pragma once
// A serial port as the application and the byte streams see it. Failures are raised as
// SerialIO::IOException carrying a message.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SerialIO/IOException.h"
#include "SerialIO/SerialConfig.h"

namespace SerialIO {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    virtual void setConfig(std::shared_ptr<SerialConfig> cfg) = 0;
    virtual std::shared_ptr<SerialConfig> getConfig() = 0;
    virtual void configure(const SerialConfig& cfg) = 0;
    virtual void close() = 0;
    virtual void putByte(uint8_t b) = 0;
    virtual void putString(const std::string& s) = 0;
    virtual void putData(const std::vector<uint8_t>& buf) = 0;
    virtual void putData(const std::vector<uint8_t>& buf, int count) = 0;
    virtual void putData(const std::vector<uint8_t>& buf, int offset, int count) = 0;
    virtual int getByte() = 0;
    virtual int getData(std::vector<uint8_t>& buf) = 0;
    // buf may be null: nothing is read and 0 is returned.
    virtual int getData(std::vector<uint8_t>* buf, int offset, int len) = 0;
    virtual int rxFlush() = 0;
    virtual int txFlush() = 0;
    virtual int txDrain() = 0;
    virtual int rxReadyCount() = 0;
    virtual int txBufCount() = 0;
    virtual bool rxOverflow() = 0;
    virtual bool sigDSR() = 0;
    virtual bool sigCTS() = 0;
    virtual bool sigCD() = 0;
    virtual bool sigFrameErr() = 0;
    virtual bool sigOverrun() = 0;
    virtual bool sigParityErr() = 0;
    virtual bool sigRing() = 0;
    virtual bool sigBreak() = 0;
    virtual void setDTR(bool on) = 0;
    virtual void setRTS(bool on) = 0;
    virtual void sendBreak(int duration) = 0;
    virtual int getTimeoutRx() = 0;
    virtual int getTimeoutTx() = 0;
    virtual void setTimeoutRx(int ms) = 0;
    virtual void setTimeoutTx(int t) = 0;
    virtual int getLibVer() = 0;
    virtual int getPortNum() = 0;
    virtual void setName(const std::string& name) = 0;
    virtual std::string getName() = 0;
};

// Called on the writing thread just before a write has to wait for the device to take its bytes
// (its buffer full, or flow control holding it back; on Windows, a write not done within 20 ms), at
// most once per write call: a writer that others wait on can let them go on first. nullptr (the
// default) for none.
void setWriteWaitNotice(void (*notice)());

}  // namespace SerialIO
