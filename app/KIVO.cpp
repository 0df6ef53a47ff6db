// The main class: process-wide settings, reading and decoding the configuration record, the first
// start-up steps and the byte/hex text conversions.
#include "app/KIVO.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <utility>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/ConfigCodes.h"
#include "app/Device.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "SerialIO/ThreadPriority.h"
#include "SerialIO/native/SerialNative.h"

const std::string KIVO::prodlabel = "KIVONet Server V1";
const std::string KIVO::prodtitle = "KIVONet";
Guarded<std::string> KIVO::password{"JVK"};
std::string KIVO::filename = "c:\\KIVONetCFG.txt";
std::array<uint8_t, KIVO::CFGFILESIZE> KIVO::CFG{};
std::string KIVO::comport = "COM2";
int KIVO::outmode = 2;
std::atomic<int> KIVO::to{5};
bool KIVO::autoaccept = true;
std::atomic<LocalCAM*> KIVO::scam{nullptr};
std::atomic<Device*> KIVO::cam{nullptr};
std::atomic<bool> KIVO::headless{false};
std::string KIVO::deviceOverride;

void KIVO::ResetSettings() {
    password = std::string("JVK");
    filename = "c:\\KIVONetCFG.txt";
    CFG.fill(0);
    comport = "COM2";
    outmode = 2;
    to = 5;
    autoaccept = true;
    scam = nullptr;
    cam = nullptr;
    headless = false;
    deviceOverride.clear();
}

// The per-object values are set by their member initialisers; nothing else happens here.
KIVO::KIVO() = default;

void KIVO::init() {
    // Step 1: the configuration record.
    ReadCFG();
    // Step 2: decode it; a missing file decodes as a record of zero bytes.
    InterpretCFG();
    // The configured port is reached through another device (a USB adapter, the simulated selector).
    if (!deviceOverride.empty()) {
        if (comport == "COM0")
            OutLine("The configuration asks for no serial port (COM0): " + deviceOverride + " is not used");
        else
            SerialIO::mapPortName(comport, deviceOverride);
    }

    // Step 3: the hub, which builds the serial output port, the driver (KIVO::cam) and the window.
    // It lives as long as the process: sessions and the window use it until the very end.
    LocalCAM* hub = new LocalCAM(comport, devtype, port, rate, dbits, sbits, parity, handshake);
    scam = hub;
    // Step 4: from now on the window's actions reach the hub.
    LocalGUI::scam = hub;
    // Step 5: output mode 2, input 1; the window exists, so the selection is shown.
    cam.load()->DevInit();
    // Step 6: wait for the first client.
    if (autoaccept && hub->serverSocketOpen()) hub->CommandB5();
    // Step 7.
    DelayT(2000);
    // Step 8.
    hub->ShowStat(ReadyLine());
}

namespace {
#ifdef _WIN32
// The C runtime's descriptors: binary mode; Windows has no FIFOs that could stall the open.
constexpr int kConfigOpenFlags = O_RDONLY | O_BINARY;
#else
// O_NONBLOCK keeps a FIFO without a writer from stalling start-up; regular files ignore it.
constexpr int kConfigOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
#endif

}  // namespace

