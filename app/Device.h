#pragma once
// What every device driver offers to the hub, the client session and the window.
#include <string>

class Device {
public:
    Device() = default;
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    virtual void set(int input) = 0;
    virtual void status() = 0;
    virtual void DevInit() = 0;
    virtual bool ParseNetCommand(const std::string& line) = 0;
    virtual void setboardnum(int board) = 0;
    virtual void setoutmode(int mode) = 0;
};
