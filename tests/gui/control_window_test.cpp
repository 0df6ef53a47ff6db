// The window's widgets: texts, states, colours, the layout table, and the callbacks that feed the
// listeners. Widgets are created but never shown, so no display is needed.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/KIVO.h"
#include "app/LocalGUI.h"
#include "gui/ControlWindow.h"
#include "tests/app/localgui_doubles.h"

namespace {

using kivogui::ControlWindow;
using localgui_doubles::RecordingDevice;
using localgui_doubles::RecordingHub;

Fl_Color flColour(Colour c) { return fl_rgb_color(c.r, c.g, c.b); }

class ControlWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIVO::autoaccept = false;
        KIVO::outmode = 1;
        KIVO::password = std::string("JVK");
        hub_ = std::make_unique<RecordingHub>();
        gui_ = std::make_unique<LocalGUI>(3017, "KIVO16");
        window_ = std::make_unique<ControlWindow>(*gui_);
        LocalGUI::scam = hub_.get();
        LocalGUI::cam = &device_;
    }
    void TearDown() override {
        LocalGUI::scam = nullptr;
        LocalGUI::cam = nullptr;
        window_.reset();
        gui_.reset();
        hub_.reset();
        KIVO::autoaccept = true;
        KIVO::outmode = 2;
        KIVO::password = std::string("JVK");
    }

    RecordingDevice device_;
    std::unique_ptr<RecordingHub> hub_;
    std::unique_ptr<LocalGUI> gui_;
    std::unique_ptr<ControlWindow> window_;
};

struct Placement {
    const char* name;
    Fl_Widget* widget;
    int x, y, w;
};

TEST_F(ControlWindowTest, WidgetsFollowTheLayoutTable) {
    ControlWindow& c = *window_;
    const int L = ControlWindow::L, T = ControlWindow::T;
    EXPECT_EQ(c.window->w(), 318);
    EXPECT_EQ(c.window->h(), T + 300);
    EXPECT_STREQ(c.window->label(), "KIVONet");
    EXPECT_EQ(c.window->color(), flColour(LocalGUI::backcol));

    const Placement table[] = {
        {"prodlabel", c.prodlabel, L + 5, T, 300},
        {"panlabel", c.panlabel, L + 5, T + 22, 300},
        {"outlabel", c.outlabel, L + 5, T + 94, 74},
        {"outmode", c.outmode, L + 116, T + 94, 185},
        {"netlabel", c.netlabel, L + 5, T + 124, 300},
        {"namelabel", c.namelabel, L + 5, T + 148, 70},
        {"localname", c.localname, 80, T + 148, 230},
        {"addresslabel", c.addresslabel, L + 5, T + 172, 70},
        {"ipfield", c.ipfield, 80, T + 172, 230},
        {"bgetip", c.bgetip, 80, T + 196, 230},
        {"portlabel", c.portlabel, L + 5, T + 220, 70},
        {"portfield", c.portfield, 80, T + 220, 50},
        {"bconnect", c.bconnect, 190, T + 220, 120},
        {"bclose", c.bclose, 120, T + 220, 70},
        {"statuslabel", c.statuslabel, L + 5, T + 244, 100},
        {"statusfield", c.statusfield, L + 5, T + 268, 300},
    };
    for (const Placement& p : table) {
        ASSERT_NE(p.widget, nullptr) << p.name;
        EXPECT_EQ(p.widget->x(), p.x) << p.name;
        EXPECT_EQ(p.widget->y(), p.y) << p.name;
        EXPECT_EQ(p.widget->w(), p.w) << p.name;
        EXPECT_EQ(p.widget->h(), 24) << p.name;
        EXPECT_EQ(p.widget->parent(), c.window) << p.name;
    }
    for (int k = 1; k <= 16; ++k) {
        Fl_Button* b = c.bset[k - 1];
        EXPECT_EQ(b->x(), L + 5 + 37 * ((k - 1) % 8)) << k;
        EXPECT_EQ(b->y(), k <= 8 ? T + 46 : T + 70) << k;
        EXPECT_EQ(b->w(), 37);
        EXPECT_EQ(b->h(), 24);
        EXPECT_EQ(std::string(b->label()), k < 10 ? " " + std::to_string(k) : std::to_string(k));
        EXPECT_EQ(b->labelfont(), FL_HELVETICA);
        EXPECT_EQ(b->labelsize(), 13);
    }
}

