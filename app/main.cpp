// Program entry of the server: command line, start-up, then the process lives on in its other
// threads until it is told to stop.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "app/CommandLine.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/ClientSocket.h"
#include "app/Parts.h"
#include "app/Password.h"
#include "app/ServiceNotify.h"
#include "platform/Files.h"
#include "net/Access.h"
#include "SerialIO/IOException.h"

namespace {

#ifdef _WIN32
// Set by the console's control handler: Ctrl-C, Ctrl-Break, closing the console window, logoff
// and shutdown all stop the server.
HANDLE stopEvent = nullptr;

BOOL WINAPI onConsoleControl(DWORD) {
    SetEvent(stopEvent);
    // The process ends on the waiting thread, with status 0; returning from a close event would let
    // the system end it first with a status of its own.
    Sleep(INFINITE);
    return TRUE;
}

void catchStopRequests() {
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void awaitStopRequest() { WaitForSingleObject(stopEvent, INFINITE); }

// Files get handles, never a standard stream's place: nothing to fill.
void fillStandardStreams() {}
#else
// A server started with a standard stream closed (`>&-`, some launchers) would hand that number to
// the first file it opens, the serial line among them, and the console would write onto the line.
// Each gap is filled with /dev/null first (open takes the lowest free number).
void fillStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null > fd) ::close(null);
    }
}

// A hang-up (the terminal or remote login of a server started by hand has closed) stops the server
// like a stop request, unless it was started with hang-ups ignored (nohup): then it runs on, as asked.
// Read once, before any thread exists.
bool hangUpStops() {
    static const bool stops = [] {
        struct sigaction current {};
        return ::sigaction(SIGHUP, nullptr, &current) != 0 || current.sa_handler != SIG_IGN;
    }();
    return stops;
}

// The stop signals, blocked in every thread so that only waitForStop receives them.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (hangUpStops()) sigaddset(&set, SIGHUP);
    return set;
}

// Blocks the stop signals before any thread exists: every thread inherits the mask. A console whose
// reader has gone (`kivonet | head`, a pager quit) must not end the server: its writes fail instead.
void catchStopRequests() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void awaitStopRequest() {
    const sigset_t set = stopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
}
#endif

// Runs after start-up on the main thread: waits for SIGINT, SIGTERM or SIGHUP (on Windows a console
// control event) and ends the process with status 0. Sessions may still be running threads, so the
// process ends at once without unwinding.
[[noreturn]] void waitForStop() {
    awaitStopRequest();
    ServiceNotify::stopping();
    LocalCAM::exitNow();
}

// After start-up: serves the web control page when --http-port asked for it. A port that cannot
// be bound leaves the rest of the server running, with a console line saying so.
void startWebPage(int port) {
    if (port < 0) return;
    if (!parts::webPageBuilt()) {
        KIVO::OutLine("This build has no web page: --http-port is ignored");
        return;
    }
    try {
        KIVO::OutLine("Web page on port " + std::to_string(parts::startWebPage(port)));
    } catch (const std::exception& e) {
        KIVO::OutLine(std::string("Web page not started: ") + e.what());
    }
}

// After start-up: serves the router protocol when --router-port asked for it, like the web page.
void startRouterFace(int port) {
    if (port < 0) return;
    if (!parts::routerFaceBuilt()) {
        KIVO::OutLine("This build has no router-protocol face: --router-port is ignored");
        return;
    }
    try {
        KIVO::OutLine("Router protocol on port " + std::to_string(parts::startRouterFace(port)));
    } catch (const std::exception& e) {
        KIVO::OutLine(std::string("Router protocol not started: ") + e.what());
    }
}

// Start-up, then the optional faces; the service manager hears "ready" only once every face that
// was asked for listens, so that units started after this one find the ports open.
[[noreturn]] void serve(int httpPort, int routerPort) {
    KIVO kivo;
    kivo.init();
    startWebPage(httpPort);
    startRouterFace(routerPort);
    ServiceNotify::ready(kivo.ReadyLine());
    waitForStop();
}

// For --help: the parts this build lacks, each with its reason; "" when it has them all.
std::string lackingParts() {
    std::string lines;
    for (const std::string& why : {parts::windowMissing(), parts::simulatorMissing(), parts::webPageMissing(),
                                   parts::routerFaceMissing()})
        if (!why.empty()) lines += "  " + why + "\n";
    return lines.empty() ? "" : "\nNot in this build:\n" + lines;
}

}  // namespace

