#include "app/Routing.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <utility>

#include "app/CommandScope.h"
#include "app/KIVO.h"
#include "platform/Files.h"

namespace {

// The innermost Source scope's name on this thread (a pointer: thread-locals stay trivially
// destructible, see the console's HeldLines).
thread_local const std::string* currentSource = nullptr;

// The state file may be rewritten at most this often; changes in between are saved together.
// Each save is a few file-system calls and an fsync: once a second at most keeps a client that
// switches without pause from keeping the saver (and the disk) busy. Exit saves at once.
constexpr auto saveInterval = std::chrono::seconds(1);

constexpr const char* fileHeader = "# kivonet state 1";

std::string generateId() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd() ^
                        static_cast<uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count()));
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string id;
    uint64_t v = gen();
    for (int i = 0; i < 12; ++i) {
        id += hex[v & 0xF];
        v >>= 4;
    }
    return id;
}

bool validId(const std::string& id) {
    if (id.size() != 12) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

std::optional<int> smallNumber(const std::string& text, int lo, int hi) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::string describeRoute(int output, int input) {
    return "output " + std::to_string(output) + " <- input " + std::to_string(input);
}

}  // namespace

Routing::Source::Source(std::string name) : name_(std::move(name)), previous_(std::exchange(currentSource, &name_)) {}

Routing::Source::~Source() { currentSource = previous_; }

std::string Routing::Source::current() {
    return currentSource == nullptr || currentSource->empty() ? std::string("unknown") : *currentSource;
}

Routing::State Routing::defaults() {
    State s;
    for (int i = 0; i < inputs; ++i) s.inputLabels[i] = "Input " + std::to_string(i + 1);
    for (int o = 0; o < outputs; ++o) s.outputLabels[o] = "Output " + std::to_string(o + 1);
    return s;
}

Routing::Routing(std::string statePath) : statePath_(std::move(statePath)), state_(defaults()) {
    if (!statePath_.empty()) load();
    // Locks belong to connected clients: none survive a restart.
    state_.lockOwner.fill(0);
    if (!validId(state_.uniqueId)) {
        state_.uniqueId = generateId();
        dirty_ = !statePath_.empty();
    }
    notifier_ = std::thread([this] { notifierLoop(); });
    saver_ = std::thread([this] { saverLoop(); });
}

void Routing::load() {
    // Opened as the other small files are, so that a FIFO in its place cannot stall the start;
    // only a plain file is read.
    const int fd = platform::openForReading(statePath_);
    if (fd < 0 && errno == ENOENT) return;
    const std::string problem = fd < 0 ? std::string("Can't read state file ") + statePath_ + ": " + std::strerror(errno)
                                 : "State file " + statePath_ + " is unreadable or damaged";
    if (fd >= 0) {
        // A state file is small; anything larger is not one of ours.
        constexpr size_t largest = 64 * 1024;
        std::string text;
        const bool ok = platform::isPlainFile(fd) && platform::readUpTo(fd, largest, text);
        ::close(fd);
        std::optional<State> loaded;
        std::vector<std::string> refused;
        if (ok && text.size() <= largest) loaded = parse(text, &refused);
        if (loaded) {
            state_ = *loaded;
            // A hand edit the record cannot take (a label with an accent, one too long) is named:
            // the next save writes the default in its place.
            if (!refused.empty()) {
                std::string keys;
                for (size_t k = 0; k < refused.size() && k < 5; ++k) keys += (k ? ", " : "") + refused[k];
                if (refused.size() > 5) keys += " and " + std::to_string(refused.size() - 5) + " more";
                KIVO::OutLine("State file " + statePath_ + ": can't take the value of " + keys +
                              " (labels are 1 to 40 printable ASCII characters, routes 1 to 16); the default is used");
            }
            return;
        }
    }
    // The operator's labels may be in it (a hand edit gone wrong, a file of another user): it is kept
    // under another name for them to mend, and never saved over.
    const std::string file = platform::linkTarget(statePath_);
    std::error_code ec;
    // An earlier damaged copy waiting to be mended is not replaced: the next free name is taken.
    std::string aside = file + ".damaged";
    for (int n = 1; std::filesystem::exists(aside, ec) && n < 100; ++n) aside = file + ".damaged." + std::to_string(n);
    if (!std::filesystem::is_regular_file(file, ec) || std::filesystem::exists(aside, ec)) {
        KIVO::OutLine(problem + ": starting with default labels and routing; they are not kept");
        statePath_.clear();
        return;
    }
    std::filesystem::rename(file, aside, ec);
    if (ec) {
        KIVO::OutLine(problem + ": starting with default labels and routing; they are not kept (can't rename it to " +
                      aside + ": " + ec.message() + ")");
        statePath_.clear();
        return;
    }
    KIVO::OutLine(problem + ": kept as " + aside + ", starting with default labels and routing");
}

