#include "net/Net.h"

#include <cstring>

namespace net {

NetError NetError::fromErrno(const std::string& call, int errnum)
{
    char text[256];
    // The GNU strerror_r returns the text (possibly a static string, not `text`).
    const char* message = strerror_r(errnum, text, sizeof text);
    return NetError(call + ": " + message);
}

}  // namespace net
