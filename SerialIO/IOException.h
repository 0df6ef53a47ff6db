#pragma once
// The one error kind of the serial-port layer, and the console writer the layer uses.
#include <stdexcept>
#include <string>

namespace SerialIO {

// An I/O failure of the serial layer. what() is the message; systemError() holds the operating
// system's text for the failing call when the native library reported one ("" otherwise).
// device() and errnum() name the device path and the system's error number of that failure where the
// library knows them ("" and 0 otherwise). written() is how many bytes of a failed write did go out.
class IOException : public std::runtime_error {
public:
    explicit IOException(const std::string& message, std::string systemError = {}, std::string device = {},
                         int errnum = 0)
        : std::runtime_error(message), sysErr(std::move(systemError)), dev(std::move(device)), err(errnum) {}
    const std::string& systemError() const noexcept { return sysErr; }
    const std::string& device() const noexcept { return dev; }
    int errnum() const noexcept { return err; }
    int written() const noexcept { return sent; }
    IOException& withWritten(int bytes) noexcept {
        sent = bytes > 0 ? bytes : 0;
        return *this;
    }

private:
    std::string sysErr;
    std::string dev;
    int err;
    int sent = 0;
};

// The reason of a failed open or configuration in plain words for the operator's console, naming the
// device and, where the operator can do something about it, what to do: for example
// "Serial device /dev/ttyUSB0: Permission denied (the user needs to be in the dialout group)".
// "" when the failure carries no reason.
std::string plainReason(const IOException& e);

// The failure says the device is not there (no such node, or no device behind it): what a pulled
// adapter gives until it is back, as opposed to one that is there but cannot be opened.
bool deviceAbsent(const IOException& e);

// The text with every character outside printable ASCII shown as "?", for console and window.
std::string printable(const std::string& text);

// Writes one bare console line (text and a line end), serialised by a process-wide mutex, or hands it
// to the program's own console writer once one is set.
void consoleLine(const std::string& text);
void setConsoleSink(void (*sink)(const std::string& text));

}  // namespace SerialIO
