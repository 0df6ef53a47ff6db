#pragma once
// Helpers of the bad-input tests: the server program on a pseudo-terminal of the test's own, its
// console collected, and a configuration record naming a free port.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/Net.h"

namespace badinput {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A port the configuration record can name (3001 plus a signed byte) that is free now, tried in an
// order of its own for each process, so that tests running side by side seldom pick the same one.
inline int freeConfigurablePort() {
    static unsigned next = static_cast<unsigned>(::getpid()) * 2654435761u;
    for (int attempt = 0; attempt < 256; ++attempt) {
        const int port = 2873 + static_cast<int>(next++ % 256);
        try {
            net::Listener::open(port)->close();
            return port;
        } catch (const net::NetError&) {
        }
    }
    return -1;
}

// A folder of its own under /tmp, removed with its files at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/kivonet-badinput-XXXXXX";
        if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = name;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

    // A configuration record: serial port COM1 (the device is given on the command line), TCP port
    // `port`, no session time limit, clients accepted at once, routing to both outputs unless told.
    std::string config(int port, const std::string& name = "cfg.bin", char routing = 2) const {
        const std::string file = path_ + "/" + name;
        const char record[6] = {0, 0, static_cast<char>(port - 3001), 0, 0, routing};
        std::ofstream(file, std::ios::binary).write(record, sizeof record);
        return file;
    }

private:
    std::string path_;
};

// The selector's end of a serial line: a pseudo-terminal whose master side collects every byte the
// server writes. closeMaster() makes the device vanish under the server.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("posix_openpt");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
        path_ = name;
        // Our own slave descriptor keeps the line up while the server has it closed.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) throw std::runtime_error("open slave");
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        reader_ = std::thread([this] { readLoop(); });
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    // Whether the terminal is in exclusive use: no one else (but root) may open it.
    bool exclusive() const {
        int on = 0;
        return ::ioctl(slave_, TIOCGEXCL, &on) == 0 && on != 0;
    }

    std::vector<uint8_t> bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    // Waits until at least `count` bytes have come (or the time is up); gives them all.
    std::vector<uint8_t> waitBytes(size_t count, std::chrono::milliseconds limit = 5000ms) const {
        const auto deadline = Clock::now() + limit;
        while (bytes().size() < count && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
        return bytes();
    }
    // Stops the line taking bytes (as flow control would) or lets it go on.
    void holdOutput(bool held) { ::tcflow(slave_, held ? TCOOFF : TCOON); }
    void closeMaster() {
        if (master_ < 0) return;
        stop_ = true;
        reader_.join();
        ::close(master_);
        ::close(slave_);
        master_ = slave_ = -1;
    }

private:
    void readLoop() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t chunk[4096];
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                bytes_.insert(bytes_.end(), chunk, chunk + n);
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> bytes_;
};

