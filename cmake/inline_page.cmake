# Puts a page and the parts it names together into one document: each
#   <link rel="stylesheet" href="NAME">  becomes  <style>\n(NAME's text)</style>
#   <script src="NAME"></script>         becomes  <script>\n(NAME's text)</script>
# and everything else is copied as it is (but for line ends: CMake reads text
# with LF line ends, dropping a CR before an LF, and writes the host's). The
# page can then be served as one answer under a policy that allows inline
# style and script only, while the parts stay separate files that also work
# opened from the disk. A part is a plain file name in the page's folder; a
# part that is missing, or whose text would end its element early, stops the
# build, and so does a stylesheet or script named in any other form, which
# would be left pointing at a file the server does not serve.
#   cmake -DINPUT=<page> -DOUTPUT=<assembled page> -P inline_page.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<page> -DOUTPUT=<file> -P inline_page.cmake")
endif()
get_filename_component(INPUT "${INPUT}" ABSOLUTE)
get_filename_component(folder "${INPUT}" DIRECTORY)
file(READ "${INPUT}" rest)

set(link_tag "<link rel=\"stylesheet\" href=\"([A-Za-z0-9_.-]+)\">")
set(script_tag "<script src=\"([A-Za-z0-9_.-]+)\"></script>")

# Whatever is not one of those two forms must not point at a stylesheet or
# script beside the page.
string(REGEX REPLACE "${link_tag}|${script_tag}" "" others "${rest}")
string(TOLOWER "${others}" others)
if(others MATCHES "<script[^>]* src=|<link[^>]*stylesheet")
  message(FATAL_ERROR "${INPUT} names a stylesheet or script in a form this step does not "
                      "put in line; write <link rel=\"stylesheet\" href=\"NAME\"> or "
                      "<script src=\"NAME\"></script>, NAME a file beside the page")
endif()

set(assembled "")
while(TRUE)
  string(REGEX MATCH "${link_tag}|${script_tag}" tag "${rest}")
  if(tag STREQUAL "")
    break()
  endif()
  if(tag MATCHES "^${link_tag}$")
    set(element style)
  else()
    string(REGEX MATCH "^${script_tag}$" tag "${tag}")
    set(element script)
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(part "${folder}/${name}")
  if(NOT EXISTS "${part}" OR IS_DIRECTORY "${part}")
    message(FATAL_ERROR "${INPUT} names ${name}, which is missing from ${folder}")
  endif()
  file(READ "${part}" text)
  string(TOLOWER "${text}" lower)
  string(FIND "${lower}" "</${element}" early)
  if(NOT early EQUAL -1)
    message(FATAL_ERROR "${part} holds \"</${element}\", which would end its inline element early")
  endif()
  string(FIND "${rest}" "${tag}" at)
  string(SUBSTRING "${rest}" 0 ${at} before)
  string(LENGTH "${tag}" tag_length)
  math(EXPR after "${at} + ${tag_length}")
  string(SUBSTRING "${rest}" ${after} -1 rest)
  string(APPEND assembled "${before}<${element}>\n${text}</${element}>")
endwhile()
string(APPEND assembled "${rest}")

file(WRITE "${OUTPUT}.tmp" "${assembled}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
