// kivo_bench: measures the kivonet server on a pseudo-terminal, side by side with a plain
// TCP-to-serial gateway (ser2net) and a minimal forwarder (the machine's floor) on the same machine
// and in the same run, and prints one table (also written as CSV).
//
//   kivo_bench --server build/kivonet [--ser2net ser2net] [--forwarder PATH] [--csv build/bench.csv]
//              [--commands 240] [--sessions 1000] [--idle-seconds 10] [--no-window]
//
// Every child (kivonet, ser2net, Xvfb) runs in its own process group and is killed on every way
// out of the bench; every wait is bounded in time and every loop in count.

#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench;
namespace fs = std::filesystem;

namespace {

constexpr int kPortLow = 2873;
constexpr int kPortHigh = 3128;
// Each program gets a command every 90 ms: the server's 50 ms pause after a frame must have run out
// before its next command, even when a loaded machine wakes it late.
constexpr milliseconds kCommandSpacing{90};
constexpr milliseconds kSelectionSpacing{130};
constexpr double kFramePause = 50.0;

struct Options {
    std::string server = "build/kivonet";
    std::string ser2net = "ser2net";
    std::string forwarder;  // default: kivo_forwarder next to the bench program
    std::string csv = "build/bench.csv";
    int commands = 240;
    int sessions = 1000;
    int idleSeconds = 10;
    int startups = 5;
    bool window = true;
    std::string only;  // ",web,router,": only these parts of the run
};

// One row of the result table. NaN marks a column that does not apply.
struct Row {
    std::string name;
    double n = NAN, median = NAN, p99 = NAN, max = NAN;
    std::string unit, target, verdict, note;
};

std::vector<Row> gRows;
// Every sample in the order taken, for a closer look at a figure (written next to the CSV).
std::vector<std::pair<std::string, std::vector<double>>> gSamples;
std::vector<int> gPortsTaken;

void addStats(const std::string& name, const Stats& s, const std::string& unit,
              const std::string& target = {}, const std::string& verdict = {},
              const std::string& note = {}) {
    Row r{name, static_cast<double>(s.n), s.median, s.p99, s.max, unit, target, verdict, note};
    if (s.n == 0) r.median = r.p99 = r.max = NAN;
    gRows.push_back(r);
}

void addValue(const std::string& name, double value, const std::string& unit,
              const std::string& target = {}, const std::string& verdict = {},
              const std::string& note = {}) {
    gRows.push_back(Row{name, NAN, value, NAN, NAN, unit, target, verdict, note});
}

void addNote(const std::string& name, const std::string& note) {
    gRows.push_back(Row{name, NAN, NAN, NAN, NAN, "", "", "", note});
}

std::string verdict(bool ok) { return ok ? "met" : "MISSED"; }

std::string fmt(double v, int decimals = 3) {
    if (std::isnan(v)) return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void log(const std::string& text) { std::cerr << "kivo_bench: " << text << std::endl; }

// ------------------------------------------------------------------ starting the programs

struct Started {
    std::unique_ptr<Child> child;
    Client client;  // the connection that proved the port accepts; the server's first client
    int port = 0;
    double listenMs = NAN, greetingMs = NAN, readyMs = NAN;
};

void writeConfig(const fs::path& path, int port) {
    // serial port COM1, device byte 0, TCP port offset, no session limit, accept automatically,
    // routing "to output #1".
    const unsigned char record[6] = {0, 0, static_cast<unsigned char>(static_cast<signed char>(port - 3001)),
                                     0, 0, 0};
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(record), sizeof record);
}

// Starts a server and times it: until the port accepts, until "OK" on that connection and until
// the ready line. Tries another port when the chosen one turns out taken.
Started startKivonet(const Options& opt, const fs::path& dir, const std::string& device,
                     bool headless, const std::vector<std::string>& env,
                     const std::vector<std::string>& extraArgs = {}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Started s;
        s.port = pickFreePort(kPortLow, kPortHigh, gPortsTaken);
        fs::path cfg = dir / ("kivonet-" + std::to_string(s.port) + ".cfg");
        writeConfig(cfg, s.port);
        std::vector<std::string> argv{opt.server};
        if (headless) argv.push_back("--headless");
        argv.insert(argv.end(), {"--config", cfg.string(), "--device", device});
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        // Labels and routing of its own, never those of a server the user runs from the same folder.
        if (std::find(extraArgs.begin(), extraArgs.end(), "--state-file") == extraArgs.end())
            argv.insert(argv.end(), {"--state-file", (dir / ("kivonet-" + std::to_string(s.port) + ".state")).string()});
        s.child = std::make_unique<Child>();
        if (!s.child->start(argv, env)) throw std::runtime_error("cannot start " + opt.server);
        const auto t0 = s.child->startedAt();
        const auto giveUp = t0 + milliseconds(3000);
        while (Clock::now() < giveUp && s.child->running()) {
            if (s.client.connect(s.port)) {
                s.listenMs = msBetween(t0, Clock::now());
                break;
            }
            usleep(500);
        }
        if (!s.client.isOpen()) {
            for (const auto& l : s.child->lastLines(8)) log("  server: " + l);
            s.child->stop();
            log("server did not accept on port " + std::to_string(s.port) + "; trying another");
            gPortsTaken.push_back(s.port);
            continue;
        }
        if (auto line = s.client.readLine(milliseconds(3000)); line && *line == "OK")
            s.greetingMs = msBetween(t0, Clock::now());
        const auto readyBy = Clock::now() + milliseconds(6000);
        while (Clock::now() < readyBy) {
            if (auto at = s.child->lineEndingWith("  Ready")) {
                s.readyMs = msBetween(t0, *at);
                break;
            }
            usleep(2000);
        }
        gPortsTaken.push_back(s.port);
        return s;
    }
    throw std::runtime_error("kivonet did not accept connections on three ports");
}

struct Gateway {
    std::unique_ptr<Child> child;
    Client client;
    int port = 0;
};

// Waits until the reference program just started accepts on its port and connects to it; stops the
// program when it does not within 3 s.
bool connectWhenAccepting(Gateway& g) {
    const auto giveUp = Clock::now() + milliseconds(3000);
    while (Clock::now() < giveUp && g.child->running()) {
        if (g.client.connect(g.port)) return true;
        usleep(1000);
    }
    g.child->stop();
    return false;
}

Gateway startSer2net(const Options& opt, const fs::path& dir, const std::string& device) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Gateway g;
        g.port = pickFreePort(kPortLow, kPortHigh, gPortsTaken);
        gPortsTaken.push_back(g.port);
        fs::path cfg = dir / "ser2net.yaml";
        std::ofstream(cfg) << "%YAML 1.1\n---\n"
                           << "connection: &bench\n"
                           << "  accepter: tcp,127.0.0.1," << g.port << "\n"
                           << "  connector: serialdev," << device << ",9600n81,local\n"
                           << "  options:\n"
                           << "    kickolduser: true\n";
        g.child = std::make_unique<Child>();
        std::vector<std::string> argv{opt.ser2net, "-n", "-d", "-u", "-c", cfg.string(), "-P",
                                      (dir / "ser2net.pid").string()};
        if (!g.child->start(argv, {}, (dir / "ser2net.log").string()))
            throw std::runtime_error("cannot start ser2net");
        if (connectWhenAccepting(g)) return g;
        log("ser2net did not accept on port " + std::to_string(g.port) + "; trying another");
    }
    throw std::runtime_error("ser2net did not start (see its log in the bench's temporary folder)");
}

