// Stand-in for a build without the router-protocol face.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

bool routerFaceBuilt() { return false; }
int startRouterFace(int) { throw std::runtime_error("this build has no router-protocol face"); }

}  // namespace parts
