#pragma once
// The one error kind of the serial-port layer, and the console writer the layer uses.
#include <stdexcept>
#include <string>

namespace SerialIO {

// An I/O failure of the serial layer. what() is the message; systemError() holds the operating
// system's text for the failing call when the native library reported one ("" otherwise).
class IOException : public std::runtime_error {
public:
    explicit IOException(const std::string& message, std::string systemError = {})
        : std::runtime_error(message), sysErr(std::move(systemError)) {}
    const std::string& systemError() const noexcept { return sysErr; }

private:
    std::string sysErr;
};

// Writes one bare console line (text and a line end), serialised by a process-wide mutex, or hands it
// to the program's own console writer once one is set.
void consoleLine(const std::string& text);
void setConsoleSink(void (*sink)(const std::string& text));

}  // namespace SerialIO