// The server program with its console (stdout and stderr) collected; killed at the end of the test.
// With `ownNetwork` the server gets a network namespace of its own where the system allows it (root),
// so a server on the default port 3001 cannot collide with other tests running at the same time.
class Server {
public:
    // Headless, with a configuration file and the serial device.
    Server(const std::string& config, const std::string& device, bool ownNetwork = false)
        : Server({"--headless", "--config", config, "--device", device}, ownNetwork) {}
    // Any arguments; `env` adds NAME=VALUE entries to the environment the server inherits;
    // `stdoutClosed` starts it with standard output closed (only standard error is collected).
    explicit Server(std::vector<std::string> args, bool ownNetwork = false,
                    std::vector<std::string> env = {}, bool stdoutClosed = false) {
        // Each server keeps its labels and routing in a file of its own, unless the test names one.
        if (std::find(args.begin(), args.end(), "--state-file") == args.end()) {
            static std::atomic<int> serial{0};
            statePath_ = "/tmp/kivonet-test-" + std::to_string(::getpid()) + "-" +
                         std::to_string(serial++) + ".state";
            args.insert(args.end(), {"--state-file", statePath_});
        }
        args.insert(args.begin(), KIVONET_BIN);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
        envp.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            if (ownNetwork) ::unshare(CLONE_NEWNET);  // without the right, the shared network serves
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            if (stdoutClosed) ::close(STDOUT_FILENO);
            ::signal(SIGHUP, SIG_DFL);  // as from a terminal, whatever this test program was started with
            ::execve(KIVONET_BIN, argv.data(), envp.data());
            std::_Exit(127);
        }
        ::close(out[1]);
        readFd_ = out[0];
        reader_ = std::thread([this] {
            char chunk[4096];
            ssize_t n;
            while ((n = ::read(readFd_, chunk, sizeof chunk)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                console_.append(chunk, static_cast<size_t>(n));
            }
            outputEnded_ = true;
        });
    }
    ~Server() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        ::close(readFd_);
        if (!statePath_.empty()) {
            ::unlink(statePath_.c_str());
            ::unlink((statePath_ + ".lock").c_str());
        }
        // In a sanitizer build the server is instrumented too: its findings fail the test.
        const std::string text = console();
        for (const char* finding : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer", "runtime error:",
                                    "ERROR: LeakSanitizer"})
            if (text.find(finding) != std::string::npos) ADD_FAILURE() << "server: " << text;
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::string console() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return console_;
    }
    // How many complete console lines are `part` (whole == false: contain it).
    int count(const std::string& part, bool whole = true) const {
        const std::string text = console();
        int n = 0;
        for (size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
            const std::string_view line(text.data() + begin, end - begin);
            n += whole ? line == part : line.find(part) != std::string_view::npos;
        }
        return n;
    }
    // Waits until the line has appeared at least `times` times.
    bool waitForLine(const std::string& line, int times = 1, std::chrono::milliseconds limit = 5000ms) const {
        return waitUntil([&] { return count(line) >= times; }, limit);
    }
    // The port a face started with port 0 names on the console ("Web page on port N"); -1 when it
    // does not say within the time.
    int portNamed(const std::string& face) const {
        const std::string said = face + " on port ";
        int port = -1;
        const bool named = waitUntil([&] {
            const std::string text = console();
            const std::size_t at = text.find(said);
            if (at != std::string::npos) port = std::atoi(text.c_str() + at + said.size());
            return port > 0;
        });
        return named ? port : -1;
    }
    // Polls `done` (which reads the console) until it holds or the time is up.
    template <typename Done>
    bool waitUntil(Done done, std::chrono::milliseconds limit = 5000ms) const {
        const auto deadline = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    const std::string& statePath() const { return statePath_; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    // Sends the signal; gives the exit status, 128 + signal for a killed process, -1 when it runs on.
    int stop(int sig, std::chrono::milliseconds limit = 5000ms) {
        ::kill(pid_, sig);
        const auto deadline = Clock::now() + limit;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() > deadline) return -1;
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        // The process is gone, but its last lines may still be in the pipe: the console is complete
        // once the reader has seen the end.
        waitUntil([&] { return outputEnded_.load(); }, 2000ms);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // The files mapped into the process (/proc/PID/maps).
    std::string maps() const {
        std::ifstream file("/proc/" + std::to_string(pid_) + "/maps");
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    // True when one of the process's open files is `path`.
    bool hasOpen(const std::string& path) const {
        const std::string folder = "/proc/" + std::to_string(pid_) + "/fd";
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) return false;
        bool found = false;
        while (const dirent* entry = ::readdir(dir)) {
            char target[256];
            const ssize_t n = ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) found = true;
        }
        ::closedir(dir);
        return found;
    }

private:
    pid_t pid_ = -1;
    std::string statePath_;
    int readFd_ = -1;
    std::atomic<bool> outputEnded_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string console_;
};

// Starts a server on a free port of the configurable range and waits for its listening socket; another
// test that took the same port meanwhile makes it try the next one. Null when no port could be had.
inline std::unique_ptr<Server> serveOnFreePort(const TempDir& dir, const std::string& device, int& port,
                                               const std::string& configName = "cfg.bin",
                                               const std::vector<std::string>& moreArgs = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = freeConfigurablePort();
        if (port < 0) break;
        std::vector<std::string> args{"--headless", "--config", dir.config(port, configName), "--device", device};
        args.insert(args.end(), moreArgs.begin(), moreArgs.end());
        auto server = std::make_unique<Server>(args);
        const std::string opened = "Server Socket Opened OK at Port " + std::to_string(port);
        const std::string refused = "Can't Get ServerSocket at Port " + std::to_string(port);
        const auto deadline = Clock::now() + 5s;
        while (server->count(opened) == 0 && server->count(refused) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (server->count(opened) == 1) return server;
    }
    return nullptr;
}

// The frames of one selection routed to the given outputs.
inline std::vector<uint8_t> frames(int input, bool out1 = true, bool out2 = true) {
    std::vector<uint8_t> bytes;
    const auto n = static_cast<uint8_t>(input);
    if (out1) bytes.insert(bytes.end(), {0xFE, 0x01, n});
    if (out2) bytes.insert(bytes.end(), {0xFE, 0x02, n});
    return bytes;
}

inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace badinput
