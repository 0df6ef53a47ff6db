// kivonet-config: shows, writes and changes the server's configuration record. The record is a handful of
// bytes at fixed positions, which a text editor cannot produce; this tool reads it with the server's
// own decoder and writes only values the record can hold.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/ConfigCodes.h"
#include "app/KIVO.h"
#include "platform/Files.h"

namespace kivoconfig {

using namespace ConfigCodes;

// Thrown for a value the record cannot hold; the message is shown to the user.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::string usage() {
    return "Usage: kivonet-config show [FILE]\n"
           "       kivonet-config write FILE [SETTING]...\n"
           "       kivonet-config set FILE [SETTING]...\n"
           "       kivonet-config --help\n"
           "\n"
           "show   prints the settings the server reads from FILE (default: '" +
           KIVO::filename +
           "').\n"
           "write  writes a new record to FILE; settings not given take the values of a\n"
           "       missing file: COM1, TCP port 3001, no session limit, automatic acceptance on,\n"
           "       output routing 0.\n"
           "set    changes only the settings given and keeps the others of FILE (a missing FILE\n"
           "       starts from the values of a missing file).\n"
           "\n"
           "Settings:\n"
           "  --com N          serial port COM1 to COM9 (N = 1 to 9)\n"
           "  --no-serial      no serial port at all\n"
           "  --tcp-port P     TCP port, 2873 to 3128\n"
           "  --minutes M      session time limit: 0 (none), 1, 5, 10, 15, 30 or 60\n"
           "  --autoaccept X   on: wait for a client from the start; off: no line-protocol client\n"
           "                   can connect\n"
           "  --outmode N      initial output routing: 0 output #1, 1 output #2, 2 both\n"
           "\n"
           "Exit status: 0 done, 1 FILE could not be read or written, 2 a wrong command or value\n"
           "(nothing is written then).\n";
}

inline int parseInt(const std::string& option, const std::string& text) {
    int v = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || text.empty())
        throw UsageError(option + " needs a whole number, not '" + text + "'");
    return v;
}

// One setting as the record stores it: the byte and its position.
struct Change {
    int offset;
    uint8_t value;
};

// The record bytes for the settings given, each checked; refuses any value the record cannot hold.
inline std::vector<Change> parseSettings(const std::vector<std::string>& opts) {
    std::vector<Change> changes;
    bool com = false, noSerial = false;
    for (std::size_t i = 0; i < opts.size(); ++i) {
        const std::string& o = opts[i];
        if (o == "--no-serial") {
            noSerial = true;
            changes.push_back({OFS_COMPORT, NO_SERIAL});
            continue;
        }
        if (o != "--com" && o != "--tcp-port" && o != "--minutes" && o != "--autoaccept" &&
            o != "--outmode")
            throw UsageError("unknown option '" + o + "'");
        if (i + 1 >= opts.size()) throw UsageError(o + " needs a value");
        const std::string& v = opts[++i];
        if (o == "--com") {
            com = true;
            const int n = parseInt(o, v);
            if (n < MIN_COM || n > MAX_COM)
                throw UsageError("serial port COM" + std::to_string(n) +
                                 " cannot be stored: use 1 to 9, or --no-serial");
            changes.push_back({OFS_COMPORT, static_cast<uint8_t>(n - 1)});
        } else if (o == "--tcp-port") {
            const int p = parseInt(o, v);
            if (p < MIN_PORT || p > MAX_PORT)
                throw UsageError("TCP port " + std::to_string(p) + " cannot be stored: use " +
                                 std::to_string(MIN_PORT) + " to " + std::to_string(MAX_PORT));
            changes.push_back({OFS_PORTOFFSET, static_cast<uint8_t>(static_cast<int8_t>(p - BASE_PORT))});
        } else if (o == "--minutes") {
            const int m = parseInt(o, v);
            const auto code = codeForMinutes(m);
            if (!code)
                throw UsageError("a session limit of " + std::to_string(m) +
                                 " minutes cannot be stored: use 0, 1, 5, 10, 15, 30 or 60");
            changes.push_back({OFS_TIMELIMIT, *code});
        } else if (o == "--outmode") {
            const int m = parseInt(o, v);
            if (m < 0 || m >= static_cast<int>(outputChoices.size()))
                throw UsageError("output routing " + std::to_string(m) + " does not exist: use 0, 1 or 2");
            changes.push_back({OFS_OUTMODE, static_cast<uint8_t>(m)});
        } else if (v == "on" || v == "off") {
            changes.push_back({OFS_AUTOACCEPT, static_cast<uint8_t>(v == "on" ? 0 : 1)});
        } else {
            throw UsageError("--autoaccept takes on or off, not '" + v + "'");
        }
    }
    if (com && noSerial) throw UsageError("--com and --no-serial exclude each other");
    return changes;
}

// The record of a missing file, as write starts it: every setting at its default, the device type named.
inline std::vector<uint8_t> defaultRecord() {
    std::vector<uint8_t> r(RECORD_SIZE, 0);
    r[OFS_DEVTYPE] = DEVTYPE_KIVO16;
    return r;
}

inline std::vector<uint8_t> applied(std::vector<uint8_t> record, const std::vector<Change>& changes) {
    for (const Change& c : changes) record[static_cast<std::size_t>(c.offset)] = c.value;
    return record;
}

