#include "app/CommandLine.h"

#include <optional>

#include "app/ClientSocket.h"
#include "net/Access.h"

namespace {

// Splits "--name=value" into its name and value; other arguments are returned whole.
std::pair<std::string, std::optional<std::string>> splitOption(const std::string& arg) {
    const auto eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos)
        return {arg.substr(0, eq), arg.substr(eq + 1)};
    return {arg, std::nullopt};
}

}  // namespace

CommandLine CommandLine::parse(const std::vector<std::string>& args) {
    CommandLine cl;
    auto fail = [&cl](std::string message) {
        cl.action = Action::Error;
        cl.error = std::move(message);
        return cl;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        // Plain references, not a structured binding: the lambda below captures them.
        const auto option = splitOption(args[i]);
        const std::string& name = option.first;
        const std::optional<std::string>& inlineValue = option.second;
        // Takes the option's value, inline or from the next argument. The next argument is no value
        // when it is an option itself: "--device --require-password" (an empty $ADAPTER in a unit
        // file) is an error, not a device named "--require-password" with the password not required.
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) return args[++i];
            return std::nullopt;
        };
        if (name == "--config" || name == "--device" || name == "--state-file") {
            auto v = value();
            if (!v || v->empty()) return fail("option " + name + " needs a file name");
            (name == "--config" ? cl.configPath : name == "--device" ? cl.devicePath : cl.statePath) = *v;
            continue;
        }
        if (name == "--router-port") {
            auto v = value();
            int port = -1;
            if (v && !v->empty() && v->size() <= 5 && v->find_first_not_of("0123456789") == std::string::npos)
                port = std::stoi(*v);
            if (port < 0 || port > 65535) return fail("option --router-port needs a port number (0 to 65535)");
            cl.routerPort = port;
            continue;
        }
        if (name == "--http-port") {
            auto v = value();
            const auto port = v ? ClientSocket::parseDecimal(*v) : std::nullopt;
            if (!port || *port < 0 || *port > 65535)
                return fail("option --http-port needs a port number (0 to 65535)");
            cl.httpPort = *port;
            continue;
        }
        if (name == "--password-file") {
            auto v = value();
            if (!v || v->empty()) return fail("option " + name + " needs a file name");
            cl.passwordFile = *v;
            continue;
        }
        if (name == "--listen") {
            auto v = value();
            if (!v || !net::parseAddress(*v))
                return fail("option --listen needs a numeric IPv4 or IPv6 address");
            cl.listenAddress = *v;
            continue;
        }
        if (name == "--allow") {
            auto v = value();
            if (!v) return fail("option --allow needs a list of address prefixes");
            std::string why;
            if (!net::parseCidrList(*v, why)) return fail("option --allow: " + why);
            // Given again (an option added to a unit's), the lists add up rather than the last
            // silently shutting out the clients of the first.
            cl.allow += (cl.allow.empty() ? "" : ",") + *v;
            continue;
        }
        if (inlineValue && (name == "--help" || name == "--version" || name == "--headless" ||
                            name == "--simulate" || name == "--require-password"))
            return fail("option " + name + " takes no value");
        if (name == "--help" || name == "-h") {
            cl.action = Action::Help;
            return cl;
        }
        if (name == "--version") {
            cl.action = Action::Version;
            return cl;
        }
        if (name == "--headless") {
            cl.headless = true;
        } else if (name == "--simulate") {
            cl.simulate = true;
        } else if (name == "--require-password") {
            cl.requirePassword = true;
        } else if (name.rfind("-", 0) == 0) {
            return fail("unknown option " + name);
        } else {
            return fail("unexpected argument " + name);
        }
    }
    return cl;
}

CommandLine CommandLine::parse(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return parse(args);
}

std::string CommandLine::usage(const std::string& program) {
#ifdef _WIN32
    // Windows: the record's default place is the root of drive C.
    const std::string platformOptions =
        "  --config PATH   read the configuration record from PATH\n"
        "                  (default: c:\\KIVONetCFG.txt, in the root of drive C)\n"
        "  --device PORT   serial port to use (for example COM3 or \\\\.\\COM12)\n";
#else
    const std::string platformOptions =
        "  --config PATH   read the configuration record from PATH\n"
        "                  (default: the file c:\\KIVONetCFG.txt in the working folder)\n"
        "  --device PATH   serial device to use (for example /dev/ttyUSB0)\n";
#endif
    return "Usage: " + program + " [OPTION]...\n"
           "Network control server for the KIVO16 16-input selector on a serial port.\n"
           "\n" +
           platformOptions +
           "  --simulate      run against the built-in simulated selector\n"
           "  --state-file PATH  keep labels and routing in PATH (default: kivonet.state in\n"
           "                  the working folder, or in $STATE_DIRECTORY under systemd)\n"
           "  --headless      no window; status lines go to the console, stop with Ctrl-C\n"
           "  --router-port PORT  also serve control panels that speak the Videohub router protocol\n"
           "                  on PORT (usually 9990; 0: any free port, shown on the console)\n"
           "  --listen ADDRESS  listen on this IPv4 or IPv6 address only (default: every address)\n"
           "  --allow CIDR[,CIDR...]  serve only clients within these prefixes\n"
           "                  (for example 192.168.1.0/24,2001:db8::/32); others are closed at once\n"
           "  --password-file FILE  the client password is the first line of FILE\n"
           "                  (else $KIVONET_PASSWORD, else the built-in default)\n"
           "  --require-password  carry out no command before the client's accepted PWD line\n"
           "  --http-port PORT  serve the web control page on PORT (off unless given;\n"
           "                  0: any free port, shown on the console)\n"
           "  --help          show this help and exit\n"
           "  --version       show the version and exit\n"
           "\n"
           "Write a configuration record with kivonet-config (see kivonet-config --help).\n";
}

std::string CommandLine::defaultStatePath(const char* stateDirectory) {
    std::string dir = stateDirectory ? stateDirectory : "";
    dir = dir.substr(0, dir.find(':'));
    if (dir.empty()) return "kivonet.state";
    if (dir.back() != '/') dir += '/';
    return dir + "kivonet.state";
}

std::string CommandLine::version() { return "KIVONet Server 1.0.0"; }