int KIVO::main(int argc, char** argv) {
    const CommandLine cl = CommandLine::parse(argc, argv);
    switch (cl.action) {
        case CommandLine::Action::Help:
            std::cout << CommandLine::usage() << lackingParts() << std::flush;
            return 0;
        case CommandLine::Action::Version:
            std::cout << CommandLine::version() << std::endl;
            return 0;
        case CommandLine::Action::Error:
            std::cerr << "kivonet: " << cl.error << "\nTry 'kivonet --help' for more information."
                      << std::endl;
            return 2;
        case CommandLine::Action::Run:
            break;
    }
    const PasswordSetting secret =
        PasswordSetting::choose(cl.passwordFile, std::getenv("KIVONET_PASSWORD"), password.get());
    if (!secret.error.empty()) {
        std::cerr << "kivonet: " << secret.error << std::endl;
        return 2;
    }
    password = secret.password;
    requirepassword = cl.requirePassword;
    // Tests shorten the wait for a client's password; nothing else sets this.
    if (const char* wait = std::getenv("KIVONET_TEST_PASSWORD_WAIT_MS"))
        if (const auto ms = ClientSocket::parseDecimal(wait); ms && *ms > 0)
            ClientSocket::passwordWaitMillis = *ms;
    if (!cl.configPath.empty()) filename = cl.configPath;
    headless = cl.headless;
    deviceOverride = cl.devicePath;
    statePath = platform::fixedPath(cl.statePath.empty() ? CommandLine::defaultStatePath(std::getenv("STATE_DIRECTORY"))
                                                         : cl.statePath);
    // Two servers saving one state file would each overwrite the other's labels and routing: a
    // second copy started by mistake (a service already running) stops here, before it opens the
    // serial line or a port.
    if (platform::holdForFile(statePath) == platform::ProcessLock::HeldElsewhere) {
        std::cerr << "kivonet: state file " << statePath
                  << " is in use by another kivonet; give this one its own with --state-file" << std::endl;
        return 1;
    }
    // From here on status lines are echoed by a writer thread, so a slow console never holds up a
    // command; the serial layer's few lines join the same stream in order.
    StartConsoleWriter();
    SerialIO::setConsoleSink(&KIVO::OutLine);
    net::setConsoleSink(&KIVO::OutLine);
    for (const std::string& line : secret.consoleLines) OutLine(line);
    // The default file may well be missing; a file named on the command line is meant to be there.
    std::error_code noFile;
    if (!cl.configPath.empty() && !std::filesystem::exists(filename, noFile) && !noFile)
        OutLine("Configuration file " + filename + " not found: the settings of a missing file apply "
                "(COM1, port 3001, no time limit); write one with kivonet-config write " + filename);

    // Where every face listens and whom it serves; the parser has checked both values.
    net::AccessPolicy& access = net::AccessPolicy::instance();
    access.setListenAddress(cl.listenAddress);
    if (!cl.allow.empty()) {
        std::string unused;
        const auto prefixes = net::parseCidrList(cl.allow, unused);
        std::string shown;
        for (const net::Cidr& prefix : *prefixes) shown += (shown.empty() ? "" : ", ") + prefix.text();
        access.setAllowed(*prefixes);
        OutLine("Serving only clients from " + shown);
    }

    if (cl.simulate) {
        // The console lines written so far come before the reason.
        const auto refuse = [](const std::string& why, int status) {
            FlushConsole();
            std::cerr << "kivonet: " << why << std::endl;
            return status;
        };
        if (!parts::simulatorBuilt()) return refuse("this build has no simulated selector", 2);
        if (!cl.devicePath.empty()) return refuse("--simulate and --device exclude each other", 2);
        try {
            deviceOverride = parts::startSimulator(
                [](const std::string& line) { OutLine("Simulated selector: " + line); });
        } catch (const std::exception& e) {
            return refuse(std::string("cannot start the simulated selector: ") + e.what(), 1);
        }
        OutLine("Simulated selector on " + deviceOverride);
    }

    const parts::Window window = parts::window();
    if (headless)
        OutLine("Running headless");
    else if (window == parts::Window::NoDisplay)
        OutLine("No display: running headless");
    else if (window == parts::Window::NotBuilt)
        OutLine("No window in this build: running headless");
    headless = headless || window != parts::Window::Available;
    if (!headless) {
        parts::installWindow();
        // The window's event loop runs on this thread; start-up runs on its own and then waits for
        // a stop signal, so Ctrl-C still ends a windowed server.
        parts::runWindowWithStartup([port = cl.httpPort, routerPort = cl.routerPort] {
            serve(port, routerPort);
        });
    }
    serve(cl.httpPort, cl.routerPort);
}

int main(int argc, char** argv) {
    fillStandardStreams();
    catchStopRequests();
    return KIVO::main(argc, argv);
}
