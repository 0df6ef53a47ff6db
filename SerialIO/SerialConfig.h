#pragma once
// The record of one serial line: port, buffer sizes and the line settings as small codes.
// Setters check their values and refuse bad ones with std::invalid_argument.
#include <cstdint>
#include <string>
#include <vector>

namespace SerialIO {

class SerialConfig {
public:
    static constexpr int HS_NONE = 0;
    static constexpr int HS_XONXOFF = 1;
    static constexpr int HS_CTSRTS = 2;
    static constexpr int HS_CTSDTR = 2;
    static constexpr int HS_DSRDTR = 3;
    static constexpr int HS_HARD_IN = 16;
    static constexpr int HS_HARD_OUT = 32;
    static constexpr int HS_SOFT_IN = 64;
    static constexpr int HS_SOFT_OUT = 128;

    static constexpr int BR_110 = 0;
    static constexpr int BR_150 = 1;
    static constexpr int BR_300 = 2;
    static constexpr int BR_600 = 3;
    static constexpr int BR_1200 = 4;
    static constexpr int BR_2400 = 5;
    static constexpr int BR_4800 = 6;
    static constexpr int BR_9600 = 7;
    static constexpr int BR_19200 = 8;
    static constexpr int BR_38400 = 9;
    static constexpr int BR_57600 = 10;
    static constexpr int BR_115200 = 11;

    static constexpr int PY_NONE = 0;
    static constexpr int PY_ODD = 1;
    static constexpr int PY_EVEN = 2;
    static constexpr int PY_MARK = 3;

    static constexpr int LN_5BITS = 0;
    static constexpr int LN_6BITS = 1;
    static constexpr int LN_7BITS = 2;
    static constexpr int LN_8BITS = 3;

    static constexpr int ST_1BITS = 0;
    static constexpr int ST_2BITS = 1;

    // Port "COM1", base name "/dev/ttyS".
    SerialConfig();
    // Port number as given (unchecked), base name "/dev/ttyS", empty port name.
    explicit SerialConfig(int port);
    SerialConfig(int port, int txLen, int rxLen);
    // Port name as given; port number 0 until a successful open records it.
    explicit SerialConfig(const std::string& name);
    virtual ~SerialConfig() = default;
    SerialConfig(const SerialConfig&) = default;
    SerialConfig& operator=(const SerialConfig&) = default;

    virtual void setPortNum(int n);
    virtual void setPortName(const std::string& name);
    virtual void setBitRate(int code);
    virtual void setParity(int code);
    virtual void setDataBits(int code);
    virtual void setStopBits(int code);
    virtual void setHandshake(int code);
    virtual void setBaseName(const std::string& name);
    virtual void setHardFlow(bool flag);
    virtual void setTxLen(int n);
    virtual void setRxLen(int n);
    virtual int getPort() const;
    virtual int getTxLen() const;
    virtual int getRxLen() const;
    virtual int getBitRate() const;
    virtual int getParity() const;
    virtual int getDataBits() const;
    virtual int getStopBits() const;
    virtual int getHandshake() const;
    virtual const std::vector<uint8_t>& getPortName() const;
    virtual const std::vector<uint8_t>& getBaseName() const;
    virtual bool getHardFlow() const;
    // A new record with every field equal to this one's.
    virtual SerialConfig copy() const;

    // The operating-system name taken at construction.
    const std::string& getOsName() const { return osName; }

private:
    int port = 0;
    std::vector<uint8_t> portName{0};
    std::vector<uint8_t> baseName{0};
    int txLen = 2048;
    int rxLen = 4096;
    int bitRate = BR_9600;
    int parity = PY_NONE;
    int dataBits = LN_8BITS;
    int stopBits = ST_1BITS;
    int handshake = HS_NONE;
    bool hardFlow = true;
    std::string osName;
};

}  // namespace SerialIO
