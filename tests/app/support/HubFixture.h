#pragma once
// A hub on a free loopback port with a recording serial port, a status-line log and a fake name
// service; torn down after each test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/ClientSocket.h"
#include "app/KIVO.h"
#include "app/KIVO16.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"
#include "app/SerOutPort.h"
#include "app/TimeOut.h"
#include "net/Net.h"
#include "tests/app/support/RecordingSerOutPort.h"

// Every status line shown, in order.
class StatusLog {
public:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    bool contains(const std::string& text) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    size_t count(const std::string& text) const {
        const auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), text));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class StatusLogView : public LocalGUIView {
public:
    StatusLogView(LocalGUI& gui, std::shared_ptr<StatusLog> log) : gui_(gui), log_(std::move(log)) {}
    void changed(Field field) override {
        if (field == Field::Status) log_->add(gui_.statusText());
    }

private:
    LocalGUI& gui_;
    std::shared_ptr<StatusLog> log_;
};

inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class HubTest : public ::testing::Test {
protected:
    using Frame = RecordingSerOutPort::Frame;

    void SetUp() override {
        KIVO::password = std::string("JVK");
        KIVO::to = 5;
        KIVO::autoaccept = true;
        KIVO::outmode = 2;
        KIVO16::outmode = 2;
        net::setResolverForTesting([](const std::string& name) -> std::optional<std::string> {
            if (name.empty()) return std::string("testhost/127.0.0.1");
            if (name == "localhost") return std::string("localhost/127.0.0.1");
            return std::nullopt;
        });
        LocalGUI::viewFactory = [log = log](LocalGUI& gui) -> std::unique_ptr<LocalGUIView> {
            return std::make_unique<StatusLogView>(gui, log);
        };
        LocalCAM::serOutPortFactory = [this](const std::string&, const std::string&, int, int, int,
                                             const std::string&, const std::string&) {
            auto p = std::make_unique<RecordingSerOutPort>();
            port = p.get();
            SerOutPort::NoCOM = noCom;
            return std::unique_ptr<SerOutPort>(std::move(p));
        };
    }

    // Builds the hub (on a free port unless told otherwise) and hands it to the driver and window.
    void makeHub(int tcpPort = 0) {
        hub = std::make_unique<LocalCAM>("COM1", "KIVO16", tcpPort, 9600, 8, 1, "None", "None");
        KIVO::scam = hub.get();
        LocalGUI::scam = hub.get();
    }

    // Builds the hub and starts the first session, as start-up does.
    void startServing() {
        makeHub();
        ASSERT_TRUE(hub->serverSocketOpen());
        hub->CommandB5();
        ASSERT_TRUE(waitForAwaiting());
    }

    bool waitForAwaiting() {
        return waitFor([this] {
            auto s = hub->currentSession();
            return s && s->awaiting() && hub->gui().statusText() == "Awaiting Client Connection";
        });
    }

    void TearDown() override {
        hub.reset();
        KIVO::scam = nullptr;
        LocalGUI::scam = nullptr;
        LocalCAM::serOutPortFactory = [](const std::string& c, const std::string& d, int r, int db,
                                         int sb, const std::string& p, const std::string& h) {
            return std::make_unique<SerOutPort>(c, d, r, db, sb, p, h);
        };
        LocalGUI::viewFactory = nullptr;
        net::setResolverForTesting(nullptr);
        SerOutPort::NoCOM = 0;
        TimeOut::minuteMillis = 60000;
        KIVO::password = std::string("JVK");
        KIVO::to = 5;
    }

    std::vector<Frame> frames() const { return port->frames(); }

    std::shared_ptr<StatusLog> log = std::make_shared<StatusLog>();
    RecordingSerOutPort* port = nullptr;
    int noCom = 0;
    std::unique_ptr<LocalCAM> hub;
};