// The minimal forwarder built next to the bench: the floor any TCP-to-serial program can reach here.
Gateway startForwarder(const Options& opt, const fs::path& dir, const std::string& device) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Gateway g;
        g.port = pickFreePort(kPortLow, kPortHigh, gPortsTaken);
        gPortsTaken.push_back(g.port);
        g.child = std::make_unique<Child>();
        if (!g.child->start({opt.forwarder, std::to_string(g.port), device}, {},
                            (dir / "forwarder.log").string()))
            throw std::runtime_error("cannot start " + opt.forwarder);
        if (connectWhenAccepting(g)) return g;
        log("forwarder did not accept on port " + std::to_string(g.port) + "; trying another");
    }
    throw std::runtime_error("the forwarder did not start (see its log in the bench's temporary folder)");
}

// ------------------------------------------------------------------ measurements

struct LatencySample {
    std::vector<double> ms;
    int misses = 0;      // no byte within 500 ms
    int mismatches = 0;  // bytes arrived but not the frame sent
};

// Sends one command and times the first byte of its frame on the pseudo-terminal.
void timeCommand(Client& client, Pty& pty, const std::string& payload,
                 const std::vector<std::uint8_t>& frame, LatencySample& out, bool record) {
    pty.drain();
    std::vector<std::uint8_t> bytes;
    std::vector<Clock::time_point> stamps;
    const auto t0 = Clock::now();
    if (!client.send(payload)) {
        ++out.misses;
        return;
    }
    if (!pty.read(1, milliseconds(500), bytes, stamps)) {
        if (record) ++out.misses;
        return;
    }
    pty.read(frame.size(), milliseconds(200), bytes, stamps);
    if (!record) return;
    out.ms.push_back(msBetween(t0, stamps.front()));
    if (bytes != frame) ++out.mismatches;
}

std::vector<std::uint8_t> frameFor(int output, int input) {
    return {0xFE, static_cast<std::uint8_t>(output), static_cast<std::uint8_t>(input)};
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s;
}

std::string sampleNote(const LatencySample& s) {
    std::string note;
    if (s.misses) note += std::to_string(s.misses) + " commands without a frame; ";
    if (s.mismatches) note += std::to_string(s.mismatches) + " frames with other bytes than sent; ";
    return note;
}

// Idle CPU share and wake-ups of a process over `seconds`.
struct Idle {
    double cpuPercent = NAN, wakeupsPerSecond = NAN;
};

Idle measureIdle(pid_t pid, int seconds) {
    const long ticks0 = readCpuTicks(pid);
    const long switches0 = readContextSwitches(pid);
    const auto t0 = Clock::now();
    sleep(static_cast<unsigned>(seconds));
    const double elapsed = msBetween(t0, Clock::now()) / 1000.0;
    const long ticks1 = readCpuTicks(pid);
    const long switches1 = readContextSwitches(pid);
    Idle idle;
    if (ticks0 >= 0 && ticks1 >= 0)
        idle.cpuPercent = 100.0 * static_cast<double>(ticks1 - ticks0) /
                          static_cast<double>(sysconf(_SC_CLK_TCK)) / elapsed;
    if (switches0 >= 0 && switches1 >= 0)
        idle.wakeupsPerSecond = static_cast<double>(switches1 - switches0) / elapsed;
    return idle;
}

std::string memoryNote(pid_t pid) {
    return "RssAnon " + std::to_string(readStatusKb(pid, "RssAnon")) + " kB, RssFile " +
           std::to_string(readStatusKb(pid, "RssFile")) + " kB, threads " +
           std::to_string(readStatusKb(pid, "Threads"));
}

// Sleeps until `when`, never longer than a second.
void sleepUntil(Clock::time_point when) {
    auto now = Clock::now();
    if (when > now) std::this_thread::sleep_for(std::min<Clock::duration>(when - now, std::chrono::seconds(1)));
}

// ------------------------------------------------------------------ the run

