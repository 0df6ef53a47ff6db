#pragma once
// The one entry of the web page's module (kivonet-web.so), which the program looks up by name after
// loading the module when --http-port asks for the page.
#include <cstddef>

extern "C" {
// Serves the control page of the running hub (KIVO::scam) on `port` for as long as the process
// lives; gives the port, or -1 with the reason in `error` (cut to `errorSize`, always terminated).
int kivonet_web_start(int port, char* error, std::size_t errorSize);
}

namespace web {
using ModuleStart = decltype(&kivonet_web_start);
constexpr const char* moduleStartName = "kivonet_web_start";
}  // namespace web
