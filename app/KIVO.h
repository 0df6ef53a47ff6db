#pragma once
// The main class: process-wide settings, the configuration record, start-up, and the byte/hex
// conversions. Settings are written during start-up (before other threads exist, or published through
// atomics); afterwards only `password` (from the window) and `to` (from a client) change.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Guarded.h"

class LocalCAM;
class Device;

struct Colour {
    uint8_t r, g, b;
    friend bool operator==(const Colour&, const Colour&) = default;
};

class KIVO {
public:
    static const std::string prodlabel;   // "KIVONet Server V1"
    static const std::string prodtitle;   // "KIVONet"
    static constexpr std::array<char, 16> hexchar = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                     '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    static constexpr Colour graycol{192, 192, 192};
    static constexpr Colour darkgraycol{100, 100, 100};
    static constexpr int appwidth = 318;
    static constexpr int fontheight = 13;
    static Guarded<std::string> password;  // "JVK"
    static std::string filename;           // "c:\KIVONetCFG.txt"; replaced by --config
    static constexpr int CFGFILESIZE = 128;
    static std::array<uint8_t, CFGFILESIZE> CFG;
    static std::string comport;            // "COM2" until the configuration is interpreted
    static int outmode;                    // 2
    static std::atomic<int> to;            // 5 (minutes, 0 = no limit)
    static bool autoaccept;                // true
    static std::atomic<LocalCAM*> scam;
    static std::atomic<Device*> cam;

    // Run without a window: every status line is also written to the console.
    static std::atomic<bool> headless;
    // --require-password: a client's commands are carried out only after its accepted PWD line.
    static std::atomic<bool> requirepassword;
    // Device path that the configured serial port is opened as (--device, --simulate); empty: the
    // port's own name decides.
    static std::string deviceOverride;
    // File that keeps labels and routing across restarts (--state-file); empty: not kept.
    static std::string statePath;

    // Per-object values handed to the hub.
    std::string parity = "None";
    std::string handshake = "None";
    int rate = 9600;
    int dbits = 8;
    int sbits = 1;
    std::string devtype = "KIVO16";
    int port = 3001;

    KIVO();
    virtual ~KIVO() = default;
    KIVO(const KIVO&) = delete;
    KIVO& operator=(const KIVO&) = delete;

    virtual void init();
    virtual void InterpretCFG();

    // Start-up step 1 on its own: one read of at most CFGFILESIZE bytes of `filename` into CFG.
    void ReadCFG();
    // The ready line of start-up step 8.
    std::string ReadyLine() const;

    static void DelayT(int ms);
    // The one console writer of the program: the text as shownOnConsole gives it, and one line end,
    // nothing else.
    static void OutLine(const std::string& text);
    // The line with each control character (C0, DEL, C1) and each byte that is not UTF-8 shown as "?",
    // cut after about 4 KiB; empty when it is shown as it is.
    static std::string shownOnConsole(const std::string& line);
    // From now on console lines are written by a writer thread of their own (the running server).
    static void StartConsoleWriter();
    // Waits (briefly) until every console line handed over so far is written; called before exit.
    // False when they were not: the writer is stuck on a standard output no one reads, and holds
    // its lock (flushing the C library's streams would then wait for ever).
    static bool FlushConsole();
    // While the writer runs, console lines of the calling thread are kept back from HoldConsoleLines
    // until the matching ReleaseConsoleLines (calls nest), then handed to the writer together with at
    // most one wake-up. The console still shows every line in the order the threads wrote them: lines
    // of other threads written meanwhile wait for the held ones. Used through CommandScope.
    static void HoldConsoleLines();
    static void ReleaseConsoleLines();
    // Hands the lines held so far on at once, the hold going on: for a thread about to wait, whose
    // held lines would keep every other thread's back meanwhile.
    static void HandOnHeldLines();
    static std::string BS2S(const std::vector<uint8_t>& bytes, int count);
    // Most bytes one "0x" line may send, from a client or the window; the selector's frames are three
    // bytes long, and a longer line would hold every other selection for seconds.
    static constexpr size_t maxRawBytes = 512;
    static std::vector<uint8_t> S2BS(const std::string& text);
    static int C2B(char c);

    // Puts every changeable class-level value back to its initial value (filename, CFG, comport,
    // outmode, to, autoaccept, password, headless, requirepassword; scam and cam to none, without
    // deleting anything).
    // For tests and tools that run start-up steps more than once in one process.
    static void ResetSettings();

    // Program entry: parses the command line, then builds a KIVO and runs init().
    static int main(int argc, char** argv);
};