// Command latency is measured twice: first with the measuring thread at the normal priority, as a
// user's client runs, then at a real-time priority when allowed, so that the bench's own wake-ups
// after a byte arrives do not count against the programs measured. Everything the thread starts
// afterwards (the programs, the output reader threads) is reset to the normal policy.
bool raiseMeasuringPriority() {
    sched_param param{};
    param.sched_priority = 10;
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

std::string loadAverage() { return commandOutput("cut -d' ' -f1-3 /proc/loadavg"); }

// One program that takes commands: how to send a frame to it and where its frames appear.
struct Target {
    Client* client = nullptr;
    Pty* line = nullptr;
    LatencySample* sample = nullptr;
};

struct Round {
    std::string label;  // "normal" or "SCHED_FIFO"
    LatencySample raw, words, gateway, floor;
    SwitchesPerCommand rawSwitches, wordSwitches;
    SwitchesPerCommand floorSwitches;  // the forwarder over the raw run: what the machine's load alone costs
};

// The three programs in turn, a third of the spacing apart, so each gets a command every 90 ms and all
// see the same machine conditions. The other two swap places every other command, so that each program
// follows each of the others equally often: the three pseudo-terminals share the kernel's worker that
// carries a written frame to the reader, and whether that worker takes the writer's core at once
// depends on what it did last. With one fixed order the server's preemptions per command read 0.34 to
// 0.47 and the forwarder's 0.13 to 0.15; with the other two swapped for good, 0.91 to 0.93 and 0.63 to
// 0.82 (three runs each, the server's output then on a pseudo-terminal too). `kivonetLine` makes the
// server's command for an input number.
void interleave(int commands, Target kivonet, const std::function<std::string(int)>& kivonetLine,
                Target gateway, Target floor, bool record) {
    const auto third = kCommandSpacing / 3;
    auto next = Clock::now();
    for (int i = 0; i < commands; ++i) {
        const int input = (i % 16) + 1;
        const auto frame = frameFor(1, input);
        const std::string bytes(frame.begin(), frame.end());
        sleepUntil(next);
        next += third;
        timeCommand(*kivonet.client, *kivonet.line, kivonetLine(input), frame, *kivonet.sample, record);
        const bool swap = i % 2 == 1;
        for (Target* t : {swap ? &floor : &gateway, swap ? &gateway : &floor}) {
            sleepUntil(next);
            next += third;
            if (t->client) timeCommand(*t->client, *t->line, bytes, frame, *t->sample, record);
        }
    }
    // The server's last pacing pause and what follows it belong to the run.
    std::this_thread::sleep_for(milliseconds(150));
}

Round measureRound(const std::string& label, const Options& opt, Client& k, Pty& line, pid_t kpid,
                   Client* gw, Pty* gwLine, Client* fw, Pty* fwLine, pid_t fwpid) {
    Round r;
    r.label = label;
    log("command latency, measuring thread " + label + ": " + std::to_string(opt.commands) +
        " commands each, raw and \"SetN\"");
    LatencySample warm;
    Target ours{&k, &line, &r.raw};
    Target gateway{gw, gwLine, &r.gateway};
    Target floor{fw, fwLine, &r.floor};
    auto raw = [](int input) { return "0x" + hex(frameFor(1, input)) + "\n"; };
    auto word = [](int input) { return "Set" + std::to_string(input) + "\n"; };
    interleave(5, {&k, &line, &warm}, raw, {gw, gwLine, &warm}, {fw, fwLine, &warm}, false);

    auto before = readThreadSwitches(kpid);
    const auto floorBefore = readThreadSwitches(fwpid);
    interleave(opt.commands, ours, raw, gateway, floor, true);
    r.rawSwitches = switchesPerCommand(before, readThreadSwitches(kpid), opt.commands);
    r.floorSwitches = switchesPerCommand(floorBefore, readThreadSwitches(fwpid), opt.commands);

    // Command words in output mode 0: one frame per selection.
    k.send("Out1\n");
    usleep(200 * 1000);
    ours.sample = &r.words;
    before = readThreadSwitches(kpid);
    interleave(opt.commands, ours, word, gateway, floor, true);
    r.wordSwitches = switchesPerCommand(before, readThreadSwitches(kpid), opt.commands);
    return r;
}

void addRoundRows(const Round& r, const std::string& gwVersion, const std::string& gwNote) {
    const std::string at = " (" + r.label + ")";
    const Stats gw = summarize(r.gateway.ms);
    const bool haveGw = gw.n > 0;
    // The same bounds for raw bytes and command words: as fast as the plain gateway in the same run.
    auto kivonetRow = [&](const std::string& name, const LatencySample& sample) {
        const Stats st = summarize(sample.ms);
        const bool ok = st.n > 0 && sample.misses == 0 && sample.mismatches == 0 &&
                        (!haveGw || (st.median <= gw.median && st.p99 <= 1.5 * gw.p99));
        addStats(name + at, st, "ms", "median <= ser2net, p99 <= 1.5x", verdict(ok), sampleNote(sample));
    };
    kivonetRow("latency kivonet \"0xFE01nn\"", r.raw);
    kivonetRow("latency kivonet \"SetN\" (Out1)", r.words);
    if (haveGw)
        addStats("latency ser2net FE 01 nn" + at, gw, "ms", "", "", sampleNote(r.gateway) + gwVersion);
    else
        addNote("latency ser2net FE 01 nn" + at, "not measured: " + (gwNote.empty() ? "no frames" : gwNote));
    const Stats floor = summarize(r.floor.ms);
    if (floor.n > 0)
        addStats("latency forwarder FE 01 nn" + at, floor, "ms", "", "", sampleNote(r.floor) + "the floor");
    const Stats raw = summarize(r.raw.ms);
    if (haveGw && raw.n > 0)
        gRows.push_back(Row{"ratio kivonet/ser2net" + at, NAN, raw.median / gw.median, raw.p99 / gw.p99,
                            raw.max / gw.max, "x", "median <= 1, p99 <= 1.5",
                            verdict(raw.median <= gw.median && raw.p99 <= 1.5 * gw.p99), ""});
    gSamples.push_back({"latency kivonet" + at, r.raw.ms});
    gSamples.push_back({"latency kivonet SetN" + at, r.words.ms});
    gSamples.push_back({"latency ser2net" + at, r.gateway.ms});
    gSamples.push_back({"latency forwarder" + at, r.floor.ms});
}

// Per command: the session thread's switches (its read and its pacing pause are the two it needs)
// and the wake-ups of the most often woken other thread. A write to a pseudo-terminal wakes a kernel
// worker that moves the bytes to the other end, and that worker now and then preempts the writer:
// the forwarder, which only reads and writes, shows how often in the same run. Those preemptions are
// the test line's, not the server's: the bound is two plus the forwarder's share.
void addSwitchRows(const std::string& what, const SwitchesPerCommand& s, const SwitchesPerCommand& floor) {
    const double session = s.sessionVoluntary + s.sessionInvoluntary;
    const double machine = floor.threads > 0 ? floor.sessionInvoluntary : 0.0;
    std::string note = "voluntary " + fmt(s.sessionVoluntary, 2) + ", preempted " +
                       fmt(s.sessionInvoluntary, 2) + "; " + std::to_string(s.threads) + " threads";
    if (floor.threads > 0)
        note += "; forwarder in the same run: preempted " + fmt(floor.sessionInvoluntary, 2);
    addValue("context switches/command, session " + what, session, "", "<= 2 + forwarder's preemptions",
             verdict(!std::isnan(session) && session <= 2.05 + machine), note);
    addValue("wake-ups/command, other threads " + what, s.otherMostWoken, "", "<= 1",
             verdict(!std::isnan(s.otherMostWoken) && s.otherMostWoken <= 1.05),
             "the most often woken thread besides the session's");
}

void run(const Options& opt, const fs::path& dir) {
    const std::string machine = cpuModel() + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
                                " cores, " + kernelRelease() + "; load average " + loadAverage() +
                                " at the start";
    gRows.push_back(Row{"machine", NAN, NAN, NAN, NAN, "", "", "", machine});
    const std::size_t machineRow = gRows.size() - 1;

    std::vector<double> listenMs, greetingMs, readyMs;
    auto recordStart = [&](const Started& s) {
        if (!std::isnan(s.listenMs)) listenMs.push_back(s.listenMs);
        if (!std::isnan(s.greetingMs)) greetingMs.push_back(s.greetingMs);
        if (!std::isnan(s.readyMs)) readyMs.push_back(s.readyMs);
    };

    // The headless server under test, on its own pseudo-terminal.
    Pty line;
    log("starting kivonet (headless) on " + line.slavePath());
    Started k = startKivonet(opt, dir, line.slavePath(), true, {});
    recordStart(k);
    if (std::isnan(k.readyMs)) log("no line ending in \"  Ready\" within 6 s");
    {
        std::vector<std::uint8_t> bytes;
        std::vector<Clock::time_point> stamps;
        line.read(6, milliseconds(500), bytes, stamps);
        if (bytes != std::vector<std::uint8_t>{0xFE, 1, 1, 0xFE, 2, 1})
            addNote("start-up frames", "expected FE0101FE0201 on the line, got " + hex(bytes));
    }
    const pid_t kpid = k.child->pid();
    usleep(300 * 1000);
    const long rssIdle = readStatusKb(kpid, "VmRSS");
    const std::string idleMemNote = memoryNote(kpid);

    log("idle CPU over " + std::to_string(opt.idleSeconds) + " s with one client connected");
    const Idle idle = measureIdle(kpid, opt.idleSeconds);

    // The plain gateway and the forwarder, each on a pseudo-terminal of its own.
    std::unique_ptr<Pty> gwLine, fwLine;
    Gateway gw, fw;
    std::string gwNote, fwNote;
    // Starts one of them; a reference that does not start leaves its rows with a note instead.
    auto startReference = [&](const std::string& program, auto start, std::unique_ptr<Pty>& refLine,
                              Gateway& g, std::string& note) {
        try {
            refLine = std::make_unique<Pty>();
            log("starting " + program + " on " + refLine->slavePath());
            g = start(opt, dir, refLine->slavePath());
        } catch (const std::exception& e) {
            note = e.what();
            log(program + " unavailable: " + note);
            refLine.reset();
        }
    };
    startReference(opt.ser2net, startSer2net, gwLine, gw, gwNote);
    startReference(opt.forwarder, startForwarder, fwLine, fw, fwNote);
    const std::string gwVersion = gwLine ? commandOutput(opt.ser2net + " -v") : std::string();

    const pid_t fwpid = fwLine && fw.child ? fw.child->pid() : -1;
    std::vector<Round> rounds;
    rounds.push_back(measureRound("normal", opt, k.client, line, kpid, gwLine ? &gw.client : nullptr,
                                  gwLine.get(), fwLine ? &fw.client : nullptr, fwLine.get(), fwpid));
    const bool realtime = raiseMeasuringPriority();
    if (realtime)
        rounds.push_back(measureRound("SCHED_FIFO", opt, k.client, line, kpid,
                                      gwLine ? &gw.client : nullptr, gwLine.get(),
                                      fwLine ? &fw.client : nullptr, fwLine.get(), fwpid));
    gRows[machineRow].note += ", " + loadAverage() + " after the latency rounds; measuring thread " +
                              (realtime ? "at normal priority, then SCHED_FIFO 10"
                                        : "at normal priority only (no permission for SCHED_FIFO)");
    for (const Round& r : rounds) addRoundRows(r, gwVersion, gwNote);
    if (!fwLine) addNote("latency forwarder FE 01 nn", "not measured: " + fwNote);
    if (!realtime) addNote("latency (SCHED_FIFO)", "not measured: no permission for SCHED_FIFO");
    addSwitchRows("\"0xFE01nn\" (normal)", rounds.front().rawSwitches, rounds.front().floorSwitches);
    addSwitchRows("\"SetN\" (normal)", rounds.front().wordSwitches, rounds.front().floorSwitches);

    // Frame pacing in output mode 2.
    log("frame pacing of \"SetN\" after \"Out3\"");
    k.client.send("Out3\n");
    usleep(200 * 1000);
    std::vector<double> excess;
    double minGap = NAN;
    int pacingMisses = 0, pacingMismatches = 0;
    {
        const int selections = std::max(20, opt.commands / 2);
        auto next = Clock::now();
        for (int i = 0; i < selections; ++i) {
            sleepUntil(next);
            next += kSelectionSpacing;
            const int input = (i % 16) + 1;
            line.drain();
            std::vector<std::uint8_t> bytes;
            std::vector<Clock::time_point> stamps;
            k.client.send("Set" + std::to_string(input) + "\n");
            if (!line.read(6, milliseconds(1000), bytes, stamps)) {
                ++pacingMisses;
                continue;
            }
            auto expect = frameFor(1, input);
            auto second = frameFor(2, input);
            expect.insert(expect.end(), second.begin(), second.end());
            if (bytes != expect) ++pacingMismatches;
            const double gap = msBetween(stamps[0], stamps[3]);
            excess.push_back(gap - kFramePause);
            if (std::isnan(minGap) || gap < minGap) minGap = gap;
        }
    }

    // Session turnover over many sessions, with the resident size before, early and after.
    log("session turnover over " + std::to_string(opt.sessions) + " sessions");
    usleep(150 * 1000);  // let the pause after the last selection's frames run out
    const long rssBeforeSessions = readStatusKb(kpid, "VmRSS");
    long rssEarly = -1;
    std::vector<double> turnover;
    int turnoverFailures = 0;
    {
        const int earlyAt = std::min(100, opt.sessions / 10);
        const auto giveUp = Clock::now() + std::chrono::seconds(90);
        for (int i = 0; i < opt.sessions && Clock::now() < giveUp; ++i) {
            if (i == earlyAt) rssEarly = readStatusKb(kpid, "VmRSS");
            Client next;
            if (!next.connect(k.port)) {
                ++turnoverFailures;
                break;
            }
            const auto t0 = Clock::now();
            k.client.send("Close\n");
            auto ok = next.readLine(milliseconds(2000));
            const auto t1 = Clock::now();
            if (!ok || *ok != "OK") {
                ++turnoverFailures;
                if (turnoverFailures > 5) break;
            } else {
                turnover.push_back(msBetween(t0, t1));
            }
            k.client = std::move(next);
        }
    }
    usleep(300 * 1000);
    const long rssAfterSessions = readStatusKb(kpid, "VmRSS");
    const std::string afterMemNote = memoryNote(kpid);
    k.client.send("Close\n");
    k.client.close();
    k.child->stop();
    for (Gateway* g : {&gw, &fw}) {
        if (g->child) g->child->stop();
        g->client.close();
    }

    // More start-ups for a steadier start-up figure.
    for (int i = 1; i < opt.startups; ++i) {
        Pty other;
        Started s = startKivonet(opt, dir, other.slavePath(), true, {});
        recordStart(s);
        s.client.close();
        s.child->stop();
    }

    // ---- rows
    gSamples.push_back({"pacing excess", excess});
    gSamples.push_back({"turnover", turnover});

    const Stats pacing = summarize(excess);
    std::string pacingNote = "min gap " + fmt(minGap) + " ms";
    if (pacingMisses) pacingNote += "; " + std::to_string(pacingMisses) + " selections incomplete";
    if (pacingMismatches)
        pacingNote += "; " + std::to_string(pacingMismatches) + " selections with other bytes";
    addStats("pacing excess over 50 ms (Out3)", pacing, "ms", "p99 < 2, gap >= 50",
             verdict(pacing.n > 0 && pacing.p99 < 2.0 && minGap >= kFramePause && pacingMisses == 0 &&
                     pacingMismatches == 0),
             pacingNote);

    const Stats turn = summarize(turnover);
    addStats("turnover Close -> next OK", turn, "ms", "p99 < 5",
             verdict(turn.n > 0 && turn.p99 < 5.0 && turnoverFailures == 0),
             turnoverFailures ? std::to_string(turnoverFailures) + " sessions failed" : "");

    const Stats listen = summarize(listenMs);
    addStats("start-up until port accepts", listen, "ms", "max < 50",
             verdict(listen.n > 0 && listen.max < 50.0));
    addStats("start-up until \"OK\"", summarize(greetingMs), "ms");
    addStats("start-up until ready line", summarize(readyMs), "ms", "", "",
             readyMs.empty() ? "no ready line seen" : "includes the 2000 ms start-up pause");

    addValue("RSS headless idle", static_cast<double>(rssIdle), "kB", "< 8192",
             verdict(rssIdle > 0 && rssIdle < 8192), idleMemNote);
    addValue("RSS before sessions", static_cast<double>(rssBeforeSessions), "kB");
    if (rssEarly > 0)
        addValue("RSS after " + std::to_string(std::min(100, opt.sessions / 10)) + " sessions",
                 static_cast<double>(rssEarly), "kB");
    addValue("RSS after " + std::to_string(turnover.size() + static_cast<std::size_t>(turnoverFailures)) +
                 " sessions",
             static_cast<double>(rssAfterSessions), "kB", "", "", afterMemNote);
    const long growth = rssAfterSessions - (rssEarly > 0 ? rssEarly : rssBeforeSessions);
    addValue("RSS growth over the sessions", static_cast<double>(growth), "kB", "< 64",
             verdict(rssAfterSessions > 0 && growth < 64),
             rssEarly > 0 ? "measured from the early point, after one-time set-up" : "");
    addValue("idle CPU, one client, " + std::to_string(opt.idleSeconds) + " s", idle.cpuPercent, "%",
             "< 0.5", verdict(!std::isnan(idle.cpuPercent) && idle.cpuPercent < 0.5),
             "wake-ups " + fmt(idle.wakeupsPerSecond, 1) + "/s");
}

// ------------------------------------------------------------------ the router-protocol face

// Reads what has arrived on each of the router clients until every one has `text` after what it had
// before, or the time is up. Gives, per client, the time its copy was complete. `watch` is an epoll
// set holding every client's socket (the index as its data), made once: the measuring side must cost
// what arrives, not how many clients there are, or it is the slowest part of what it measures.
std::vector<Clock::time_point> waitAll(int watch, std::vector<Client>& clients, std::vector<std::string>& buffers,
                                       const std::string& text, milliseconds timeout) {
    std::vector<Clock::time_point> at(clients.size());
    std::vector<bool> done(clients.size(), false);
    std::size_t left = clients.size();
    const auto giveUp = Clock::now() + timeout;
    std::vector<epoll_event> ready(clients.size());
    while (left > 0 && Clock::now() < giveUp) {
        const int count = ::epoll_wait(watch, ready.data(), static_cast<int>(ready.size()), 50);
        if (count <= 0) continue;
        const auto now = Clock::now();
        for (int e = 0; e < count; ++e) {
            const std::size_t i = ready[static_cast<std::size_t>(e)].data.u32;
            char chunk[8192];
            const ssize_t n = ::recv(clients[i].fd(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) buffers[i].append(chunk, static_cast<std::size_t>(n));
            if (done[i]) continue;
            if (const auto found = buffers[i].find(text); found != std::string::npos) {
                buffers[i].erase(0, found + text.size());
                done[i] = true;
                at[i] = now;
                --left;
            } else if (n == 0) {
                done[i] = true;  // gone: counted as never complete
                --left;
            }
        }
    }
    return at;
}

// An epoll set holding every open client's socket, with the client's index as its data.
int watchAll(const std::vector<Client>& clients) {
    const int watch = ::epoll_create1(EPOLL_CLOEXEC);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        if (clients[i].isOpen()) ::epoll_ctl(watch, EPOLL_CTL_ADD, clients[i].fd(), &event);
    }
    return watch;
}

// The machine's floor for the same fan-out, with no server: one thread of the bench sends the update
// to `count` loopback connections of its own, one after the other, while this thread reads them as
// it reads the router clients. Times from the first send until every connection has the text.
std::vector<double> fanoutFloor(int count, int rounds, const std::string& text) {
    std::vector<double> out;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, count) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0) ::close(listener);
        return out;
    }
    std::vector<Client> readers(static_cast<std::size_t>(count));
    std::vector<int> senders;
    for (auto& r : readers) {
        const int s = r.connect(ntohs(address.sin_port)) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (s < 0) break;
        senders.push_back(s);
    }
    ::close(listener);
    const int watch = watchAll(readers);
    if (senders.size() == readers.size()) {
        std::vector<std::string> buffers(readers.size());
        std::atomic<int> go{0};  // rounds asked for by the reader
        std::atomic<Clock::rep> sentFrom{0};
        std::thread sender([&] {
            for (int r = 1; r <= rounds; ++r) {
                for (int asked = go.load(); asked < r; asked = go.load()) go.wait(asked);
                sentFrom = Clock::now().time_since_epoch().count();
                for (const int s : senders) (void)!::send(s, text.data(), text.size(), MSG_NOSIGNAL);
            }
        });
        for (int r = 1; r <= rounds; ++r) {
            usleep(static_cast<useconds_t>(std::chrono::microseconds(kSelectionSpacing).count()));
            go = r;
            go.notify_one();
            const auto got = waitAll(watch, readers, buffers, text, milliseconds(2000));
            if (std::count(got.begin(), got.end(), Clock::time_point{}) > 0) continue;
            out.push_back(msBetween(Clock::time_point{Clock::duration{sentFrom.load()}},
                                    *std::max_element(got.begin(), got.end())));
        }
        sender.join();
    }
    ::close(watch);
    for (const int s : senders) ::close(s);
    return out;
}