void KIVO::ReadCFG() {
    CFG.fill(0);
    int fd;
    do {
        fd = ::open(filename.c_str(), kConfigOpenFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A missing file is the normal case of a server without a record: no message.
        if (errno != ENOENT && errno != ENOTDIR)
            OutLine("Can't read configuration file " + filename + ": " + std::strerror(errno));
        return;
    }
    // One read: whatever it delivers is the record; positions it does not fill stay 0.
    ssize_t n;
    do {
        n = ::read(fd, CFG.data(), CFG.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int err = errno;
        CFG.fill(0);
        OutLine("Can't read configuration file " + filename + ": " + std::strerror(err));
    }
    ::close(fd);  // a failing close changes nothing about what was read
}

void KIVO::InterpretCFG() {
    using namespace ConfigCodes;
    comport = std::string("COM") + static_cast<char>(static_cast<uint8_t>(0x31 + CFG[OFS_COMPORT]));
    if (CFG[OFS_DEVTYPE] == DEVTYPE_KIVO16) devtype = "KIVO16";
    port += static_cast<int8_t>(CFG[OFS_PORTOFFSET]);
    if (auto minutes = minutesForCode(CFG[OFS_TIMELIMIT])) to = *minutes;
    autoaccept = CFG[OFS_AUTOACCEPT] == 0;
    outmode = outmodeForByte(CFG[OFS_OUTMODE]);
}

std::string KIVO::ReadyLine() const {
    return comport + "  " + devtype + "  " + std::to_string(to.load()) + " minutes" + "  Ready";
}

void KIVO::DelayT(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

// The console of the running server. Status lines are echoed from the session, timer and window
// threads; a slow terminal or a full pipe on standard output must not hold up a command on its way to
// the serial port, so the running program hands lines to one writer thread. Pending lines are bounded:
// past the limit lines are counted and dropped, and the count is reported once the writer catches up.
// Without the writer (tests, tools) lines are written at once.
struct Console {
    static constexpr size_t maxPending = 4096;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::string> pending;
    size_t dropped = 0;
    bool asynchronous = false;
    bool writing = false;
};

// Never destroyed: threads may still write while the process ends.
Console& console() {
    static Console* c = new Console;
    return *c;
}

void writerLoop(Console& c) {
    // The lowest scheduling priority: on a busy machine the console waits, not the command path.
    SerialIO::setThreadPriority(SerialIO::currentThreadId(), -19);
    std::unique_lock<std::mutex> lock(c.mutex);
    for (;;) {
        c.wake.wait(lock, [&] { return !c.pending.empty() || c.dropped > 0; });
        std::deque<std::string> batch;
        batch.swap(c.pending);
        const size_t dropped = std::exchange(c.dropped, 0);
        c.writing = true;
        lock.unlock();
        std::string out;
        for (const std::string& line : batch) {
            out += line;
            out += '\n';
        }
        if (dropped > 0) out += "(" + std::to_string(dropped) + " console lines dropped)\n";
        std::cout << out << std::flush;
        lock.lock();
        c.writing = false;
        if (c.pending.empty()) c.idle.notify_all();
    }
}

}  // namespace

void KIVO::OutLine(const std::string& text) {
    Console& c = console();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.asynchronous) {
        std::cout << text << '\n' << std::flush;
        return;
    }
    if (c.pending.size() >= Console::maxPending) {
        ++c.dropped;
        return;
    }
    c.pending.push_back(text);
    c.wake.notify_one();
}

void KIVO::StartConsoleWriter() {
    Console& c = console();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.asynchronous) return;
    c.asynchronous = true;
    std::thread(writerLoop, std::ref(c)).detach();
}

void KIVO::FlushConsole() {
    Console& c = console();
    std::unique_lock<std::mutex> lock(c.mutex);
    // Bounded: a standard output that no one reads must not keep the process from ending.
    c.idle.wait_for(lock, std::chrono::seconds(2),
                    [&] { return c.pending.empty() && c.dropped == 0 && !c.writing; });
}

std::string KIVO::BS2S(const std::vector<uint8_t>& bytes, int count) {
    // Never read past the array, whatever count the caller passes.
    const std::size_t n = count > 0 ? std::min(static_cast<std::size_t>(count), bytes.size()) : 0;
    std::string text;
    text.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        text += hexchar[bytes[i] >> 4];
        text += hexchar[bytes[i] & 0x0F];
    }
    return text;
}

std::vector<uint8_t> KIVO::S2BS(const std::string& text) {
    // Every full pair of characters is converted; an unpaired last character is ignored.
    std::vector<uint8_t> bytes(text.size() / 2, 0);
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes[i / 2] = static_cast<uint8_t>(C2B(text[i]) * 16 + C2B(text[i + 1]));
    return bytes;
}

int KIVO::C2B(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}
