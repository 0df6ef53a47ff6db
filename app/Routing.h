#pragma once
// The routing record: what the selector shows, as far as anyone can know it. The selector never
// answers, so the record learns the routing only from frames the hub actually wrote to the line
// (FE 01 nn: output 1 shows input nn; FE 02 nn: output 2; nn = 1..16). It also keeps the input and
// output labels and the output locks of the router-protocol face, and saves labels and routing in a
// small state file.
//
// Observers are told of every change, in order, on the record's own notifier thread, which never
// holds the serial lock: an observer may call back into the hub (or the record) freely. One console
// line per routing change says what changed and who asked for it; it is written by the thread that
// made the change. A saver thread of its own writes the state file, at most once a second.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Routing {
public:
    static constexpr int inputs = 16;
    static constexpr int outputs = 2;
    static constexpr size_t maxLabelLength = 40;

    // Identifies a holder of output locks (a router-protocol client); 0 is nobody.
    using ClientId = std::uint64_t;

    struct State {
        std::array<int, outputs> input{};  // index 0 = output 1; 1..16, 0 while unknown
        std::array<std::string, inputs> inputLabels;
        std::array<std::string, outputs> outputLabels;
        std::array<ClientId, outputs> lockOwner{};  // 0 = unlocked
        std::string uniqueId;  // 12 upper-case hex digits, generated once and kept in the state file
    };

    enum class Kind { Route, InputLabel, OutputLabel, Lock };
    struct Change {
        Kind kind;
        int index;  // 1-based: the output (Route, OutputLabel, Lock) or the input (InputLabel)
        friend bool operator==(const Change&, const Change&) = default;
    };
    // Called with the changes of one event (a raw line may change both outputs at once) and the state
    // right after them.
    using Observer = std::function<void(const std::vector<Change>&, const State&)>;

    // Names who asks for the frames written on this thread while the scope lives, for the console
    // record: "window", "client 192.0.2.4", "raw", "start-up", "router 127.0.0.1:51234", "web 1.2.3.4".
    class Source {
    public:
        explicit Source(std::string name);
        ~Source();
        Source(const Source&) = delete;
        Source& operator=(const Source&) = delete;
        static std::string current();  // "unknown" outside any scope

    private:
        std::string name_;
        const std::string* previous_;  // the enclosing scope's name, null outside any
    };

    // statePath empty: nothing is loaded or saved (tests). Loads the file at once: a missing file
    // gives the defaults; an unreadable or corrupt one gives the defaults and one console line.
    explicit Routing(std::string statePath = {});
    ~Routing();  // delivers what is pending, saves, stops the notifier
    Routing(const Routing&) = delete;
    Routing& operator=(const Routing&) = delete;

    // Observers: subscribe returns a token; after unsubscribe returns, the observer is never called
    // again (it may be running meanwhile on the notifier thread: unsubscribe waits for it, so never
    // call unsubscribe from inside an observer).
    int subscribe(Observer observer);
    void unsubscribe(int token);

    State state() const;
    std::optional<int> route(int output) const;  // 1..16, nullopt while unknown

    // Decodes the frames in bytes, which were just written to the line, and records each one
    // (a failed write must not be reported here). Bytes that are not a frame change nothing. The
    // line is one stream, as the selector reads it: a frame cut across two writes (raw lines "0xFE01"
    // then "0x05") counts once its last byte is written, and FE always starts a new frame.
    void noteWritten(const std::vector<uint8_t>& bytes);
    // The line was closed and opened again: an unfinished frame from before is forgotten.
    void lineReopened();

    // Labels: 1 to 40 printable ASCII characters; false (nothing changes) otherwise.
    static bool validLabel(const std::string& label);
    bool setInputLabel(int input, const std::string& label);
    bool setOutputLabel(int output, const std::string& label);

    // Locks: false when another client holds the lock (lock, unlock) or the output is out of range.
    bool lock(int output, ClientId who);
    bool unlock(int output, ClientId who);
    void forceUnlock(int output);
    void releaseAll(ClientId who);  // a client went away
    // True when someone other than who holds output's lock.
    bool lockedByOther(int output, ClientId who) const;
    static ClientId newClientId();

    // Waits until every change so far has reached every observer and the state file, or the file's
    // save has failed (it is tried again each second) (tests, exit).
    void flush();
    // Saves at once what the state file does not have yet, without waiting for the saver's interval,
    // and returns once that save is done or has failed, or after `limit` (a disk that hangs must not
    // hold up the exit): for a process about to end without unwinding. True when the file has
    // everything (or nothing is kept). Label changes are refused from then on: they would be lost.
    bool saveNow(std::chrono::milliseconds limit);

    // The state file's text form (pure; for tests and the fuzzer). parse returns nullopt for a file
    // that is not a state file; unknown keys are skipped, bad values keep their defaults (their keys
    // are added to `refused` when given). Lines may end in CR LF (a file edited on Windows).
    static std::string format(const State& state);
    static std::optional<State> parse(const std::string& text, std::vector<std::string>* refused = nullptr);
    static State defaults();

private:
    struct Event {
        std::vector<Change> changes;
        State state;  // right after the changes
    };
    bool setLabel(Kind kind, int index, const std::string& label);
    // When the notifier and the saver are woken: at once, or (the default) when the command being
    // carried out on this thread has its frames out (see CommandScope).
    enum class WakeAt { Now, CommandEnd };
    // Queues the event for the observers, marks the state file behind, writes the console lines
    // with the source of the change; releases the lock.
    void publish(std::unique_lock<std::mutex>& lock, Event event, std::vector<std::string> lines = {},
                 WakeAt when = WakeAt::CommandEnd);
    void notifierLoop();
    void saverLoop();
    // False: not written. One console line when saving starts failing (`failing`: the last save
    // failed too), not one per attempt; one when it works again.
    bool save(const State& state, bool failing);

    // Reads the state file at start; a file there that cannot be taken is set aside, not saved over.
    void load();

    std::string statePath_;  // set before the threads start; empty: nothing is kept
    mutable std::mutex mutex_;  // guards state_, frameOutput_, queue_, observers_, pending counters
    std::condition_variable wake_;      // the notifier: an event is queued
    std::condition_variable saveWake_;  // the saver: the state file is behind
    std::condition_variable idle_;
    State state_;
    int frameOutput_ = -1;  // the written frame still unfinished: -1 none, 0 after FE, else its output
    std::deque<Event> queue_;
    std::map<int, Observer> observers_;
    int nextToken_ = 1;
    int running_ = 0;  // token of the observer being called, 0 when none
    bool busy_ = false;    // the notifier is delivering an event
    bool saving_ = false;  // the saver is writing the file
    bool dirty_ = false;  // the state file is behind the state
    bool saveBehind_ = false;  // the last save failed (tried again while the record lives)
    bool hurry_ = false;       // saveNow(): the next save goes without waiting for the interval
    bool closing_ = false;     // saveNow() was called: labels no longer change
    unsigned long snapshots_ = 0;  // states the saver has taken to write
    bool stopping_ = false;
    std::thread notifier_;
    std::thread saver_;
};
