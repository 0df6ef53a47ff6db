#pragma once
// Driver of the 16-input, 2-output selector: turns input selections and client command words into
// three-byte frames (FE, output 01/02, input 01..10) sent through the hub.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Device.h"

class KIVO16 : public Device {
public:
    // Driver state is shared by every caller; the frame templates are only touched while the hub's
    // critsect is held, so one selection's frames always leave whole.
    static std::atomic<int> outmode;   // 0 output 1, 1 output 2, 2 both
    static std::atomic<int> boardnum;
    static std::array<uint8_t, 3> kivocmd1;  // FE 01 nn
    static std::array<uint8_t, 3> kivocmd2;  // FE 02 nn
    static std::atomic<bool> a;        // every frame of the last selection was handed to the serial port

    KIVO16() = default;

    void set(int input) override;
    void status() override;
    void DevInit() override;
    bool ParseNetCommand(const std::string& line) override;
    void setboardnum(int board) override;
    void setoutmode(int mode) override;

    virtual bool CommandB0(const std::vector<uint8_t>& bytes);
    virtual void DelayT(int ms);
    virtual void ShowStat(const std::string& text);

    // Copies of the frame templates, read under the hub's critsect.
    static std::array<uint8_t, 3> frame1();
    static std::array<uint8_t, 3> frame2();
};
