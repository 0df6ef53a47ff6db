#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <mutex>

#include "SerialIO/IOException.h"

namespace SerialIO {

namespace {
std::atomic<void (*)(const std::string&)> consoleSink{nullptr};
}

void setConsoleSink(void (*sink)(const std::string& text)) { consoleSink = sink; }

void consoleLine(const std::string& text) {
    if (auto* sink = consoleSink.load()) {
        sink(text);
        return;
    }
    static std::mutex consoleMutex;
    std::lock_guard<std::mutex> lock(consoleMutex);
    std::cout << text << '\n' << std::flush;
}

std::string printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    return shown;
}

bool deviceAbsent(const IOException& e) {
    const int n = e.errnum();
    return n == ENOENT || n == ENOTDIR || n == ENODEV || n == ENXIO;
}

std::string plainReason(const IOException& e) {
    if (e.device().empty()) return e.systemError().empty() ? "" : "Serial port: " + printable(e.systemError());
    const std::string device = "Serial device " + printable(e.device());
    switch (e.errnum()) {
    case 0: {
        // The library's text names the call first, "call(device): text": the operator needs the text.
        std::string text = e.systemError();
        const size_t call = text.find("): ");
        if (call != std::string::npos) text.erase(0, call + 3);
        return device + ": " + printable(text);
    }
    case EACCES:
    case EPERM:
        return device + ": " + std::strerror(e.errnum()) + " (the user needs to be in the dialout group)";
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return device + " not found";
    case ENOTTY:
        return device + " is not a serial port";
    case EBUSY:
    case EWOULDBLOCK:
        return device + " is in use by another program";
    default:
        return device + ": " + std::strerror(e.errnum());
    }
}

}  // namespace SerialIO