// A server with the router face on, 200 router clients and one line client: how soon a router
// request puts its frame on the line (beside the line protocol's "SetN" in the same run), how soon
// every router client hears of a selection once its frame is on the line, and what the clients cost
// in resident memory.
void runRouter(const Options& opt, const fs::path& dir) {
    constexpr int kRouterClients = 200;
    Pty line;
    const int routerPort = pickFreePort(kPortLow, kPortHigh, gPortsTaken);
    gPortsTaken.push_back(routerPort);
    log("starting kivonet with the router face on port " + std::to_string(routerPort));
    Started k = startKivonet(opt, dir, line.slavePath(), true, {},
                             {"--router-port", std::to_string(routerPort), "--state-file",
                              (dir / "router.state").string()});
    const pid_t pid = k.child->pid();
    // The face opens after the start-up pause.
    std::vector<Client> routers(kRouterClients);
    {
        const auto giveUp = Clock::now() + milliseconds(8000);
        while (!routers[0].connect(routerPort) && Clock::now() < giveUp) usleep(20 * 1000);
    }
    if (!routers[0].isOpen()) {
        addNote("router face", "not measured: the router port did not open");
        return;
    }
    routers[0].close();
    usleep(300 * 1000);
    const long rssIdle = readStatusKb(pid, "VmRSS");
    std::vector<std::string> buffers(kRouterClients);
    // Each from a loopback address of its own: the face serves at most 32 clients from one address.
    for (std::size_t i = 0; i < routers.size(); ++i)
        routers[i].connect(routerPort, 0x7F020000u | static_cast<std::uint32_t>(i + 1));
    const int watch = watchAll(routers);
    const auto prelude = waitAll(watch, routers, buffers, "END PRELUDE:\n\n", milliseconds(10000));
    const auto missing = std::count(prelude.begin(), prelude.end(), Clock::time_point{});
    if (missing > 0) log(std::to_string(missing) + " router clients got no dump");

    k.client.send("Out1\n");
    usleep(200 * 1000);
    line.drain();

    // Request to first frame byte, router and line protocol in turn.
    LatencySample routed, set;
    std::vector<double> fanout;
    int fanoutMisses = 0;
    {
        auto next = Clock::now();
        for (int i = 0; i < opt.commands / 2 + 2; ++i) {
            const bool record = i >= 2;
            const int input = (i % 14) + 2;  // never what the line request before left, nor start-up's 1
            sleepUntil(next);
            next += kSelectionSpacing;
            timeCommand(routers[0], line,
                        "VIDEO OUTPUT ROUTING:\n0 " + std::to_string(input - 1) + "\n\n", frameFor(1, input),
                        routed, record);
            const auto frameAt = Clock::now();  // timeCommand returns once the whole frame is read
            const auto got = waitAll(watch, routers, buffers, "VIDEO OUTPUT ROUTING:\n0 " + std::to_string(input - 1) + "\n\n",
                                     milliseconds(2000));
            double slowest = 0;
            bool all = true;
            for (const auto& t : got) {
                if (t == Clock::time_point{}) all = false;
                else slowest = std::max(slowest, msBetween(frameAt, t));
            }
            if (record) {
                if (all) fanout.push_back(slowest);
                else ++fanoutMisses;
            }
            sleepUntil(next);
            next += kSelectionSpacing;
            const int other = input == 16 ? 1 : 16;
            timeCommand(k.client, line, "Set" + std::to_string(other) + "\n", frameFor(1, other), set, record);
            waitAll(watch, routers, buffers, "VIDEO OUTPUT ROUTING:\n0 " + std::to_string(other - 1) + "\n\n",
                    milliseconds(2000));
        }
    }
    usleep(300 * 1000);
    const long rssClients = readStatusKb(pid, "VmRSS");
    const std::string memNote = memoryNote(pid);
    ::close(watch);
    for (auto& c : routers) c.close();
    k.client.close();
    k.child->stop();

    gSamples.push_back({"latency router request", routed.ms});
    gSamples.push_back({"latency line SetN beside router", set.ms});
    gSamples.push_back({"router update to all clients", fanout});
    const Stats r = summarize(routed.ms), l = summarize(set.ms), f = summarize(fanout);
    addStats("latency router request (Out1)", r, "ms", "median <= line SetN",
             verdict(r.n > 0 && l.n > 0 && r.median <= l.median && routed.misses == 0 &&
                     routed.mismatches == 0),
             sampleNote(routed));
    addStats("latency line \"SetN\" beside router", l, "ms", "", "", sampleNote(set));
    addStats("router update to all " + std::to_string(kRouterClients) + " clients", f, "ms", "p99 < 5",
             verdict(f.n > 0 && f.p99 < 5.0 && fanoutMisses == 0),
             "from the frame on the line" +
                 (fanoutMisses ? "; " + std::to_string(fanoutMisses) + " updates not seen by all" : std::string()));
    const std::vector<double> floor =
        fanoutFloor(kRouterClients, opt.commands / 2, "VIDEO OUTPUT ROUTING:\n0 6\n\n");
    gSamples.push_back({"fan-out floor", floor});
    addStats("fan-out floor, " + std::to_string(kRouterClients) + " loopback sockets", summarize(floor), "ms", "", "",
             "the bench alone: one thread sends, one reads; the machine's floor");
    const long growth = rssClients - rssIdle;
    addValue("RSS " + std::to_string(kRouterClients) + " router clients above idle", static_cast<double>(growth),
             "kB", "< 2048", verdict(rssIdle > 0 && rssClients > 0 && growth < 2048),
             "idle " + std::to_string(rssIdle) + " kB; " + memNote);
}

