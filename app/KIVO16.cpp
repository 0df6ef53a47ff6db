#include "app/KIVO16.h"

#include <mutex>

#include "app/KIVO.h"
#include "app/LocalCAM.h"
#include "app/LocalGUI.h"

std::atomic<int> KIVO16::outmode{2};
std::atomic<int> KIVO16::boardnum{0};
std::array<uint8_t, 3> KIVO16::kivocmd1{0xFE, 0x01, 0x01};
std::array<uint8_t, 3> KIVO16::kivocmd2{0xFE, 0x02, 0x01};
std::atomic<bool> KIVO16::a{false};

void KIVO16::set(int input) {
    bool sent = false;
    {
        // One whole selection at a time: both frames leave together, whichever thread asks.
        std::unique_lock<std::recursive_mutex> lock(LocalCAM::critsect, std::defer_lock);
        LocalCAM::takeLine(lock);
        const auto n = static_cast<uint8_t>(input);
        kivocmd1[2] = n;
        kivocmd2[2] = n;
        const std::vector<uint8_t> cmd1(kivocmd1.begin(), kivocmd1.end());
        const std::vector<uint8_t> cmd2(kivocmd2.begin(), kivocmd2.end());
        switch (outmode.load()) {
        case 0:
            a = CommandB0(cmd1);
            break;
        case 1:
            a = CommandB0(cmd2);
            break;
        case 2: {
            // Both frames are sent whatever the first one's fate; the selection is done only when
            // every frame it sent was written.
            const bool first = CommandB0(cmd1);
            const bool second = CommandB0(cmd2);
            a = first && second;
            break;
        }
        default:
            break;
        }
        sent = a;
    }
    if (sent) ShowStat("Selected Input #" + std::to_string(input));
}

void KIVO16::status() {}

void KIVO16::DevInit() {
    outmode = 2;
    set(1);
}

bool KIVO16::ParseNetCommand(const std::string& line) {
    bool result = false;
    // Every client line comes here: only a "Set" line is compared with the sixteen input numbers.
    if (line.compare(0, 3, "Set") == 0) {
        for (int n = 1; n <= 16; ++n) {
            if (line.compare(3, std::string::npos, std::to_string(n)) == 0) {
                set(n);
                result = true;
                break;
            }
        }
    }
    if (line == "Out1") {
        setoutmode(0);
        result = true;
    }
    if (line == "Out2") {
        setoutmode(1);
        result = true;
    }
    if (line == "Out3") {
        setoutmode(2);
        result = true;
    }
    return result;
}

void KIVO16::setboardnum(int board) { boardnum = board; }

void KIVO16::setoutmode(int mode) {
    outmode = mode;
    if (LocalCAM* hub = KIVO::scam.load()) hub->gui().ShowOutMode(mode);
}

bool KIVO16::CommandB0(const std::vector<uint8_t>& bytes) {
    LocalCAM* hub = KIVO::scam.load();
    return hub != nullptr && hub->CommandB0(bytes);
}

void KIVO16::DelayT(int ms) {
    if (LocalCAM* hub = KIVO::scam.load()) hub->DelayT(ms);
}

void KIVO16::ShowStat(const std::string& text) {
    if (LocalCAM* hub = KIVO::scam.load()) hub->ShowStat(text);
}

std::array<uint8_t, 3> KIVO16::frame1() {
    std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
    return kivocmd1;
}

std::array<uint8_t, 3> KIVO16::frame2() {
    std::lock_guard<std::recursive_mutex> lock(LocalCAM::critsect);
    return kivocmd2;
}
