// The application's serial output port over the serial-port layer.
#include "app/SerOutPort.h"

#include "app/KIVO.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "SerialIO/IOException.h"
#include "SerialIO/SerInputStream.h"
#include "SerialIO/SerOutputStream.h"
#include "SerialIO/SerialConfig.h"
#include "SerialIO/SerialPortLocal.h"

using SerialIO::IOException;
using SerialIO::SerialConfig;

std::atomic<int> SerOutPort::NoCOM{0};

namespace {

std::mutex iodebugMutex;
std::string iodebugText;

// Bytes of this thread's last command that went out before its write failed.
thread_local std::size_t writtenBeforeFailure = 0;

}  // namespace

SerOutPort::SerOutPort(const std::string& portName, const std::string&, int, int, int, const std::string&,
                       const std::string&)
    : serin(64, 0) {
    OutLine("Trying To Set Up " + portName);
    serCfg = std::make_shared<SerialConfig>(portName);
    serCfg->setBitRate(SerialConfig::BR_9600);
    serCfg->setParity(SerialConfig::PY_NONE);
    serCfg->setHandshake(SerialConfig::HS_NONE);
    serCfg->setStopBits(SerialConfig::ST_1BITS);
    serCfg->setDataBits(SerialConfig::LN_8BITS);
    serCfg->setHardFlow(false);
    serCfg->setTxLen(txBuf);
    serCfg->setRxLen(rxBuf);
    NoCOM = 0;
    if (portName == "COM0") return;  // no port wanted
    wanted = true;
    std::lock_guard<std::mutex> lock(portMutex);
    openPort(true);
}

bool SerOutPort::openPort(bool report, std::string* failure) {
    try {
        serialPort = std::make_unique<SerialIO::SerialPortLocal>(serCfg);
    } catch (const IOException& e) {
        if (!SerialIO::deviceAbsent(e)) {
            std::string why = SerialIO::plainReason(e);
            if (why.empty()) why = e.what();
            if (failure) *failure = why;
            if (report) startFailure_ = why;
        }
        if (report) {
            SerialIO::consoleLine(std::string("SerialIO::IOException: ") + e.what());
            // The message keeps its fixed words; the operator reads why, and what to do, on a line of its own.
            const std::string reason = SerialIO::plainReason(e);
            if (!reason.empty()) SerialIO::consoleLine(reason);
            NoCOM = 1;
        }
        return false;
    }
    try {
        SerialOutStream = std::make_unique<SerialIO::SerOutputStream>(*serialPort);
        // The stream would wait without end for room on the line; a device that stops taking bytes
        // must fail the command, not hold every face behind it.
        serialPort->setTimeoutTx(writeTimeoutMs);
        SerialInStream = std::make_unique<SerialIO::SerInputStream>(*serialPort);
    } catch (const IOException&) {
        const bool out = SerialOutStream != nullptr;
        OutLine(out ? "Unable to make InputStream" : "Unable to make OutputStream");
        if (report) NoCOM = out ? 3 : 2;
        // A port without both streams is no use: closed, so that a later reopen starts afresh.
        SerialOutStream.reset();
        serialPort.reset();
        return false;
    }
    return true;
}

void SerOutPort::dropPort(const std::string& reason) {
    SerialInStream.reset();
    SerialOutStream.reset();
    serialPort.reset();  // closes the port, dropping the errors of a device that is gone
    lossReason = reason;
}

bool SerOutPort::watchable() const { return wanted; }

std::string SerOutPort::devicePath() const {
    return wanted ? SerialIO::SerialPortLocal::devicePath(*serCfg) : std::string();
}

bool SerOutPort::isOpen() const {
    std::lock_guard<std::mutex> lock(portMutex);
    return SerialOutStream != nullptr;
}

std::string SerOutPort::checkDevice() {
    std::lock_guard<std::mutex> lock(portMutex);
    std::string reason;
    if (serialPort && serialPort->deviceLost(reason)) dropPort(reason);
    return std::exchange(lossReason, std::string());
}

std::string SerOutPort::startFailure() const {
    std::lock_guard<std::mutex> lock(portMutex);
    return startFailure_;
}

bool SerOutPort::reopen(std::string* failure) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (failure) failure->clear();
    if (!wanted) return false;
    return SerialOutStream != nullptr || openPort(false, failure);
}

void SerOutPort::closePort() {
    std::lock_guard<std::mutex> lock(portMutex);
    const std::string pending = lossReason;
    dropPort(pending);
}

