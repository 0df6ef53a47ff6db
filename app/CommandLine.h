#pragma once
// The server's command line, parsed into plain values; parsing runs nothing and prints nothing.
#include <string>
#include <vector>

struct CommandLine {
    enum class Action {
        Run,      // start the server
        Help,     // print usage to stdout, exit 0
        Version,  // print the version line to stdout, exit 0
        Error     // print `error` and a usage hint to stderr, exit 2
    };

    Action action = Action::Run;
    std::string error;        // what was wrong, for Action::Error
    std::string configPath;   // --config PATH; empty: the default file name
    bool headless = false;    // --headless: no window, status lines on the console
    std::string devicePath;   // --device PATH: the serial device to use
    bool simulate = false;    // --simulate: run against the simulated selector
    int routerPort = -1;      // --router-port PORT: the router-protocol face (0: any free port); -1: off
    std::string statePath;    // --state-file PATH; empty: the default (see defaultStatePath)
    std::string listenAddress;  // --listen ADDRESS: numeric address every face listens on; empty: all
    std::string allow;          // --allow CIDR[,CIDR...]: only these clients are served; empty: all
    std::string passwordFile;   // --password-file FILE: the password is the file's first line
    bool requirePassword = false;  // --require-password: no command before an accepted password
    int httpPort = -1;        // --http-port PORT: serve the web control page (0: any free port); -1: off

    // Parses the arguments after the program name. Options take their value as the next argument
    // or after '=' (--config=PATH).
    static CommandLine parse(const std::vector<std::string>& args);
    static CommandLine parse(int argc, const char* const* argv);

    // Where labels and routing are kept without --state-file: $STATE_DIRECTORY/kivonet.state when the
    // service manager provides a state folder (the first, when it names several), else kivonet.state
    // in the working folder.
    static std::string defaultStatePath(const char* stateDirectory);

    static std::string usage(const std::string& program = "kivonet");
    static std::string version();
};
