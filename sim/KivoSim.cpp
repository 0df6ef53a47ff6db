#include "sim/KivoSim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------------
// FrameDecoder

namespace {

bool validOutput(uint8_t b) { return b >= 1 && b <= FrameDecoder::kOutputs; }
bool validInput(uint8_t b) { return b >= 1 && b <= FrameDecoder::kInputs; }

}  // namespace

std::string FrameDecoder::outputLine(int output, int input) {
    return "Output " + std::to_string(output) + " <- Input " + std::to_string(input);
}

std::string FrameDecoder::invalidLine(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line = "Invalid bytes:";
    for (uint8_t b : bytes) {
        line += ' ';
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    return line;
}

void FrameDecoder::addInvalid(std::span<const uint8_t> bytes, const Sink& sink) {
    for (uint8_t b : bytes) {
        invalid_.push_back(b);
        ++invalidBytes_;
        if (invalid_.size() >= kMaxInvalidRun) flushInvalid(sink);
    }
}

void FrameDecoder::flushInvalid(const Sink& sink) {
    if (invalid_.empty()) return;
    std::string line = invalidLine(invalid_);
    invalid_.clear();
    if (sink) sink(line);
}

void FrameDecoder::step(uint8_t byte, const Sink& sink) {
    if (byte == kFrameStart) {
        // Whatever frame was unfinished is broken: FE is never an output or input byte.
        addInvalid(frame_, sink);
        frame_.assign(1, byte);
        return;
    }
    switch (frame_.size()) {
    case 0:  // outside a frame
        addInvalid(std::span<const uint8_t>(&byte, 1), sink);
        return;
    case 1:  // after FE: output byte
        frame_.push_back(byte);
        if (!validOutput(byte)) {
            addInvalid(frame_, sink);
            frame_.clear();
        }
        return;
    default: {  // after FE, output: input byte
        frame_.push_back(byte);
        if (!validInput(byte)) {
            addInvalid(frame_, sink);
            frame_.clear();
            return;
        }
        const int output = frame_[1];
        const int input = frame_[2];
        frame_.clear();
        flushInvalid(sink);  // keep the events in stream order
        inputs_[output - 1] = input;
        ++validFrames_;
        if (sink) sink(outputLine(output, input));
        return;
    }
    }
}

void FrameDecoder::feed(std::span<const uint8_t> bytes, const Sink& sink) {
    for (uint8_t b : bytes) step(b, sink);
}

std::vector<std::string> FrameDecoder::feed(std::span<const uint8_t> bytes) {
    std::vector<std::string> lines;
    feed(bytes, [&lines](const std::string& line) { lines.push_back(line); });
    return lines;
}

int FrameDecoder::outputInput(int output) const {
    if (output < 1 || output > kOutputs) throw std::out_of_range("output must be 1 or 2");
    return inputs_[output - 1];
}

// ---------------------------------------------------------------------------------------------
// SimulatedSelector

namespace {

std::runtime_error sysError(const std::string& what) {
    return std::runtime_error("simulated selector: " + what + " failed: " + std::strerror(errno));
}

// Raw 9600 8N1 line without hardware or software flow control, as the server uses it.
void configureLine(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) throw sysError("tcgetattr");
    cfmakeraw(&tio);
    if (cfsetspeed(&tio, B9600) != 0) throw sysError("cfsetspeed");
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) throw sysError("tcsetattr");
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// How long the line must stay quiet before gathered invalid bytes are reported.
constexpr int kQuietMs = 50;

}  // namespace

SimulatedSelector::SimulatedSelector(EventCallback onEvent) : onEvent_(std::move(onEvent)) {}

SimulatedSelector::~SimulatedSelector() { stop(); }

void SimulatedSelector::closeFds() {
    closeFd(master_);
    closeFd(slaveKeep_);
    closeFd(wakePipe_[0]);
    closeFd(wakePipe_[1]);
}

void SimulatedSelector::start() {
    if (reader_.joinable()) throw std::logic_error("simulated selector already running");
    try {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0) throw sysError("posix_openpt");
        if (grantpt(master_) != 0) throw sysError("grantpt");
        if (unlockpt(master_) != 0) throw sysError("unlockpt");
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) throw sysError("ptsname");
        slaveKeep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaveKeep_ < 0) throw sysError(std::string("open ") + name);
        configureLine(slaveKeep_);
        if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw sysError("pipe");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            path_ = name;
            decoder_ = FrameDecoder{};
        }
        running_ = true;
        reader_ = std::thread(&SimulatedSelector::readerLoop, this);
    } catch (...) {
        running_ = false;
        closeFds();
        throw;
    }
}

void SimulatedSelector::stop() {
    if (!reader_.joinable()) return;
    running_ = false;
    const char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &wake, 1);
    reader_.join();
    closeFds();
}

std::string SimulatedSelector::devicePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

int SimulatedSelector::outputInput(int output) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return decoder_.outputInput(output);
}

uint64_t SimulatedSelector::validFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return decoder_.validFrames();
}

uint64_t SimulatedSelector::invalidBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return decoder_.invalidBytes();
}

// The callback runs without the lock held, so it may call the queries.
void SimulatedSelector::deliver(std::vector<std::string>& lines) {
    if (onEvent_) {
        for (const std::string& line : lines) onEvent_(line);
    }
    lines.clear();
}

void SimulatedSelector::readerLoop() {
    std::vector<std::string> lines;
    auto collect = [&lines](const std::string& line) { lines.push_back(line); };
    uint8_t buf[512];
    while (running_) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, kQuietMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!running_ || (fds[1].revents & POLLIN)) break;
        if (ready == 0) {
            // Quiet line: report invalid bytes gathered so far instead of holding them back.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                decoder_.flushInvalid(collect);
            }
            deliver(lines);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    decoder_.feed(std::span<const uint8_t>(buf, static_cast<std::size_t>(n)), collect);
                }
                deliver(lines);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        }
        // Hang-up or error on the master: our own slave fd should prevent this; avoid spinning.
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) ::poll(fds + 1, 1, kQuietMs);
    }
    // What the line still holds is read (bounded: a writer that never pauses cannot hold stop() up),
    // and invalid bytes still gathered are reported, so nothing written before stop() goes unreported.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pollfd p{master_, POLLIN, 0};
        for (int reads = 0; reads < 64 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN); ++reads) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            decoder_.feed(std::span<const uint8_t>(buf, static_cast<std::size_t>(n)), collect);
        }
        decoder_.flushInvalid(collect);
    }
    deliver(lines);
}
