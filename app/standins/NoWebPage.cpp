// Stand-in for a build without the web control page.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

bool webPageBuilt() { return false; }
int startWebPage(int) { throw std::runtime_error("this build has no web page"); }

}  // namespace parts
