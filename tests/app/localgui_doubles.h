#pragma once
// Test doubles for the control window: a device and a hub that record what the window asks of them.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "app/Device.h"
#include "app/LocalCAM.h"

namespace localgui_doubles {

class RecordingDevice : public Device {
public:
    void set(int input) override { log("set " + std::to_string(input)); }
    void status() override {}
    void DevInit() override {}
    bool ParseNetCommand(const std::string&) override { return true; }
    void setboardnum(int) override {}
    void setoutmode(int mode) override { log("setoutmode " + std::to_string(mode)); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

private:
    void log(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(s);
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

// The real hub (no serial port, no listening socket) with the four window commands recorded.
class RecordingHub : public LocalCAM {
public:
    RecordingHub() : LocalCAM("COM0", "KIVO16", 3001, 9600, 8, 1, "None", "None") {}
    bool CommandB0(const std::vector<uint8_t>& bytes) override {
        b0.push_back(bytes);
        return true;
    }
    void CommandB4(const std::string& text) override { b4.push_back(text); }
    void LookUpHost(const std::string& text) override { lookups.push_back(text); }
    void CommandB5() override { ++b5; }
    void CommandB6() override { ++b6; }

    std::vector<std::vector<uint8_t>> b0;
    std::vector<std::string> b4;
    std::vector<std::string> lookups;
    int b5 = 0;
    int b6 = 0;
};

}  // namespace localgui_doubles
