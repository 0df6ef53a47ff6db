// The native serial library over POSIX termios (Linux).
//
// Port names: "COMn" (n from 1 to 256) is the n-th serial port, "/dev/ttyS" followed by n - 1
// (or by the configuration's base name when it has one), port number n. A name that begins with
// "/" is a device path used as is; each distinct path gets its own stable port number from 257 on.
// A configuration without a name but with a port number n >= 1 opens base name + (n - 1).
// mapPortName() redirects a name to another device path (the port number stays the name's).
//
// SerOpenPort result codes:
//   0     opened; the configuration's port number is set (1-based)
//   1000  this process has the port open already
//   1001  a system call failed; SerLastError() names the call and the system's error text
//   1002  another process (or another open file description) holds the port (TIOCEXCL, flock)
//   1003  no such device, not a terminal, or a name that names no port
// SerConfigure result codes: 2001 port not open, 2002 a code out of range or not offered here
//   (DSR/DTR handshake), 2003 tcgetattr/tcsetattr failed, 2004 the device did not take every setting
//   (read back after tcsetattr; SerLastError() names the settings).
// Time-outs: the receive time-out is in milliseconds (0: return at once); the transmit time-out
// is in milliseconds too, 0 meaning no limit. The break duration is in milliseconds.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "SerialIO/IOException.h"
#include "SerialIO/SerialConfig.h"
#include "SerialIO/native/NativeBase.h"

namespace SerialIO {

namespace {

speed_t speedOf(int code) {
    static const speed_t speeds[] = {B110,  B150,  B300,   B600,   B1200,  B2400,
                                     B4800, B9600, B19200, B38400, B57600, B115200};
    return speeds[code];
}

// The settings of `wanted` that `got` does not have, as readable names ("" when all took).
std::string refusedSettings(const struct termios& wanted, const struct termios& got) {
    std::string names;
    auto check = [&](bool same, const char* name) {
        if (same) return;
        if (!names.empty()) names += ", ";
        names += name;
    };
    check(cfgetispeed(&wanted) == cfgetispeed(&got) && cfgetospeed(&wanted) == cfgetospeed(&got), "speed");
    check((wanted.c_cflag & CSIZE) == (got.c_cflag & CSIZE), "data bits");
    check((wanted.c_cflag & (PARENB | PARODD | CMSPAR)) == (got.c_cflag & (PARENB | PARODD | CMSPAR)), "parity");
    check((wanted.c_cflag & CSTOPB) == (got.c_cflag & CSTOPB), "stop bits");
    check((wanted.c_cflag & CRTSCTS) == (got.c_cflag & CRTSCTS), "hardware flow control");
    constexpr tcflag_t input = INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY;
    check((wanted.c_iflag & input) == (got.c_iflag & input), "input processing");
    check((wanted.c_lflag & (ICANON | ECHO | ISIG)) == (got.c_lflag & (ICANON | ECHO | ISIG)), "raw mode");
    check(wanted.c_cc[VMIN] == got.c_cc[VMIN] && wanted.c_cc[VTIME] == got.c_cc[VTIME], "read timing");
    return names;
}

struct Handle {
    int fd = -1;
    std::string path;
    dev_t rdev = 0;
    std::atomic<int> rxTimeoutMs{0};
    std::atomic<int> txTimeoutMs{0};
    std::mutex countMutex;  // guards the error-counter baselines
    int seenFrame = 0, seenParity = 0, seenOverrun = 0, seenBreak = 0, seenRxOverflow = 0;
    std::atomic<int> lostErrno{0};  // error of a transfer that found the device gone, 0 while none

    ~Handle() {
        if (fd >= 0) {
            ioctl(fd, TIOCNXCL);
            ::close(fd);  // also releases the flock
        }
    }
};

class TermiosNative final : public NativeBase<Handle> {
public:
    int SerGetLibVer() override { return 100; }

