// The web control page as a part of the program (see app/Parts.h).
#include <memory>
#include <stdexcept>

#include "app/KIVO.h"
#include "app/Parts.h"
#include "web/WebFace.h"

namespace parts {

std::string webPageMissing() { return ""; }

int startWebPage(int port) {
    LocalCAM* hub = KIVO::scam.load();
    if (!hub) throw std::runtime_error("the server did not start");
    static std::unique_ptr<web::WebFace> face;  // lives as long as the process
    std::string error;
    face = web::WebFace::start(*hub, port, error);
    if (!face) throw std::runtime_error(error);
    return face->port();
}

}  // namespace parts
