# Turns one readable resource file into a C++ source and header that hold its
# bytes unchanged, so the program carries the resource inside itself.
#   cmake -DSOURCE=<file> -DOUTPUT_DIR=<dir> -DNAME=<symbol> -P EmbedText.cmake
# writes <dir>/<symbol>.h declaring `resources::<symbol>` (a string_view over
# the bytes, NUL-terminated in memory) and <dir>/<symbol>.cpp defining it.
foreach(_var SOURCE OUTPUT_DIR NAME)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "EmbedText.cmake needs -D${_var}=...")
  endif()
endforeach()

file(READ "${SOURCE}" _hex HEX)
string(LENGTH "${_hex}" _hexLength)
math(EXPR _size "${_hexLength} / 2")
# Sixteen bytes a line keeps the generated source readable in a debugger.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _bytes "${_bytes}")
get_filename_component(_sourceName "${SOURCE}" NAME)

file(WRITE "${OUTPUT_DIR}/${NAME}.h.new"
"// Generated from resources/${_sourceName} at build time; do not edit.
#pragma once

#include <string_view>

namespace resources {
extern const std::string_view ${NAME};
}  // namespace resources
")
file(WRITE "${OUTPUT_DIR}/${NAME}.cpp.new"
"// Generated from resources/${_sourceName} at build time; do not edit.
#include \"resources/${NAME}.h\"

namespace resources {
namespace {
const unsigned char kBytes[] = {
    ${_bytes}0x00};
}  // namespace
const std::string_view ${NAME}{reinterpret_cast<const char*>(kBytes), ${_size}};
}  // namespace resources
")
# Only a changed resource touches the outputs, so an unchanged one does not
# rebuild its users.
foreach(_ext h cpp)
  file(COPY_FILE "${OUTPUT_DIR}/${NAME}.${_ext}.new" "${OUTPUT_DIR}/${NAME}.${_ext}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT_DIR}/${NAME}.${_ext}.new")
endforeach()
