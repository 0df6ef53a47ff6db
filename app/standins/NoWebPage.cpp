// Stand-in for a build without the web control page.
#include <stdexcept>

#include "app/Parts.h"

namespace parts {

std::string webPageMissing() {
#ifdef _WIN32
    return "--http-port, the web control page: its HTTP library (cpp-httplib) is not\n"
           "    available for MinGW in Debian, where the Windows programs are built";
#else
    return "--http-port, the web control page: its HTTP library (cpp-httplib) or JSON\n"
           "    library (nlohmann-json) was not found when this program was built";
#endif
}
int startWebPage(int) { throw std::runtime_error("this build has no web page"); }

}  // namespace parts
