#pragma once
// The native serial library: thirty functions that open, configure, read, write, query and close
// serial ports by a 0-based port handle (the configuration's port number minus 1).
// Result conventions the port relies on:
//   SerOpenPort: 0 opened (and the configuration's port number set, 1-based), 1000 already open
//     in this process, 1002 in use by another process, 1003 no such port, other: failure code.
//   SerConfigure, SerClosePort, SerPutByte: 0 done, non-zero failure.
//   SerPutData: bytes sent; SerGetByte: 0..255 or -1 when none within the receive time-out;
//   SerGetData: bytes stored (0 when none) or -1; the flushes, counts, line controls and time-out
//   setters: -1 on failure; the signal queries: 1 present, -1 failure, 0 not present.
// All functions may be called from several threads at once.
#include <cstdint>
#include <memory>
#include <string>

namespace SerialIO {

class SerialConfig;

// For the libraries: a write is about to wait for the device (see setWriteWaitNotice).
void noticeWriteWait();

class SerialNative {
public:
    virtual ~SerialNative() = default;

    virtual int SerGetLibVer() = 0;
    virtual int SerOpenPort(SerialConfig& cfg) = 0;
    virtual int SerConfigure(const SerialConfig& cfg) = 0;
    virtual int SerClosePort(int port) = 0;
    virtual int SerPutByte(int port, int b) = 0;
    virtual int SerPutData(int port, const uint8_t* data, int count) = 0;
    virtual int SerGetByte(int port) = 0;
    virtual int SerGetData(int port, uint8_t* buf, int count) = 0;
    virtual int SerRxFlush(int port) = 0;
    virtual int SerTxFlush(int port) = 0;
    virtual int SerTxDrain(int port) = 0;
    virtual int SerRxReadyCount(int port) = 0;
    virtual int SerTxBufCount(int port) = 0;
    virtual int SerRxOverflow(int port) = 0;
    virtual int SerSetDTR(int port, int on) = 0;
    virtual int SerSetRTS(int port, int on) = 0;
    virtual int SerSendBreak(int port, int duration) = 0;
    virtual int SerSetTimeoutRx(int port, int ms) = 0;
    virtual int SerSetTimeoutTx(int port, int ms) = 0;
    virtual int SerGetTimeoutRx(int port) = 0;
    virtual int SerGetTimeoutTx(int port) = 0;
    virtual int SerSigCTS(int port) = 0;
    virtual int SerSigDSR(int port) = 0;
    virtual int SerSigCD(int port) = 0;
    virtual int SerSigFrameErr(int port) = 0;
    virtual int SerSigParityErr(int port) = 0;
    virtual int SerSigOverrun(int port) = 0;
    virtual int SerSigRing(int port) = 0;
    virtual int SerSigBreak(int port) = 0;
    virtual int SerFlowTask(int port) = 0;

    // Whether the device of an open port is still there, cheap enough to ask about once a second:
    // 0 it is; 1 it is gone (unplugged, hung up, its device node removed or replaced, or a transfer
    // failed the way only a vanished device fails), with the reason in words in *reason; -1 the port
    // is not open. A library that cannot tell answers 0.
    virtual int SerDeviceLost(int port, std::string* reason);
    // Gives up, for a process about to end without closing its ports, what would outlast it: the
    // exclusive use of a device that another program keeps open (a simulated selector's terminal
    // stays exclusive, and the next server is refused). Never blocks.
    virtual void SerReleaseAtExit() {}
    // The device a configuration opens, for messages ("/dev/ttyUSB0"); by default its port name.
    virtual std::string SerDevicePath(const SerialConfig& cfg);

    // The failing system call and its error text of the latest failure ("" when none), for
    // example "open(/dev/ttyS3): Permission denied".
    virtual std::string SerLastError() = 0;

    // The device path and system error number of the latest failure of SerOpenPort or SerConfigure,
    // where the library knows them ("" and 0 otherwise).
    struct Failure {
        std::string device;
        int errnum = 0;
    };
    virtual Failure SerLastFailure() { return {}; }
};

// The library over POSIX termios.
std::unique_ptr<SerialNative> makeTermiosNative();
// The library over the Win32 communications API.
std::unique_ptr<SerialNative> makeWin32Native();

// Process-wide: from now on the port name (for example "COM1") opens the given device path.
void mapPortName(const std::string& name, const std::string& devicePath);

}  // namespace SerialIO