    int SerOpenPort(SerialConfig& cfg) override {
        std::string path;
        int number = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (!resolve(cfg, path, number)) {
            setError("SerOpenPort: no port named \"" + printable(textOf(cfg.getPortName())) + "\"");
            return 1003;
        }
        if (handles.count(number - 1)) return 1000;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            const int e = errno;
            setSysError("stat(" + path + ")", e, path);
            return (e == ENOENT || e == ENOTDIR) ? 1003 : 1001;
        }
        for (const auto& [index, h] : handles)
            if (S_ISCHR(st.st_mode) && h->rdev == st.st_rdev) return 1000;

        auto h = std::make_shared<Handle>();
        h->path = path;
        h->rdev = st.st_rdev;
        h->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (h->fd < 0) {
            const int e = errno;
            setSysError("open(" + path + ")", e, path);
            if (e == ENOENT || e == ENXIO || e == ENODEV) return 1003;
            return e == EBUSY ? 1002 : 1001;
        }
        if (!isatty(h->fd)) {
            setSysError("isatty(" + path + ")", ENOTTY, path);
            ::close(h->fd);
            h->fd = -1;
            return 1003;
        }
        if (flock(h->fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            setSysError("flock(" + path + ")", e, path);
            ::close(h->fd);
            h->fd = -1;
            return e == EWOULDBLOCK ? 1002 : 1001;
        }
        if (ioctl(h->fd, TIOCEXCL) != 0) {
            setSysError("ioctl(" + path + ", TIOCEXCL)", errno, path);
            ::close(h->fd);
            h->fd = -1;
            return 1001;
        }
        // The descriptor stays non-blocking: a write goes out in one system call when the driver
        // has room and says EAGAIN when it has none; reads wait in poll() either way.
        readCounters(*h, true);
        cfg.setPortNum(number);
        handles[number - 1] = std::move(h);
        return 0;
    }

    int SerConfigure(const SerialConfig& cfg) override {
        std::shared_ptr<Handle> h;
        if (const int refused = configurable(cfg, 2, h)) return refused;  // no DSR/DTR handshake here
        const int rate = cfg.getBitRate(), parity = cfg.getParity(), data = cfg.getDataBits();
        const int stop = cfg.getStopBits(), hs = cfg.getHandshake();
        struct termios t {};
        if (tcgetattr(h->fd, &t) != 0) {
            setSysError("tcgetattr(" + h->path + ")", errno, h->path);
            return 2003;
        }
        // Every flag that shapes the line is set here, whatever a previous program left behind:
        // raw bytes both ways, no mark/space parity, input parity checking exactly when parity is on.
        cfmakeraw(&t);
        cfsetispeed(&t, speedOf(rate));
        cfsetospeed(&t, speedOf(rate));
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        t.c_cflag |= sizes[data] | CLOCAL | CREAD;
        if (parity == SerialConfig::PY_ODD) t.c_cflag |= PARENB | PARODD;
        if (parity == SerialConfig::PY_EVEN) t.c_cflag |= PARENB;
        if (stop == SerialConfig::ST_2BITS) t.c_cflag |= CSTOPB;
        t.c_iflag = 0;  // no parity marking or dropping, no stripping, no translation, no flow control
        if (parity != SerialConfig::PY_NONE) t.c_iflag |= INPCK;
        if (hs == SerialConfig::HS_XONXOFF) t.c_iflag |= IXON | IXOFF;
        if (hs == SerialConfig::HS_CTSRTS) t.c_cflag |= CRTSCTS;
        if (hs >= 16) {
            if (hs & (SerialConfig::HS_HARD_IN | SerialConfig::HS_HARD_OUT)) t.c_cflag |= CRTSCTS;
            if (hs & SerialConfig::HS_SOFT_IN) t.c_iflag |= IXOFF;
            if (hs & SerialConfig::HS_SOFT_OUT) t.c_iflag |= IXON;
        }
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cc[VMIN] = 0;  // reads return what is there; the waiting is done with poll()
        t.c_cc[VTIME] = 0;
        if (tcsetattr(h->fd, TCSANOW, &t) != 0) {
            setSysError("tcsetattr(" + h->path + ")", errno, h->path);
            return 2003;
        }
        // tcsetattr succeeds when any one of the settings took: read them back.
        struct termios got {};
        if (tcgetattr(h->fd, &got) != 0) {
            setSysError("tcgetattr(" + h->path + ")", errno, h->path);
            return 2003;
        }
        const std::string refused = refusedSettings(t, got);
        if (!refused.empty()) {
            setError("tcsetattr(" + h->path + "): the device did not take " + refused, h->path);
            return 2004;
        }
        return 0;
    }

