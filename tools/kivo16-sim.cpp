// kivo16-sim: a simulated 16-input, 2-output selector on a pseudo-terminal.
// Prints the device path to give the server, then one line per received command, until SIGINT or
// SIGTERM.
#include "sim/KivoSim.h"

#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <pthread.h>

namespace {

void usage(std::ostream& out) {
    out << "Usage: kivo16-sim [--help]\n"
           "\n"
           "Simulates the 16-input, 2-output video selector on a pseudo-terminal (9600 8N1, no flow\n"
           "control). Prints the device path to give the server, then one line per frame received:\n"
           "  Output 1 <- Input 5      a valid frame (every frame is shown, also repeated ones)\n"
           "  Invalid bytes: 41 42     bytes that do not form a valid frame\n"
           "Stops on Ctrl-C (SIGINT) or SIGTERM.\n";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(std::cout);
            return 0;
        }
        std::cerr << "kivo16-sim: unknown argument '" << argv[i] << "'\n";
        usage(std::cerr);
        return 2;
    }

    // Block the stop signals before any thread starts, so only sigwait below receives them. A shell
    // starts background jobs with SIGINT ignored, and an ignored signal is discarded even while
    // blocked: restore the default so Ctrl-C and `kill -INT` both stop the simulator.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex outMutex;
    SimulatedSelector selector([&outMutex](const std::string& line) {
        std::lock_guard<std::mutex> lock(outMutex);
        std::cout << line << std::endl;
    });

    {
        // Hold the output lock until the header is out, so no event line can come before it.
        std::lock_guard<std::mutex> lock(outMutex);
        try {
            selector.start();
        } catch (const std::exception& e) {
            std::cerr << "kivo16-sim: " << e.what() << '\n';
            return 1;
        }
        const std::string path = selector.devicePath();
        std::cout << "Simulated selector on " << path << '\n'
                  << "Start the server with: kivonet --device " << path << std::endl;
    }

    int sig = 0;
    while (sigwait(&stopSignals, &sig) != 0) {
    }
    selector.stop();
    return 0;
}
