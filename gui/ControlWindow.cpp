#include "gui/ControlWindow.h"

#include <FL/Enumerations.H>
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>

#include <cstring>

#include "app/KIVO.h"
#include "app/LocalGUI.h"

namespace kivogui {

namespace {

Fl_Color flColour(Colour c) { return fl_rgb_color(c.r, c.g, c.b); }

constexpr Fl_Font kFont = FL_HELVETICA;     // "Helvetica", plain
constexpr int kFontSize = KIVO::fontheight;  // 13

unsigned bit(LocalGUIView::Field f) { return 1u << static_cast<unsigned>(f); }

// A label: text left-aligned inside its box, on the window's background.
Fl_Box* label(int x, int y, int w, int h, const std::string& text) {
    auto* b = new Fl_Box(FL_NO_BOX, x, y, w, h, nullptr);
    b->copy_label(text.c_str());
    b->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    b->labelfont(kFont);
    b->labelsize(kFontSize);
    b->labelcolor(flColour(LocalGUI::blackcol));
    return b;
}

// A push button that takes the window's colours unless told otherwise.
Fl_Button* button(int x, int y, int w, int h, const std::string& text) {
    auto* b = new Fl_Button(x, y, w, h);
    b->copy_label(text.c_str());
    b->labelfont(kFont);
    b->labelsize(kFontSize);
    b->labelcolor(flColour(LocalGUI::blackcol));
    b->color(flColour(LocalGUI::backcol));
    return b;
}

template <typename Field>
Field* textField(int x, int y, int w, int h) {
    auto* f = new Field(x, y, w, h);
    f->textfont(kFont);
    f->textsize(kFontSize);
    return f;
}

void setText(Fl_Input_* field, const std::string& text) {
    const char* now = field->value();
    if (now && text == now) return;  // keeps the cursor and avoids a redraw
    field->value(text.c_str());
}

}  // namespace

ControlWindow::ControlWindow(LocalGUI& gui) : gui_(&gui) {
    const int h = LocalGUI::h;  // 24: every row
    const int w = LocalGUI::w;  // 37: an input button

    window = new Fl_Window(LocalGUI::GUIwidth, T + 300);
    window->copy_label(KIVO::prodtitle.c_str());
    window->color(flColour(LocalGUI::backcol));
    window->labelfont(kFont);
    window->labelsize(kFontSize);
    window->callback(windowClosingCb, this);

    // Absolute layout: x, y, width, height in the window's inside.
    prodlabel = label(L + 5, T, 300, h, KIVO::prodlabel);
    panlabel = label(L + 5, T + 22, 300, h, "KIVONet Server Input Select");
    for (int k = 1; k <= 16; ++k) {
        const bool firstRow = k <= 8;
        const int x = firstRow ? L + 5 + w * (k - 1) : L + 5 + w * (k - 9);
        const int y = firstRow ? T + 46 : T + 70;
        commandText_[k - 1] = std::to_string(k);
        Fl_Button* b = button(x, y, w, h, k < 10 ? " " + std::to_string(k) : std::to_string(k));
        b->callback(inputButtonCb, this);  // the one listener of all 16 buttons
        bset[k - 1] = b;
    }
    outlabel = label(L + 5, T + 94, 74, h, "Output Mode");
    outmode = new Fl_Choice(L + 116, T + 94, 185, h);
    outmode->textfont(kFont);
    outmode->textsize(kFontSize);
    outmode->color(flColour(LocalGUI::backcol));
    for (const char* item : LocalGUI::outmodeItems) {
        // add() would read '/', '&' and '_' as menu syntax; the items are inserted verbatim.
        outmode->add("x");
        outmode->replace(outmode->size() - 2, item);
    }
    outmode->value(gui.outModeIndex());  // selecting by program runs no callback
    outmode->callback(seloutmodeCb, this);
    netlabel = label(L + 5, T + 124, 300, h, "KIVONet Server Network Controls");
    namelabel = label(L + 5, T + 148, 70, h, "Host/PWD");
    localname = textField<Fl_Input>(80, T + 148, 230, h);
    localname->when(FL_WHEN_ENTER_KEY_ALWAYS);  // Enter acts even when the text is unchanged
    localname->callback(lnaCb, this);
    addresslabel = label(L + 5, T + 172, 70, h, "IP Address");
    ipfield = textField<Fl_Output>(80, T + 172, 230, h);
    bgetip = button(80, T + 196, 230, h, "Get IP Address");
    bgetip->callback(bgetipCb, this);
    portlabel = label(L + 5, T + 220, 70, h, "Socket Port");
    portfield = textField<Fl_Output>(80, T + 220, 50, h);
    bconnect = button(190, T + 220, 120, h, "Let Client Connect");
    bconnect->callback(bconnectCb, this);
    bclose = button(120, T + 220, 70, h, "Close");
    bclose->callback(bcloseCb, this);
    statuslabel = label(L + 5, T + 244, 100, h, "Status/Results");
    statusfield = textField<Fl_Output>(L + 5, T + 268, 300, h);
    window->end();

    portfield->value(gui.portText().c_str());
    refresh(~0u);
}

ControlWindow::~ControlWindow() { delete window; }

void ControlWindow::show() { window->show(); }

void ControlWindow::refresh(unsigned fields) {
    if (!gui_) return;
    using F = LocalGUIView::Field;
    if (fields & bit(F::Status)) setText(statusfield, gui_->statusText());
    if (fields & bit(F::IP)) setText(ipfield, gui_->ipText());
    if (fields & bit(F::LocalName)) setText(localname, gui_->localnameText());
    if (fields & bit(F::OutMode)) {
        if (outmode->value() != gui_->outModeIndex()) outmode->value(gui_->outModeIndex());
    }
    if (fields & bit(F::Connect)) {
        if (gui_->connectEnabled())
            bconnect->activate();
        else
            bconnect->deactivate();
        bconnect->color(flColour(gui_->connectColour()));
        bconnect->redraw();
    }
}

void ControlWindow::inputButtonCb(Fl_Widget* w, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (!cw->gui_) return;
    for (int k = 0; k < 16; ++k) {
        if (cw->bset[k] == w) {
            cw->gui_->onInputButton(std::stoi(cw->commandText_[k]));
            return;
        }
    }
}

void ControlWindow::seloutmodeCb(Fl_Widget* /*w*/, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (cw->gui_) cw->gui_->onSeloutmode(cw->outmode->value());
}

void ControlWindow::lnaCb(Fl_Widget* /*w*/, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (!cw->gui_) return;
    const std::string text = cw->localname->value();
    cw->gui_->setLocalname(text);
    cw->gui_->onLNA(text);
}

void ControlWindow::bgetipCb(Fl_Widget* /*w*/, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (!cw->gui_) return;
    cw->gui_->setLocalname(cw->localname->value());  // the lookup uses what the operator typed
    cw->gui_->onBgetip();
}

void ControlWindow::bconnectCb(Fl_Widget* /*w*/, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (cw->gui_) cw->gui_->onBconnect();
}

void ControlWindow::bcloseCb(Fl_Widget* /*w*/, void* self) {
    auto* cw = static_cast<ControlWindow*>(self);
    if (cw->gui_) cw->gui_->onBclose();
}

void ControlWindow::windowClosingCb(Fl_Widget* /*w*/, void* /*self*/) {
    // FLTK also calls a window's callback for the Escape key; only the close box ends the program.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
    LocalGUI::onWindowClosing();
}

}  // namespace kivogui
