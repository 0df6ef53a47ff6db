// Stand-in for a build without the simulated selector.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

std::string simulatorMissing() {
    return "--simulate, the simulated selector: it talks to the server through a\n"
           "    pseudo-terminal, which Windows does not have";
}
std::string startSimulator(std::function<void(const std::string&)>) {
    throw std::runtime_error("this build has no simulated selector");
}

}  // namespace parts
