// Stand-in for a build without the control window.
#include <cstdlib>

#include "app/Parts.h"

namespace parts {

std::string windowMissing() {
    return "the control window: FLTK 1.3 or X11 was not found when this program was built;\n"
           "    the server runs headless";
}
Window window() { return Window::NotBuilt; }
void installWindow() {}
void runWindowWithStartup(std::function<void()> startup) {
    startup();
    std::exit(0);
}

}  // namespace parts