    int SerPutData(int port, const uint8_t* data, int count) override {
        auto h = find(port);
        if (!h || count < 0 || (count > 0 && !data)) {
            if (!h) setError("SerPutData: port handle " + std::to_string(port) + " not open");
            return -1;
        }
        // Written first, waited for only when the driver's buffer is full: a frame is one system
        // call on the way out. The wait is bounded by the transmit time-out (0: none).
        const int tx = h->txTimeoutMs.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(tx);
        int sent = 0;
        bool noticed = false;
        while (sent < count) {
            const ssize_t n = ::write(h->fd, data + sent, static_cast<size_t>(count - sent));
            if (n >= 0) {
                sent += static_cast<int>(n);
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                noteLost(*h, errno);
                setSysError("write(" + h->path + ")", errno);
                return sent > 0 ? sent : -1;
            }
            if (!std::exchange(noticed, true)) noticeWriteWait();
            int wait = -1;
            if (tx > 0) {
                // Rounded up: the time-out never ends early.
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<long long>(0, left.count()));
            }
            struct pollfd p {h->fd, POLLOUT, 0};
            const int r = poll(&p, 1, wait);
            if (r == 0) {
                setError("SerPutData: transmit time-out on " + h->path);
                break;
            }
            if (r < 0 && errno != EINTR) {
                setSysError("poll(" + h->path + ")", errno);
                break;
            }
            // Ready, or a hang-up or error that the next write reports.
        }
        return sent;
    }

