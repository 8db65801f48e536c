# Writes the live view's page files into one C++ source:
#   cmake -DSOURCE_DIR=<web dir> -DFILES=index.html,app.js -DOUTPUT=<file.cpp> -P embed.cmake
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")

string(REPLACE "," ";" FILES "${FILES}")
set(arrays "")
set(entries "")
set(n 0)
foreach(name IN LISTS FILES)
  get_filename_component(ext "${name}" LAST_EXT)
  string(SUBSTRING "${ext}" 1 -1 ext)
  if(NOT DEFINED types_${ext})
    message(FATAL_ERROR "embed.cmake: no content type for ${name}")
  endif()
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  if(hex STREQUAL "")
    message(FATAL_ERROR "embed.cmake: ${name} is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # Sixteen bytes a line (CMake's expressions have no {n}).
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n    " hex "${hex}")
  string(APPEND arrays "constexpr unsigned char k${n}[] = {\n    ${hex}};\n")
  string(APPEND entries "    {\"/${name}\", \"${types_${ext}}\", k${n}, sizeof k${n}},\n")
  math(EXPR n "${n} + 1")
endforeach()

set(text "// generated from host/runner/web/ by embed.cmake at build time, do not edit
#include \"web_assets.h\"

namespace {

${arrays}
constexpr WebAsset kAssets[] = {
${entries}};

}  // namespace

const WebAsset* find_web_asset(const std::string& path) {
  for (const WebAsset& asset : kAssets)
    if (path == asset.path) return &asset;
  return nullptr;
}
")
# Rewritten only when the text changes, so that an unchanged page does not
# rebuild qrn-host.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
