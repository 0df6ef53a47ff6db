#pragma once
// A byte output stream over an open serial port; every write sends all its bytes or raises.
#include <cstdint>
#include <vector>

#include "SerialIO/SerialPort.h"

namespace SerialIO {

class SerOutputStream {
public:
    // Refuses a port that is not open ("Port not open"); sets the largest transmit time-out.
    explicit SerOutputStream(SerialPort& port);
    virtual ~SerOutputStream() = default;
    SerOutputStream(const SerOutputStream&) = delete;
    SerOutputStream& operator=(const SerOutputStream&) = delete;

    // Sends the low 8 bits of b.
    virtual void write(int b);
    virtual void write(const std::vector<uint8_t>& buffer);
    virtual void write(const std::vector<uint8_t>& buffer, int offset, int length);
    // Waits until the port has no bytes left to send.
    virtual void flush();
    // Leaves the port open.
    virtual void close();

private:
    SerialPort& sp;
};

}  // namespace SerialIO
