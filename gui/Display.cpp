#include "gui/Display.h"

#include <FL/x.H>

#include <cstdlib>

#include "gui/Gui.h"

#ifdef _WIN32
// FLTK's Windows headers declare it for the library's own sources only.
void fl_open_display();
#endif

namespace kivogui {

#ifdef _WIN32
// Windows: a desktop is always there to draw on.
bool displayAvailable() { return true; }

void openDisplay() { fl_open_display(); }
#else
namespace {
// The connection that showed the display answers, held until FLTK has opened its own: an X server
// resets when its last client leaves, and a connection attempt during that reset fails, which FLTK
// would answer by ending the process. Touched on the main thread only.
::Display* probe = nullptr;
}  // namespace

bool displayAvailable() {
    if (probe) return true;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    probe = XOpenDisplay(nullptr);
    return probe != nullptr;
}

void openDisplay() {
    fl_open_display();
    if (probe) {
        XCloseDisplay(probe);
        probe = nullptr;
    }
}

#endif

}  // namespace kivogui
