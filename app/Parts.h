#pragma once
// The parts of the program a build may lack: the control window (it needs the toolkit, and a
// display to open), the simulated selector (it needs pseudo-terminals), the web control page (it
// needs the HTTP library) and the router-protocol face. A build links either the part itself
// (gui/, sim/, web/, router/) or its stand-in (app/standins/), so the program entry needs no
// conditional code.
//
// Each xMissing() tells, for --help, why this build lacks the part: the stand-in's reason, the
// options it takes away first; "" when the part is built.
#include <functional>
#include <string>

namespace parts {

enum class Window { Available, NoDisplay, NotBuilt };
Window window();
std::string windowMissing();
// Makes every window state built from now on draw itself in a real window.
void installWindow();
// Runs `startup` on its own thread and the window's event loop on the calling thread.
[[noreturn]] void runWindowWithStartup(std::function<void()> startup);

std::string simulatorMissing();
inline bool simulatorBuilt() { return simulatorMissing().empty(); }
// Starts the simulated selector, which lives as long as the process and reports what it decodes
// through `report`; gives the device path to open. Throws std::runtime_error when it cannot start.
std::string startSimulator(std::function<void(const std::string&)> report);

std::string webPageMissing();
inline bool webPageBuilt() { return webPageMissing().empty(); }
// Serves the control page of the running hub (KIVO::scam) on `port` for as long as the process
// lives; gives the port. The page is a module loaded now (web/WebPageLoader.cpp). Throws
// std::runtime_error when there is no hub, the module cannot be loaded or the port cannot be bound.
int startWebPage(int port);

std::string routerFaceMissing();
inline bool routerFaceBuilt() { return routerFaceMissing().empty(); }
// Serves the router protocol for the running hub (KIVO::scam) on `port` (0: any free port) for as
// long as the process lives; gives the port. Throws std::runtime_error when there is no hub or the
// port cannot be bound.
int startRouterFace(int port);

}  // namespace parts
