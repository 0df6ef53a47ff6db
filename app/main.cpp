// Program entry of the server: command line, start-up, then the process lives on in its other
// threads until it is told to stop.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/CommandLine.h"
#include "app/KIVO.h"

namespace {

// The stop signals, blocked in every thread so that only waitForStop receives them.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Runs after start-up on the main thread: waits for SIGINT or SIGTERM and ends the process with
// status 0. Sessions may still be running threads, so the process ends at once without unwinding.
[[noreturn]] void waitForStop() {
    const sigset_t set = stopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    std::cout.flush();
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace

int KIVO::main(int argc, char** argv) {
    const CommandLine cl = CommandLine::parse(argc, argv);
    switch (cl.action) {
        case CommandLine::Action::Help:
            std::cout << CommandLine::usage() << std::flush;
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
    if (!cl.configPath.empty()) filename = cl.configPath;
    headless = cl.headless;

    KIVO kivo;
    kivo.init();
    waitForStop();
}

int main(int argc, char** argv) {
    // Block the stop signals before any thread exists: every thread inherits the mask.
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return KIVO::main(argc, argv);
}