// Plugged back -> restore frames on the line. The server reaches its line through a symbolic link;
// each round pulls the pseudo-terminal, waits for the server's console line about it, points the
// link at a fresh one and times until both frames of the routing have arrived on it. Bounded by the
// server's once-a-second reopen attempts.
void runReplug(const Options& opt, const fs::path& dir) {
    constexpr int kRounds = 10;
    const std::string link = (dir / "replug-link").string();
    auto pointLink = [&](const std::string& target) {
        const std::string fresh = link + ".new";
        ::unlink(fresh.c_str());
        if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot point " + link + " at " + target);
    };
    auto lostLines = [](Child& child) {
        int n = 0;
        for (const auto& l : child.lastLines(400)) n += l.find(" lost: ") != std::string::npos;
        return n;
    };
    auto pty = std::make_unique<Pty>();
    pointLink(pty->slavePath());
    Started s = startKivonet(opt, dir, link, true, {});
    std::vector<std::uint8_t> routing = frameFor(1, 1);  // start-up's routing
    const std::vector<std::uint8_t> second = frameFor(2, 1);
    routing.insert(routing.end(), second.begin(), second.end());
    std::vector<std::uint8_t> bytes;
    std::vector<Clock::time_point> stamps;
    pty->read(routing.size(), milliseconds(3000), bytes, stamps);
    std::vector<double> ms;
    int misses = 0;
    for (int round = 0; round < kRounds && s.child->running(); ++round) {
        const int lost = lostLines(*s.child);
        pty.reset();  // pulled
        const auto noticeBy = Clock::now() + milliseconds(5000);
        while (lostLines(*s.child) == lost && Clock::now() < noticeBy) usleep(5000);
        pty = std::make_unique<Pty>();
        const auto plugged = Clock::now();
        pointLink(pty->slavePath());
        bytes.clear();
        stamps.clear();
        if (pty->read(routing.size(), milliseconds(5000), bytes, stamps) && bytes == routing)
            ms.push_back(msBetween(plugged, stamps.back()));
        else
            ++misses;
    }
    s.client.close();
    s.child->stop();
    const Stats replug = summarize(ms);
    addStats("plugged back -> restore frames", replug, "ms", "p99 < 1500",
             verdict(replug.n > 0 && replug.p99 < 1500.0 && misses == 0),
             misses ? std::to_string(misses) + " rounds without the routing" : "");
}

