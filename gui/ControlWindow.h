#pragma once
// The FLTK window of LocalGUI: its widgets, placed at fixed coordinates, and the callbacks that hand
// operator actions to LocalGUI's listeners. Built, refreshed and destroyed on the FLTK event thread only.
#include <array>
#include <memory>
#include <string>

class Fl_Box;
class Fl_Button;
class Fl_Choice;
class Fl_Input;
class Fl_Output;
class Fl_Widget;
class Fl_Window;
class LocalGUI;

namespace kivogui {

class ControlWindow {
public:
    // Border insets of the window's inside. FLTK places widgets relative to the inside of the window
    // and reports no insets, so both are 0.
    static constexpr int L = 0;
    static constexpr int T = 0;

    // Builds every widget from the state of `gui`; the window is not shown yet.
    explicit ControlWindow(LocalGUI& gui);
    ~ControlWindow();
    ControlWindow(const ControlWindow&) = delete;
    ControlWindow& operator=(const ControlWindow&) = delete;

    void show();

    // Field bits as in LocalGUIView::Field (1 << field).
    void refresh(unsigned fields);

    // After this the widgets' callbacks do nothing: the LocalGUI is going away.
    void detach() { gui_ = nullptr; }

    // The widgets, for the layer's own tests.
    Fl_Window* window = nullptr;
    Fl_Box *prodlabel = nullptr, *panlabel = nullptr, *outlabel = nullptr, *netlabel = nullptr,
           *namelabel = nullptr, *addresslabel = nullptr, *portlabel = nullptr, *statuslabel = nullptr;
    std::array<Fl_Button*, 16> bset{};
    Fl_Choice* outmode = nullptr;
    Fl_Input* localname = nullptr;
    Fl_Output *ipfield = nullptr, *portfield = nullptr, *statusfield = nullptr;
    Fl_Button *bgetip = nullptr, *bconnect = nullptr, *bclose = nullptr;

private:
    static void inputButtonCb(Fl_Widget* w, void* self);
    static void seloutmodeCb(Fl_Widget* w, void* self);
    static void lnaCb(Fl_Widget* w, void* self);
    static void bgetipCb(Fl_Widget* w, void* self);
    static void bconnectCb(Fl_Widget* w, void* self);
    static void bcloseCb(Fl_Widget* w, void* self);
    static void windowClosingCb(Fl_Widget* w, void* self);

    LocalGUI* gui_;
    std::array<std::string, 16> commandText_;  // "1" .. "16"
};

}  // namespace kivogui
