#include <atomic>
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

}  // namespace SerialIO
