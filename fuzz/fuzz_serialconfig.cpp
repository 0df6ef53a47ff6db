// The serial configuration record under arbitrary sequences of setter calls: every value is either
// stored and read back unchanged, or refused with std::invalid_argument carrying its fixed message and
// leaving the record as it was. A copy never shares changes with its source.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "SerialIO/Platform.h"
#include "SerialIO/SerialConfig.h"
#include "fuzz/FuzzInput.h"

using SerialIO::SerialConfig;

namespace {

struct Snapshot {
    int port, txLen, rxLen, bitRate, parity, dataBits, stopBits, handshake;
    bool hardFlow;
    std::vector<uint8_t> portName, baseName;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snap(const SerialConfig& c) {
    return {c.getPort(),     c.getTxLen(),    c.getRxLen(),     c.getBitRate(),  c.getParity(),
            c.getDataBits(), c.getStopBits(), c.getHandshake(), c.getHardFlow(), c.getPortName(),
            c.getBaseName()};
}

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

bool dsrDtrOffered(const std::string& os) {
    return os == "Windows 95" || os == "Windows NT" || os == "Windows CE" || os == "Windows 98" ||
           os == "OS/2";
}

// Calls a checked setter: accepted exactly when `valid`, refused with `message` otherwise.
template <typename Set>
void checked(SerialConfig& c, bool valid, const std::string& message, Set set, int value,
             int (SerialConfig::*get)() const) {
    const Snapshot before = snap(c);
    try {
        set(c);
    } catch (const std::invalid_argument& e) {
        fuzz::check(!valid, "valid value refused", std::to_string(value) + ": " + e.what());
        fuzz::check(e.what() == message, "wrong refusal message", e.what());
        fuzz::check(snap(c) == before, "refused value changed the record");
        return;
    }
    fuzz::check(valid, "invalid value accepted", std::to_string(value));
    fuzz::check((c.*get)() == value, "stored value differs", std::to_string(value));
}

// The setters that take a code from 0 to `max`, each refusing any other with its own message.
struct Ranged {
    void (SerialConfig::*set)(int);
    int (SerialConfig::*get)() const;
    int max;
    const char* message;
};
const Ranged kRanged[] = {
    {&SerialConfig::setBitRate, &SerialConfig::getBitRate, 11, "Invalid Serial Port Bit Rate"},
    {&SerialConfig::setParity, &SerialConfig::getParity, 2, "Invalid Serial Port Parity"},
    {&SerialConfig::setDataBits, &SerialConfig::getDataBits, 3, "Invalid Serial Port Data Bits"},
    {&SerialConfig::setStopBits, &SerialConfig::getStopBits, 1, "Invalid Serial Port Stop Bits"},
};

const char* const kOsNames[] = {"Linux", "Windows 95", "Windows NT", "windows 98", "OS/2", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);

    // The operating-system name decides whether DSR/DTR handshaking is offered.
    const std::string os = kOsNames[in.byte() % (sizeof kOsNames / sizeof kOsNames[0])];
    SerialIO::setOsNameForTesting(os);
    const std::string effectiveOs = SerialIO::platformOsName();

    SerialConfig records[2] = {SerialConfig(in.text(12)), SerialConfig(in.int32(), in.int32(), in.int32())};
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        SerialConfig& c = records[op & 1];
        const int v = (op & 0x80) ? in.int32() : static_cast<int>(static_cast<int8_t>(in.byte())) * 2;
        const int kind = (op >> 1) % 13;
        switch (kind) {
            case 0:
                checked(c, v >= 0, "Invalid Port Number: " + std::to_string(v),
                        [v](SerialConfig& r) { r.setPortNum(v); }, v, &SerialConfig::getPort);
                break;
            case 1:
            case 2:
            case 3:
            case 4: {
                const Ranged& r = kRanged[kind - 1];
                checked(c, v >= 0 && v <= r.max, r.message, [&r, v](SerialConfig& s) { (s.*r.set)(v); },
                        v, r.get);
                break;
            }
            case 5: {
                const bool dsr = v == SerialConfig::HS_DSRDTR && !dsrDtrOffered(effectiveOs);
                const bool inRange = (v >= 0 && v <= 3) || (v >= 16 && v <= 240);
                checked(c, inRange && !dsr,
                        dsr ? "DSRDTR handshaking not available on this platform"
                            : "Invalid Serial Port Handshake",
                        [v](SerialConfig& r) { r.setHandshake(v); }, v, &SerialConfig::getHandshake);
                break;
            }
            case 6: {
                const std::string name = in.text(16);
                const int port = c.getPort();
                c.setPortName(name);
                fuzz::check(c.getPortName() == bytesOf(name), "port name not stored");
                fuzz::check(c.getPort() == port, "setPortName changed the port number");
                break;
            }
            case 7: {
                const std::string name = in.text(16);
                c.setBaseName(name);
                fuzz::check(c.getBaseName() == bytesOf(name), "base name not stored");
                break;
            }
            case 8:
                c.setHardFlow(v & 1);
                fuzz::check(c.getHardFlow() == bool(v & 1), "hard flow not stored");
                break;
            case 9:
                c.setTxLen(v);
                fuzz::check(c.getTxLen() == v, "tx length not stored");
                break;
            case 10:
                c.setRxLen(v);
                fuzz::check(c.getRxLen() == v, "rx length not stored");
                break;
            case 11: {
                // A copy starts equal and then goes its own way.
                const Snapshot source = snap(c);
                SerialConfig copy = c.copy();
                fuzz::check(snap(copy) == source, "copy differs from its source");
                copy.setPortName(copy.getPortName().size() % 2 ? "x" : "yy");
                copy.setTxLen(source.txLen ^ 1);
                fuzz::check(snap(c) == source, "changing a copy changed its source");
                records[op & 1] = copy;
                break;
            }
            default: {
                const Snapshot before = snap(c);
                const int port = c.getPort();
                try {
                    c.setPortNum(v);
                } catch (const std::invalid_argument&) {
                }
                fuzz::check(c.getPortName() == before.portName, "setPortNum changed the port name");
                fuzz::check(v < 0 ? c.getPort() == port : c.getPort() == v, "setPortNum result");
                break;
            }
        }
    }
    SerialIO::setOsNameForTesting("");
    return 0;
}
