#include "gui/Display.h"

#include <FL/x.H>

#include <cstdlib>

#include "gui/Gui.h"

namespace kivogui {

bool displayAvailable() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    ::Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

void openDisplay() { fl_open_display(); }

}  // namespace kivogui
