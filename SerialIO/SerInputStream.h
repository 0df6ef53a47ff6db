#pragma once
// A byte input stream over an open serial port. Reads block, polling the port every 20 ms.
#include <cstdint>
#include <vector>

#include "SerialIO/SerialPort.h"

namespace SerialIO {

class SerInputStream {
public:
    // Refuses a port that is not open ("Port not open"); sets its receive time-out to 0.
    explicit SerInputStream(SerialPort& port);
    virtual ~SerInputStream() = default;
    SerInputStream(const SerInputStream&) = delete;
    SerInputStream& operator=(const SerInputStream&) = delete;

    // Blocks until a byte arrives; returns it (0 to 255).
    virtual int read();
    // Blocks until at least one byte has been stored from index 0; returns the count.
    // The buffer must have room for at least one byte.
    virtual int read(std::vector<uint8_t>& buffer);
    // Reads up to length bytes and stores them from offset; a null buffer drops them and gives 0.
    virtual int read(std::vector<uint8_t>* buffer, int offset, int length);
    // Consumes count bytes (blocking until they have arrived); returns the number skipped.
    virtual long long skip(long long count);
    virtual int available();
    // Closes the port itself.
    virtual void close();
    virtual void mark(int readLimit);
    // Marking is not supported: always raises an IOException.
    virtual void reset();
    virtual bool markSupported();

private:
    SerialPort& sp;
};

}  // namespace SerialIO
