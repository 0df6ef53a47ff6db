// The control window on a real X server: the kivonet binary under Xvfb, with a pseudo-terminal as its
// serial device, driven by real pointer and key events. The server runs in a network namespace of
// its own with only loopback up, so its host lookups never leave the machine; the test's client joins
// that namespace from one thread to talk to it.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: Xlib defines macros (None, Status, Bool) that would break other headers.
#include <X11/Xlib.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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
        dup2(devnull, STDERR_FILENO);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// A private X server on the first free display number from 57 on; stopped at the end.
class Xserver {
public:
    bool start() {
        for (int n = 57; n < 99; ++n) {
            const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
            if (access(lock.c_str(), F_OK) == 0 || access(sock.c_str(), F_OK) == 0) continue;
            name_ = ":" + std::to_string(n);
            pid_ = spawn({"Xvfb", name_, "-screen", "0", "640x400x24", "-nolisten", "tcp"}, -1, {});
            for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(50ms))
                if (access(sock.c_str(), F_OK) == 0) return true;
            stop();
        }
        return false;
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    ~Xserver() { stop(); }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    pid_t pid_ = -1;
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
        const auto end = Clock::now() + limit;
        while (got.size() < count && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
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
        for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(20ms))
            if (all().find(text) != std::string::npos) return true;
        return false;
    }
    std::string all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return;
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(buf, n);
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string text_;
    std::thread reader_;
};

// A TCP client inside the server's network namespace.
class Client {
public:
    Client(pid_t server, int port) {
        std::thread([&] {
            const int ns = open(("/proc/" + std::to_string(server) + "/ns/net").c_str(), O_RDONLY);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) return;
            close(ns);
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
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
        const auto end = Clock::now() + limit;
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
            if (poll(&p, 1, 50) <= 0) continue;
            char b[256];
            const ssize_t n = recv(fd_, b, sizeof b, 0);
            if (n <= 0) return "<eof>";
            buf_.append(b, n);
        }
    }

private:
    int fd_ = -1;
    std::string buf_;
};

// What the close box does: the window manager's WM_DELETE_WINDOW message. Xvfb runs no window
// manager, so the test sends it itself; libX11 is loaded at run time.
bool sendDeleteWindow(const std::string& display, unsigned long window) {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW);
    if (!x11) return false;
    auto open = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    auto atom = reinterpret_cast<Atom (*)(Display*, const char*, int)>(dlsym(x11, "XInternAtom"));
    auto sendEvent = reinterpret_cast<int (*)(Display*, Window, int, long, XEvent*)>(dlsym(x11, "XSendEvent"));
    auto flush = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XFlush"));
    auto closeDisplay = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XCloseDisplay"));
    if (!open || !atom || !sendEvent || !flush || !closeDisplay) return false;
    Display* d = open(display.c_str());
    if (!d) return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = atom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(atom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    sendEvent(d, window, False, NoEventMask, &e);
    flush(d);
    closeDisplay(d);
    return true;
}

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