TEST_F(ControlWindowTest, WidgetsCarryTheirTextsAndStartState) {
    ControlWindow& c = *window_;
    EXPECT_STREQ(c.prodlabel->label(), KIVO::prodlabel.c_str());
    EXPECT_STREQ(c.panlabel->label(), "KIVONet Server Input Select");
    EXPECT_STREQ(c.outlabel->label(), "Output Mode");
    EXPECT_STREQ(c.netlabel->label(), "KIVONet Server Network Controls");
    EXPECT_STREQ(c.namelabel->label(), "Host/PWD");
    EXPECT_STREQ(c.addresslabel->label(), "IP Address");
    EXPECT_STREQ(c.portlabel->label(), "Socket Port");
    EXPECT_STREQ(c.statuslabel->label(), "Status/Results");
    EXPECT_STREQ(c.bgetip->label(), "Get IP Address");
    EXPECT_STREQ(c.bconnect->label(), "Let Client Connect");
    EXPECT_STREQ(c.bclose->label(), "Close");

    ASSERT_EQ(c.outmode->size(), 4);  // three items and the end marker
    EXPECT_STREQ(c.outmode->menu()[0].label(), "Route input to output #1");
    EXPECT_STREQ(c.outmode->menu()[1].label(), "Route input to output #2");
    EXPECT_STREQ(c.outmode->menu()[2].label(), "Route input to both outputs");
    EXPECT_EQ(c.outmode->value(), 1) << "selected from the configured routing";

    EXPECT_STREQ(c.portfield->value(), "3017");
    EXPECT_STREQ(c.localname->value(), "");
    EXPECT_STREQ(c.ipfield->value(), "");
    EXPECT_STREQ(c.statusfield->value(), "");
    EXPECT_FALSE(c.localname->readonly());
    EXPECT_TRUE(c.ipfield->readonly());
    EXPECT_TRUE(c.portfield->readonly());
    EXPECT_TRUE(c.statusfield->readonly());
    EXPECT_FALSE(c.bconnect->active());
    EXPECT_EQ(c.bconnect->color(), flColour(KIVO::darkgraycol));
    EXPECT_EQ(c.bset[0]->color(), flColour(LocalGUI::backcol)) << "buttons take the window's background";
    EXPECT_TRUE(device_.calls().empty());
}

TEST_F(ControlWindowTest, RefreshShowsTheStateOfLocalGUI) {
    ControlWindow& c = *window_;
    using F = LocalGUIView::Field;
    auto bit = [](F f) { return 1u << static_cast<unsigned>(f); };

    gui_->ShowStatus("Selected Input #3");
    gui_->ShowIP(std::nullopt);
    gui_->EnableConnect(true);
    gui_->ShowOutMode(2);
    c.refresh(bit(F::Status));
    EXPECT_STREQ(c.statusfield->value(), "Selected Input #3");
    EXPECT_STREQ(c.ipfield->value(), "") << "only the named fields are redrawn";
    c.refresh(~0u);
    EXPECT_STREQ(c.ipfield->value(), "null");
    EXPECT_TRUE(c.bconnect->active());
    EXPECT_EQ(c.bconnect->color(), flColour(KIVO::graycol));
    EXPECT_EQ(c.outmode->value(), 2);
    EXPECT_TRUE(device_.calls().empty()) << "selecting by program runs no listener";

    gui_->setLocalname("JVK");
    c.refresh(bit(F::LocalName));
    EXPECT_STREQ(c.localname->value(), "JVK");
    gui_->EnableConnect(false);
    c.refresh(bit(F::Connect));
    EXPECT_FALSE(c.bconnect->active());
    EXPECT_EQ(c.bconnect->color(), flColour(KIVO::darkgraycol));
}

TEST_F(ControlWindowTest, CallbacksFeedTheListeners) {
    ControlWindow& c = *window_;
    c.bset[15]->do_callback();
    c.bset[0]->do_callback();
    EXPECT_EQ(LocalGUI::cmd.get(), "1");

    c.outmode->value(2);
    c.outmode->do_callback();  // as when the operator picks the item
    EXPECT_EQ(gui_->statusText(), "Output Mode = Route input to both outputs");
    EXPECT_EQ(device_.calls(), (std::vector<std::string>{"set 16", "set 1", "setoutmode 2"}));

    EXPECT_EQ(c.localname->when() & FL_WHEN_ENTER_KEY, FL_WHEN_ENTER_KEY);
    c.localname->value("0xFE0107");
    c.localname->do_callback();  // Enter
    ASSERT_EQ(hub_->b0.size(), 1u);
    EXPECT_EQ(hub_->b0[0], (std::vector<uint8_t>{0xFE, 0x01, 0x07}));
    EXPECT_EQ(KIVO::password.get(), "JVK");

    c.localname->value("localhost");
    c.bgetip->do_callback();
    EXPECT_EQ(KIVO::password.get(), "JVK");
    c.localname->do_callback();
    EXPECT_EQ(KIVO::password.get(), "localhost");
    EXPECT_EQ(hub_->lookups, (std::vector<std::string>{"localhost"}));  // Get IP Address
    EXPECT_EQ(hub_->b4, (std::vector<std::string>{"localhost"}));       // Enter
    EXPECT_EQ(gui_->localnameText(), "localhost");

    c.bconnect->do_callback();
    c.bclose->do_callback();
    EXPECT_EQ(hub_->b5, 1);
    EXPECT_EQ(hub_->b6, 1);

    c.detach();  // the LocalGUI is going away: callbacks do nothing
    c.bset[4]->do_callback();
    c.bclose->do_callback();
    EXPECT_EQ(device_.calls().size(), 3u);
    EXPECT_EQ(hub_->b6, 1);
}

TEST_F(ControlWindowTest, ClosingTheWindowEndsTheProcessWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(window_->window->do_callback(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
