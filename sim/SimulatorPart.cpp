// The simulated selector as a part of the program.
#include <memory>

#include "app/Parts.h"
#include "sim/KivoSim.h"

namespace parts {

std::string simulatorMissing() { return ""; }

std::string startSimulator(std::function<void(const std::string&)> report) {
    // Never freed: the server uses its device until the process ends.
    static std::unique_ptr<SimulatedSelector> selector;
    selector = std::make_unique<SimulatedSelector>(std::move(report));
    selector->start();
    return selector->devicePath();
}

}  // namespace parts
