// The main class: process-wide settings, reading and decoding the configuration record, the first
// start-up steps and the byte/hex text conversions.
#include "app/KIVO.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <condition_variable>
#include <deque>
#include <utility>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "app/ConfigCodes.h"
#include "app/Device.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "app/ServiceNotify.h"
#include "SerialIO/IOException.h"
#include "SerialIO/ThreadPriority.h"
#include "SerialIO/native/SerialNative.h"
#include "platform/Files.h"

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
std::atomic<bool> KIVO::requirepassword{false};
std::string KIVO::deviceOverride;
std::string KIVO::statePath;

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
    requirepassword = false;
    deviceOverride.clear();
    statePath.clear();
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
    // The service manager follows the status line.
    hub->gui().addStatusObserver([](const std::string& text) { ServiceNotify::status(text); });
    // Step 4: from now on the window's actions reach the hub.
    LocalGUI::scam = hub;
    // Step 5: output mode 2, input 1; the window exists, so the selection is shown. Then the driver
    // takes the configured routing, which the window shows, so both agree from the first selection on.
    {
        Routing::Source source("start-up");
        cam.load()->DevInit();
    }
    cam.load()->setoutmode(outmode);
    hub->endStartUp();
    // Step 6: wait for the first client.
    if (autoaccept && hub->serverSocketOpen()) hub->CommandB5();
    // Without automatic acceptance no listening socket is opened at all, window or not.
    if (!autoaccept)
        OutLine("Automatic acceptance is off in the configuration record: no line-protocol client can "
                "connect during this run (kivonet-config set " + filename + " --autoaccept on)");
    // Step 7.
    DelayT(2000);
    // Step 8.
    hub->ShowReady(ReadyLine());
    // Pings for the service manager's watchdog while the hub answers: its serial lock can be taken
    // (or its writes end, one by one, on a line that takes no bytes), its session and its window
    // state can be taken and let go.
    ServiceNotify::startWatchdog([hub] {
        hub->waitForLineTurn();
        (void)hub->currentSession();
        (void)hub->gui().statusText();
    });
}

void KIVO::ReadCFG() {
    CFG.fill(0);
    const int fd = platform::openForReading(filename);
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
    // A port name decoded from an out-of-range byte may hold control characters.
    return SerialIO::printable(comport) + "  " + devtype + "  " + std::to_string(to.load()) + " minutes" + "  Ready";
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
//
// Every line takes a ticket from one counter when it is written, and the console shows lines in
// ticket order. A thread that holds its lines back (a command on its way to the serial line) keeps
// them to itself, so taking a ticket is all it does per line: no lock, no wake-up. It announces the
// lowest ticket it may still hand over in a slot of `heldFrom`; the writer leaves the lines of other
// threads with later tickets waiting until the holder has handed its lines on.
struct Console {
    struct Entry {
        uint64_t ticket;
        std::string text;
    };
    static constexpr size_t maxPending = 4096;
    static constexpr size_t holdSlots = 64;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Entry> pending;     // in ticket order
    size_t dropped = 0;
    size_t lost = 0;  // lines of writes that failed; told with the next lines that get through
    std::atomic<bool> asynchronous{false};
    bool writing = false;
    bool writerWaiting = false;    // the writer sleeps on `wake`; only then does a hand-off notify
    std::atomic<uint64_t> nextTicket{1};
    std::array<std::atomic<uint64_t>, holdSlots> heldFrom{};  // 0: free

    // The lowest ticket a holding thread may still hand over; every earlier line may be written.
    uint64_t firstHeld() const {
        uint64_t first = UINT64_MAX;
        for (const auto& slot : heldFrom) {
            const uint64_t t = slot.load();
            if (t != 0 && t < first) first = t;
        }
        return first;
    }
    bool writable() const {
        return dropped > 0 || (!pending.empty() && pending.front().ticket < firstHeld());
    }
};

// Never destroyed: threads may still write while the process ends.
Console& console() {
    static Console* c = new Console;
    return *c;
}

// The lines a thread keeps back while it holds. Trivially destructible on purpose, like every
// thread-local of the program: the kept lines are on the heap only while the thread holds, so nothing
// is left to destroy when the thread ends. (With MinGW's emulated thread-local storage a thread-local
// destructor may run after the thread's storage has been freed, and free what is no longer there.)
struct HeldLines {
    int depth = 0;
    int slot = -1;                                 // the announcing slot, once a line is kept
    std::vector<Console::Entry>* lines = nullptr;  // once a line is kept, until they are handed on
    size_t dropped = 0;
};
thread_local HeldLines held;

void writerLoop(Console& c) {
    // The lowest scheduling priority: on a busy machine the console waits, not the command path.
    SerialIO::setThreadPriority(SerialIO::currentThreadId(), -19);
    std::unique_lock<std::mutex> lock(c.mutex);
    for (;;) {
        c.writerWaiting = true;
        c.wake.wait(lock, [&] { return c.writable(); });
        c.writerWaiting = false;
        const uint64_t limit = c.firstHeld();
        std::vector<std::string> batch;
        while (!c.pending.empty() && c.pending.front().ticket < limit) {
            batch.push_back(std::move(c.pending.front().text));
            c.pending.pop_front();
        }
        const size_t dropped = std::exchange(c.dropped, 0) + std::exchange(c.lost, 0);
        c.writing = true;
        lock.unlock();
        // The text is put together without the lock: threads handing on lines never wait for it.
        std::string out;
        for (const std::string& line : batch) {
            out += line;
            out += '\n';
        }
        if (dropped > 0) out += "(" + std::to_string(dropped) + " console lines dropped)\n";
        // One failed write (a full disk, a full non-blocking pipe) must not silence the console for good.
        if (!std::cout.good()) std::cout.clear();
        std::cout << out << std::flush;
        const bool failed = !std::cout;
        lock.lock();
        if (failed) c.lost += batch.size() + dropped;
        c.writing = false;
        if (c.pending.empty()) c.idle.notify_all();
    }
}

// Keeps a line of a holding thread; false when no slot is free (the line then goes the usual way).
bool keepHeld(Console& c, const std::string& text) {
    if (held.slot < 0) {
        // Announced before the first ticket is taken, with a value no later than that ticket, so
        // the writer never passes a later line of another thread.
        for (size_t i = 0; i < Console::holdSlots && held.slot < 0; ++i) {
            uint64_t expected = 0;
            if (c.heldFrom[i].compare_exchange_strong(expected, c.nextTicket.load()))
                held.slot = static_cast<int>(i);
        }
        if (held.slot < 0) return false;
    }
    if (held.lines == nullptr) held.lines = new std::vector<Console::Entry>;
    if (held.lines->size() >= Console::maxPending)
        ++held.dropped;
    else
        held.lines->push_back({c.nextTicket.fetch_add(1), text});
    return true;
}

// The character at text[i] as the console shows it: its bytes when it is well-formed UTF-8 other than
// a control (C0, DEL, C1), else "?" in place of the bytes counted (a C1 control's two, or one bad byte).
struct ShownChar {
    size_t length;
    bool kept;
};

ShownChar shownChar(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u; };
    const unsigned lead = byte(0);
    if (lead < 0x20 || lead == 0x7F) return {1, false};
    if (lead < 0x80) return {1, true};
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        // U+0080..U+009F are the C1 controls (0x9B starts a sequence): dropped whole.
        if (lead == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) return {2, false};
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return {1, false};
    }
    if (byte(1) < low || byte(1) > high) return {1, false};
    for (size_t k = 2; k < length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xBF) return {1, false};
    return {length, true};
}

}  // namespace