// FILE's bytes (shorter files padded with the zeros the server reads there), all of them: set keeps
// what lies past the record. A missing file gives the record of a missing file; a file larger than
// any record (a device, a wrong name) is refused.
inline bool readRecord(const std::string& file, std::vector<uint8_t>& record, std::string& error) {
    const int fd = platform::openForReading(file);
    if (fd < 0) {
        if (errno != ENOENT) {
            error = "cannot read " + file + ": " + std::strerror(errno);
            return false;
        }
        record = defaultRecord();
        return true;
    }
    constexpr std::size_t kLargest = 64 * 1024;
    std::string bytes;
    const bool read = platform::readUpTo(fd, kLargest, bytes);
    const int readErr = errno;
    ::close(fd);
    if (!read) {
        error = "cannot read " + file + ": " + std::strerror(readErr);
        return false;
    }
    if (bytes.size() > kLargest) {
        error = file + " is larger than 64 KiB: not a configuration record";
        return false;
    }
    record.assign(bytes.begin(), bytes.end());
    record.resize(std::max<std::size_t>(bytes.size(), RECORD_SIZE));
    return true;
}

// The serial port setting in words.
inline std::string describePort(const std::string& comport) {
    const char c = comport.size() == 4 ? comport[3] : '?';
    if (c == '0') return "none (COM0: the server opens no serial port)";
    if (c >= '1' && c <= '9') return comport;
    std::ostringstream os;
    os << "COM";
    if (c >= 0x21 && c <= 0x7E)
        os << c;
    else
        os << "\\x" << KIVO::BS2S({static_cast<uint8_t>(c)}, 1);
    os << " (not a serial port number: the server opens it only with --device)";
    return os.str();
}

// The decoded settings of a KIVO object, one per line.
inline std::string describe(const KIVO& k) {
    std::ostringstream os;
    const int to = KIVO::to;
    os << "Serial port:            " << describePort(KIVO::comport) << "\n"
       << "Device type:            " << k.devtype << "\n"
       << "TCP port:               " << k.port << "\n"
       << "Session limit:          "
       << (to == 0 ? std::string("none") : std::to_string(to) + (to == 1 ? " minute" : " minutes"))
       << "\n"
       << "Automatic acceptance:   " << (KIVO::autoaccept ? "on" : "off") << "\n"
       << "Initial output routing: " << outputChoices[static_cast<std::size_t>(KIVO::outmode)] << "\n";
    return os.str();
}

// Reads FILE as the server does and describes what the server would make of it.
inline int show(const std::string& file, std::ostream& out) {
    struct stat st {};
    const bool missing = ::stat(file.c_str(), &st) != 0 && errno == ENOENT;
    const bool unreadable = !missing && (S_ISDIR(st.st_mode) || ::access(file.c_str(), R_OK) != 0);
    KIVO::filename = file;
    KIVO k;
    k.ReadCFG();
    k.InterpretCFG();
    out << "Configuration file:     " << file;
    if (missing)
        out << " (not found: the server uses the settings of a missing file)";
    else if (unreadable)
        out << " (unreadable: the server uses the settings of a missing file)";
    else
        out << " (record bytes " << KIVO::BS2S({KIVO::CFG.begin(), KIVO::CFG.begin() + RECORD_SIZE}, RECORD_SIZE)
            << ")";
    out << "\n" << describe(k);
    return unreadable ? 1 : 0;  // described all the same: what the server would make of it
}


// Writes the record; on failure nothing usable is left half-written under the name. The server,
// often a service user of its own, reads the record: a new one is readable by all whatever the
// caller's umask, a replaced one keeps its permissions.
inline bool writeRecord(const std::string& name, const std::vector<uint8_t>& r, std::string& error) {
    const std::string file = platform::linkTarget(name);
    const std::string_view bytes(reinterpret_cast<const char*>(r.data()), r.size());
    if (const platform::ReplaceFailure failure = platform::replaceWith(file, bytes, 0644)) {
        error = "cannot write " + file + " (" + failure.step + "): " + failure.reason;
        return false;
    }
    return true;
}

// The whole tool; args are the arguments after the program name. Exit status: 0 done,
// 1 the file could not be written, 2 a usage error or a value the record cannot hold.
inline int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << usage();
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out << usage();
        return 0;
    }
    try {
        if (args[0] == "show") {
            if (args.size() > 2) throw UsageError("show takes at most one file name");
            return show(args.size() == 2 ? args[1] : KIVO::filename, out);
        }
        if (args[0] == "write" || args[0] == "set") {
            if (args.size() < 2 || args[1].rfind("--", 0) == 0)
                throw UsageError(args[0] + " needs a file name");
            const std::string& file = args[1];
            const auto changes = parseSettings(std::vector<std::string>(args.begin() + 2, args.end()));
            std::vector<uint8_t> base;
            std::string error;
            if (args[0] == "write")
                base = defaultRecord();
            else if (!readRecord(file, base, error)) {
                err << "kivonet-config: " << error << "\n";
                return 1;
            }
            const std::vector<uint8_t> r = applied(std::move(base), changes);
            if (!writeRecord(file, r, error)) {
                err << "kivonet-config: " << error << "\n";
                return 1;
            }
            out << "Wrote " << file << " (record bytes " << KIVO::BS2S(r, RECORD_SIZE) << ")\n";
            return 0;
        }
        throw UsageError("unknown command '" + args[0] + "'");
    } catch (const UsageError& e) {
        err << "kivonet-config: " << e.what() << "\nTry 'kivonet-config --help' for more information.\n";
        return 2;
    }
}

}  // namespace kivoconfig

#ifndef KIVONET_CONFIG_NO_MAIN
int main(int argc, char** argv) {
    return kivoconfig::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