Routing::~Routing() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    saveWake_.notify_all();
    notifier_.join();
    saver_.join();
}

int Routing::subscribe(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void Routing::unsubscribe(int token) {
    std::unique_lock<std::mutex> lock(mutex_);
    observers_.erase(token);
    idle_.wait(lock, [&] { return running_ != token; });
}

Routing::State Routing::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::optional<int> Routing::route(int output) const {
    if (output < 1 || output > outputs) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    const int input = state_.input[output - 1];
    if (input == 0) return std::nullopt;
    return input;
}

void Routing::noteWritten(const std::vector<uint8_t>& bytes) {
    Event event;
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> lock(mutex_);
    for (const uint8_t b : bytes) {
        if (b == 0xFE) {  // never an output or input byte: whatever was unfinished is broken
            frameOutput_ = 0;
            continue;
        }
        if (frameOutput_ < 0) continue;  // outside a frame
        if (frameOutput_ == 0) {
            frameOutput_ = b >= 1 && b <= outputs ? b : -1;
            continue;
        }
        const int out = std::exchange(frameOutput_, -1);
        if (b < 1 || b > inputs || state_.input[out - 1] == b) continue;
        state_.input[out - 1] = b;
        event.changes.push_back({Kind::Route, out});
        lines.push_back("Route: " + describeRoute(out, b));
    }
    if (event.changes.empty()) return;
    // The frames are on the line: observers hear of it now, not after the command's pacing pause.
    publish(lock, std::move(event), std::move(lines), WakeAt::Now);
}

void Routing::lineReopened() {
    std::lock_guard<std::mutex> lock(mutex_);
    frameOutput_ = -1;
}

bool Routing::validLabel(const std::string& label) {
    if (label.empty() || label.size() > maxLabelLength) return false;
    for (unsigned char c : label)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool Routing::setInputLabel(int input, const std::string& label) {
    return setLabel(Kind::InputLabel, input, label);
}

bool Routing::setOutputLabel(int output, const std::string& label) {
    return setLabel(Kind::OutputLabel, output, label);
}

bool Routing::setLabel(Kind kind, int index, const std::string& label) {
    const bool input = kind == Kind::InputLabel;
    if (index < 1 || index > (input ? inputs : outputs) || !validLabel(label)) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) return false;  // the last save is made: a change now would not be kept
    std::string& current = input ? state_.inputLabels[index - 1] : state_.outputLabels[index - 1];
    if (current == label) return true;
    current = label;
    // Quoted with its quotes and backslashes escaped: a label cannot make the line's source read as
    // another's.
    std::string quoted;
    for (const char c : label) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    publish(lock, {{{kind, index}}, {}},
            {std::string("Label: ") + (input ? "input " : "output ") + std::to_string(index) + " = \"" + quoted +
             "\""});
    return true;
}

bool Routing::lock(int output, ClientId who) {
    if (output < 1 || output > outputs || who == 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    ClientId& owner = state_.lockOwner[output - 1];
    if (owner == who) return true;
    if (owner != 0) return false;
    owner = who;
    publish(lock, {{{Kind::Lock, output}}, {}});
    return true;
}

bool Routing::unlock(int output, ClientId who) {
    if (output < 1 || output > outputs) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    ClientId& owner = state_.lockOwner[output - 1];
    if (owner == 0) return true;
    if (owner != who) return false;
    owner = 0;
    publish(lock, {{{Kind::Lock, output}}, {}});
    return true;
}

void Routing::forceUnlock(int output) {
    if (output < 1 || output > outputs) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_.lockOwner[output - 1] == 0) return;
    state_.lockOwner[output - 1] = 0;
    publish(lock, {{{Kind::Lock, output}}, {}});
}

void Routing::releaseAll(ClientId who) {
    if (who == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    Event event;
    for (int o = 0; o < outputs; ++o) {
        if (state_.lockOwner[o] != who) continue;
        state_.lockOwner[o] = 0;
        event.changes.push_back({Kind::Lock, o + 1});
    }
    if (!event.changes.empty()) publish(lock, std::move(event));
}

bool Routing::lockedByOther(int output, ClientId who) const {
    if (output < 1 || output > outputs) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const ClientId owner = state_.lockOwner[output - 1];
    return owner != 0 && owner != who;
}

Routing::ClientId Routing::newClientId() {
    static std::atomic<ClientId> next{1};
    return next.fetch_add(1);
}

void Routing::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    // A save that keeps failing is not waited for: flush() returns once it has been tried.
    idle_.wait(lock, [&] { return queue_.empty() && !busy_ && !saving_ && (!dirty_ || saveBehind_); });
}

bool Routing::saveNow(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    if (statePath_.empty()) return true;
    // A save under way may have taken the state before the last change: the one that counts is the
    // next the saver takes.
    const bool behind = dirty_;
    const unsigned long taken = snapshots_;
    if (behind) {
        hurry_ = true;
        saveWake_.notify_all();
    }
    const bool ended = idle_.wait_until(lock, deadline, [&] { return !saving_ && (!behind || snapshots_ != taken); });
    return ended && !dirty_ && !saveBehind_;
}

void Routing::publish(std::unique_lock<std::mutex>& lock, Event event, std::vector<std::string> lines,
                      WakeAt when) {
    // Called with mutex_ held, on the thread that made the change: the source scope lives here.
    const std::string source = Source::current();
    const bool persistent = std::any_of(event.changes.begin(), event.changes.end(),
                                        [](const Change& c) { return c.kind != Kind::Lock; });
    // The saver is woken once per save, not once per change: a change while a save is pending
    // joins it.
    const bool wakeSaver = persistent && !statePath_.empty() && !dirty_;
    if (persistent && !statePath_.empty()) dirty_ = true;
    // Without observers there is nobody to tell, and the notifier is left asleep.
    const bool wakeNotifier = !observers_.empty();
    if (wakeNotifier) {
        event.state = state_;
        queue_.push_back(std::move(event));
    }
    lock.unlock();
    // The console record is written on this thread: on a command's path it leaves with the
    // command's own lines, after its frames.
    for (const std::string& line : lines) KIVO::OutLine(line + " (" + source + ")");
    // The saver is in no hurry (it saves at most once a second): during a command it is woken with
    // the command's other lines, never between a frame and the pacing pause.
    if (wakeSaver && !CommandScope::defer([this] { saveWake_.notify_one(); })) saveWake_.notify_one();
    if (wakeNotifier && (when == WakeAt::Now || !CommandScope::defer([this] { wake_.notify_one(); })))
        wake_.notify_one();
}

void Routing::notifierLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) break;  // stopping, and everything delivered
        const Event event = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        // Observers are called without the lock: they may call back into the record.
        std::vector<int> tokens;
        for (const auto& entry : observers_) tokens.push_back(entry.first);
        for (const int token : tokens) {
            // An observer removed meanwhile is skipped; one being called cannot be removed.
            auto it = observers_.find(token);
            if (it == observers_.end()) continue;
            running_ = token;
            Observer call = it->second;
            lock.unlock();
            call(event.changes, event.state);
            lock.lock();
            running_ = 0;
            idle_.notify_all();
        }
        busy_ = false;
        idle_.notify_all();
    }
    idle_.notify_all();
}

