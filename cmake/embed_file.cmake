# Turns a file into a C++ header holding its bytes, so that the program
# carries the file inside itself and never reads it from the disk.
#   cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<identifier> -P embed_file.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
get_filename_component(source_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
  "// Generated at build time from ${source_name}; edit that file instead.\n"
  "#pragma once\n#include <cstddef>\n"
  "inline constexpr unsigned char ${NAME}[] = {\n${bytes}\n};\n"
  "inline constexpr std::size_t ${NAME}Size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
