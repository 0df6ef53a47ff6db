// Soak test of the real server: starts `kivonet --headless` on a pseudo-terminal (the simulated
// selector's), runs thousands of sequential client sessions that mix every keyword, abrupt disconnects,
// half lines and bursts of queued clients, while router-protocol clients come and go beside them
// (connect, route, lock, label, drop in the middle of a block), and then checks that
//   - every session got exactly the replies the protocol gives for its lines, every router request
//     its ACK,
//   - every selection sent reached the pty as whole frames, none lost, none extra, no stray bytes,
//   - open descriptors, threads and resident memory of the server are back at their baseline.
// Then a second server, which reaches its selector through a symbolic link, has its selector unplugged
// and plugged back again and again while clients switch (see unplugCycles).
//
//   kivo-soak --server PATH [--mode short|full] [--workdir DIR] [--summary FILE] [--seed N]
//
// Exit status 0 when every check passed. The summary file gets one key=value line per figure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/KivoSim.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kPassword = "JVK";

struct Options {
    std::string server;
    std::string mode = "full";
    std::string workdir;
    std::string summary;
    unsigned seed = 20261208;
};

struct Plan {
    int sessions;         // sequential sessions
    int bursts;           // bursts of queued clients
    int burstSize;        // clients per burst
    double selectShare;   // share of sequential sessions that send a selection
    int unplugCycles;     // selector unplugged and plugged back
};

Plan planFor(const std::string& mode) {
    if (mode == "short") return {600, 3, 10, 0.06, 4};
    return {4000, 8, 25, 0.05, 100};
}

// ---------------------------------------------------------------------------------------------
// Process facts from /proc.

