#include <iostream>
#include <mutex>

#include "SerialIO/IOException.h"

namespace SerialIO {

void consoleLine(const std::string& text) {
    static std::mutex consoleMutex;
    std::lock_guard<std::mutex> lock(consoleMutex);
    std::cout << text << '\n' << std::flush;
}

}  // namespace SerialIO
