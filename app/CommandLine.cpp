#include "app/CommandLine.h"

#include <optional>

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
        // Takes the option's value, inline or from the next argument.
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        if (name == "--config" || name == "--device") {
            auto v = value();
            if (!v || v->empty()) return fail("option " + name + " needs a file name");
            (name == "--config" ? cl.configPath : cl.devicePath) = *v;
            continue;
        }
        if (inlineValue && (name == "--help" || name == "--version" || name == "--headless" ||
                            name == "--simulate"))
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
    // Windows: the record's default place is the root of drive C; no pseudo-terminals, so no
    // simulated selector.
    const std::string platformOptions =
        "  --config PATH   read the configuration record from PATH\n"
        "                  (default: c:\\KIVONetCFG.txt, in the root of drive C)\n"
        "  --device PORT   serial port to use (for example COM3 or \\\\.\\COM12)\n"
        "  --simulate      not available on Windows: the simulated selector needs\n"
        "                  pseudo-terminals\n";
#else
    const std::string platformOptions =
        "  --config PATH   read the configuration record from PATH\n"
        "                  (default: the file c:\\KIVONetCFG.txt in the working folder)\n"
        "  --device PATH   serial device to use (for example /dev/ttyUSB0)\n"
        "  --simulate      run against the built-in simulated selector\n";
#endif
    return "Usage: " + program + " [OPTION]...\n"
           "Network control server for the KIVO16 16-input selector on a serial port.\n"
           "\n" +
           platformOptions +
           "  --headless      no window; status lines go to the console, stop with Ctrl-C\n"
           "  --help          show this help and exit\n"
           "  --version       show the version and exit\n"
           "\n"
           "Write a configuration record with kivonet-config (see kivonet-config --help).\n";
}

std::string CommandLine::version() { return "KIVONet Server 1.0.0"; }
