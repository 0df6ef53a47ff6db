#pragma once
// How the program entry brings up the control window.
//
// Threads: the FLTK event loop runs on the calling (main) thread and is the window's event thread;
// start-up runs on a thread of its own, so operator actions are served while start-up builds the hub,
// initialises the device and sits in its 2000 ms pause. The window itself is built by the event loop
// when the hub's LocalGUI asks for its view; from then on every state change made on any thread
// reaches the widgets through Fl::awake, and the loop applies it while holding Fl::lock.
#include <functional>

namespace kivogui {

// True when an X display can be opened (DISPLAY set and the server answers). FLTK ends the process
// when it cannot open its display, so the program asks this before anything would create a window.
bool displayAvailable();

// Makes every LocalGUI built from now on draw itself in an FLTK window.
void install();

// Runs `startup` on its own thread and the FLTK event loop on the calling thread. Never returns: the
// process ends when the window is closed (exit status 0) or when something else ends it.
[[noreturn]] void runWithStartup(std::function<void()> startup);

}  // namespace kivogui
