// The control window's state and listeners, with no display: a recording device and a hub whose
// window commands are recorded instead of carried out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/CommandScope.h"
#include "app/Device.h"
#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "tests/app/localgui_doubles.h"

namespace {

using localgui_doubles::RecordingDevice;
using localgui_doubles::RecordingHub;

class RecordingView : public LocalGUIView {
public:
    explicit RecordingView(std::vector<Field>& log) : log_(log) {}
    void changed(Field field) override { log_.push_back(field); }

private:
    std::vector<Field>& log_;
};

class LocalGUITest : public ::testing::Test {
protected:
    void SetUp() override {
        KIVO::autoaccept = false;
        KIVO::outmode = 2;
        KIVO::password = std::string("JVK");
        KIVO::headless = false;
        hub_ = std::make_unique<RecordingHub>();
        LocalGUI::scam = nullptr;
        LocalGUI::cam = nullptr;
    }
    void TearDown() override {
        LocalGUI::scam = nullptr;
        LocalGUI::cam = nullptr;
        LocalGUI::viewFactory = nullptr;
        hub_.reset();
        KIVO::autoaccept = true;
        KIVO::outmode = 2;
        KIVO::password = std::string("JVK");
        KIVO::headless = false;
    }
    // What start-up's step 4 does: the window gets its hub.
    void handOverHub() {
        LocalGUI::scam = hub_.get();
        LocalGUI::cam = &device_;
    }

