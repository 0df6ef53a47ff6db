// The control window as a part of the program.
#include "app/Parts.h"
#include "gui/Gui.h"

namespace parts {

std::string windowMissing() { return ""; }
Window window() { return kivogui::displayAvailable() ? Window::Available : Window::NoDisplay; }
void installWindow() { kivogui::install(); }
void runWindowWithStartup(std::function<void()> startup) { kivogui::runWithStartup(std::move(startup)); }

}  // namespace parts