// The window build on a virtual X server.
void runWindow(const Options& opt, const fs::path& dir) {
    int display = -1;
    for (int d = 90; d < 160; ++d) {
        if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(d)) &&
            !fs::exists("/tmp/.X" + std::to_string(d) + "-lock")) {
            display = d;
            break;
        }
    }
    if (display < 0 || access("/usr/bin/Xvfb", X_OK) != 0) {
        addNote("RSS with window (Xvfb)", "skipped: no Xvfb or no free display");
        return;
    }
    Child xvfb;
    const std::string name = ":" + std::to_string(display);
    if (!xvfb.start({"/usr/bin/Xvfb", name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
                    (dir / "xvfb.log").string())) {
        addNote("RSS with window (Xvfb)", "skipped: Xvfb did not start");
        return;
    }
    const auto socket = "/tmp/.X11-unix/X" + std::to_string(display);
    const auto giveUp = Clock::now() + milliseconds(5000);
    while (!fs::exists(socket) && Clock::now() < giveUp && xvfb.running()) usleep(10 * 1000);
    if (!fs::exists(socket)) {
        xvfb.stop();
        addNote("RSS with window (Xvfb)", "skipped: Xvfb did not come up on " + name);
        return;
    }
    // A window is there when the virtual display shows more windows than before the server started
    // (only this server draws on it); without xdotool, a mapped X library is taken as the sign.
    const bool haveXdotool = access("/usr/bin/xdotool", X_OK) == 0;
    auto visibleWindows = [&] {
        return std::atoi(commandOutput("DISPLAY=" + name +
                                       " /usr/bin/xdotool search --onlyvisible --name '.*' | wc -l")
                             .c_str());
    };
    const int windowsBefore = haveXdotool ? visibleWindows() : 0;
    log("starting kivonet with its window on Xvfb " + name);
    Pty line;
    Started w = startKivonet(opt, dir, line.slavePath(), false, {"DISPLAY=" + name});
    usleep(300 * 1000);
    const pid_t pid = w.child->pid();
    const bool shown = haveXdotool ? visibleWindows() > windowsBefore
                                   : mapsContain(pid, "libX11") || mapsContain(pid, "libfltk");
    if (!w.child->running() || !shown) {
        addNote("RSS with window (Xvfb)",
                "skipped: this build shows no window");
    } else {
        const long rss = readStatusKb(pid, "VmRSS");
        const std::string note = memoryNote(pid);
        const Idle idle = measureIdle(pid, opt.idleSeconds);
        addValue("RSS with window (Xvfb)", static_cast<double>(rss), "kB", "", "", note);
        addValue("idle CPU with window, one client", idle.cpuPercent, "%", "", "",
                 "wake-ups " + fmt(idle.wakeupsPerSecond, 1) + "/s");
        addStats("start-up with window until port accepts", summarize({w.listenMs}), "ms");
    }
    w.client.close();
    w.child->stop();
    xvfb.stop();
}