void SerOutPort::setLossHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(portMutex);
    lossHandler = std::move(handler);
}

void SerOutPort::writeFailed(const IOException& e) {
    OutLine("Unable to write to Serial Port");
    SerError = 1;
    std::string reason;
    if (serialPort && serialPort->deviceLost(reason)) {
        dropPort(reason);
        if (lossHandler) lossHandler();
        return;
    }
    // The device is there but did not take the bytes (no room within the time-out): the operator reads why.
    const std::string why = SerialIO::plainReason(e);
    if (!why.empty()) SerialIO::consoleLine(why);
}

SerOutPort::SerOutPort(NoPort) : serin(64, 0) {}

SerOutPort::~SerOutPort() = default;

std::vector<uint8_t> SerOutPort::SendSerial(const std::vector<uint8_t>& cmd) {
    SerError = 0;
    setIodebug("");
    writtenBeforeFailure = 0;
    const bool ok = SendSer(cmd);
    OutLine(ok ? "true" : "false");
    // The pause paces consecutive commands on the line; a failed write is not paced.
    if (ok) {
        if (onWritten) onWritten(cmd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (const std::size_t sent = std::min(writtenBeforeFailure, cmd.size()); sent > 0 && onWritten) {
        // The command failed, but the selector has what went out of it (a write cut off by the
        // transmit time-out): the record must learn those bytes too.
        onWritten(std::vector<uint8_t>(cmd.begin(), cmd.begin() + static_cast<std::ptrdiff_t>(sent)));
    }
    OutLine(iodebug());
    std::lock_guard<std::mutex> lock(serinMutex);
    return serin;
}

bool SerOutPort::SendSer(const std::vector<uint8_t>& bytes) {
    const bool ok = writeBytes(bytes);
    // The trace text is made once the bytes have gone: nothing but the write stands before them.
    setIodebug("Serial Out: " + KIVO::BS2S(bytes, static_cast<int>(bytes.size())) + "  ");
    OutLine(iodebug());
    return ok;
}

bool SerOutPort::writeBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(portMutex);
    if (!SerialOutStream) {
        // No port (COM0): nothing to write to. A configured port that is closed fails the write.
        if (wanted) SerError = 1;
        return false;
    }
    try {
        SerialOutStream->write(bytes);
    } catch (const IOException& e) {
        writtenBeforeFailure = static_cast<std::size_t>(e.written());
        writeFailed(e);
        return false;
    }
    return true;
}

bool SerOutPort::SendSer(const std::string& text) {
    setIodebug("Serial Out: " + text + "  ");
    OutLine(iodebug());
    std::lock_guard<std::mutex> lock(portMutex);
    if (!serialPort) return false;
    try {
        serialPort->putString(text + "\n");
    } catch (const IOException& e) {
        writeFailed(e);
        return false;
    }
    return true;
}

std::vector<uint8_t> SerOutPort::ReadSer() {
    numBytes = 0;
    std::unique_lock<std::mutex> portLock(portMutex);
    if (SerialInStream) {
        try {
            while (SerialInStream->available() > 0) {
                std::vector<uint8_t> chunk(64);
                const int n = SerialInStream->read(chunk);
                std::lock_guard<std::mutex> lock(serinMutex);
                // Each chunk is stored from index 0; bytes of a longer earlier chunk stay behind it.
                std::copy(chunk.begin(), chunk.begin() + n, serin.begin());
                numBytes = n;
            }
            std::string trace;
            {
                std::lock_guard<std::mutex> lock(serinMutex);
                trace = "Serial In: " + KIVO::BS2S(serin, numBytes);
            }
            appendIodebug(trace);
            OutLine(trace);
        } catch (const IOException&) {
            SerError = 2;
        }
    }
    portLock.unlock();
    std::lock_guard<std::mutex> lock(serinMutex);
    return serin;
}

int SerOutPort::SerCount() { return numBytes; }
int SerOutPort::GetSerError() { return SerError; }

std::string SerOutPort::iodebug() {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    return iodebugText;
}

// The trace sink: the trace texts reach neither the console nor the window.
void SerOutPort::OutLine(const std::string&) {}

void SerOutPort::setIodebug(const std::string& text) {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    iodebugText = text;
}

void SerOutPort::appendIodebug(const std::string& text) {
    std::lock_guard<std::mutex> lock(iodebugMutex);
    iodebugText += text;
}
