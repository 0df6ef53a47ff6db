// Program entry of the server: command line, start-up, then the process lives on in its other
// threads until it is told to stop.
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <memory>
#include <stdexcept>

#include "app/CommandLine.h"
#include "app/KIVO.h"
#include "SerialIO/IOException.h"
#ifdef KIVO_HAVE_SIM
#include "tools/sim/KivoSim.h"
#endif
#ifdef KIVO_HAVE_GUI
#include "gui/Gui.h"
#endif

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
#else
// The stop signals, blocked in every thread so that only waitForStop receives them.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Blocks the stop signals before any thread exists: every thread inherits the mask.
void catchStopRequests() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void awaitStopRequest() {
    const sigset_t set = stopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
}
#endif

// Runs after start-up on the main thread: waits for SIGINT or SIGTERM (on Windows a console control
// event) and ends the process with status 0. Sessions may still be running threads, so the process
// ends at once without unwinding.
[[noreturn]] void waitForStop() {
    awaitStopRequest();
    KIVO::FlushConsole();
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
    deviceOverride = cl.devicePath;
    // From here on status lines are echoed by a writer thread, so a slow console never holds up a
    // command; the serial layer's few lines join the same stream in order.
    StartConsoleWriter();
    SerialIO::setConsoleSink(&KIVO::OutLine);

    if (cl.simulate) {
#ifdef KIVO_HAVE_SIM
        if (!cl.devicePath.empty()) {
            std::cerr << "kivonet: --simulate and --device exclude each other" << std::endl;
            return 2;
        }
        // The simulated selector lives as long as the process; its lines go to the console.
        static std::unique_ptr<SimulatedSelector> selector;
        selector = std::make_unique<SimulatedSelector>(
            [](const std::string& line) { OutLine("Simulated selector: " + line); });
        try {
            selector->start();
        } catch (const std::exception& e) {
            std::cerr << "kivonet: cannot start the simulated selector: " << e.what() << std::endl;
            return 1;
        }
        deviceOverride = selector->devicePath();
        OutLine("Simulated selector on " + deviceOverride);
#else
        std::cerr << "kivonet: this build has no simulated selector" << std::endl;
        return 2;
#endif
    }

#ifdef KIVO_HAVE_GUI
    if (!headless && !kivogui::displayAvailable()) {
        headless = true;
        OutLine("No display: running headless");
    } else if (headless) {
        OutLine("Running headless");
    }
    if (!headless) {
        kivogui::install();
        // The window's event loop runs on this thread; start-up runs on its own and then waits for
        // a stop signal, so Ctrl-C still ends a windowed server.
        kivogui::runWithStartup([] {
            KIVO kivo;
            kivo.init();
            waitForStop();
        });
    }
#else
    if (!headless) OutLine("No window in this build: running headless");
    headless = true;
#endif

    KIVO kivo;
    kivo.init();
    waitForStop();
}

int main(int argc, char** argv) {
    catchStopRequests();
    return KIVO::main(argc, argv);
}
