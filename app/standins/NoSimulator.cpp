// Stand-in for a build without the simulated selector.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

bool simulatorBuilt() { return false; }
std::string startSimulator(std::function<void(const std::string&)>) {
    throw std::runtime_error("this build has no simulated selector");
}

}  // namespace parts
