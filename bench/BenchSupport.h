// Building blocks of the benchmark: a pseudo-terminal that stands in for the serial line, child
// processes that are always cleaned up, a loopback TCP line client, /proc readers and statistics.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <sys/types.h>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double msBetween(Clock::time_point from, Clock::time_point to);

struct Stats {
    std::size_t n = 0;
    double min = 0, median = 0, p99 = 0, max = 0;
};
// Nearest-rank percentiles; an empty sample gives n == 0.
Stats summarize(std::vector<double> values);

// The master side of a pseudo-terminal in raw mode. The bench keeps one slave descriptor open
// itself so that the master never reports a hang-up while the program under test reopens the line.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Throws away whatever is readable right now.
    void drain();
    // Reads until `count` bytes have arrived or `timeout` has passed. Every byte gets the time at
    // which the read that delivered it returned. Returns false on timeout.
    bool read(std::size_t count, milliseconds timeout, std::vector<std::uint8_t>& bytes,
              std::vector<Clock::time_point>& stamps);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// A TCP client on 127.0.0.1 that writes whole buffers and reads CR/LF-terminated lines.
class Client {
public:
    Client() = default;
    ~Client();
    Client(Client&& other) noexcept;
    Client& operator=(Client&& other) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // One connection attempt; false when nothing accepts on the port.
    // from: the loopback source address (host order), 0 for the system's choice.
    bool connect(int port, std::uint32_t from = 0);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }  // for reading raw bytes (router protocol) with poll
    bool send(const std::string& data);
    // One line without its line end, or nothing on timeout or end of stream.
    std::optional<std::string> readLine(milliseconds timeout);
    void close();

private:
    int fd_ = -1;
    std::string pending_;
};

// A child process in its own process group. It is killed when the object goes, when the bench
// is interrupted (see installCleanupHandlers) and, through the parent-death signal, when the bench
// dies. Its output goes either to a pseudo-terminal read by a thread (so a console program sees a
// terminal and flushes per line) or to a log file.
class Child {
public:
    struct Line {
        Clock::time_point at;
        std::string text;
    };

    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // `env` entries are "NAME=value" added to the bench's environment. Empty `logPath` means
    // capture the output through a pipe.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& logPath = {});
    // SIGTERM to the group, SIGKILL after `grace`; reaps the child.
    void stop(milliseconds grace = milliseconds(1000));
    bool running();
    pid_t pid() const { return pid_; }
    Clock::time_point startedAt() const { return startedAt_; }

    // Time of the first captured line that ends with `suffix`, if one has arrived.
    std::optional<Clock::time_point> lineEndingWith(const std::string& suffix);
    std::vector<std::string> lastLines(std::size_t count);

private:
    void readOutput();

    pid_t pid_ = -1;
    int outRead_ = -1;
    Clock::time_point startedAt_{};
    std::thread reader_;
    std::atomic<bool> stopReader_{false};
    std::mutex mutex_;
    std::vector<Line> lines_;  // guarded by mutex_; keeps the most recent few hundred
    std::string partial_;      // reader thread only
};

// SIGINT/SIGTERM/SIGHUP/SIGALRM kill every registered child group and end the bench; `deadline`
// arms an alarm as the bench's overall time bound.
void installCleanupHandlers(std::chrono::seconds deadline);

// A TCP port in [low, high] that nothing holds on 127.0.0.1 right now and that is not in `avoid`.
int pickFreePort(int low, int high, const std::vector<int>& avoid);

// /proc readers for one process; missing values read as -1.
long readStatusKb(pid_t pid, const std::string& field);  // "VmRSS", "RssAnon", ...
long readCpuTicks(pid_t pid);                             // utime + stime
long readContextSwitches(pid_t pid);                      // summed over every thread

// Context switches of one thread: voluntary (it went to sleep) and involuntary (it was preempted).
struct ThreadSwitches {
    long voluntary = 0, involuntary = 0;
    std::string wchan;  // where it sleeps right now ("wait_woken": a socket read)
};
std::map<pid_t, ThreadSwitches> readThreadSwitches(pid_t pid);  // by thread id; empty when gone

// What a run of `commands` commands cost in switches, between two readings of the same process. The
// session thread is the one found in its socket read at the end (it sleeps in its read and its pacing
// pause); every other thread's voluntary switches count as its wake-ups.
struct SwitchesPerCommand {
    double sessionVoluntary = NAN, sessionInvoluntary = NAN;
    double otherMostWoken = NAN;  // the most often woken other thread, per command
    int threads = 0;
};
SwitchesPerCommand switchesPerCommand(const std::map<pid_t, ThreadSwitches>& before,
                                      const std::map<pid_t, ThreadSwitches>& after, int commands);
bool mapsContain(pid_t pid, const std::string& needle);

std::string cpuModel();
std::string kernelRelease();
std::string commandOutput(const std::string& command);  // first line of a shell command's output

}  // namespace bench
