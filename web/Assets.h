#pragma once
// The page's files, built into the web module from web/page/ at build time.
#include <cstddef>
#include <string_view>

namespace web {

struct Asset {
    std::string_view path;  // "/", "/app.js", "/style.css"
    std::string_view type;  // its Content-Type
    std::string_view body;
};

extern const Asset assets[];
extern const size_t assetCount;

}  // namespace web
