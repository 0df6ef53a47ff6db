#pragma once
// A simulated 16-input, 2-output video selector on a pseudo-terminal.
//
// The selector listens one-way on a 9600 8N1 serial line for three-byte frames:
//   FE (frame start), output 01 or 02, input 01..10 (hex, i.e. 1..16 as a byte value).
//
// FrameDecoder is the pure byte-stream part (no I/O, no threads); SimulatedSelector puts it behind
// the master side of a pseudo-terminal, so a server can open the slave side (/dev/pts/N) as if it
// were the selector's serial port.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

// Decodes the selector's frames from a byte stream delivered in arbitrary chunks.
//
// Events are text lines handed to a sink:
//   "Output 1 <- Input 5"        a valid frame (input in decimal). Every valid frame reports, also
//                                 when the output already shows that input, so each command is seen.
//   "Invalid bytes: 41 42"        bytes that do not form a valid frame (hex, upper case, space
//                                 separated). Consecutive invalid bytes are gathered into one line,
//                                 reported before the next valid frame, at flushInvalid(), or as soon
//                                 as kMaxInvalidRun bytes have gathered (memory stays bounded).
//
// Framing rules: bytes outside a frame are invalid until an FE arrives. A frame whose output byte is
// not 01/02 or whose input byte is not 01..10 is invalid as a whole (all its bytes are reported).
// FE is never a valid output or input byte, so an FE inside an unfinished frame marks the bytes
// before it as invalid and starts a new frame: FE FE 01 05 gives "Invalid bytes: FE" and then
// "Output 1 <- Input 5".
//
// The current input of each output starts at 0, meaning unknown: the real selector's state is not
// known until the first frame for that output arrives.
class FrameDecoder {
public:
    using Sink = std::function<void(const std::string&)>;

    static constexpr uint8_t kFrameStart = 0xFE;
    static constexpr int kOutputs = 2;
    static constexpr int kInputs = 16;
    // Largest number of invalid bytes gathered before they are reported.
    static constexpr std::size_t kMaxInvalidRun = 16;

    // Decodes bytes, calling sink for each event line in stream order.
    void feed(std::span<const uint8_t> bytes, const Sink& sink);
    // Convenience: decodes bytes and returns the event lines.
    std::vector<std::string> feed(std::span<const uint8_t> bytes);

    // Reports the gathered invalid bytes now (e.g. when the line has gone quiet). An unfinished
    // frame is kept: its remaining bytes may still arrive.
    void flushInvalid(const Sink& sink);

    // Current input (1..16) of output 1 or 2; 0 while unknown. Throws std::out_of_range for other
    // outputs.
    int outputInput(int output) const;

    uint64_t validFrames() const { return validFrames_; }
    uint64_t invalidBytes() const { return invalidBytes_; }
    // Bytes held back at the moment: gathered invalid bytes plus an unfinished frame.
    std::size_t pendingBytes() const { return invalid_.size() + frame_.size(); }

    static std::string outputLine(int output, int input);
    static std::string invalidLine(std::span<const uint8_t> bytes);

private:
    void addInvalid(std::span<const uint8_t> bytes, const Sink& sink);
    void step(uint8_t byte, const Sink& sink);

    std::vector<uint8_t> frame_;    // unfinished frame: empty, {FE} or {FE, output}
    std::vector<uint8_t> invalid_;  // gathered invalid bytes, at most kMaxInvalidRun
    int inputs_[kOutputs] = {0, 0};
    uint64_t validFrames_ = 0;
    uint64_t invalidBytes_ = 0;
};

// The selector on a pseudo-terminal. start() creates the pty and a reader thread that decodes what
// the server writes to the slave side and calls the event callback with each line, from the reader
// thread. The queries may be called from any thread, also from inside the callback.
class SimulatedSelector {
public:
    using EventCallback = std::function<void(const std::string&)>;

    explicit SimulatedSelector(EventCallback onEvent);
    ~SimulatedSelector();  // stops
    SimulatedSelector(const SimulatedSelector&) = delete;
    SimulatedSelector& operator=(const SimulatedSelector&) = delete;

    // Creates the pseudo-terminal, sets its line to 9600 8N1 raw without flow control and starts the
    // reader. Throws std::runtime_error when the pty cannot be set up, std::logic_error when already
    // running. After stop(), start() creates a fresh pty with a new path and a fresh decoder.
    void start();
    // Ends the reader promptly, joins it and closes the pty. Safe to call more than once.
    void stop();
    bool running() const { return running_; }

    // Path of the slave side, e.g. "/dev/pts/3", for the server to open; empty before start().
    std::string devicePath() const;

    // Current input (1..16) of output 1 or 2; 0 while unknown. Throws std::out_of_range for other
    // outputs.
    int outputInput(int output) const;
    uint64_t validFrames() const;
    uint64_t invalidBytes() const;

private:
    void readerLoop();
    void deliver(std::vector<std::string>& lines);
    void closeFds();

    EventCallback onEvent_;
    mutable std::mutex mutex_;  // guards decoder_ and path_
    FrameDecoder decoder_;
    std::string path_;
    std::atomic<bool> running_{false};
    int master_ = -1;       // read by the reader thread; set before it starts, closed after join
    int slaveKeep_ = -1;    // our own slave fd: keeps the line alive while the server has it closed
    int wakePipe_[2] = {-1, -1};  // stop() writes here to wake the reader's poll
    std::thread reader_;
};