// ------------------------------------------------------------------ the web page

// A raw HTTP/1.1 connection to 127.0.0.1 (keep-alive), enough for the web rows; `from` is the
// loopback address it comes from (127.0.0.1 unless given).
class Http {
public:
    explicit Http(int port, std::uint32_t from = INADDR_LOOPBACK) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        if (fd_ >= 0 && from != INADDR_LOOPBACK && ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd_);
            throw std::runtime_error("cannot bind a web client to a loopback address");
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("cannot connect to the web port");
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Http() { ::close(fd_); }
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;
    int fd() const { return fd_; }

    void send(const std::string& request) {
        size_t done = 0;
        while (done < request.size()) {
            const ssize_t n = ::send(fd_, request.data() + done, request.size() - done, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("web connection closed");
            done += static_cast<size_t>(n);
        }
    }
    // Reads whatever is there (waiting up to `ms` for something); false at end of stream.
    bool fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return true;
        char chunk[8192];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        in.append(chunk, static_cast<size_t>(n));
        return true;
    }
    // One whole response with a Content-Length body: status, headers, body.
    int response(std::string& headers, std::string& body, milliseconds timeout = milliseconds(3000)) {
        const auto giveUp = Clock::now() + timeout;
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            if (Clock::now() > giveUp || !fill(50)) throw std::runtime_error("no web response");
        }
        headers = in.substr(0, end + 2);
        size_t length = 0;
        const auto cl = headers.find("Content-Length: ");
        if (cl != std::string::npos) length = std::stoul(headers.substr(cl + 16));
        while (in.size() < end + 4 + length) {
            if (Clock::now() > giveUp || !fill(50)) throw std::runtime_error("short web response");
        }
        body = in.substr(end + 4, length);
        in.erase(0, end + 4 + length);
        return std::stoi(headers.substr(9, 3));
    }

    std::string in;

private:
    int fd_ = -1;
};

