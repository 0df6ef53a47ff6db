// The native serial library over the Win32 communications API (Windows).
//
// Port names: "COMn" and "\\.\COMn" (n from 1 to 256) are the n-th serial port, opened as
// "\\.\COMn" so that COM10 and above work; port number n. Any other name that begins with "\\.\" is
// a device path used as is and gets its own stable port number from 257 on. A configuration without
// a name but with a port number n >= 1 opens "\\.\COMn". The configuration's base name is not used.
// mapPortName() redirects a name to another device ("COM7" or "\\.\COM7"); the port number stays
// the name's.
//
// SerOpenPort result codes:
//   0     opened; the configuration's port number is set (1-based)
//   1000  this process has the port open already
//   1001  a call failed; SerLastError() names the call and the system's error text
//   1002  another process holds the port (Windows opens serial ports exclusively)
//   1003  no such port, a device that is not a serial port, or a name that names no port
// SerConfigure result codes: 2001 port not open, 2002 a code out of range, 2003 GetCommState or
//   SetCommState failed. The DSR/DTR handshake is offered here.
// Time-outs: the receive time-out is in milliseconds (0: return at once); the transmit time-out
// is in milliseconds too, 0 meaning no limit. The break duration is in milliseconds (0: 250 ms).
// Reads and writes use overlapped I/O, so a read waiting for data never holds up a write.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "SerialIO/SerialConfig.h"
#include "SerialIO/native/PortNames.h"
#include "SerialIO/native/NativeBase.h"
#include "SerialIO/native/SerialNative.h"
#include "platform/WindowsError.h"

namespace SerialIO {

namespace {

const std::string kDevicePrefix = "\\\\.\\";

// Windows takes port names in any case: "com12" is the port COM12.
std::string comName(const std::string& name) {
    return name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 ? "COM" + name.substr(3) : name;
}

// "\\.\COMn" as "COMn"; anything else as it is.
std::string withoutDevicePrefix(const std::string& path) {
    return path.rfind(kDevicePrefix, 0) == 0 ? path.substr(kDevicePrefix.size()) : path;
}

// "COMn" becomes "\\.\COMn"; anything else is kept.
std::string devicePathOf(const std::string& name) {
    const std::string com = comName(name);
    return comNumber(com) > 0 ? kDevicePrefix + com : name;
}

DWORD baudOf(int code) {
    static const DWORD rates[] = {110, 150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return rates[code];
}

// What a handle's calls fail with once its device is gone (an adapter pulled): the USB serial drivers
// differ in which they give; Wine gives ERROR_NOT_READY for a pseudo-terminal that hung up.
bool meansDeviceGone(DWORD e) {
    return e == ERROR_DEVICE_REMOVED || e == ERROR_DEVICE_NOT_CONNECTED || e == ERROR_BAD_COMMAND ||
           e == ERROR_GEN_FAILURE || e == ERROR_ACCESS_DENIED || e == ERROR_NOT_READY ||
           e == ERROR_FILE_NOT_FOUND || e == ERROR_INVALID_HANDLE;
}

// The line errors of ClearCommError the Sig* and RxOverflow queries report.
constexpr DWORD kLineErrors = CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_BREAK | CE_RXOVER;
// A few frames' time at 9600 baud: a write still pending after it is waiting for room on the line.
constexpr DWORD writeWaitMs = 20;

struct Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    std::atomic<int> rxTimeoutMs{0};
    std::atomic<int> txTimeoutMs{0};
    std::mutex errorMutex;  // guards pendingErrors and the time-out update
    DWORD pendingErrors = 0;  // line errors seen and not yet reported by their query
    std::atomic<DWORD> goneError{0};  // the error of a transfer that failed because the device is gone

    ~Handle() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

// An event for one overlapped operation, closed with it.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

class Win32Native final : public NativeBase<Handle> {
public:
    int SerGetLibVer() override { return 100; }

    int SerOpenPort(SerialConfig& cfg) override {
        std::string path;
        int number = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (!resolve(cfg, path, number)) {
            setError("SerOpenPort: no port named \"" + textOf(cfg.getPortName()) + "\"");
            return 1003;
        }
        if (handles.count(number - 1)) return 1000;
        for (const auto& [index, h] : handles)
            if (_stricmp(h->path.c_str(), path.c_str()) == 0) return 1000;

        auto h = std::make_shared<Handle>();
        h->path = path;
        // No sharing: a second opener (another process) gets ERROR_ACCESS_DENIED.
        h->file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        if (h->file == INVALID_HANDLE_VALUE) {
            const DWORD e = GetLastError();
            setSysError("CreateFileA(" + path + ")", e);
            if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION || e == ERROR_BUSY) return 1002;
            if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
                e == ERROR_BAD_NETPATH)
                return 1003;
            return 1001;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h->file, &dcb)) {
            setSysError("GetCommState(" + path + ")", GetLastError());
            return 1003;  // a device, but not a serial port; the handle's destructor closes it
        }
        SetupComm(h->file, static_cast<DWORD>(std::max(cfg.getRxLen(), 16)),
                  static_cast<DWORD>(std::max(cfg.getTxLen(), 16)));
        if (!applyTimeouts(*h)) return 1001;
        DWORD errors = 0;
        ClearCommError(h->file, &errors, nullptr);  // line errors from before the open are not ours
        cfg.setPortNum(number);
        handles[number - 1] = std::move(h);
        return 0;
    }

