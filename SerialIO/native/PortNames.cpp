#include "SerialIO/native/PortNames.h"

#include <map>
#include <mutex>

#include "SerialIO/native/SerialNative.h"

namespace SerialIO {

namespace {

std::mutex& nameMapMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& nameMap() {
    static std::map<std::string, std::string> m;
    return m;
}

}  // namespace

int comNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + (name[i] - '0');
        if (n > kMaxComNumber) return 0;
    }
    return n;
}

std::string textOf(const std::vector<uint8_t>& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        if (b == 0) break;
        s.push_back(static_cast<char>(b));
    }
    return s;
}

std::optional<std::string> mappedPath(const std::string& name) {
    if (name.empty()) return std::nullopt;
    std::lock_guard<std::mutex> lock(nameMapMutex());
    auto it = nameMap().find(name);
    if (it == nameMap().end()) return std::nullopt;
    return it->second;
}

void mapPortName(const std::string& name, const std::string& devicePath) {
    std::lock_guard<std::mutex> lock(nameMapMutex());
    // Kept under the name as the port reads it back (up to a NUL byte): a configuration byte outside
    // the table can put one in the name.
    nameMap()[name.substr(0, name.find('\0'))] = devicePath;
}

}  // namespace SerialIO
