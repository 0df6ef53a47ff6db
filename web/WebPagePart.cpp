// The web page's module: the face of the running hub behind the one entry the program calls (see
// web/WebPageModule.h). The hub and everything else of the program's used here are the program's own.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/KIVO.h"
#include "web/WebFace.h"
#include "web/WebPageModule.h"

namespace {

int fail(const std::string& why, char* error, std::size_t errorSize) {
    if (errorSize > 0) std::snprintf(error, errorSize, "%s", why.c_str());
    return -1;
}

}  // namespace

extern "C" int kivonet_web_start(int port, char* error, std::size_t errorSize) {
    try {
        LocalCAM* hub = KIVO::scam.load();
        if (!hub) return fail("the server did not start", error, errorSize);
        static std::unique_ptr<web::WebFace> face;  // lives as long as the process
        std::string why;
        face = web::WebFace::start(*hub, port, why);
        if (!face) return fail(why, error, errorSize);
        return face->port();
    } catch (const std::exception& e) {
        return fail(e.what(), error, errorSize);
    }
}