// A line may carry a client's bytes: a control character would act on the operator's terminal (escape
// sequences, backspaces) or cut the service log's record, and bytes that are not UTF-8 make the log keep
// the record as binary data. Each such character or byte is shown as "?". A client's line may also be
// 64 KiB long: the console keeps its start, so that the lines waiting for a stuck terminal stay a few
// megabytes at most. Empty when the line is shown as it is.
std::string KIVO::shownOnConsole(const std::string& line) {
    constexpr size_t longest = 4096;
    size_t i = 0;
    while (i < line.size() && i < longest) {  // most lines are shown as they are: no copy
        const ShownChar c = shownChar(line, i);
        if (!c.kept) break;
        i += c.length;
    }
    if (i == line.size()) return {};
    std::string shown = line.substr(0, i);
    while (i < line.size() && i < longest) {
        const ShownChar c = shownChar(line, i);
        if (c.kept) shown.append(line, i, c.length);
        else shown += '?';
        i += c.length;
    }
    if (i < line.size()) shown += "... (" + std::to_string(line.size() - i) + " more bytes)";
    return shown;
}

void KIVO::OutLine(const std::string& line) {
    const std::string cleaned = shownOnConsole(line);
    const std::string& text = cleaned.empty() ? line : cleaned;
    Console& c = console();
    if (held.depth > 0 && c.asynchronous.load() && keepHeld(c, text)) return;
    std::unique_lock<std::mutex> lock(c.mutex);
    if (!c.asynchronous.load()) {
        std::cout << text << '\n' << std::flush;
        return;
    }
    if (c.pending.size() >= Console::maxPending) {
        ++c.dropped;
        return;
    }
    // The ticket is taken under the lock, so lines written at once stay in ticket order.
    c.pending.push_back({c.nextTicket.fetch_add(1), text});
    const bool notify = c.writerWaiting;
    lock.unlock();
    if (notify) c.wake.notify_one();
}

void KIVO::HoldConsoleLines() { ++held.depth; }

void KIVO::ReleaseConsoleLines() {
    if (held.depth == 0 || --held.depth > 0) return;
    HandOnHeldLines();
}

void KIVO::HandOnHeldLines() {
    if (held.slot < 0) return;
    // A slot is taken only with the first kept line, so the lines are there.
    const std::unique_ptr<std::vector<Console::Entry>> lines(std::exchange(held.lines, nullptr));
    Console& c = console();
    std::unique_lock<std::mutex> lock(c.mutex);
    const size_t room = c.pending.size() < Console::maxPending ? Console::maxPending - c.pending.size() : 0;
    const size_t taken = std::min(room, lines->size());
    const auto middle = c.pending.size();
    std::move(lines->begin(), lines->begin() + static_cast<std::ptrdiff_t>(taken), std::back_inserter(c.pending));
    std::inplace_merge(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(middle),
                       c.pending.end(),
                       [](const Console::Entry& a, const Console::Entry& b) { return a.ticket < b.ticket; });
    c.dropped += lines->size() - taken + held.dropped;
    c.heldFrom[static_cast<size_t>(held.slot)].store(0);
    const bool notify = c.writerWaiting && c.writable();
    lock.unlock();
    held.dropped = 0;
    held.slot = -1;
    if (notify) c.wake.notify_one();
}

void KIVO::StartConsoleWriter() {
    Console& c = console();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.asynchronous.load()) return;
    c.asynchronous = true;
    std::thread(writerLoop, std::ref(c)).detach();
}

bool KIVO::FlushConsole() {
    Console& c = console();
    std::unique_lock<std::mutex> lock(c.mutex);
    // Bounded: a standard output that no one reads must not keep the process from ending.
    return c.idle.wait_for(lock, std::chrono::seconds(2),
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
