# Writes OUTPUT, a C++ file holding the page's files as byte arrays and the table web::assets.
# Run at build time: cmake -DOUTPUT=... -DPAGE_DIR=... -P EmbedAssets.cmake
set(files "index.html|/|text/html" "app.js|/app.js|text/javascript" "style.css|/style.css|text/css")
set(arrays "")
set(table "")
set(n 0)
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  list(GET parts 2 type)
  file(READ "${PAGE_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char file${n}[] = {\n    ${bytes}0};\n")
  string(APPEND table "    {\"${path}\", \"${type}; charset=utf-8\", {reinterpret_cast<const char*>(file${n}), ${size}}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
"// Generated from web/page/ by web/EmbedAssets.cmake; do not edit.
#include \"web/Assets.h\"

namespace web {
namespace {
${arrays}}  // namespace

const Asset assets[] = {
${table}};
const size_t assetCount = ${n};

}  // namespace web
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
