#include "bench/BenchSupport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace bench {

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Stats summarize(std::vector<double> values) {
    Stats s;
    s.n = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double q) {
        auto idx = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
        return values[std::clamp<std::size_t>(idx, 1, values.size()) - 1];
    };
    s.min = values.front();
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.max = values.back();
    return s;
}

namespace {

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void setRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
}

// Opens a pseudo-terminal master (non-blocking, raw) and returns it with the slave's path.
int openMaster(std::string& slavePath) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("posix_openpt failed");
    char name[128] = {};
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        throw std::runtime_error("pseudo-terminal set-up failed");
    }
    slavePath = name;
    setRaw(fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Child process groups the signal handler must kill; slots hold 0 when free.
constexpr std::size_t kMaxChildren = 16;
std::array<std::atomic<pid_t>, kMaxChildren> gChildren{};

void registerChild(pid_t pid) {
    for (auto& slot : gChildren) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return;
    }
}

void unregisterChild(pid_t pid) {
    for (auto& slot : gChildren) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

extern "C" void onFatalSignal(int sig) {
    for (auto& slot : gChildren) {
        pid_t pid = slot.load();
        if (pid > 0) kill(-pid, SIGKILL);
    }
    const char msg[] = "kivo_bench: interrupted; child processes killed\n";
    ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(128 + sig);
}

}  // namespace

// ---------------------------------------------------------------- Pty

Pty::Pty() {
    master_ = openMaster(slavePath_);
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        ::close(master_);
        throw std::runtime_error("cannot open " + slavePath_);
    }
    setRaw(slave_);
}

Pty::~Pty() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void Pty::drain() {
    std::array<char, 512> buf{};
    for (int i = 0; i < 64; ++i) {
        if (::read(master_, buf.data(), buf.size()) <= 0) return;
    }
}

bool Pty::read(std::size_t count, milliseconds timeout, std::vector<std::uint8_t>& bytes,
               std::vector<Clock::time_point>& stamps) {
    auto deadline = Clock::now() + timeout;
    std::array<std::uint8_t, 256> buf{};
    while (bytes.size() < count) {
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        auto now = Clock::now();
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = ::read(master_, buf.data(), std::min(buf.size(), count - bytes.size()));
        if (n > 0) {
            bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
            stamps.insert(stamps.end(), static_cast<std::size_t>(n), now);
        } else if (now >= deadline) {
            return false;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // EIO: no slave open at this instant; wait a little instead of spinning.
            ::poll(nullptr, 0, 1);
        }
    }
    return true;
}

// ---------------------------------------------------------------- Client

Client::~Client() { close(); }

Client::Client(Client&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)) {
    other.fd_ = -1;
}

Client& Client::operator=(Client&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        pending_ = std::move(other.pending_);
        other.fd_ = -1;
    }
    return *this;
}

bool Client::connect(int port, std::uint32_t from) {
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (from != 0) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(from);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd);
            return false;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    pending_.clear();
    return true;
}

bool Client::send(const std::string& data) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < data.size()) {
        ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::optional<std::string> Client::readLine(milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (fd_ >= 0) {
        auto eol = pending_.find_first_of("\r\n");
        if (eol != std::string::npos) {
            std::string line = pending_.substr(0, eol);
            std::size_t skip = eol + 1;
            if (pending_[eol] == '\r' && skip < pending_.size() && pending_[skip] == '\n') ++skip;
            pending_.erase(0, skip);
            return line;
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[512];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return std::nullopt;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

// ---------------------------------------------------------------- Child

Child::~Child() { stop(); }

bool Child::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& logPath) {
    int outFd = -1;
    if (logPath.empty()) {
        // Captured through a pipe, as a service manager takes a service's output: a pseudo-terminal
        // would carry it through the kernel worker that also carries the serial lines under test.
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        outRead_ = ends[0];
        outFd = ends[1];
    } else {
        outFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outFd < 0) return false;
    }

    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& add : env) {
        auto name = add.substr(0, add.find('=') + 1);
        std::erase_if(envStore, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
        envStore.push_back(add);
    }
    std::vector<char*> envp;
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = argv;
    std::vector<char*> args;
    for (auto& s : argStore) args.push_back(s.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();

    startedAt_ = Clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        ::close(outFd);
        if (outRead_ >= 0) ::close(outRead_);
        outRead_ = -1;
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull < 0) _exit(127);
        dup2(devnull, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(outFd, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid);  // also from this side, so the group exists before any kill
    pid_ = pid;
    registerChild(pid);
    ::close(outFd);
    if (outRead_ >= 0) {
        stopReader_ = false;
        reader_ = std::thread([this] { readOutput(); });
    }
    return true;
}

void Child::readOutput() {
    std::array<char, 1024> buf{};
    while (!stopReader_.load()) {
        pollfd p{outRead_, POLLIN, 0};
        int r = ::poll(&p, 1, 100);
        if (r <= 0) continue;
        ssize_t n = ::read(outRead_, buf.data(), buf.size());
        auto now = Clock::now();
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            ::poll(nullptr, 0, 20);  // end of file once the child has gone; keep idle until stopped
            continue;
        }
        partial_.append(buf.data(), static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = partial_.find('\n')) != std::string::npos) {
            std::string line = partial_.substr(0, eol);
            partial_.erase(0, eol + 1);
            while (!line.empty() && line.back() == '\r') line.pop_back();
            std::lock_guard lock(mutex_);
            lines_.push_back({now, std::move(line)});
            if (lines_.size() > 400) lines_.erase(lines_.begin() + 1, lines_.begin() + 201);
        }
    }
}

bool Child::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        unregisterChild(pid_);
        kill(-pid_, SIGKILL);  // anything the child left in its group
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::stop(milliseconds grace) {
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        auto deadline = Clock::now() + grace;
        int status = 0;
        pid_t r = 0;
        while ((r = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
            ::poll(nullptr, 0, 10);
        kill(-pid_, SIGKILL);
        if (r == 0) waitpid(pid_, &status, 0);
        unregisterChild(pid_);
        pid_ = -1;
    }
    stopReader_ = true;
    if (reader_.joinable()) reader_.join();
    if (outRead_ >= 0) ::close(outRead_);
    outRead_ = -1;
}

std::optional<Clock::time_point> Child::lineEndingWith(const std::string& suffix) {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_) {
        if (l.text.size() >= suffix.size() &&
            l.text.compare(l.text.size() - suffix.size(), suffix.size(), suffix) == 0)
            return l.at;
    }
    return std::nullopt;
}

std::vector<std::string> Child::lastLines(std::size_t count) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (std::size_t i = lines_.size() > count ? lines_.size() - count : 0; i < lines_.size(); ++i)
        out.push_back(lines_[i].text);
    return out;
}