void Routing::saverLoop() {
    using clock = std::chrono::steady_clock;
    clock::time_point nextSave = clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        saveWake_.wait(lock, [&] { return dirty_ || stopping_; });
        if (!dirty_) break;  // stopping, and everything saved
        // At most one save per interval: changes meanwhile are saved together (at once at exit).
        saveWake_.wait_until(lock, nextSave, [&] { return stopping_ || hurry_; });
        hurry_ = false;
        ++snapshots_;
        const State snapshot = state_;
        const bool failing = saveBehind_;
        dirty_ = false;
        saving_ = true;
        lock.unlock();
        const bool saved = save(snapshot, failing);
        lock.lock();
        saving_ = false;
        // A failed save is tried again at the next interval, until it works or the record ends (the
        // last attempt is the one at exit): the file must not stay behind for want of a change.
        saveBehind_ = !saved;
        if (!saved && !stopping_) dirty_ = true;
        nextSave = clock::now() + saveInterval;
        idle_.notify_all();
    }
    idle_.notify_all();
}

bool Routing::save(const State& state, bool failing) {
    // Through a symbolic link the file it leads to is replaced, and the link stays.
    const std::string file = platform::linkTarget(statePath_);
    if (const platform::ReplaceFailure failure = platform::replaceWith(file, format(state), -1)) {
        if (!failing)
            KIVO::OutLine("Can't write state file " + statePath_ + " (" + failure.step + "): " + failure.reason +
                          "; labels and routing are not kept");
        return false;
    }
    if (failing) KIVO::OutLine("State file " + statePath_ + " written again");
    return true;
}

