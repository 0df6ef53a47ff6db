#include "gui/Gui.h"

#include "app/KIVO.h"

#include <FL/Fl.H>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "gui/ControlWindow.h"
#include "gui/Display.h"

namespace kivogui {

namespace {

// What the view shares with the event loop. Only the loop (holding Fl::lock) touches `window` and
// `gui`; other threads only set bits in `dirty` and post a wake-up.
struct Link {
    LocalGUI* gui = nullptr;
    std::unique_ptr<ControlWindow> window;
    std::atomic<unsigned> dirty{0};
};

constexpr unsigned kAllFields = ~0u;

// Runs on the event thread with Fl::lock held: builds the window on first use, then redraws what
// changed since the last wake-up. Changes arriving meanwhile set bits again and post a new wake-up.
void applyChanges(void* data) {
    std::unique_ptr<std::shared_ptr<Link>> holder(static_cast<std::shared_ptr<Link>*>(data));
    Link& link = **holder;
    const unsigned fields = link.dirty.exchange(0);
    if (!link.gui) {
        link.window.reset();  // the LocalGUI is gone
        return;
    }
    if (!link.window) {
        link.window = std::make_unique<ControlWindow>(*link.gui);
        link.window->show();
        return;  // built from the current state
    }
    link.window->refresh(fields);
}

class FltkView : public LocalGUIView {
public:
    explicit FltkView(LocalGUI& gui) : link_(std::make_shared<Link>()) {
        link_->gui = &gui;
        post(kAllFields);
    }

    ~FltkView() override {
        Fl::lock();
        link_->gui = nullptr;
        if (link_->window) link_->window->detach();
        Fl::unlock();
        post(kAllFields);  // the loop deletes the window
    }

    // Any thread. At most one wake-up is outstanding per view, so FLTK's wake-up queue cannot fill.
    void changed(Field field) override { post(1u << static_cast<unsigned>(field)); }

private:
    void post(unsigned fields) {
        if (link_->dirty.fetch_or(fields) != 0) return;  // a wake-up is already on its way
        auto* data = new std::shared_ptr<Link>(link_);
        if (Fl::awake(applyChanges, data) != 0) {  // queue full: let the next change try again
            delete data;
            link_->dirty.store(0);
        }
    }

    std::shared_ptr<Link> link_;
};

// FLTK's fatal errors (the X server gone: a logout, a dropped forwarded session) end the server the
// way every other way out does, instead of FLTK's plain exit.
void windowLost(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LocalCAM::exitNow(1, std::string("Window: ") + text);
}

}  // namespace

void install() {
    LocalGUI::viewFactory = [](LocalGUI& gui) -> std::unique_ptr<LocalGUIView> {
        return std::make_unique<FltkView>(gui);
    };
}

void runWithStartup(std::function<void()> startup) {
    Fl::fatal = windowLost;
    Fl::lock();  // enables FLTK's thread support; the loop holds the lock except while it waits
    openDisplay();
    std::thread([startup = std::move(startup)] {
        try {
            startup();
        } catch (const std::exception& e) {
            LocalCAM::exitNow(1, std::string("Start-up failed: ") + e.what());
        }
    }).detach();
    for (;;) Fl::wait(1e20);
}

}  // namespace kivogui