int countEntries(const std::string& dir) {
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

long rssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

struct Usage {
    int fds = 0;
    int threads = 0;
    long rss = 0;
};

Usage usageOf(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    return {countEntries(base + "/fd"), countEntries(base + "/task"), rssKb(pid)};
}

// ---------------------------------------------------------------------------------------------
// A client connection with bounded waits.

class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        // Each client from a loopback address of its own (127.1.x.y): the server answers an address's
        // wrong passwords a second late once it has sent a few, which would only slow the soak down.
        static std::atomic<unsigned> nextSource{0};
        const unsigned n = nextSource++ % 65000 + 1;
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(0x7F010000u | n);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            const int err = errno;
            ::close(fd_);
            throw std::runtime_error("bind: " + std::string(std::strerror(err)));
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int err = errno;
            ::close(fd_);
            throw std::runtime_error("connect: " + std::string(std::strerror(err)));
        }
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server has closed; what it got is what counts
            done += static_cast<size_t>(n);
        }
    }
    void finish() { ::shutdown(fd_, SHUT_WR); }
    // Vanishes without an orderly end: the server sees a reset.
    void reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd_);
        fd_ = -1;
    }
    // Vanishes with an orderly end of stream.
    void vanish() {
        ::close(fd_);
        fd_ = -1;
    }
    // Reads one CR LF line; nullopt at end of stream (or a reset, or the 10 s limit).
    std::optional<std::string> readLine() {
        for (;;) {
            const size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return line;
            }
            char chunk[512];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                timedOut_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads until one of `texts` has come and drops everything up to its end; gives which one, or -1
    // at end of stream or after the 10 s limit.
    int readUntilOneOf(const std::vector<std::string>& texts) {
        for (;;) {
            size_t first = std::string::npos;
            int which = -1;
            for (size_t i = 0; i < texts.size(); ++i)
                if (const size_t at = buffer_.find(texts[i]); at < first) {
                    first = at;
                    which = static_cast<int>(i);
                }
            if (which >= 0) {
                buffer_.erase(0, first + texts[static_cast<size_t>(which)].size());
                return which;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return -1;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    bool readUntil(const std::string& text) { return readUntilOneOf({text}) == 0; }
    std::vector<std::string> readAll() {
        std::vector<std::string> lines;
        while (auto line = readLine()) lines.push_back(*line);
        return lines;
    }
    bool timedOut() const { return timedOut_; }
    bool leftover() const { return !buffer_.empty(); }

private:
    int fd_ = -1;
    std::string buffer_;
    bool timedOut_ = false;
};

// ---------------------------------------------------------------------------------------------
// What the server must do: replies per session and frames on the serial line.

struct Model {
    int outmode = 2;  // the configured routing (offset 5 of the record below): both outputs
    int to = 0;       // the configuration's time limit code 0
    std::map<std::string, long> frames;  // decoder line -> count expected
    long frameCount = 0;

    void frame(int output, int input) {
        ++frames[FrameDecoder::outputLine(output, input)];
        ++frameCount;
    }
    void select(int input) {
        if (outmode == 0 || outmode == 2) frame(1, input);
        if (outmode == 1 || outmode == 2) frame(2, input);
    }
    // Replies to one line the server reads; false once the line ends the session.
    bool line(const std::string& l, std::vector<std::string>& replies) {
        if (l.empty() || l == "Close" || l == "KILL") return false;
        if (l.rfind("TO=", 0) == 0) to = std::stoi(l.substr(3));
        if (l.rfind("PWD", 0) == 0) {
            if (l.substr(3) != kPassword) {
                replies.push_back("Password/Connection Rejected!");
                replies.push_back("CLOSE");
                return false;
            }
            replies.push_back("Password/Connection Accepted!");
            if (to > 0) replies.push_back("Available Time: " + std::to_string(to) + " Minutes");
        }
        if (l.rfind("0xFE0", 0) == 0 && l.size() == 8) frame(l[5] - '0', std::stoi(l.substr(6), nullptr, 16));
        for (int n = 1; n <= 16; ++n)
            if (l == "Set" + std::to_string(n)) select(n);
        if (l == "Out1") outmode = 0;
        if (l == "Out2") outmode = 1;
        if (l == "Out3") outmode = 2;
        return true;
    }
};

struct Figures {
    long sessions = 0;
    long burstClients = 0;
    long abrupt = 0;        // reset in the middle of a line
    long halfLine = 0;      // half a line, then gone with an orderly end
    long endOfStream = 0;   // ended by end of stream instead of a keyword
    long wrongPassword = 0;
    long silent = 0;        // connected and left without a byte
    long selections = 0;
    long failures = 0;
    std::vector<std::string> failureNotes;

    void fail(const std::string& what) {
        ++failures;
        if (failureNotes.size() < 20) failureNotes.push_back(what);
    }
};

// Lines that change no state and send nothing: safe where the server may or may not read them.
const std::vector<std::string> kInert = {"PWD" + kPassword, "Set17", "set5", "Set0", "Out4", "0x", "hello",
                                          "close", "kill", "TO", "Out", "0", "\x01\x7f", "SET1"};

template <typename T>
const T& pick(std::mt19937& rng, const std::vector<T>& items) {
    return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(rng)];
}

int randomInt(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

// One orderly session: lines are sent whole, the replies are read until the server closes.
void orderlySession(int port, std::mt19937& rng, Model& model, Figures& fig, bool selection) {
    std::vector<std::string> lines;
    const int count = randomInt(rng, 0, 4);
    for (int i = 0; i < count; ++i) {
        switch (randomInt(rng, 0, 5)) {
            case 0: lines.push_back("PWD" + kPassword); break;
            case 1: lines.push_back("TO=" + std::to_string(randomInt(rng, 0, 2))); break;
            case 2: lines.push_back("Out" + std::to_string(randomInt(rng, 1, 3))); break;
            default: lines.push_back(pick(rng, kInert)); break;
        }
    }
    if (selection) {
        ++fig.selections;
        const int input = randomInt(rng, 1, 16);
        char raw[16];
        std::snprintf(raw, sizeof raw, "0xFE%02X%02X", randomInt(rng, 1, 2), input);
        const std::string chosen = randomInt(rng, 0, 3) == 0 ? std::string(raw) : "Set" + std::to_string(input);
        lines.insert(lines.begin() + randomInt(rng, 0, static_cast<int>(lines.size())), chosen);
    }
    const int ending = randomInt(rng, 0, 9);
    const bool wrongPassword = !selection && ending == 0;
    if (wrongPassword) {
        lines.push_back("PWDx");
        ++fig.wrongPassword;
    } else if (ending <= 3) {
        lines.push_back("Close");
    } else if (ending <= 5) {
        lines.push_back("KILL");
    } else if (ending <= 7) {
        lines.push_back("");
    } else {
        ++fig.endOfStream;  // no ending line: end of stream ends the session
    }

    std::vector<std::string> expected{"OK"};
    std::string bytes;
    const char* const ends[] = {"\n", "\r\n", "\r"};
    for (const auto& l : lines) {
        bytes += l + ends[randomInt(rng, 0, 2)];
        if (!model.line(l, expected)) break;
    }
    Client client(port);
    client.send(bytes);
    client.finish();
    const std::vector<std::string> got = client.readAll();
    if (got != expected || client.leftover()) {
        std::ostringstream note;
        note << "session " << fig.sessions << ": sent";
        for (const auto& l : lines) note << " [" << l << "]";
        note << " got";
        for (const auto& l : got) note << " [" << l << "]";
        if (client.timedOut()) note << " (timed out)";
        fig.fail(note.str());
    }
}

// A session that ends without the protocol: reset mid-line, half a line then gone, or silence.
void faultSession(int port, std::mt19937& rng, Figures& fig) {
    Client client(port);
    const auto ok = client.readLine();
    if (!ok || *ok != "OK") fig.fail("fault session " + std::to_string(fig.sessions) + ": no greeting");
    std::string bytes;
    for (int i = randomInt(rng, 0, 2); i > 0; --i) bytes += pick(rng, kInert) + "\n";
    static const std::vector<std::string> halves = {"Se", "Out", "Clo", "KIL", "TO", "PWDJ", "0"};
    switch (randomInt(rng, 0, 2)) {
        case 0:
            client.send(bytes + pick(rng, halves));
            client.reset();
            ++fig.abrupt;
            break;
        case 1:
            // Half a line and an orderly end: the server reads the half line as a last line.
            client.send(bytes + pick(rng, halves));
            client.vanish();
            ++fig.halfLine;
            break;
        default:
            client.vanish();
            ++fig.silent;
            break;
    }
}

// Clients that all connect at once and wait in the listening socket's queue; each is served in turn.
void burst(int port, std::mt19937& rng, Model& model, Figures& fig, int size) {
    struct Queued {
        std::unique_ptr<Client> client;
        std::vector<std::string> expected;
    };
    std::vector<Queued> queued;
    for (int i = 0; i < size; ++i) {
        Queued q;
        q.client = std::make_unique<Client>(port);
        q.expected = {"OK"};
        std::vector<std::string> lines{"PWD" + kPassword};
        if (randomInt(rng, 0, 2) == 0) {
            lines.push_back("Set" + std::to_string(randomInt(rng, 1, 16)));
            ++fig.selections;
        }
        lines.push_back("Close");
        std::string bytes;
        for (const auto& l : lines) {
            bytes += l + "\n";
            model.line(l, q.expected);
        }
        q.client->send(bytes);
        queued.push_back(std::move(q));
    }
    for (auto& q : queued) {
        const auto got = q.client->readAll();
        if (got != q.expected) fig.fail("burst client got " + std::to_string(got.size()) + " lines");
    }
    fig.burstClients += size;
    fig.sessions += size;
}

// ---------------------------------------------------------------------------------------------
// Router-protocol clients, one at a time on a thread of their own beside the line sessions.

struct RouterFigures {
    long clients = 0;
    long routes = 0;
    long locks = 0;
    long labels = 0;
    long droppedMidBlock = 0;
    long busy = 0;  // routing requests refused while the line's queue was full
    std::map<std::string, long> frames;  // decoder line -> count expected from router requests
    long frameCount = 0;
    std::vector<std::string> failures;
};

// One router client: the dump, a few requests each answered with ACK, then an orderly end or a drop in
// the middle of a block (whose selection must never reach the line).
void routerClient(int port, std::mt19937& rng, RouterFigures& fig) {
    Client client(port);
    ++fig.clients;
    if (!client.readUntil("END PRELUDE:\n\n")) {
        fig.failures.push_back("router client " + std::to_string(fig.clients) + ": no dump");
        return;
    }
    for (int i = randomInt(rng, 0, 3); i > 0; --i) {
        std::string request;
        int output = -1, input = -1;  // a routing request
        switch (randomInt(rng, 0, 3)) {
            case 0:
                output = randomInt(rng, 0, 1);
                input = randomInt(rng, 0, 15);
                request = "VIDEO OUTPUT ROUTING:\n" + std::to_string(output) + " " + std::to_string(input) + "\n\n";
                break;
            case 1:
                request = "VIDEO OUTPUT LOCKS:\n" + std::to_string(randomInt(rng, 0, 1)) + (randomInt(rng, 0, 1) ? " O" : " U") +
                          "\n\n";
                ++fig.locks;
                break;
            case 2:
                request = "INPUT LABELS:\n" + std::to_string(randomInt(rng, 0, 15)) + " Soak " +
                          std::to_string(randomInt(rng, 1, 99)) + "\n\n";
                ++fig.labels;
                break;
            default:
                request = "PING:\r\n\r\n";
                break;
        }
        client.send(request);
        // A routing request may get NAK while the line's queue is full (faster than 50 ms a frame);
        // every other request gets ACK.
        const int reply = client.readUntilOneOf({"ACK\n\n", "NAK\n\n"});
        if (reply == 0 && output >= 0) {
            ++fig.frames[FrameDecoder::outputLine(output + 1, input + 1)];
            ++fig.frameCount;
            ++fig.routes;
        } else if (reply == 1 && output >= 0) {
            ++fig.busy;
        } else if (reply != 0) {
            fig.failures.push_back("router client " + std::to_string(fig.clients) + ": no ACK");
            return;
        }
    }
    if (randomInt(rng, 0, 2) == 0) {
        client.send("VIDEO OUTPUT ROUTING:\n" + std::to_string(randomInt(rng, 0, 1)) + " 3\n");
        randomInt(rng, 0, 1) ? client.reset() : client.vanish();
        ++fig.droppedMidBlock;
    }
}

// ---------------------------------------------------------------------------------------------

bool portFree(int port) {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int no = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_any;
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// A port the configuration record can name (3001 + signed byte) that nothing uses now.
int choosePort(std::mt19937& rng) {
    for (int attempt = 0; attempt < 256; ++attempt) {
        const int port = 3001 + randomInt(rng, -128, 127);
        if (portFree(port)) return port;
    }
    throw std::runtime_error("no free port in 2873..3128");
}

void writeConfig(const std::string& path, int port) {
    const uint8_t record[6] = {0, 0, static_cast<uint8_t>(static_cast<int8_t>(port - 3001)), 0, 0, 2};
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(record), sizeof record);
}

pid_t startServer(const Options& opt, const std::string& config, const std::string& device,
                  const std::string& logName = "server.log", int routerPort = -1) {
    const std::string log = opt.workdir + "/" + logName;
    // Each server has a state file of its own, in the soak's folder.
    std::vector<std::string> args{opt.server, "--headless", "--config", config, "--device", device,
                                  "--state-file", opt.workdir + "/" + logName + ".state"};
    if (routerPort >= 0) args.insert(args.end(), {"--router-port", std::to_string(routerPort)});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::execv(opt.server.c_str(), argv.data());
        std::_Exit(127);
    }
    return pid;
}

bool alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

// Waits until the server accepts and greets a client; that first session is closed at once.
bool waitReady(pid_t pid, int port, Model& model) {
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline && alive(pid)) {
        try {
            Client probe(port);
            if (auto greeting = probe.readLine(); greeting && *greeting == "OK") {
                std::vector<std::string> replies;
                model.line("Close", replies);
                probe.send("Close\n");
                probe.readAll();
                return true;
            }
        } catch (const std::exception&) {
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

// Reads descriptors and threads until three readings 100 ms apart agree (sessions that just ended may
// still be closing); gives the last reading.
Usage settle(pid_t pid) {
    Usage now = usageOf(pid);
    int agreeing = 0;
    const auto deadline = Clock::now() + 5s;
    while (agreeing < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        const Usage next = usageOf(pid);
        agreeing = (next.fds == now.fds && next.threads == now.threads) ? agreeing + 1 : 0;
        now = next;
    }
    return now;
}

// ---------------------------------------------------------------------------------------------
// Unplug/replug cycles.

// The events of the selector now plugged in.
class Events {
public:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(events_, {});
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Lines of the file that contain text.
int linesWith(const std::string& file, const std::string& text) {
    std::ifstream in(file);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
}

template <typename Condition>
bool waitUntil(Condition done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Points the link at target in one step, as a device manager does.
void pointLink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot point " + link + " at " + target);
}

// One session that sends the lines and ends with Close; the replies are not looked at.
void switchSession(int port, const std::vector<std::string>& lines) {
    Client client(port);
    std::string bytes;
    for (const auto& l : lines) bytes += l + "\n";
    client.send(bytes + "Close\n");
    client.finish();
    client.readAll();
}

struct UnplugFigures {
    int cycles = 0;
    long refused = 0;  // selections made while the selector was unplugged
    Usage baseline, after;
};

// A server reaches its selector through a symbolic link. Each cycle: clients switch (every frame must
// arrive), the selector is pulled (the server must say so), clients switch and are refused, a fresh
// selector is plugged in behind the link, and the first frames on it must be the routing the line
// had before it was pulled (the record equal to the last frames on the line), nothing else: no
// refused selection sent later. Descriptors and threads must not grow over the cycles.
UnplugFigures unplugCycles(const Options& opt, std::mt19937& rng, int cycles, Figures& fig) {
    UnplugFigures uf;
    Events events;
    SimulatedSelector selector([&](const std::string& event) { events.add(event); });
    selector.start();
    const std::string link = opt.workdir + "/selector-link";
    pointLink(link, selector.devicePath());
    const int port = choosePort(rng);
    const std::string config = opt.workdir + "/unplug.cfg";
    writeConfig(config, port);
    const std::string log = opt.workdir + "/unplug-server.log";
    const pid_t pid = startServer(opt, config, link, "unplug-server.log");
    Model ignored;
    if (!waitReady(pid, port, ignored) || !waitUntil([&] { return events.size() >= 2; }, 5s)) {
        fig.fail("unplug: the server did not come up (see " + log + ")");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return uf;
    }
    std::vector<std::string> expected{FrameDecoder::outputLine(1, 1), FrameDecoder::outputLine(2, 1)};
    int routing[2] = {1, 1};
    auto check = [&](const std::string& when) {
        std::vector<std::string> got = events.take();
        if (got != expected)
            fig.fail("unplug cycle " + std::to_string(uf.cycles) + ", " + when + ": " + std::to_string(got.size()) +
                     " frames, " + std::to_string(expected.size()) + " expected");
        expected.clear();
    };
    check("start-up");
    for (; uf.cycles < cycles && alive(pid) && fig.failures < 50; ++uf.cycles) {
        // Clients switch while the selector is plugged in.
        for (int k = randomInt(rng, 1, 3); k > 0; --k) {
            const int mode = randomInt(rng, 1, 3), input = randomInt(rng, 1, 16);
            switchSession(port, {"Out" + std::to_string(mode), "Set" + std::to_string(input)});
            for (int output = 1; output <= 2; ++output) {
                if (mode != 3 && mode != output) continue;
                routing[output - 1] = input;
                expected.push_back(FrameDecoder::outputLine(output, input));
            }
        }
        const size_t want = expected.size();
        waitUntil([&] { return events.size() >= want; }, 5s);
        check("switching");
        if (uf.cycles == 1) uf.baseline = settle(pid);

        // Pulled: the server notices by itself.
        const int lost = linesWith(log, " lost: ");
        selector.stop();
        if (!waitUntil([&] { return linesWith(log, " lost: ") > lost; }, 5s))
            fig.fail("unplug cycle " + std::to_string(uf.cycles) + ": no console line for the pulled selector");

        // Selections while it is out are refused at once (two frames each).
        const int refused = linesWith(log, "COM port not communicating.");
        const int input = routing[0] % 16 + 1;  // differs from what output 1 shows
        switchSession(port, {"Out3", "Set" + std::to_string(input)});
        ++uf.refused;
        if (!waitUntil([&] { return linesWith(log, "COM port not communicating.") >= refused + 2; }, 5s))
            fig.fail("unplug cycle " + std::to_string(uf.cycles) + ": a selection was not refused while unplugged");

        // Plugged back: the routing comes back, and nothing else.
        const int restoredBefore = linesWith(log, ": routing restored (");
        selector.start();
        pointLink(link, selector.devicePath());
        expected = {FrameDecoder::outputLine(1, routing[0]), FrameDecoder::outputLine(2, routing[1])};
        waitUntil([&] { return events.size() >= 2 && linesWith(log, ": routing restored (") > restoredBefore; },
                  5s);
        std::this_thread::sleep_for(200ms);  // a refused selection sent after all would show up now
        check("restore");
    }
    if (alive(pid)) {
        uf.after = settle(pid);
        if (uf.cycles > 1 && (uf.after.fds != uf.baseline.fds || uf.after.threads != uf.baseline.threads))
            fig.fail("unplug: " + std::to_string(uf.after.fds) + " fds and " + std::to_string(uf.after.threads) +
                     " threads after the cycles, " + std::to_string(uf.baseline.fds) + " and " +
                     std::to_string(uf.baseline.threads) + " before");
    } else {
        fig.fail("unplug: the server died during the cycles");
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    selector.stop();
    return uf;
}

int run(const Options& opt) {
    const Plan plan = planFor(opt.mode);
    std::mt19937 rng(opt.seed);
    std::filesystem::create_directories(opt.workdir);

    std::mutex seenMutex;
    std::map<std::string, long> seen;
    std::atomic<long> seenFrames{0};
    std::atomic<long> strayEvents{0};
    SimulatedSelector selector([&](const std::string& event) {
        std::lock_guard<std::mutex> lock(seenMutex);
        ++seen[event];
        if (event.rfind("Output ", 0) == 0)
            ++seenFrames;
        else
            ++strayEvents;
    });
    selector.start();

    const int port = choosePort(rng);
    int routerPort = choosePort(rng);
    while (routerPort == port) routerPort = choosePort(rng);
    const std::string config = opt.workdir + "/kivonet.cfg";
    writeConfig(config, port);

    Model model;
    // Start-up initialises the driver: input 1 on both outputs.
    model.frame(1, 1);
    model.frame(2, 1);
    Figures fig;

    const auto started = Clock::now();
    const pid_t pid = startServer(opt, config, selector.devicePath(), "server.log", routerPort);
    if (!waitReady(pid, port, model)) {
        std::cerr << "soak: the server did not come up on port " << port << " (see " << opt.workdir
                  << "/server.log)\n";
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return 1;
    }
    ++fig.sessions;
    // The router face opens once start-up is over.
    bool routerUp = false;
    for (const auto until = Clock::now() + 15s; !routerUp && Clock::now() < until;) {
        try {
            Client probe(routerPort);
            routerUp = probe.readUntil("END PRELUDE:\n\n");
        } catch (const std::exception&) {
            std::this_thread::sleep_for(100ms);
        }
    }
    if (!routerUp) {
        std::cerr << "soak: the router face did not come up on port " << routerPort << "\n";
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return 1;
    }

    // Warm-up: a few sessions of every kind, so the baseline includes what the first use allocates.
    for (int i = 0; i < 30; ++i, ++fig.sessions) orderlySession(port, rng, model, fig, false);
    for (int i = 0; i < 10; ++i, ++fig.sessions) faultSession(port, rng, fig);
    const Usage baseline = settle(pid);
    std::cout << "soak: server pid " << pid << " on port " << port << ", device " << selector.devicePath()
              << "; baseline " << baseline.fds << " fds, " << baseline.threads << " threads, " << baseline.rss
              << " kB resident\n";

    // Router clients beside the line sessions until those are done.
    RouterFigures routerFig;
    std::atomic<bool> linesDone{false};
    std::thread routers([&, routerSeed = rng()] {
        std::mt19937 routerRng(routerSeed);
        while (!linesDone) {
            try {
                routerClient(routerPort, routerRng, routerFig);
            } catch (const std::exception& e) {
                routerFig.failures.push_back(std::string("router client: ") + e.what());
            }
            if (routerFig.failures.size() > 20) break;
        }
    });

    const int burstEvery = plan.sessions / (plan.bursts + 1);
    for (int i = 0; i < plan.sessions && alive(pid); ++i, ++fig.sessions) {
        if (burstEvery > 0 && i > 0 && i % burstEvery == 0 && i / burstEvery <= plan.bursts)
            burst(port, rng, model, fig, plan.burstSize);
        const double r = std::uniform_real_distribution<double>(0, 1)(rng);
        try {
            if (r < plan.selectShare)
                orderlySession(port, rng, model, fig, true);
            else if (r < 0.80)
                orderlySession(port, rng, model, fig, false);
            else
                faultSession(port, rng, fig);
        } catch (const std::exception& e) {
            fig.fail("session " + std::to_string(fig.sessions) + ": " + e.what());
        }
        if (fig.failures > 50) break;
    }

    linesDone = true;
    routers.join();
    for (const auto& [line, n] : routerFig.frames) model.frames[line] += n;
    model.frameCount += routerFig.frameCount;
    for (const auto& note : routerFig.failures) fig.fail(note);

    // Frames: the server paces them 50 ms apart; wait until all are out or the line stays quiet.
    long last = -1;
    auto quietSince = Clock::now();
    while (seenFrames.load() < model.frameCount && Clock::now() - quietSince < 3s) {
        if (seenFrames.load() != last) {
            last = seenFrames.load();
            quietSince = Clock::now();
        }
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);  // anything extra would show up now

    const bool serverAlive = alive(pid);
    const Usage after = serverAlive ? settle(pid) : Usage{};
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    selector.stop();

    // Checks.
    if (!serverAlive) fig.fail("the server died during the run");
    std::map<std::string, long> seenCopy;
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        seenCopy = seen;
    }
    std::map<std::string, long> seenOutputs;
    for (const auto& [event, n] : seenCopy)
        if (event.rfind("Output ", 0) == 0) seenOutputs[event] = n;
    if (seenOutputs != model.frames)
        fig.fail("frames on the pty (" + std::to_string(seenFrames.load()) + ") differ from frames sent (" +
                 std::to_string(model.frameCount) + ")");
    if (strayEvents.load() != 0) fig.fail(std::to_string(strayEvents.load()) + " runs of stray bytes on the pty");
    const long rssTolerance = std::max(4096L, baseline.rss / 10);
    if (serverAlive) {
        if (after.fds != baseline.fds)
            fig.fail("open descriptors " + std::to_string(after.fds) + ", baseline " + std::to_string(baseline.fds));
        if (after.threads != baseline.threads)
            fig.fail("threads " + std::to_string(after.threads) + ", baseline " + std::to_string(baseline.threads));
        if (after.rss > baseline.rss + rssTolerance)
            fig.fail("resident memory " + std::to_string(after.rss) + " kB, baseline " + std::to_string(baseline.rss) +
                     " kB");
    }

    const UnplugFigures unplug = unplugCycles(opt, rng, plan.unplugCycles, fig);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    std::ostringstream sum;
    sum << "mode=" << opt.mode << "\n"
        << "sessions=" << fig.sessions << "\n"
        << "burst_clients=" << fig.burstClients << "\n"
        << "bursts=" << plan.bursts << "\n"
        << "abrupt_resets=" << fig.abrupt << "\n"
        << "half_lines=" << fig.halfLine << "\n"
        << "silent_clients=" << fig.silent << "\n"
        << "end_of_stream=" << fig.endOfStream << "\n"
        << "wrong_password=" << fig.wrongPassword << "\n"
        << "faults_injected=" << (fig.abrupt + fig.halfLine + fig.silent) << "\n"
        << "selections=" << fig.selections << "\n"
        << "router_clients=" << routerFig.clients << "\nrouter_routes=" << routerFig.routes << "\n"
        << "router_locks=" << routerFig.locks << "\nrouter_labels=" << routerFig.labels << "\n"
        << "router_dropped_mid_block=" << routerFig.droppedMidBlock << "\nrouter_busy=" << routerFig.busy << "\n"
        << "frames_expected=" << model.frameCount << "\n"
        << "frames_seen=" << seenFrames.load() << "\n"
        << "stray_byte_runs=" << strayEvents.load() << "\n"
        << "fds_baseline=" << baseline.fds << "\nfds_after=" << after.fds << "\n"
        << "threads_baseline=" << baseline.threads << "\nthreads_after=" << after.threads << "\n"
        << "rss_kb_baseline=" << baseline.rss << "\nrss_kb_after=" << after.rss << "\n"
        << "unplug_cycles=" << unplug.cycles << "\n"
        << "unplug_refused_selections=" << unplug.refused << "\n"
        << "unplug_fds_baseline=" << unplug.baseline.fds << "\nunplug_fds_after=" << unplug.after.fds << "\n"
        << "unplug_threads_baseline=" << unplug.baseline.threads << "\nunplug_threads_after=" << unplug.after.threads
        << "\n"
        << "seconds=" << static_cast<long>(seconds) << "\n"
        << "failures=" << fig.failures << "\n";
    if (!opt.summary.empty()) std::ofstream(opt.summary) << sum.str();
    std::cout << sum.str();
    for (const auto& note : fig.failureNotes) std::cout << "soak: FAIL " << note << "\n";
    std::cout << (fig.failures == 0 ? "soak: PASS" : "soak: FAILED") << std::endl;
    return fig.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--server") opt.server = next();
            else if (arg == "--mode") opt.mode = next();
            else if (arg == "--workdir") opt.workdir = next();
            else if (arg == "--summary") opt.summary = next();
            else if (arg == "--seed") opt.seed = static_cast<unsigned>(std::stoul(next()));
            else throw std::invalid_argument("unknown option " + arg);
        } catch (const std::exception& e) {
            std::cerr << "kivo-soak: " << e.what() << "\n";
            return 2;
        }
    }
    if (opt.server.empty() || (opt.mode != "short" && opt.mode != "full")) {
        std::cerr << "usage: kivo-soak --server PATH [--mode short|full] [--workdir DIR] [--summary FILE] [--seed N]\n";
        return 2;
    }
    if (opt.workdir.empty()) opt.workdir = std::filesystem::temp_directory_path() / "kivo-soak";
    try {
        return run(opt);
    } catch (const std::exception& e) {
        std::cerr << "kivo-soak: " << e.what() << "\n";
        return 1;
    }
}
