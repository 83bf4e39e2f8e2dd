# Writes a C++ file that holds the page's files as byte arrays (see
# src/ui/static_files.h). Run as a script: cmake -DFOLDER=... -DOUTPUT=... -P embed_files.cmake
file(GLOB files RELATIVE ${FOLDER} ${FOLDER}/*)
list(SORT files)
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
  if(IS_DIRECTORY ${FOLDER}/${name})
    continue()
  endif()
  file(READ ${FOLDER}/${name} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # An empty file still needs one byte for a valid array.
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}0x00};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
  string(APPEND arrays "const unsigned char kNone[] = {0x00};\n")
  string(APPEND table "    {\"\", kNone, 0},\n")
endif()
set(text "// Generated from tools/qsync/ui by embed_files.cmake; not edited by hand.
#include \"ui/static_files.h\"

namespace qsync {
namespace ui {
namespace {
${arrays}}  // namespace

const StaticFile kStaticFiles[] = {
${table}};
const size_t kStaticFileCount = ${index};

}  // namespace ui
}  // namespace qsync
")
# Unchanged content keeps its time stamp, so nothing is compiled again.
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE ${OUTPUT} "${text}")