    int SerConfigure(const SerialConfig& cfg) override {
        std::shared_ptr<Handle> h;
        if (const int refused = configurable(cfg, 3, h)) return refused;
        const int rate = cfg.getBitRate(), parity = cfg.getParity(), data = cfg.getDataBits();
        const int stop = cfg.getStopBits(), hs = cfg.getHandshake();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h->file, &dcb)) {
            setSysError("GetCommState(" + h->path + ")", GetLastError());
            return 2003;
        }
        dcb.BaudRate = baudOf(rate);
        dcb.fBinary = TRUE;
        dcb.fParity = parity != SerialConfig::PY_NONE;
        dcb.Parity = parity == SerialConfig::PY_ODD ? ODDPARITY : parity == SerialConfig::PY_EVEN ? EVENPARITY : NOPARITY;
        dcb.ByteSize = static_cast<BYTE>(5 + data);
        dcb.StopBits = stop == SerialConfig::ST_2BITS ? TWOSTOPBITS : ONESTOPBIT;
        // No flow control unless configured; DTR and RTS stay raised.
        const bool rtsIn = hs == SerialConfig::HS_CTSRTS || (hs >= 16 && (hs & SerialConfig::HS_HARD_IN));
        const bool ctsOut = hs == SerialConfig::HS_CTSRTS || (hs >= 16 && (hs & SerialConfig::HS_HARD_OUT));
        const bool dsrDtr = hs == SerialConfig::HS_DSRDTR;
        dcb.fOutxCtsFlow = ctsOut;
        dcb.fRtsControl = rtsIn ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fOutxDsrFlow = dsrDtr;
        dcb.fDtrControl = dsrDtr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = hs == SerialConfig::HS_XONXOFF || (hs >= 16 && (hs & SerialConfig::HS_SOFT_OUT));
        dcb.fInX = hs == SerialConfig::HS_XONXOFF || (hs >= 16 && (hs & SerialConfig::HS_SOFT_IN));
        dcb.fTXContinueOnXoff = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 512;
        dcb.XoffLim = 512;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(h->file, &dcb)) {
            setSysError("SetCommState(" + h->path + ")", GetLastError());
            return 2003;
        }
        return 0;
    }

    int SerPutData(int port, const uint8_t* data, int count) override {
        auto h = find(port);
        if (!h || count < 0 || (count > 0 && !data)) {
            if (!h) setError("SerPutData: port handle " + std::to_string(port) + " not open");
            return -1;
        }
        if (count == 0) return 0;
        // The transmit time-out is the port's WriteTotalTimeoutConstant: a write that cannot finish
        // in time completes with fewer bytes.
        DWORD sent = 0;
        if (!transfer(*h, "WriteFile", [&](OVERLAPPED* ov) {
                const BOOL done = WriteFile(h->file, data, static_cast<DWORD>(count), nullptr, ov);
                // An overlapped write is pending until its bytes are sent, even on an idle line:
                // only one still pending after a frame's time is waiting for room.
                if (!done && GetLastError() == ERROR_IO_PENDING &&
                    WaitForSingleObject(ov->hEvent, writeWaitMs) == WAIT_TIMEOUT) {
                    noticeWriteWait();
                    SetLastError(ERROR_IO_PENDING);
                }
                return done;
            }, sent))
            return -1;
        if (static_cast<int>(sent) < count) setError("SerPutData: transmit time-out on " + h->path);
        return static_cast<int>(sent);
    }

    int SerGetData(int port, uint8_t* buf, int count) override {
        auto h = find(port);
        if (!h || count < 0 || (count > 0 && !buf)) {
            if (!h) setError("SerGetData: port handle " + std::to_string(port) + " not open");
            return -1;
        }
        if (count == 0) return 0;
        // The receive time-out is in the port's read time-outs: the read ends with the first bytes
        // that arrive, or with none when the time-out passes.
        DWORD got = 0;
        if (!transfer(*h, "ReadFile", [&](OVERLAPPED* ov) {
                return ReadFile(h->file, buf, static_cast<DWORD>(count), nullptr, ov);
            }, got))
            return -1;
        return static_cast<int>(got);
    }

    int SerRxFlush(int port) override {
        return onFile(port, "PurgeComm(PURGE_RXCLEAR)", [](HANDLE f) { return PurgeComm(f, PURGE_RXCLEAR | PURGE_RXABORT); });
    }
    int SerTxFlush(int port) override {
        return onFile(port, "PurgeComm(PURGE_TXCLEAR)", [](HANDLE f) { return PurgeComm(f, PURGE_TXCLEAR | PURGE_TXABORT); });
    }
    int SerTxDrain(int port) override {
        return onFile(port, "FlushFileBuffers", [](HANDLE f) { return FlushFileBuffers(f); });
    }

    int SerRxReadyCount(int port) override {
        COMSTAT st{};
        return commStatus(port, &st) ? static_cast<int>(st.cbInQue) : -1;
    }
    int SerTxBufCount(int port) override {
        COMSTAT st{};
        return commStatus(port, &st) ? static_cast<int>(st.cbOutQue) : -1;
    }

    int SerRxOverflow(int port) override { return lineError(port, CE_RXOVER | CE_OVERRUN); }
    int SerSetDTR(int port, int on) override { return escape(port, on ? SETDTR : CLRDTR, on ? "SETDTR" : "CLRDTR"); }
    int SerSetRTS(int port, int on) override { return escape(port, on ? SETRTS : CLRRTS, on ? "SETRTS" : "CLRRTS"); }

    int SerSendBreak(int port, int duration) override {
        if (onFile(port, "SetCommBreak", [](HANDLE f) { return SetCommBreak(f); }) != 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(duration > 0 ? duration : 250));
        return onFile(port, "ClearCommBreak", [](HANDLE f) { return ClearCommBreak(f); });
    }

    int SerSetTimeoutRx(int port, int ms) override { return setTimeout(port, ms, &Handle::rxTimeoutMs); }
    int SerSetTimeoutTx(int port, int ms) override { return setTimeout(port, ms, &Handle::txTimeoutMs); }

    int SerSigCTS(int port) override { return modemLine(port, MS_CTS_ON); }
    int SerSigDSR(int port) override { return modemLine(port, MS_DSR_ON); }
    int SerSigCD(int port) override { return modemLine(port, MS_RLSD_ON); }
    int SerSigRing(int port) override { return modemLine(port, MS_RING_ON); }
    int SerSigFrameErr(int port) override { return lineError(port, CE_FRAME); }
    int SerSigParityErr(int port) override { return lineError(port, CE_RXPARITY); }
    int SerSigOverrun(int port) override { return lineError(port, CE_OVERRUN); }
    int SerSigBreak(int port) override { return lineError(port, CE_BREAK); }

    int SerDeviceLost(int port, std::string* reason) override {
        auto h = find(port);
        if (!h) return -1;
        DWORD gone = h->goneError.load();
        if (gone == 0) {
            // Idle: the driver refuses a status query once the device has gone.
            COMSTAT st{};
            if (const DWORD e = collectErrors(*h, &st); meansDeviceGone(e)) gone = e;
        }
        if (gone == 0) return 0;
        if (reason) *reason = platform::windowsErrorText(gone);
        return 1;
    }

    int SerFlowTask(int port) override {
        // The port driver does the flow control; a call only paces the caller's loop.
        (void)port;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    }

    std::string SerDevicePath(const SerialConfig& cfg) override {
        std::string path;
        int number = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (!resolve(cfg, path, number)) return textOf(cfg.getPortName());
        // A port is named as the operator names it: "COM12", not "\\.\COM12".
        const std::string bare = withoutDevicePrefix(path);
        return comNumber(bare) > 0 ? bare : path;
    }

