#pragma once
// The display (X on Linux), kept apart from the rest of the layer: Xlib's macros (Status, Bool, None ...) would
// clash with ordinary names elsewhere.
namespace kivogui {
// Opens FLTK's display connection now, on the event thread.
void openDisplay();
}  // namespace kivogui
