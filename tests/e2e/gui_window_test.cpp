// The control window on a real X server: the kivonet binary under Xvfb, with a pseudo-terminal as its
// serial device, driven by real pointer and key events. The server runs in a network namespace of
// its own with only loopback up, so its host lookups never leave the machine; the test's client joins
// that namespace from one thread to talk to it.
//
// Every wait is for a condition, cut short by one deadline for the whole test; Xvfb and the server
// are killed on every way out.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib defines macros (None, Status, Bool) that would break other headers.
#include <X11/Xlib.h>
#include <X11/XWDFile.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The whole test ends by this time, pass or fail.
Clock::time_point gDeadline = Clock::now() + 50s;

// The end of a wait of `limit`, never past the test's deadline.
Clock::time_point until(std::chrono::milliseconds limit) { return std::min(Clock::now() + limit, gDeadline); }

// Whole seconds left for a helper program (at least 1).
int secondsLeft() {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(gDeadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 1, 10));
}

bool onPath(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

pid_t spawn(const std::vector<std::string>& argv, int stdoutFd, const std::vector<std::string>& env) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (stdoutFd >= 0) dup2(stdoutFd, STDOUT_FILENO);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        if (stdoutFd < 0) dup2(devnull, STDOUT_FILENO);
        dup2(stdoutFd >= 0 ? stdoutFd : devnull, STDERR_FILENO);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// A child process that is killed when the test leaves, whichever way it leaves.
class Child {
public:
    explicit Child(pid_t pid = -1) : pid_(pid) {}
    ~Child() { kill(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    void reset(pid_t pid) {
        kill();
        pid_ = pid;
    }
    pid_t pid() const { return pid_; }
    // Waits for the child to end by itself; true with its status in `status`.
    bool waitExit(std::chrono::milliseconds limit, int& status) {
        if (pid_ <= 0) return false;
        for (auto end = until(limit); Clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
        }
        return false;
    }
    void terminate() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status;
        if (!waitExit(2000ms, status)) kill();
    }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

bool displayAnswers(const std::string& display);

// A private X server on the first free display number from 57 on; stopped at the end.
class Xserver {
public:
    bool start() {
        for (int n = 57; n < 99 && Clock::now() < gDeadline; ++n) {
            const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
            if (access(lock.c_str(), F_OK) == 0 || access(sock.c_str(), F_OK) == 0) continue;
            name_ = ":" + std::to_string(n);
            // -noreset: Xvfb otherwise resets whenever its last client leaves, and a connection
            // attempt during the reset fails; the test's own tools come and go all the time.
            process_.reset(spawn({"Xvfb", name_, "-screen", "0", "640x400x24", "-nolisten", "tcp", "-noreset"},
                                 -1, {}));
            for (auto end = until(5s); Clock::now() < end; std::this_thread::sleep_for(20ms)) {
                if (displayAnswers(name_)) return true;
                int status;
                if (process_.waitExit(0ms, status)) break;  // lost the race for this number
            }
            process_.terminate();
        }
        return false;
    }
    // Asked to stop, so that it removes its lock file and socket.
    ~Xserver() { stop(); }
    void stop() { process_.terminate(); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    Child process_;
};

// A scratch folder, removed at the end.
class TempDir {
public:
    TempDir() {
        char dir[] = "/tmp/kivo-gui-XXXXXX";
        if (mkdtemp(dir)) path_ = dir;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The master side of the server's serial device.
class Pty {
public:
    Pty() {
        fd_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) return;
        path_ = ptsname(fd_);
        termios t{};
        if (tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Pty() {
        if (fd_ >= 0) close(fd_);
    }
    const std::string& path() const { return path_; }
    // Reads until `count` bytes arrived or the time is up.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds limit = 3000ms) {
        std::vector<uint8_t> got;
        const auto end = until(limit);
        while (got.size() < count && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[64];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    // Whatever arrives within `quiet`.
    std::vector<uint8_t> drain(std::chrono::milliseconds quiet = 300ms) { return read(4096, quiet); }

private:
    int fd_ = -1;
    std::string path_;
};

// Collects the server's console output.
class Console {
public:
    explicit Console(int fd) : fd_(fd), reader_([this] { loop(); }) {}
    ~Console() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    bool waitFor(const std::string& text, std::chrono::milliseconds limit = 3000ms) {
        for (auto end = until(limit); Clock::now() < end; std::this_thread::sleep_for(20ms))
            if (all().find(text) != std::string::npos) return true;
        return all().find(text) != std::string::npos;
    }
    std::string all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(buf, static_cast<size_t>(n));
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string text_;
    std::thread reader_;
};

// A TCP client inside the server's network namespace; it tries until the server listens.
class Client {
public:
    Client(pid_t server, int port) {
        std::thread([&] {
            const int ns = open(("/proc/" + std::to_string(server) + "/ns/net").c_str(), O_RDONLY);
            if (ns < 0) return;
            const bool joined = setns(ns, CLONE_NEWNET) == 0;
            close(ns);
            if (!joined) return;
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (auto end = until(3000ms); Clock::now() < end; std::this_thread::sleep_for(20ms)) {
                fd_ = socket(AF_INET, SOCK_STREAM, 0);
                if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return;
                close(fd_);
                fd_ = -1;
            }
        }).join();
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& line) {
        const std::string l = line + "\r\n";
        ASSERT_EQ(::send(fd_, l.data(), l.size(), MSG_NOSIGNAL), static_cast<ssize_t>(l.size()));
    }
    // The next line, or "<eof>" when the server closed, or "<timeout>".
    std::string line(std::chrono::milliseconds limit = 3000ms) {
        const auto end = until(limit);
        for (;;) {
            const auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                if (!l.empty() && l.back() == '\r') l.pop_back();
                return l;
            }
            if (Clock::now() >= end) return "<timeout>";
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char b[256];
            const ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) return "<eof>";
            buf_.append(b, static_cast<size_t>(n));
        }
    }

private:
    int fd_ = -1;
    std::string buf_;
};

// The few Xlib calls the test makes itself, loaded at run time: the test program does not link libX11.
struct Xlib {
    Xlib() {
        void* x11 = dlopen("libX11.so.6", RTLD_NOW);
        if (!x11) return;
        open = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
        atom = reinterpret_cast<Atom (*)(Display*, const char*, int)>(dlsym(x11, "XInternAtom"));
        sendEvent = reinterpret_cast<int (*)(Display*, Window, int, long, XEvent*)>(dlsym(x11, "XSendEvent"));
        flush = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XFlush"));
        close = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XCloseDisplay"));
    }
    bool loaded() const { return open && atom && sendEvent && flush && close; }
    Display* (*open)(const char*) = nullptr;
    Atom (*atom)(Display*, const char*, int) = nullptr;
    int (*sendEvent)(Display*, Window, int, long, XEvent*) = nullptr;
    int (*flush)(Display*) = nullptr;
    int (*close)(Display*) = nullptr;
};

// True once the X server takes connections.
bool displayAnswers(const std::string& display) {
    static const Xlib x;
    if (!x.loaded()) return false;
    Display* d = x.open(display.c_str());
    if (!d) return false;
    x.close(d);
    return true;
}

// What the close box does: the window manager's WM_DELETE_WINDOW message. Xvfb runs no window
// manager, so the test sends it itself.
bool sendDeleteWindow(const std::string& display, unsigned long window) {
    static const Xlib x;
    if (!x.loaded()) return false;
    Display* d = x.open(display.c_str());
    if (!d) return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = x.atom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(x.atom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    x.sendEvent(d, window, False, NoEventMask, &e);
    x.flush(d);
    x.close(d);
    return true;
}

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "rgb(" << c.r << ',' << c.g << ',' << c.b << ')';
}

// One window as the X server holds it: the window dump `xwd` writes, decoded here. The dump is an
// XWDFileHeader (every field a big-endian 32-bit word), the window name up to header_size, ncolors
// colour map entries, then the rows of pixels, bytes_per_line apart.
class Screenshot {
public:
    // Empty on success, else what went wrong.
    std::string take(const std::string& display, const std::string& window) {
        const std::string dump = run("timeout " + std::to_string(secondsLeft()) + " xwd -id " + window +
                                     " -silent -display " + display + " 2>/dev/null");
        return decode(dump);
    }

    std::string decode(const std::string& dump) {
        static_assert(sizeof(XWDFileHeader) == sz_XWDheader && sz_XWDheader % 4 == 0);
        if (dump.size() < sz_XWDheader) return "short dump (" + std::to_string(dump.size()) + " bytes)";
        uint32_t words[sz_XWDheader / 4];
        std::memcpy(words, dump.data(), sz_XWDheader);
        for (auto& word : words) word = ntohl(word);
        XWDFileHeader hd;
        std::memcpy(&hd, words, sz_XWDheader);
        if (hd.file_version != XWD_FILE_VERSION) return "dump version " + std::to_string(hd.file_version);
        if (hd.pixmap_format != ZPixmap) return "not a ZPixmap dump";
        if (hd.visual_class != TrueColor && hd.visual_class != DirectColor) return "not a true-colour visual";
        if (hd.bits_per_pixel != 24 && hd.bits_per_pixel != 32)
            return std::to_string(hd.bits_per_pixel) + " bits per pixel";
        const size_t bytesPerPixel = hd.bits_per_pixel / 8;
        const size_t start = size_t{hd.header_size} + size_t{hd.ncolors} * sz_XWDColor;
        w = static_cast<int>(hd.pixmap_width);
        h = static_cast<int>(hd.pixmap_height);
        if (hd.bytes_per_line < w * bytesPerPixel || dump.size() < start + size_t{hd.bytes_per_line} * h)
            return "pixels cut short";
        const int shifts[3] = {shift(hd.red_mask), shift(hd.green_mask), shift(hd.blue_mask)};
        const uint32_t masks[3] = {hd.red_mask, hd.green_mask, hd.blue_mask};
        pixels.assign(static_cast<size_t>(w) * h * 3, 0);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const auto* p = reinterpret_cast<const uint8_t*>(dump.data()) + start +
                                size_t{hd.bytes_per_line} * y + bytesPerPixel * x;
                uint32_t value = 0;
                for (size_t i = 0; i < bytesPerPixel; ++i) {
                    const size_t from = hd.byte_order == MSBFirst ? i : bytesPerPixel - 1 - i;
                    value = value << 8 | p[from];
                }
                for (int c = 0; c < 3; ++c) {
                    // Each channel scaled to 0..255, whatever its width in the mask.
                    const uint32_t max = masks[c] >> shifts[c];
                    const uint32_t v = (value & masks[c]) >> shifts[c];
                    pixels[(static_cast<size_t>(y) * w + x) * 3 + c] =
                        static_cast<uint8_t>(max ? (v * 255 + max / 2) / max : 0);
                }
            }
        }
        return {};
    }

    Rgb at(int x, int y) const {
        if (x < 0 || y < 0 || x >= w || y >= h) return {-1, -1, -1};
        const size_t i = (static_cast<size_t>(y) * w + x) * 3;
        return {pixels[i], pixels[i + 1], pixels[i + 2]};
    }

    // A binary portable pixmap (P6), which most image tools read.
    void savePpm(const std::string& file) const {
        std::ofstream out(file, std::ios::binary);
        out << "P6\n" << w << ' ' << h << "\n255\n";
        out.write(reinterpret_cast<const char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
    }

    int w = 0, h = 0;
    std::vector<uint8_t> pixels;

private:
    static int shift(uint32_t mask) { return mask ? __builtin_ctz(mask) : 0; }
};

std::vector<uint8_t> frames(std::initializer_list<uint8_t> b) { return b; }

class GuiWindowE2E : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef KIVONET_BIN
        GTEST_SKIP() << "KIVONET_BIN not defined";
#else
        bin_ = KIVONET_BIN;
#endif
        for (const char* tool : {"Xvfb", "xdotool", "xwd", "unshare", "ip", "timeout"})
            if (!onPath(tool)) GTEST_SKIP() << tool << " not installed";
        if (access(bin_.c_str(), X_OK) != 0) GTEST_SKIP() << "no server binary";
        if (geteuid() != 0 || std::system("unshare -n true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs a private network namespace (root)";
        gDeadline = Clock::now() + 50s;
        ASSERT_TRUE(x_.start()) << "Xvfb did not start";
    }

    std::string xdo(const std::string& args) {
        return run("DISPLAY=" + x_.name() + " timeout " + std::to_string(secondsLeft()) + " xdotool " + args +
                   " 2>/dev/null");
    }
    // Pointer events queue up behind each other in the server's event stream, so the next action
    // needs no pause: the window handles them in order.
    void click(int x, int y) {
        xdo("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y) + " click 1");
    }

    std::string bin_;
    Xserver x_;
    std::string window_;
};

TEST_F(GuiWindowE2E, OperatorDrivesTheSelectorAndTheSessionFromTheWindow) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string cfg = dir.path() + "/cfg.bin";
    {
        // COM1, KIVO16, port 3001 (its own namespace: always free), no time limit, clients accepted
        // automatically, the choice on "Route input to both outputs".
        std::ofstream out(cfg, std::ios::binary);
        const char record[6] = {0, 0x50, 0, 0, 0, 2};
        out.write(record, sizeof record);
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    Child server(spawn({"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"", bin_, "--config",
                        cfg, "--device", pty.path(), "--state-file", dir.path() + "/state"},
                       pipefd[1], {"DISPLAY=" + x_.name()}));
    close(pipefd[1]);
    Console console(pipefd[0]);

    for (auto end = until(10s); window_.empty() && Clock::now() < end; std::this_thread::sleep_for(50ms)) {
        std::istringstream ids(xdo("search --name '^KIVONet$'"));
        ids >> window_;
    }
    ASSERT_FALSE(window_.empty()) << "no window titled KIVONet; windows:\n"
                                  << run("xwininfo -root -tree -display " + x_.name() + " 2>&1") << "console:\n"
                                  << console.all();
    // Device initialisation: input 1 to both outputs.
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x01, 0xFE, 0x02, 0x01}));

    // The layout, read back from the screen: two rows of eight input buttons, 37 wide, no gap. The
    // window may be mapped before it is drawn: capture until the background shows.
    const Rgb back{100, 120, 240};
    Screenshot shot;
    std::string error;
    for (auto end = until(5s); Clock::now() < end; std::this_thread::sleep_for(50ms))
        if ((error = shot.take(x_.name(), window_)).empty() && shot.at(2, 50) == back) break;
    ASSERT_EQ(error, "");
    EXPECT_EQ(shot.w, 318) << "window width";
    EXPECT_EQ(shot.h, 300) << "window height";
    EXPECT_EQ(shot.at(2, 50), back) << "window background";
    for (int row = 0; row < 2; ++row) {
        const int top = 46 + 24 * row;
        const int mid = top + 4;
        EXPECT_EQ(shot.at(4, mid), back) << "left of row " << row;
        EXPECT_EQ(shot.at(5 + 37 * 8, mid), back) << "right of row " << row;
        for (int k = 0; k < 8; ++k) {
            const int left = 5 + 37 * k;
            EXPECT_NE(shot.at(left, mid), back) << "left border of button " << row * 8 + k + 1;
            EXPECT_NE(shot.at(left + 36, mid), back) << "right border of button " << row * 8 + k + 1;
            EXPECT_EQ(shot.at(left + 6, mid), back) << "face of button " << row * 8 + k + 1;
        }
        EXPECT_NE(shot.at(20, top), back) << "top border of row " << row;
        EXPECT_NE(shot.at(20, top + 23), back) << "bottom border of row " << row;
    }
    EXPECT_EQ(shot.at(20, 45), back) << "above the buttons";
    EXPECT_EQ(shot.at(20, 94), back) << "below the buttons";
    if (const char* keep = std::getenv("KIVO_SCREENSHOT")) shot.savePpm(keep);

    // Input buttons 16 and 1, in output mode 2: both outputs.
    click(5 + 37 * 7 + 18, 70 + 12);
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x10, 0xFE, 0x02, 0x10}));
    click(5 + 18, 46 + 12);
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x01, 0xFE, 0x02, 0x01}));

    // The routing choice: open it and pick "Route input to output #2"; nothing is sent, and the next
    // button press goes to output 2 only.
    click(116 + 90, 94 + 12);
    xdo("key --window " + window_ + " Up Return");
    EXPECT_TRUE(pty.drain().empty());
    click(5 + 37 + 18, 46 + 12);
    EXPECT_EQ(pty.read(3), frames({0xFE, 0x02, 0x02}));
    EXPECT_TRUE(pty.drain().empty());

    // Host/PWD. The window handles its events in order, so a click on input button 3 after the
    // Enter is done once its frame arrives: by then the Enter has been handled too.
    auto typeIntoHostPwd = [&](const std::string& text) {
        click(80 + 200, 148 + 12);
        std::string keys = "key --window " + window_ + " End";
        for (int i = 0; i < 16; ++i) keys += " BackSpace";
        xdo(keys);
        xdo("type --window " + window_ + " '" + text + "'");
        xdo("key --window " + window_ + " Return");
    };
    auto handled = [&] {
        click(5 + 37 * 2 + 18, 46 + 12);
        return pty.read(3);
    };
    // Raw bytes leave the password as it is.
    typeIntoHostPwd("0xFE0107");
    EXPECT_EQ(pty.read(3), frames({0xFE, 0x01, 0x07}));
    {
        Client c(server.pid(), 3001);
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.line(), "OK");
        c.send("PWDJVK");
        EXPECT_EQ(c.line(), "Password/Connection Accepted!");
    }
    // A new password: the old one is rejected, the new one accepted.
    typeIntoHostPwd("localhost");
    EXPECT_EQ(handled(), frames({0xFE, 0x02, 0x03}));
    {
        Client c(server.pid(), 3001);
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.line(), "OK");
        c.send("PWDJVK");
        EXPECT_EQ(c.line(), "Password/Connection Rejected!");
        EXPECT_EQ(c.line(), "CLOSE");
        EXPECT_EQ(c.line(), "<eof>");
    }
    Client c(server.pid(), 3001);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.line(), "OK");
    c.send("PWDlocalhost");
    EXPECT_EQ(c.line(), "Password/Connection Accepted!");

    // Close while the client is connected.
    click(120 + 35, 220 + 12);
    EXPECT_TRUE(console.waitFor("Button close"));
    EXPECT_EQ(c.line(), "<eof>");

    // The close box ends the process at once with status 0.
    ASSERT_TRUE(sendDeleteWindow(x_.name(), std::stoul(window_)));
    int status = -1;
    ASSERT_TRUE(server.waitExit(5s, status)) << "the server did not end; console:\n" << console.all();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // A sanitizer build of the server reports here; its exit status would not show it.
    EXPECT_EQ(console.all().find("Sanitizer"), std::string::npos) << console.all();

    // The X server gone (a logout, a dropped forwarded session): the next server ends as on any
    // other way out, with status 1, and leaves the line free for the one after it.
    const int slave = open(pty.path().c_str(), O_RDWR | O_NOCTTY);  // kept open, as a simulator does
    ASSERT_GE(slave, 0);
    int pipe2fd[2];
    ASSERT_EQ(pipe(pipe2fd), 0);
    Child next(spawn({"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"", bin_, "--config", cfg,
                      "--device", pty.path(), "--state-file", dir.path() + "/state"},
                     pipe2fd[1], {"DISPLAY=" + x_.name()}));
    close(pipe2fd[1]);
    Console nextConsole(pipe2fd[0]);
    ASSERT_EQ(pty.read(6), frames({0xFE, 0x01, 0x01, 0xFE, 0x02, 0x01})) << nextConsole.all();
    int exclusive = 0;
    ASSERT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    x_.stop();
    ASSERT_TRUE(next.waitExit(8s, status)) << "the server outlived its display; console:\n" << nextConsole.all();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ASSERT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(slave);
}

}  // namespace
