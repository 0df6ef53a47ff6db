// Stand-in for a build without the router-protocol face.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

std::string routerFaceMissing() { return "--router-port, the router-protocol face: left out of this build"; }
int startRouterFace(int) { throw std::runtime_error("this build has no router-protocol face"); }

}  // namespace parts