    int SerGetData(int port, uint8_t* buf, int count) override {
        auto h = find(port);
        if (!h || count < 0 || (count > 0 && !buf)) {
            if (!h) setError("SerGetData: port handle " + std::to_string(port) + " not open");
            return -1;
        }
        if (count == 0) return 0;
        struct pollfd p {h->fd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, std::max(0, h->rxTimeoutMs.load()));
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            setSysError("poll(" + h->path + ")", errno);
            return -1;
        }
        if (r == 0) return 0;
        ssize_t n;
        do {
            n = ::read(h->fd, buf, static_cast<size_t>(count));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN) return 0;
            noteLost(*h, errno);
            setSysError("read(" + h->path + ")", errno);
            return -1;
        }
        return static_cast<int>(n);
    }

    int SerRxFlush(int port) override { return onFd(port, "tcflush(TCIFLUSH)", [](int fd) { return tcflush(fd, TCIFLUSH); }); }
    int SerTxFlush(int port) override { return onFd(port, "tcflush(TCOFLUSH)", [](int fd) { return tcflush(fd, TCOFLUSH); }); }
    int SerTxDrain(int port) override { return onFd(port, "tcdrain", [](int fd) { return tcdrain(fd); }); }

    int SerRxReadyCount(int port) override { return queueCount(port, FIONREAD, "ioctl(FIONREAD)"); }
    int SerTxBufCount(int port) override { return queueCount(port, TIOCOUTQ, "ioctl(TIOCOUTQ)"); }

    int SerRxOverflow(int port) override { return counterRose(port, &Handle::seenRxOverflow); }
    int SerSetDTR(int port, int on) override { return setLine(port, TIOCM_DTR, on); }
    int SerSetRTS(int port, int on) override { return setLine(port, TIOCM_RTS, on); }

    int SerSendBreak(int port, int duration) override {
        return onFd(port, "tcsendbreak", [duration](int fd) { return tcsendbreak(fd, duration); });
    }

    int SerSetTimeoutRx(int port, int ms) override { return setTimeout(port, ms, &Handle::rxTimeoutMs); }
    int SerSetTimeoutTx(int port, int ms) override { return setTimeout(port, ms, &Handle::txTimeoutMs); }

    int SerSigCTS(int port) override { return modemLine(port, TIOCM_CTS); }
    int SerSigDSR(int port) override { return modemLine(port, TIOCM_DSR); }
    int SerSigCD(int port) override { return modemLine(port, TIOCM_CAR); }
    int SerSigRing(int port) override { return modemLine(port, TIOCM_RNG); }
    int SerSigFrameErr(int port) override { return counterRose(port, &Handle::seenFrame); }
    int SerSigParityErr(int port) override { return counterRose(port, &Handle::seenParity); }
    int SerSigOverrun(int port) override { return counterRose(port, &Handle::seenOverrun); }
    int SerSigBreak(int port) override { return counterRose(port, &Handle::seenBreak); }

    int SerFlowTask(int port) override {
        // The kernel driver does the hardware flow control; a call only paces the caller's loop.
        (void)port;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return 0;
    }

    int SerDeviceLost(int port, std::string* reason) override {
        auto h = find(port);
        if (!h) return -1;
        std::string why;
        if (const int e = h->lostErrno.load()) {
            why = std::strerror(e);
        } else {
            // A device that went away hangs up every descriptor on it: poll reports it at once.
            struct pollfd p {h->fd, 0, 0};
            int r;
            do {
                r = poll(&p, 1, 0);
            } while (r < 0 && errno == EINTR);
            struct stat st {};
            if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                why = (p.revents & POLLHUP) ? "hung up" : std::strerror(EIO);
            } else if (::stat(h->path.c_str(), &st) != 0) {
                if (errno == ENOENT || errno == ENOTDIR || errno == ENODEV) why = "device node removed";
            } else if (st.st_rdev != h->rdev) {
                why = "device node now names another device";
            }
        }
        if (why.empty()) return 0;
        if (reason) *reason = why;
        return 1;
    }

    void SerReleaseAtExit() override {
        // Not waiting for the lock: the process is ending, and the table is only ever held briefly.
        std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
        if (!lock.owns_lock()) return;
        for (const auto& [index, h] : handles)
            if (h->fd >= 0) ioctl(h->fd, TIOCNXCL);
    }

    std::string SerDevicePath(const SerialConfig& cfg) override {
        std::string path;
        int number = 0;
        std::lock_guard<std::mutex> lock(mutex);
        return resolve(cfg, path, number) ? path : textOf(cfg.getPortName());
    }

