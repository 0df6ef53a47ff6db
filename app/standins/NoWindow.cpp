// Stand-in for a build without the control window.
#include <cstdlib>

#include "app/Parts.h"

namespace parts {

Window window() { return Window::NotBuilt; }
void installWindow() {}
void runWindowWithStartup(std::function<void()> startup) {
    startup();
    std::exit(0);
}

}  // namespace parts
