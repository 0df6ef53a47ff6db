#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <thread>

#include "SerialIO/SerInputStream.h"
#include "SerialIO/SerOutputStream.h"

namespace SerialIO {

namespace {
constexpr auto kPollInterval = std::chrono::milliseconds(20);

bool rangeFits(size_t size, int offset, int length) {
    return offset >= 0 && length >= 0 && static_cast<long long>(offset) + length <= static_cast<long long>(size);
}
}  // namespace

// ---- SerInputStream ----

SerInputStream::SerInputStream(SerialPort& port) : sp(port) {
    if (sp.getPortNum() < 0) throw IOException("Port not open");
    sp.setTimeoutRx(0);
}

int SerInputStream::read() {
    for (;;) {
        const int b = sp.getByte();
        if (b != -1) return b;
        std::this_thread::sleep_for(kPollInterval);
    }
}

int SerInputStream::read(std::vector<uint8_t>& buffer) {
    if (buffer.empty()) return 0;  // nothing to wait for
    for (;;) {
        const int n = sp.getData(buffer);
        if (n > 0) return n;
        std::this_thread::sleep_for(kPollInterval);
    }
}

int SerInputStream::read(std::vector<uint8_t>* buffer, int offset, int length) {
    if (length < 0) throw std::out_of_range("read: negative length");
    // The range is checked before the read, so that no byte is taken from the line and then lost.
    if (buffer && !rangeFits(buffer->size(), offset, length))
        throw std::out_of_range("read: range outside the buffer");
    std::vector<uint8_t> fresh(static_cast<size_t>(length));
    const int n = read(fresh);
    if (!buffer) return 0;
    std::copy(fresh.begin(), fresh.begin() + n, buffer->begin() + offset);
    return n;
}

long long SerInputStream::skip(long long count) {
    long long skipped = 0;
    std::vector<uint8_t> scratch(2048);
    while (skipped < count) {
        const int want = static_cast<int>(std::min<long long>(count - skipped, static_cast<long long>(scratch.size())));
        skipped += read(&scratch, 0, want);
    }
    return skipped;
}

int SerInputStream::available() { return sp.rxReadyCount(); }
void SerInputStream::close() { sp.close(); }
void SerInputStream::mark(int) {}
void SerInputStream::reset() { throw IOException("mark/reset not supported"); }
bool SerInputStream::markSupported() { return false; }

// ---- SerOutputStream ----

SerOutputStream::SerOutputStream(SerialPort& port) : sp(port) {
    if (sp.getPortNum() < 0) throw IOException("Port not open");
    sp.setTimeoutTx(INT_MAX);
}

void SerOutputStream::write(int b) { sp.putByte(static_cast<uint8_t>(b & 0xFF)); }

void SerOutputStream::write(const std::vector<uint8_t>& buffer) { sp.putData(buffer); }

void SerOutputStream::write(const std::vector<uint8_t>& buffer, int offset, int length) {
    if (!rangeFits(buffer.size(), offset, length)) throw std::out_of_range("write: range outside the buffer");
    sp.putData(std::vector<uint8_t>(buffer.begin() + offset, buffer.begin() + offset + length));
}

void SerOutputStream::flush() {
    // No time limit; after the first quick checks the loop sleeps briefly instead of spinning.
    for (int round = 0; sp.txBufCount() > 0; ++round)
        if (round >= 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else std::this_thread::yield();
}

void SerOutputStream::close() {}

}  // namespace SerialIO
