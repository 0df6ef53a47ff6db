// kivonet-config: shows and writes the server's configuration record. The record is a handful of
// bytes at fixed positions, which a text editor cannot produce; this tool reads it with the server's
// own decoder and writes only values the record can hold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include "platform/WindowsError.h"
#endif

#include <array>
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

namespace kivoconfig {

using namespace ConfigCodes;
using Record = std::array<uint8_t, RECORD_SIZE>;

// The settings the record holds, in the words of the command line.
struct Settings {
    std::optional<int> com = 1;  // COM1 to COM9; none = no serial port
    int tcpPort = BASE_PORT;
    int minutes = 0;
    bool autoaccept = true;
    int outmode = 0;
};

// Thrown for a value the record cannot hold; the message is shown to the user.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline std::string usage() {
    return "Usage: kivonet-config show [FILE]\n"
           "       kivonet-config write FILE [--com N | --no-serial] [--tcp-port P] [--minutes M]\n"
           "                                 [--autoaccept on|off] [--outmode 0|1|2]\n"
           "\n"
           "show   prints the settings the server reads from FILE (default: " +
           KIVO::filename +
           ").\n"
           "write  writes a new record to FILE; settings not given take the values of a\n"
           "       missing file: COM1, TCP port 3001, no session limit, automatic acceptance on,\n"
           "       output routing 0.\n"
           "  --com N          serial port COM1 to COM9 (N = 1 to 9)\n"
           "  --no-serial      no serial port at all\n"
           "  --tcp-port P     TCP port, 2873 to 3128\n"
           "  --minutes M      session time limit: 0 (none), 1, 5, 10, 15, 30 or 60\n"
           "  --autoaccept X   on: wait for a client from the start; off: only on request\n"
           "  --outmode N      initial output routing: 0 output #1, 1 output #2, 2 both\n";
}

inline int parseInt(const std::string& option, const std::string& text) {
    int v = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || ptr != end || text.empty())
        throw UsageError(option + " needs a whole number, not '" + text + "'");
    return v;
}

// The record for the settings; refuses any value the record cannot hold.
inline Record encode(const Settings& s) {
    Record r{};
    if (s.com) {
        if (*s.com < MIN_COM || *s.com > MAX_COM)
            throw UsageError("serial port COM" + std::to_string(*s.com) +
                             " cannot be stored: use 1 to 9, or --no-serial");
        r[OFS_COMPORT] = static_cast<uint8_t>(*s.com - 1);
    } else {
        r[OFS_COMPORT] = NO_SERIAL;
    }
    r[OFS_DEVTYPE] = DEVTYPE_KIVO16;
    if (s.tcpPort < MIN_PORT || s.tcpPort > MAX_PORT)
        throw UsageError("TCP port " + std::to_string(s.tcpPort) + " cannot be stored: use " +
                         std::to_string(MIN_PORT) + " to " + std::to_string(MAX_PORT));
    r[OFS_PORTOFFSET] = static_cast<uint8_t>(static_cast<int8_t>(s.tcpPort - BASE_PORT));
    const auto code = codeForMinutes(s.minutes);
    if (!code)
        throw UsageError("a session limit of " + std::to_string(s.minutes) +
                         " minutes cannot be stored: use 0, 1, 5, 10, 15, 30 or 60");
    r[OFS_TIMELIMIT] = *code;
    r[OFS_AUTOACCEPT] = s.autoaccept ? 0 : 1;
    if (s.outmode < 0 || s.outmode >= static_cast<int>(outputChoices.size()))
        throw UsageError("output routing " + std::to_string(s.outmode) + " does not exist: use 0, 1 or 2");
    r[OFS_OUTMODE] = static_cast<uint8_t>(s.outmode);
    return r;
}

// Settings from the options after "write FILE".
inline Settings parseWriteOptions(const std::vector<std::string>& opts) {
    Settings s;
    bool com = false, noSerial = false;
    for (std::size_t i = 0; i < opts.size(); ++i) {
        const std::string& o = opts[i];
        if (o == "--no-serial") {
            noSerial = true;
            s.com.reset();
            continue;
        }
        if (o != "--com" && o != "--tcp-port" && o != "--minutes" && o != "--autoaccept" &&
            o != "--outmode")
            throw UsageError("unknown option '" + o + "'");
        if (i + 1 >= opts.size()) throw UsageError(o + " needs a value");
        const std::string& v = opts[++i];
        if (o == "--com") {
            com = true;
            s.com = parseInt(o, v);
        } else if (o == "--tcp-port") {
            s.tcpPort = parseInt(o, v);
        } else if (o == "--minutes") {
            s.minutes = parseInt(o, v);
        } else if (o == "--outmode") {
            s.outmode = parseInt(o, v);
        } else if (v == "on" || v == "off") {
            s.autoaccept = v == "on";
        } else {
            throw UsageError("--autoaccept takes on or off, not '" + v + "'");
        }
    }
    if (com && noSerial) throw UsageError("--com and --no-serial exclude each other");
    return s;
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
    os << " (not a serial port number: the server cannot open it)";
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
    return 0;
}

#ifdef _WIN32
// Binary: in the C runtime's default text mode a byte 0x0A would be written as 0D 0A.
constexpr int kRecordWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY;

// Puts `from` in the place of `to`; "" when done, else the system's reason. Windows' rename()
// refuses to replace an existing file, so the move says it may.
inline std::string replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    return platform::windowsErrorText(GetLastError());
}
#else
constexpr int kRecordWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

inline std::string replaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? "" : std::strerror(errno);
}
#endif

// Writes the record; on failure nothing usable is left half-written under the name.
inline bool writeRecord(const std::string& file, const Record& r, std::string& error) {
    const std::string tmp = file + ".tmp";
    int fd = ::open(tmp.c_str(), kRecordWriteFlags, 0644);
    if (fd < 0) {
        error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, r.data(), r.size());
    } while (n < 0 && errno == EINTR);
    const int writeErr = errno;
    const bool ok = n == static_cast<ssize_t>(r.size());
    if (::close(fd) != 0 || !ok) {
        error = "cannot write " + tmp + ": " + std::strerror(ok ? errno : writeErr);
        ::unlink(tmp.c_str());
        return false;
    }
    if (const std::string reason = replaceFile(tmp, file); !reason.empty()) {
        error = "cannot replace " + file + ": " + reason;
        ::unlink(tmp.c_str());
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
        if (args[0] == "write") {
            if (args.size() < 2 || args[1].rfind("--", 0) == 0)
                throw UsageError("write needs a file name");
            const Record r =
                encode(parseWriteOptions(std::vector<std::string>(args.begin() + 2, args.end())));
            std::string error;
            if (!writeRecord(args[1], r, error)) {
                err << "kivonet-config: " << error << "\n";
                return 1;
            }
            out << "Wrote " << args[1] << " (record bytes " << KIVO::BS2S({r.begin(), r.end()}, RECORD_SIZE)
                << ")\n";
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
