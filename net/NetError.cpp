#include "net/Net.h"

#include "net/Socket.h"

namespace net {

NetError NetError::fromErrno(const std::string& call, int errnum)
{
    return NetError(call + ": " + sys::errorText(errnum));
}

}  // namespace net