private:
    // Device path and port number for the configuration; false when it names no port.
    bool resolve(const SerialConfig& cfg, std::string& path, int& number) {
        const std::string name = textOf(cfg.getPortName());
        const std::string bare = comName(withoutDevicePrefix(name));
        const int com = comNumber(bare);
        if (const auto mapped = mappedPath(name)) {
            path = devicePathOf(*mapped);
            number = com > 0 ? com : pathNumber(path);
            return true;
        }
        if (com > 0) {
            path = kDevicePrefix + bare;
            number = com;
        } else if (name.size() > kDevicePrefix.size() && name.rfind(kDevicePrefix, 0) == 0) {
            path = name;
            number = pathNumber(path);
        } else if (name.empty() && cfg.getPort() >= 1 && cfg.getPort() <= kMaxComNumber) {
            path = kDevicePrefix + "COM" + std::to_string(cfg.getPort());
            number = cfg.getPort();
        } else {
            return false;
        }
        return true;
    }

    // Read time-outs: return with what has arrived as soon as anything has, else after the receive
    // time-out (at once for 0). Write time-out: the transmit time-out, 0 for none.
    bool applyTimeouts(Handle& h) {
        COMMTIMEOUTS t{};
        const int rx = h.rxTimeoutMs.load();
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = rx > 0 ? MAXDWORD : 0;
        t.ReadTotalTimeoutConstant = rx > 0 ? static_cast<DWORD>(rx) : 0;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = static_cast<DWORD>(h.txTimeoutMs.load());
        if (!SetCommTimeouts(h.file, &t)) {
            setSysError("SetCommTimeouts(" + h.path + ")", GetLastError());
            return false;
        }
        return true;
    }

    // Starts one overlapped read or write and waits for it; false (error set) when it fails.
    template <class Start>
    bool transfer(Handle& h, const char* call, Start start, DWORD& done) {
        Overlapped o;
        if (!o.ov.hEvent) {
            setSysError("CreateEventA", GetLastError());
            return false;
        }
        done = 0;
        if (!start(&o.ov)) {
            const DWORD e = GetLastError();
            if (e != ERROR_IO_PENDING) return failed(h, call, e);
        }
        if (!GetOverlappedResult(h.file, &o.ov, &done, TRUE)) {
            const DWORD e = GetLastError();
            if (e == ERROR_OPERATION_ABORTED) return true;  // purged: what was done counts
            return failed(h, call, e);
        }
        return true;
    }

    // A failed read or write: the error is kept when it says the device is gone (see SerDeviceLost).
    bool failed(Handle& h, const char* call, DWORD e) {
        if (meansDeviceGone(e)) h.goneError.store(e);
        setSysError(std::string(call) + "(" + h.path + ")", e);
        return false;
    }

    template <class F>
    int onFile(int port, const char* call, F f) {
        auto h = find(port);
        if (!h) {
            setError(std::string(call) + ": port handle " + std::to_string(port) + " not open");
            return -1;
        }
        if (!f(h->file)) {
            setSysError(std::string(call) + "(" + h->path + ")", GetLastError());
            return -1;
        }
        return 0;
    }

    int escape(int port, DWORD function, const char* name) {
        return onFile(port, (std::string("EscapeCommFunction(") + name + ")").c_str(),
                      [function](HANDLE f) { return EscapeCommFunction(f, function); });
    }

    int modemLine(int port, DWORD bit) {
        DWORD lines = 0;
        if (onFile(port, "GetCommModemStatus", [&](HANDLE f) { return GetCommModemStatus(f, &lines); }) != 0)
            return -1;
        return (lines & bit) ? 1 : 0;
    }

    // Queue counts, and the line errors since the last call collected into the handle.
    bool commStatus(int port, COMSTAT* st) {
        auto h = find(port);
        if (!h) {
            setError("ClearCommError: port handle " + std::to_string(port) + " not open");
            return false;
        }
        return collectErrors(*h, st) == 0;
    }

    // 0, or the error the query failed with.
    DWORD collectErrors(Handle& h, COMSTAT* st) {
        DWORD errors = 0;
        if (!ClearCommError(h.file, &errors, st)) {
            const DWORD e = GetLastError();
            setSysError("ClearCommError(" + h.path + ")", e);
            return e;
        }
        std::lock_guard<std::mutex> lock(h.errorMutex);
        h.pendingErrors |= errors & kLineErrors;
        return 0;
    }

    // 1 when the line error occurred since the previous query of it (or since the open), 0 when
    // not, -1 when the port is not open or the driver cannot tell.
    int lineError(int port, DWORD bits) {
        auto h = find(port);
        if (!h) {
            setError("ClearCommError: port handle " + std::to_string(port) + " not open");
            return -1;
        }
        COMSTAT st{};
        if (collectErrors(*h, &st) != 0) return -1;
        std::lock_guard<std::mutex> lock(h->errorMutex);
        const bool seen = (h->pendingErrors & bits) != 0;
        h->pendingErrors &= ~bits;
        return seen ? 1 : 0;
    }

    int setTimeout(int port, int ms, std::atomic<int> Handle::*field) {
        auto h = find(port);
        if (!h || ms < 0) {
            setError("SerSetTimeout: " + std::string(h ? "negative time-out" : "port handle not open"));
            return -1;
        }
        std::lock_guard<std::mutex> lock(h->errorMutex);
        const int before = ((*h).*field).exchange(ms);
        if (!applyTimeouts(*h)) {
            ((*h).*field).store(before);
            return -1;
        }
        return 0;
    }

    void setSysError(const std::string& call, DWORD err) { setError(call + ": " + platform::windowsErrorText(err)); }
};

}  // namespace

std::unique_ptr<SerialNative> makeWin32Native() { return std::make_unique<Win32Native>(); }

}  // namespace SerialIO