    RecordingDevice device_;
    std::unique_ptr<RecordingHub> hub_;
};

TEST_F(LocalGUITest, ConstructionShowsPortAndStartState) {
    KIVO::outmode = 1;
    LocalGUI gui(3007, "ignored");
    EXPECT_EQ(gui.portText(), "3007");
    EXPECT_EQ(gui.statusText(), "");
    EXPECT_EQ(gui.ipText(), "");
    EXPECT_EQ(gui.localnameText(), "");
    EXPECT_FALSE(gui.connectEnabled());
    EXPECT_EQ(gui.connectColour(), KIVO::darkgraycol);
    EXPECT_EQ(gui.outModeIndex(), 1);
    EXPECT_TRUE(device_.calls().empty()) << "showing the configured routing must not set the device";

    for (int bad : {-1, 3, 255}) {
        KIVO::outmode = bad;
        LocalGUI other(3001, "KIVO16");
        EXPECT_EQ(other.outModeIndex(), 0) << bad;
    }
}

TEST_F(LocalGUITest, DisplayOperationsReplaceStateAndNotifyTheView) {
    std::vector<LocalGUIView::Field> seen;
    LocalGUI::viewFactory = [&](LocalGUI&) { return std::make_unique<RecordingView>(seen); };
    LocalGUI gui(3001, "KIVO16");
    using F = LocalGUIView::Field;

    gui.ShowStatus("first");
    gui.ShowStatus("second");
    EXPECT_EQ(gui.statusText(), "second");
    gui.ShowIP(std::string("host/127.0.0.1"));
    EXPECT_EQ(gui.ipText(), "host/127.0.0.1");
    gui.ShowIP(std::nullopt);
    EXPECT_EQ(gui.ipText(), "null");
    gui.EnableConnect(true);
    EXPECT_TRUE(gui.connectEnabled());
    EXPECT_EQ(gui.connectColour(), KIVO::graycol);
    gui.EnableConnect(false);
    EXPECT_FALSE(gui.connectEnabled());
    EXPECT_EQ(gui.connectColour(), KIVO::darkgraycol);
    gui.ShowOutMode(0);
    gui.ShowOutMode(7);  // names no item: ignored
    EXPECT_EQ(gui.outModeIndex(), 0);
    gui.setLocalname("pw");
    EXPECT_EQ(gui.localnameText(), "pw");

    const std::vector<F> expected{F::Status, F::Status, F::IP, F::IP, F::Connect,
                                  F::Connect, F::OutMode, F::LocalName};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(device_.calls().empty()) << "selecting the routing by program runs no listener";
}

// A command's status lines and redraw requests wait until its frames are out, then all arrive, in order.
TEST_F(LocalGUITest, DuringACommandTheViewHearsOfEveryChangeWhenItEnds) {
    std::vector<std::string> statuses;
    std::vector<LocalGUIView::Field> seen;
    struct StatusView : RecordingView {
        StatusView(LocalGUI& gui, std::vector<LocalGUIView::Field>& log, std::vector<std::string>& texts)
            : RecordingView(log), gui_(gui), texts_(texts) {}
        void changed(Field field) override {
            RecordingView::changed(field);
            if (field == Field::Status) texts_.push_back(gui_.statusText());
        }
        LocalGUI& gui_;
        std::vector<std::string>& texts_;
    };
    LocalGUI::viewFactory = [&](LocalGUI& g) { return std::make_unique<StatusView>(g, seen, statuses); };
    LocalGUI gui(3001, "KIVO16");
    using F = LocalGUIView::Field;
    gui.ShowStatus("before");
    seen.clear();
    statuses.clear();
    {
        CommandScope scope;
        gui.ShowStatus("Client Command: Out2");
        gui.ShowOutMode(1);
        gui.ShowStatus("after");
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(gui.statusText(), "before");
    }
    EXPECT_EQ(seen, (std::vector<F>{F::Status, F::OutMode, F::Status}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Client Command: Out2", "after"}));
    EXPECT_EQ(gui.statusText(), "after");
    EXPECT_EQ(gui.outModeIndex(), 1);
}

TEST_F(LocalGUITest, ActionsBeforeTheHubIsHandedOverAreIgnored) {
    LocalGUI gui(3001, "KIVO16");
    LocalGUI::cam = &device_;  // the device exists; the hub reference does not yet
    LocalGUI::cmd = std::string("Set1");
    LocalGUI::cmdval = 1;
    gui.setLocalname("somehost");

    gui.onInputButton(5);
    gui.onSeloutmode(1);
    gui.onLNA("0xFE0105");
    gui.onLNA("newpass");
    gui.onBgetip();
    gui.onBconnect();
    gui.onBclose();

    EXPECT_TRUE(device_.calls().empty());
    EXPECT_TRUE(hub_->b0.empty());
    EXPECT_TRUE(hub_->b4.empty());
    EXPECT_EQ(hub_->b5 + hub_->b6, 0);
    EXPECT_EQ(KIVO::password.get(), "JVK");
    EXPECT_EQ(LocalGUI::cmd.get(), "Set1");
    EXPECT_EQ(LocalGUI::cmdval.load(), 1);
    EXPECT_EQ(gui.statusText(), "");
}

TEST_F(LocalGUITest, InputButtonsSelectTheirInput) {
    LocalGUI gui(3001, "KIVO16");
    handOverHub();
    gui.onInputButton(16);
    EXPECT_EQ(LocalGUI::cmd.get(), "16");
    EXPECT_EQ(LocalGUI::cmdval.load(), 16);
    gui.onInputButton(1);
    EXPECT_EQ(LocalGUI::cmd.get(), "1");
    EXPECT_EQ(LocalGUI::cmdval.load(), 1);
    gui.onInputButton(0);   // no such button
    gui.onInputButton(17);
    EXPECT_EQ(device_.calls(), (std::vector<std::string>{"set 16", "set 1"}));
    EXPECT_TRUE(hub_->b0.empty()) << "the device, not the window, talks to the serial port";
}

TEST_F(LocalGUITest, RoutingChoiceSetsOutputModeAndShowsItsText) {
    LocalGUI gui(3001, "KIVO16");
    handOverHub();
    gui.onSeloutmode(2);
    EXPECT_EQ(gui.statusText(), "Output Mode = Route input to both outputs");
    gui.onSeloutmode(0);
    EXPECT_EQ(gui.statusText(), "Output Mode = Route input to output #1");
    EXPECT_EQ(device_.calls(), (std::vector<std::string>{"setoutmode 2", "setoutmode 0"}));
    EXPECT_TRUE(hub_->b0.empty()) << "choosing a routing sends nothing";
}

TEST_F(LocalGUITest, HostPwdEnterSendsHexOrChangesPassword) {
    LocalGUI gui(3001, "KIVO16");
    handOverHub();

    gui.onLNA("0xFE0107");
    EXPECT_EQ(gui.statusText(), "CMD = FE0107");
    ASSERT_EQ(hub_->b0.size(), 1u);
    EXPECT_EQ(hub_->b0[0], (std::vector<uint8_t>{0xFE, 0x01, 0x07}));
    EXPECT_EQ(KIVO::password.get(), "JVK");

    gui.onLNA("0x" + std::string(2 * KIVO::maxRawBytes + 2, 'F'));  // refused whole, as from a client
    EXPECT_EQ(gui.statusText(), "Raw command too long: at most 512 bytes");
    ASSERT_EQ(hub_->b0.size(), 1u);

    gui.onLNA("0x");  // no digits: no bytes
    EXPECT_EQ(gui.statusText(), "CMD = ");
    ASSERT_EQ(hub_->b0.size(), 2u);
    EXPECT_TRUE(hub_->b0[1].empty());
    EXPECT_TRUE(hub_->b4.empty());

    gui.onLNA("localhost");
    EXPECT_EQ(KIVO::password.get(), "localhost");
    gui.onLNA("0X12");  // the prefix is lower-case "0x" only
    EXPECT_EQ(KIVO::password.get(), "0X12");
    gui.onLNA("0");
    EXPECT_EQ(KIVO::password.get(), "0");
    gui.onLNA("");  // looks this machine up, and keeps the password: an empty one would let anyone in
    EXPECT_EQ(KIVO::password.get(), "0");
    EXPECT_EQ(gui.statusText(), "The password is unchanged: an empty one is not taken");
    EXPECT_EQ(hub_->b4, (std::vector<std::string>{"localhost", "0X12", "0"}));
    EXPECT_EQ(hub_->lookups, (std::vector<std::string>{""}));
    EXPECT_EQ(hub_->b0.size(), 2u);
}

TEST_F(LocalGUITest, NetworkButtonsReachTheHub) {
    LocalGUI gui(3001, "KIVO16");
    handOverHub();
    gui.setLocalname("localhost");
    gui.onBgetip();
    EXPECT_EQ(hub_->lookups, (std::vector<std::string>{"localhost"}));
    EXPECT_TRUE(hub_->b4.empty()) << "no \"New Password=\" line: the password did not change";
    EXPECT_EQ(KIVO::password.get(), "JVK") << "looking up an address never changes the password";
    gui.onBconnect();
    gui.onBclose();
    gui.onBclose();
    EXPECT_EQ(hub_->b5, 1);
    EXPECT_EQ(hub_->b6, 2);
}

TEST_F(LocalGUITest, HeadlessStatusLinesGoToTheConsole) {
    LocalGUI gui(3001, "KIVO16");
    testing::internal::CaptureStdout();
    gui.ShowStatus("not echoed");
    KIVO::headless = true;
    gui.ShowStatus("Selected Input #5");
    KIVO::headless = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Selected Input #5\n");
    EXPECT_EQ(gui.statusText(), "Selected Input #5");
}

TEST_F(LocalGUITest, PasswordStaysInTheWindowOnly) {
    LocalGUI gui(3001, "KIVO16");
    std::vector<std::string> observed;
    gui.addStatusObserver([&observed](const std::string& text) { observed.push_back(text); });
    testing::internal::CaptureStdout();
    KIVO::headless = true;
    gui.ShowStatus("Password = JVK OK", "Password = *** OK");
    KIVO::headless = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Password = *** OK\n");
    EXPECT_EQ(gui.statusText(), "Password = JVK OK");
    EXPECT_EQ(gui.outsideStatusText(), "Password = *** OK");
    EXPECT_EQ(observed, std::vector<std::string>{"Password = *** OK"});
}

TEST_F(LocalGUITest, StatusWrittenFromManyThreadsKeepsOneWholeText) {
    LocalGUI gui(3001, "KIVO16");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&gui, t] {
            for (int i = 0; i < 200; ++i) {
                gui.ShowStatus("writer " + std::to_string(t));
                gui.EnableConnect(i % 2 == 0);
                gui.ShowOutMode(i % 3);
            }
        });
    }
    for (int i = 0; i < 200; ++i) (void)gui.statusText();
    for (auto& w : writers) w.join();
    const std::string final = gui.statusText();
    EXPECT_EQ(final.rfind("writer ", 0), 0u);
    EXPECT_EQ(final.size(), 8u);
}

TEST(LocalGUIClosing, WindowClosingEndsTheProcessWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(LocalGUI::onWindowClosing(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