std::string Routing::format(const State& state) {
    std::ostringstream out;
    out << fileHeader << "\n";
    out << "id=" << state.uniqueId << "\n";
    for (int o = 0; o < outputs; ++o)
        if (state.input[o] != 0) out << "route" << o + 1 << "=" << state.input[o] << "\n";
    for (int i = 0; i < inputs; ++i)
        out << "input" << i + 1 << "=" << state.inputLabels[i] << "\n";
    for (int o = 0; o < outputs; ++o)
        out << "output" << o + 1 << "=" << state.outputLabels[o] << "\n";
    return out.str();
}

std::optional<Routing::State> Routing::parse(const std::string& text, std::vector<std::string>* refused) {
    std::istringstream stream(text);
    std::string line;
    const auto next = [&] {
        if (!std::getline(stream, line)) return false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    };
    if (!next() || line != fileHeader) return std::nullopt;
    State state = defaults();
    const auto refuse = [&](const std::string& key) {
        if (refused) refused->push_back(key);
    };
    while (next()) {
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return std::nullopt;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        auto indexed = [&](const char* prefix, int count) -> std::optional<int> {
            const size_t n = std::strlen(prefix);
            if (key.compare(0, n, prefix) != 0) return std::nullopt;
            return smallNumber(key.substr(n), 1, count);
        };
        if (key == "id") {
            if (validId(value)) state.uniqueId = value;
            else refuse(key);
        } else if (auto o = indexed("route", outputs)) {
            if (auto n = smallNumber(value, 1, inputs)) state.input[*o - 1] = *n;
            else refuse(key);
        } else if (auto i = indexed("input", inputs)) {
            if (validLabel(value)) state.inputLabels[*i - 1] = value;
            else refuse(key);
        } else if (auto o2 = indexed("output", outputs)) {
            if (validLabel(value)) state.outputLabels[*o2 - 1] = value;
            else refuse(key);
        }
    }
    return state;
}