private:
    // Device path and port number for the configuration; false when it names no port.
    bool resolve(const SerialConfig& cfg, std::string& path, int& number) {
        const std::string name = textOf(cfg.getPortName());
        std::string base = textOf(cfg.getBaseName());
        if (base.empty()) base = "/dev/ttyS";
        const int com = comNumber(name);
        if (const auto mapped = mappedPath(name)) {
            path = *mapped;
            number = com > 0 ? com : pathNumber(path);
            return true;
        }
        if (com > 0) {
            path = base + std::to_string(com - 1);
            number = com;
        } else if (!name.empty() && name[0] == '/') {
            path = name;
            number = pathNumber(path);
        } else if (name.empty() && cfg.getPort() >= 1 && cfg.getPort() <= kMaxComNumber) {
            path = base + std::to_string(cfg.getPort() - 1);
            number = cfg.getPort();
        } else {
            return false;
        }
        return true;
    }

    // A transfer failed the way only a device that went away fails.
    static void noteLost(Handle& h, int err) {
        if (err == EIO || err == ENXIO || err == ENODEV || err == EPIPE) h.lostErrno.store(err);
    }

    template <class F>
    int onFd(int port, const char* call, F f) {
        auto h = find(port);
        if (!h) {
            setError(std::string(call) + ": port handle " + std::to_string(port) + " not open");
            return -1;
        }
        int r;
        do {
            r = f(h->fd);  // a signal that arrives meanwhile (tcdrain and tcsendbreak wait) is no failure
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            setSysError(std::string(call) + "(" + h->path + ")", errno);
            return -1;
        }
        return 0;
    }

    int queueCount(int port, unsigned long request, const char* call) {
        int n = 0;
        const int r = onFd(port, call, [&](int fd) { return ioctl(fd, request, &n); });
        return r < 0 ? -1 : n;
    }

    int modemLine(int port, int bit) {
        int lines = 0;
        const int r = onFd(port, "ioctl(TIOCMGET)", [&](int fd) { return ioctl(fd, TIOCMGET, &lines); });
        if (r < 0) return -1;
        return (lines & bit) ? 1 : 0;
    }

    int setLine(int port, int bit, int on) {
        return onFd(port, on ? "ioctl(TIOCMBIS)" : "ioctl(TIOCMBIC)",
                    [&](int fd) { return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit); });
    }

    int setTimeout(int port, int ms, std::atomic<int> Handle::*field) {
        auto h = find(port);
        if (!h || ms < 0) {
            setError("SerSetTimeout: " + std::string(h ? "negative time-out" : "port handle not open"));
            return -1;
        }
        ((*h).*field).store(ms);
        return 0;
    }

    // Error counters of the driver, where it keeps them (TIOCGICOUNT); false elsewhere.
    struct Counters {
        int frame = 0, parity = 0, overrun = 0, brk = 0, rxOverflow = 0;
    };
    static bool icount(int fd, Counters& c) {
#if defined(__linux__) && defined(TIOCGICOUNT)
        struct serial_icounter_struct ic {};
        if (ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
        c.frame = ic.frame;
        c.parity = ic.parity;
        c.overrun = ic.overrun;
        c.brk = ic.brk;
        c.rxOverflow = ic.overrun + ic.buf_overrun;
        return true;
#else
        (void)fd;
        (void)c;
        return false;
#endif
    }

    static void readCounters(Handle& h, bool baseline) {
        Counters c;
        if (!baseline || !icount(h.fd, c)) return;
        std::lock_guard<std::mutex> lock(h.countMutex);
        h.seenFrame = c.frame;
        h.seenParity = c.parity;
        h.seenOverrun = c.overrun;
        h.seenBreak = c.brk;
        h.seenRxOverflow = c.rxOverflow;
    }

    // 1 when the driver's counter rose since the previous query (or since the open); 0 when not,
    // or when the driver keeps no counters; -1 when the port is not open.
    int counterRose(int port, int Handle::*seen) {
        auto h = find(port);
        if (!h) {
            setError("ioctl(TIOCGICOUNT): port handle " + std::to_string(port) + " not open");
            return -1;
        }
        Counters c;
        if (!icount(h->fd, c)) return 0;
        int now = 0;
        if (seen == &Handle::seenFrame) now = c.frame;
        if (seen == &Handle::seenParity) now = c.parity;
        if (seen == &Handle::seenOverrun) now = c.overrun;
        if (seen == &Handle::seenBreak) now = c.brk;
        if (seen == &Handle::seenRxOverflow) now = c.rxOverflow;
        std::lock_guard<std::mutex> lock(h->countMutex);
        const bool rose = now != (*h).*seen;
        (*h).*seen = now;
        return rose ? 1 : 0;
    }

    void setSysError(const std::string& call, int err, const std::string& device = {}) {
        setError(call + ": " + std::strerror(err), device, err);
    }
};

}  // namespace

std::unique_ptr<SerialNative> makeTermiosNative() { return std::make_unique<TermiosNative>(); }

}  // namespace SerialIO