// ---------------------------------------------------------------- process-wide helpers

void installCleanupHandlers(std::chrono::seconds deadline) {
    struct sigaction sa{};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    alarm(static_cast<unsigned>(deadline.count()));
}

int pickFreePort(int low, int high, const std::vector<int>& avoid) {
    std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()) ^
                     static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> dist(low, high);
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = dist(rng);
        if (std::find(avoid.begin(), avoid.end(), port) != avoid.end()) continue;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free TCP port in range");
}

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

long fieldKb(const std::string& text, const std::string& field) {
    auto pos = text.find("\n" + field + ":");
    if (pos == std::string::npos) return -1;
    return std::strtol(text.c_str() + pos + field.size() + 2, nullptr, 10);
}
}  // namespace

long readStatusKb(pid_t pid, const std::string& field) {
    return fieldKb("\n" + readFile("/proc/" + std::to_string(pid) + "/status"), field);
}

long readCpuTicks(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string tok;
    long utime = -1, stime = -1;
    // Fields after the command name start at field 3 (state); utime is field 14, stime 15.
    for (int field = 3; field <= 15 && (in >> tok); ++field) {
        if (field == 14) utime = std::strtol(tok.c_str(), nullptr, 10);
        if (field == 15) stime = std::strtol(tok.c_str(), nullptr, 10);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

std::map<pid_t, ThreadSwitches> readThreadSwitches(pid_t pid) {
    std::map<pid_t, ThreadSwitches> threads;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return threads;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string text = "\n" + readFile(dir + "/" + e->d_name + "/status");
        ThreadSwitches& t = threads[static_cast<pid_t>(std::atol(e->d_name))];
        t.voluntary = std::max(0L, fieldKb(text, "voluntary_ctxt_switches"));
        t.involuntary = std::max(0L, fieldKb(text, "nonvoluntary_ctxt_switches"));
        t.wchan = readFile(dir + "/" + e->d_name + "/wchan");
    }
    closedir(d);
    return threads;
}

long readContextSwitches(pid_t pid) {
    const auto threads = readThreadSwitches(pid);
    if (threads.empty()) return -1;
    long total = 0;
    for (const auto& [tid, t] : threads) total += t.voluntary + t.involuntary;
    return total;
}

SwitchesPerCommand switchesPerCommand(const std::map<pid_t, ThreadSwitches>& before,
                                      const std::map<pid_t, ThreadSwitches>& after, int commands) {
    SwitchesPerCommand r;
    if (commands <= 0) return r;
    // Threads that exist at both ends. The session thread is the one waiting in a socket read at the
    // end (the most often sleeping of those, should there be several); failing that, the one that went
    // to sleep most often.
    std::vector<std::pair<pid_t, ThreadSwitches>> deltas;
    for (const auto& [tid, end] : after) {
        auto start = before.find(tid);
        if (start == before.end()) continue;
        deltas.push_back({tid, {end.voluntary - start->second.voluntary,
                                end.involuntary - start->second.involuntary, end.wchan}});
    }
    if (deltas.empty()) return r;
    auto rank = [](const auto& d) { return std::make_pair(d.second.wchan == "wait_woken", d.second.voluntary); };
    auto session = std::max_element(deltas.begin(), deltas.end(),
                                    [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    const double n = commands;
    r.sessionVoluntary = static_cast<double>(session->second.voluntary) / n;
    r.sessionInvoluntary = static_cast<double>(session->second.involuntary) / n;
    r.otherMostWoken = 0;
    for (auto it = deltas.begin(); it != deltas.end(); ++it)
        if (it != session) r.otherMostWoken = std::max(r.otherMostWoken, static_cast<double>(it->second.voluntary) / n);
    r.threads = static_cast<int>(deltas.size());
    return r;
}

bool mapsContain(pid_t pid, const std::string& needle) {
    return readFile("/proc/" + std::to_string(pid) + "/maps").find(needle) != std::string::npos;
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string kernelRelease() {
    utsname u{};
    return uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "unknown";
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* f = popen((command + " 2>&1").c_str(), "r")) {
        char buf[256];
        if (fgets(buf, sizeof buf, f)) out = buf;
        while (fgets(buf, sizeof buf, f)) {
        }
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace bench