// GET /api/state latency, and the time from a frame reaching the line until 50 open pages have
// the change through their push streams.
void runWeb(const Options& opt, const fs::path& dir) {
    const int httpPort = pickFreePort(kPortHigh + 1, kPortHigh + 400, gPortsTaken);
    gPortsTaken.push_back(httpPort);
    Pty line;
    const int linePort = pickFreePort(kPortLow, kPortHigh, gPortsTaken);
    gPortsTaken.push_back(linePort);
    const fs::path cfg = dir / "kivonet-web.cfg";
    writeConfig(cfg, linePort);
    Child server;
    if (!server.start({opt.server, "--headless", "--config", cfg.string(), "--device",
                       line.slavePath(), "--http-port", std::to_string(httpPort)},
                      {}, (dir / "kivonet-web.log").string()))
        throw std::runtime_error("cannot start " + opt.server);
    Client lineClient;
    const auto giveUp = Clock::now() + milliseconds(5000);
    while (!lineClient.connect(linePort) && Clock::now() < giveUp) usleep(5000);
    if (!lineClient.isOpen()) {
        addNote("web", "skipped: the server did not start");
        return;
    }
    lineClient.readLine(milliseconds(3000));

    // Log in (the web server may start a moment after the line port).
    std::string cookie, headers, body;
    std::unique_ptr<Http> http;
    while (!http && Clock::now() < giveUp + milliseconds(3000)) {
        try {
            http = std::make_unique<Http>(httpPort);
        } catch (const std::exception&) {
            usleep(20000);
        }
    }
    if (!http) {
        addNote("web", "skipped: this build has no web page");
        server.stop();
        return;
    }
    http->send("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               "Content-Length: 18\r\n\r\n{\"password\":\"JVK\"}");
    if (http->response(headers, body) != 204) throw std::runtime_error("web login refused");
    const auto at = headers.find("Set-Cookie: ");
    cookie = headers.substr(at + 12, headers.find(';', at) - at - 12);

    std::vector<double> stateMs;
    const std::string get = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n";
    for (int i = 0; i < 520; ++i) {
        const auto t0 = Clock::now();
        http->send(get);
        if (http->response(headers, body) != 200) throw std::runtime_error("GET /api/state failed");
        if (i >= 20) stateMs.push_back(msBetween(t0, Clock::now()));  // after a warm-up
        // The server ends a kept-alive connection after 100 requests.
        if (headers.find("Connection: close") != std::string::npos) http = std::make_unique<Http>(httpPort);
    }
    const Stats state = summarize(stateMs);
    addStats("web GET /api/state", state, "ms", "p99 < 2", verdict(state.n > 0 && state.p99 < 2.0),
             std::to_string(body.size()) + " bytes, kept-alive connections");

    // 50 push subscribers, each a page on a machine of its own (127.0.0.2 on): the server serves one
    // address only a share of its connections.
    constexpr int kSubscribers = 50;
    std::vector<std::unique_ptr<Http>> subs;
    for (int i = 0; i < kSubscribers; ++i) {
        subs.push_back(std::make_unique<Http>(httpPort, INADDR_LOOPBACK + 1 + static_cast<std::uint32_t>(i)));
        subs.back()->send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n");
    }
    // Each has its first state once its buffer holds a data line.
    for (auto& s : subs) {
        const auto by = Clock::now() + milliseconds(5000);
        while (s->in.find("data: ") == std::string::npos && Clock::now() < by) s->fill(50);
        if (s->in.find("200 OK") == std::string::npos) {
            addNote("web push to 50 subscribers", "skipped: a push stream was refused");
            server.stop();
            return;
        }
        s->in.clear();
    }
    std::vector<double> pushMs;
    int misses = 0;
    for (int round = 0; round < 120; ++round) {
        const int input = 2 + round % 15;
        char want[40];
        std::snprintf(want, sizeof want, "{\"index\":1,\"input\":%d,", input);
        line.drain();
        char raw[16];
        std::snprintf(raw, sizeof raw, "0xFE01%02X\r\n", input);
        lineClient.send(raw);
        std::vector<std::uint8_t> bytes;
        std::vector<Clock::time_point> stamps;
        const bool framed = line.read(3, milliseconds(2000), bytes, stamps);
        Clock::time_point last{};
        int have = 0;
        std::vector<bool> got(kSubscribers, false);
        const auto by = Clock::now() + milliseconds(2000);
        while (have < kSubscribers && Clock::now() < by) {
            std::vector<pollfd> fds;
            for (auto& s : subs) fds.push_back({s->fd(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            const auto now = Clock::now();
            for (int i = 0; i < kSubscribers; ++i) {
                if (!(fds[static_cast<size_t>(i)].revents & POLLIN)) continue;
                subs[static_cast<size_t>(i)]->fill(0);
                if (!got[static_cast<size_t>(i)] &&
                    subs[static_cast<size_t>(i)]->in.find(want) != std::string::npos) {
                    got[static_cast<size_t>(i)] = true;
                    ++have;
                    last = now;
                }
            }
        }
        for (auto& s : subs) s->in.clear();
        if (!framed || have < kSubscribers) {
            ++misses;
            continue;
        }
        pushMs.push_back(msBetween(stamps.back(), last));
        usleep(20 * 1000);
    }
    const Stats push = summarize(pushMs);
    gSamples.push_back({"web GET /api/state", stateMs});
    gSamples.push_back({"web push to 50", pushMs});
    addStats("web frame -> 50 push subscribers", push, "ms", "p99 < 20",
             verdict(push.n > 0 && push.p99 < 20.0 && misses == 0),
             misses ? std::to_string(misses) + " rounds missed" : "");
    subs.clear();
    lineClient.close();
    server.stop();
}

std::string csvField(const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

void printAndSave(const Options& opt) {
    std::printf("\n%-50s %6s %10s %10s %10s %-4s %-30s %-7s %s\n", "measurement", "n", "median",
                "p99", "max", "unit", "target", "result", "note");
    for (const auto& r : gRows) {
        const int decimals = r.unit == "kB" ? 0 : 3;
        std::printf("%-50s %6s %10s %10s %10s %-4s %-30s %-7s %s\n", r.name.c_str(),
                    fmt(r.n, 0).c_str(), fmt(r.median, decimals).c_str(), fmt(r.p99, decimals).c_str(),
                    fmt(r.max, decimals).c_str(), r.unit.c_str(), r.target.c_str(), r.verdict.c_str(),
                    r.note.c_str());
    }
    std::ofstream csv(opt.csv);
    csv << "measurement,n,median,p99,max,unit,target,result,note\n";
    for (const auto& r : gRows) {
        const int decimals = r.unit == "kB" ? 0 : 4;
        csv << csvField(r.name) << ',' << (std::isnan(r.n) ? "" : fmt(r.n, 0)) << ','
            << (std::isnan(r.median) ? "" : fmt(r.median, decimals)) << ','
            << (std::isnan(r.p99) ? "" : fmt(r.p99, decimals)) << ','
            << (std::isnan(r.max) ? "" : fmt(r.max, decimals)) << ',' << csvField(r.unit) << ','
            << csvField(r.target) << ',' << csvField(r.verdict) << ',' << csvField(r.note) << '\n';
    }
    fs::path samplesPath = opt.csv;
    samplesPath.replace_extension(".samples.csv");
    std::ofstream samples(samplesPath);
    samples << "measurement,index,ms\n";
    for (const auto& [name, values] : gSamples)
        for (std::size_t i = 0; i < values.size(); ++i)
            samples << name << ',' << i << ',' << fmt(values[i], 4) << '\n';
    std::printf("\nwritten to %s (every sample: %s)\n", opt.csv.c_str(), samplesPath.c_str());
    std::fflush(stdout);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument("missing value after " + a);
            return argv[++i];
        };
        if (a == "--server") o.server = value();
        else if (a == "--ser2net") o.ser2net = value();
        else if (a == "--forwarder") o.forwarder = value();
        else if (a == "--csv") o.csv = value();
        else if (a == "--commands") o.commands = std::clamp(std::stoi(value()), 8, 2000);
        else if (a == "--sessions") o.sessions = std::clamp(std::stoi(value()), 10, 5000);
        else if (a == "--idle-seconds") o.idleSeconds = std::clamp(std::stoi(value()), 1, 60);
        else if (a == "--startups") o.startups = std::clamp(std::stoi(value()), 1, 20);
        else if (a == "--no-window") o.window = false;
        else if (a == "--only") o.only = "," + value() + ",";
        else throw std::invalid_argument("unknown option " + a);
    }
    if (o.forwarder.empty()) {
        std::error_code ec;
        const fs::path self = fs::read_symlink("/proc/self/exe", ec);
        o.forwarder = ec ? std::string("kivo_forwarder") : (self.parent_path() / "kivo_forwarder").string();
    }
    if (o.ser2net.find('/') == std::string::npos) {
        for (const char* d : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/"}) {
            if (access((d + o.ser2net).c_str(), X_OK) == 0) {
                o.ser2net = d + o.ser2net;
                break;
            }
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    try {
        opt = parse(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "kivo_bench: " << e.what() << "\n";
        return 2;
    }
    if (access(opt.server.c_str(), X_OK) != 0) {
        std::cerr << "kivo_bench: no server program at " << opt.server << "\n";
        return 2;
    }
    installCleanupHandlers(std::chrono::seconds(420));

    char tmpl[] = "/tmp/kivo-bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::cerr << "kivo_bench: cannot create a temporary folder\n";
        return 2;
    }
    const fs::path dir = tmpl;
    int status = 0;
    try {
        // --only main,replug,web,router,window: a subset, while working on one of them.
        auto wanted = [&](const char* part) { return opt.only.empty() || opt.only.find(std::string(",") + part + ",") != std::string::npos; };
        if (wanted("main")) run(opt, dir);
        if (wanted("replug")) runReplug(opt, dir);
        if (wanted("web")) runWeb(opt, dir);
        if (wanted("router")) runRouter(opt, dir);
        if (opt.window && wanted("window")) runWindow(opt, dir);
    } catch (const std::exception& e) {
        std::cerr << "kivo_bench: " << e.what() << "\n";
        addNote("error", e.what());
        status = 1;
    }
    printAndSave(opt);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