// One window, captured from the X server as a P6 image (and kept as PNG).
class Screenshot {
public:
    bool take(const std::string& display, const std::string& window, const std::string& file) {
        const std::string ppm = file + ".ppm";
        if (std::system(("xwd -id " + window + " -silent -display " + display + " | convert xwd:- " + ppm +
                         " && convert " + ppm + " " + file).c_str()) != 0)
            return false;
        std::ifstream in(ppm, std::ios::binary);
        std::string magic;
        int maxval = 0;
        in >> magic >> w >> h >> maxval;
        in.get();
        pixels.resize(static_cast<size_t>(w) * h * 3);
        in.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
        std::remove(ppm.c_str());
        return magic == "P6" && maxval == 255 && in.good();
    }
    Rgb at(int x, int y) const {
        const size_t i = (static_cast<size_t>(y) * w + x) * 3;
        return {pixels[i], pixels[i + 1], pixels[i + 2]};
    }
    int w = 0, h = 0;
    std::vector<uint8_t> pixels;
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
        for (const char* tool : {"Xvfb", "xdotool", "xwd", "convert", "unshare", "ip"})
            if (!onPath(tool)) GTEST_SKIP() << tool << " not installed";
        if (access(bin_.c_str(), X_OK) != 0) GTEST_SKIP() << "no server binary";
        if (geteuid() != 0 || std::system("unshare -n true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs a private network namespace (root)";
        ASSERT_TRUE(x_.start()) << "Xvfb did not start";
    }

    std::string xdo(const std::string& args) {
        return run("DISPLAY=" + x_.name() + " timeout 10 xdotool " + args + " 2>/dev/null");
    }
    void click(int x, int y) {
        xdo("mousemove --window " + window_ + " " + std::to_string(x) + " " + std::to_string(y) +
            " click 1");
        std::this_thread::sleep_for(100ms);
    }

    std::string bin_;
    Xserver x_;
    std::string window_;
};

TEST_F(GuiWindowE2E, OperatorDrivesTheSelectorAndTheSessionFromTheWindow) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    char dir[] = "/tmp/kivo-gui-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string cfg = std::string(dir) + "/cfg.bin";
    {
        // COM1, KIVO16, port 3001 (its own namespace: always free), no time limit, clients accepted
        // automatically, the choice on "Route input to output #1".
        std::ofstream out(cfg, std::ios::binary);
        const char record[6] = {0, 0x50, 0, 0, 0, 0};
        out.write(record, sizeof record);
    }
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t server =
        spawn({"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"", bin_,
               "--config", cfg, "--device", pty.path()},
              pipefd[1], {"DISPLAY=" + x_.name()});
    close(pipefd[1]);
    Console console(pipefd[0]);
    int status = -1;
    auto reap = [&] {
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms))
            if (waitpid(server, &status, WNOHANG) == server) return true;
        kill(server, SIGKILL);
        waitpid(server, &status, 0);
        return false;
    };

    std::istringstream ids(xdo("search --sync --name '^KIVONet$'"));
    ids >> window_;
    if (window_.empty()) {
        reap();
        FAIL() << "no window titled KIVONet; console:\n" << console.all();
    }
    // Device initialisation: input 1 to both outputs.
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x01, 0xFE, 0x02, 0x01}));

    // The layout, read back from the screen: two rows of eight input buttons, 37 wide, no gap.
    const int x0 = 0, y0 = 0;  // the capture is the window's inside only
    Screenshot shot;
    ASSERT_TRUE(shot.take(x_.name(), window_, std::string(dir) + "/window.png"));
    const Rgb back{100, 120, 240};
    EXPECT_EQ(shot.at(x0 + 2, y0 + 50), back) << "window background";
    for (int row = 0; row < 2; ++row) {
        const int top = y0 + 46 + 24 * row;
        const int mid = top + 4;
        EXPECT_EQ(shot.at(x0 + 4, mid), back) << "left of row " << row;
        EXPECT_EQ(shot.at(x0 + 5 + 37 * 8, mid), back) << "right of row " << row;
        for (int k = 0; k < 8; ++k) {
            const int left = x0 + 5 + 37 * k;
            EXPECT_NE(shot.at(left, mid), back) << "left border of button " << row * 8 + k + 1;
            EXPECT_NE(shot.at(left + 36, mid), back) << "right border of button " << row * 8 + k + 1;
            EXPECT_EQ(shot.at(left + 6, mid), back) << "face of button " << row * 8 + k + 1;
        }
        EXPECT_NE(shot.at(x0 + 20, top), back) << "top border of row " << row;
        EXPECT_NE(shot.at(x0 + 20, top + 23), back) << "bottom border of row " << row;
    }
    EXPECT_EQ(shot.at(x0 + 20, y0 + 45), back) << "above the buttons";
    EXPECT_EQ(shot.at(x0 + 20, y0 + 94), back) << "below the buttons";
    if (const char* keep = std::getenv("KIVO_SCREENSHOT"))
        std::system(("cp " + std::string(dir) + "/window.png " + keep).c_str());

    // Input buttons 16 and 1, in output mode 2: both outputs.
    click(5 + 37 * 7 + 18, 70 + 12);
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x10, 0xFE, 0x02, 0x10}));
    click(5 + 18, 46 + 12);
    EXPECT_EQ(pty.read(6), frames({0xFE, 0x01, 0x01, 0xFE, 0x02, 0x01}));

    // The routing choice: open it and pick "Route input to output #2"; nothing is sent, and the next
    // button press goes to output 2 only.
    click(116 + 90, 94 + 12);
    xdo("key --window " + window_ + " Down Return");
    EXPECT_TRUE(pty.drain().empty());
    click(5 + 37 + 18, 46 + 12);
    EXPECT_EQ(pty.read(3), frames({0xFE, 0x02, 0x02}));
    EXPECT_TRUE(pty.drain().empty());

    // Host/PWD: raw bytes leave the password as it is.
    auto typeIntoHostPwd = [&](const std::string& text) {
        click(80 + 200, 148 + 12);
        std::string erase = "key --window " + window_ + " End";
        for (int i = 0; i < 16; ++i) erase += " BackSpace";
        xdo(erase);
        xdo("type --window " + window_ + " '" + text + "'");
        xdo("key --window " + window_ + " Return");
        std::this_thread::sleep_for(200ms);
    };
    typeIntoHostPwd("0xFE0107");
    EXPECT_EQ(pty.read(3), frames({0xFE, 0x01, 0x07}));
    {
        Client c(server, 3001);
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.line(), "OK");
        c.send("PWDJVK");
        EXPECT_EQ(c.line(), "Password/Connection Accepted!");
    }
    // A new password: the old one is rejected, the new one accepted.
    typeIntoHostPwd("localhost");
    {
        Client c(server, 3001);
        ASSERT_TRUE(c.connected());
        EXPECT_EQ(c.line(), "OK");
        c.send("PWDJVK");
        EXPECT_EQ(c.line(), "Password/Connection Rejected!");
        EXPECT_EQ(c.line(), "CLOSE");
        EXPECT_EQ(c.line(), "<eof>");
    }
    Client c(server, 3001);
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
    ASSERT_TRUE(reap()) << "the server did not end; console:\n" << console.all();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace
