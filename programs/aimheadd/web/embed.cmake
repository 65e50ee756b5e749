# SPDX-License-Identifier: MIT
# Writes OUTPUT, a C++ file holding the web page's files as byte arrays, so
# that the daemon serves them without reading anything at run time.
# Called as: cmake -DOUTPUT=file.cpp -DASSETS="a.html;b.js" -P embed.cmake
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")

set(arrays "")
set(table "")
set(index 0)
foreach(asset IN LISTS ASSETS)
  get_filename_component(name "${asset}" NAME)
  get_filename_component(extension "${asset}" LAST_EXT)
  string(SUBSTRING "${extension}" 1 -1 extension)
  file(READ "${asset}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "constexpr char kAsset${index}[] = {${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${types_${extension}}\", {kAsset${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.new" "// Generated from the files in web/ at build time; do not edit.
#include \"web_assets.h\"

#include <array>

namespace aimheadd {

namespace {

${arrays}
constexpr std::array<WebAsset, ${index}> kAssets{{
${table}}};

} // namespace

const WebAsset *findWebAsset(std::string_view path)
{
    if (path == \"/\")
        path = \"/index.html\";
    for (const WebAsset &asset : kAssets) {
        if (asset.path == path)
            return &asset;
    }
    return nullptr;
}

} // namespace aimheadd
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
