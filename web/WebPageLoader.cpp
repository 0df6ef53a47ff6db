// The web control page as a part of the program (see app/Parts.h). The page lives in a module of
// its own (web/WebPagePart.cpp), loaded only when --http-port asks for it, so a server without the
// page never maps the HTTP library nor the TLS and compression libraries that come with it.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "app/Parts.h"
#include "web/WebPageModule.h"

namespace parts {

namespace {

// The folder of the running program, whatever the working folder.
std::filesystem::path programFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path(".") : program.parent_path();
}

// Beside the program in a build folder, else where an installation puts it: KIVO_WEB_MODULE_DIR,
// relative to the program's folder.
std::string modulePath() {
    const std::filesystem::path folder = programFolder();
    const std::filesystem::path beside = folder / KIVO_WEB_MODULE;
    if (::access(beside.c_str(), F_OK) == 0) return beside.string();
    return (folder / KIVO_WEB_MODULE_DIR / KIVO_WEB_MODULE).lexically_normal().string();
}

// The loader's reason, without the file name it starts with when the line names the file already.
std::string loadError(const std::string& path) {
    const char* raw = ::dlerror();
    std::string why = raw ? raw : "unknown error";
    if (why.compare(0, path.size() + 2, path + ": ") == 0) why.erase(0, path.size() + 2);
    return "cannot load " + path + ": " + why;
}

}  // namespace

std::string webPageMissing() { return ""; }

int startWebPage(int port) {
    const std::string path = modulePath();
    // Never closed: the page serves for as long as the process lives.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) throw std::runtime_error(loadError(path));
    auto start = reinterpret_cast<web::ModuleStart>(::dlsym(module, web::moduleStartName));
    if (!start) throw std::runtime_error(loadError(path));
    char error[512] = "";
    const int given = start(port, error, sizeof error);
    if (given < 0) throw std::runtime_error(error);
    return given;
}

}  // namespace parts
