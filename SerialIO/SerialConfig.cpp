#include "SerialIO/SerialConfig.h"

#include <stdexcept>

#include "SerialIO/Platform.h"

namespace SerialIO {

namespace {
std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }
}  // namespace

SerialConfig::SerialConfig() : osName(platformOsName()) {
    portName = bytesOf("COM1");
    setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(int portNum) : port(portNum), osName(platformOsName()) {
    setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(int portNum, int tx, int rx)
    : port(portNum), txLen(tx), rxLen(rx), osName(platformOsName()) {
    setBaseName("/dev/ttyS");
}

SerialConfig::SerialConfig(const std::string& name) : portName(bytesOf(name)), osName(platformOsName()) {}

void SerialConfig::setPortNum(int n) {
    if (n < 0) throw std::invalid_argument("Invalid Port Number: " + std::to_string(n));
    port = n;
}

void SerialConfig::setPortName(const std::string& name) { portName = bytesOf(name); }

void SerialConfig::setBitRate(int code) {
    if (code < BR_110 || code > BR_115200) throw std::invalid_argument("Invalid Serial Port Bit Rate");
    bitRate = code;
}

void SerialConfig::setParity(int code) {
    // Mark parity has a code but no line setting behind it.
    if (code < PY_NONE || code > PY_EVEN) throw std::invalid_argument("Invalid Serial Port Parity");
    parity = code;
}

void SerialConfig::setDataBits(int code) {
    if (code < LN_5BITS || code > LN_8BITS) throw std::invalid_argument("Invalid Serial Port Data Bits");
    dataBits = code;
}

void SerialConfig::setStopBits(int code) {
    if (code < ST_1BITS || code > ST_2BITS) throw std::invalid_argument("Invalid Serial Port Stop Bits");
    stopBits = code;
}

void SerialConfig::setHandshake(int code) {
    const bool dsrDtrOffered = osName == "Windows 95" || osName == "Windows NT" || osName == "Windows CE" ||
                               osName == "Windows 98" || osName == "OS/2";
    if (code == HS_DSRDTR && !dsrDtrOffered)
        throw std::invalid_argument("DSRDTR handshaking not available on this platform");
    const bool valid = (code >= 0 && code <= 3) || (code >= 16 && code <= 240);
    if (!valid) throw std::invalid_argument("Invalid Serial Port Handshake");
    handshake = code;
}

void SerialConfig::setBaseName(const std::string& name) { baseName = bytesOf(name); }
void SerialConfig::setHardFlow(bool flag) { hardFlow = flag; }
void SerialConfig::setTxLen(int n) { txLen = n; }
void SerialConfig::setRxLen(int n) { rxLen = n; }
int SerialConfig::getPort() const { return port; }
int SerialConfig::getTxLen() const { return txLen; }
int SerialConfig::getRxLen() const { return rxLen; }
int SerialConfig::getBitRate() const { return bitRate; }
int SerialConfig::getParity() const { return parity; }
int SerialConfig::getDataBits() const { return dataBits; }
int SerialConfig::getStopBits() const { return stopBits; }
int SerialConfig::getHandshake() const { return handshake; }
const std::vector<uint8_t>& SerialConfig::getPortName() const { return portName; }
const std::vector<uint8_t>& SerialConfig::getBaseName() const { return baseName; }
bool SerialConfig::getHardFlow() const { return hardFlow; }
SerialConfig SerialConfig::copy() const { return *this; }

}  // namespace SerialIO
