// Stand-in until the serial layer is in place: opens nothing and records the frames it is given.
#include "app/SerOutPort.h"

std::atomic<int> SerOutPort::NoCOM{0};

namespace {
std::mutex iodebugMutex;
std::string iodebugText;
}  // namespace

SerOutPort::SerOutPort(const std::string&, const std::string&, int, int, int, const std::string&,
                       const std::string&)
    : serin(64, 0) {
    NoCOM = 0;
}

SerOutPort::SerOutPort(NoPort) : serin(64, 0) {}

SerOutPort::~SerOutPort() = default;

std::vector<uint8_t> SerOutPort::SendSerial(const std::vector<uint8_t>& cmd) {
    SerError = 0;
    SendSer(cmd);
    std::lock_guard<std::mutex> lock(serinMutex);
    return serin;
}

bool SerOutPort::SendSer(const std::vector<uint8_t>&) { return false; }
bool SerOutPort::SendSer(const std::string&) { return false; }

std::vector<uint8_t> SerOutPort::ReadSer() {
    std::lock_guard<std::mutex> lock(serinMutex);
    return serin;
}

int SerOutPort::SerCount() { return numBytes; }
int SerOutPort::GetSerError() { return SerError; }

std::string SerOutPort::iodebug() {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    return iodebugText;
}
void SerOutPort::OutLine(const std::string&) {}
void SerOutPort::setIodebug(const std::string& text) {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    iodebugText = text;
}
void SerOutPort::appendIodebug(const std::string& text) {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    iodebugText += text;
}
