# Writes the linker's export file of the shared library from the list of entry
# points, so that the library exports exactly the listed names and nothing
# else (no runtime, no standard-library instantiations, no internal function).
#
# Inputs: NM (nm of the target toolchain), OBJECTS (file naming the library's
# object files, one a line), EXPECTED (the list, see ExportList.cmake),
# FORMAT (def: module-definition file for the Windows linker; version: version
# script for the ELF linker), SYMBOL_PREFIX (the user-label prefix the target
# puts before every name in its object files: "_" on 32-bit Windows), OUTPUT.
#
# An entry that no object defines is left out (a module-definition file may
# name defined symbols only); the export check then reports it missing. A
# compiler may omit a symbol that no code can use, such as the complete-object
# constructor of an abstract class.
#
# The object files decide which alternative of a '|' entry applies, and which
# names are data: a module-definition file must mark variables DATA, so that
# the import library gives hosts only their __imp_ pointer and no code stub
# under the variable's own name.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/ExportList.cmake)

file(STRINGS "${OBJECTS}" _objects)
tarn_tool_output(_out "the library's objects" ${NM} -g --defined-only -P ${_objects})

# nm -P prints "name type value [size]" for each symbol.
string(REGEX MATCHALL "[^\n]+" _lines "${_out}")
set(_defined "")
set(_data "")
string(LENGTH "${SYMBOL_PREFIX}" _prefix_length)
foreach(_line IN LISTS _lines)
  if(NOT _line MATCHES "^([^ ]+) ([A-Za-z]) ")
    continue()
  endif()
  set(_name "${CMAKE_MATCH_1}")
  set(_type "${CMAKE_MATCH_2}")
  if(_prefix_length GREATER 0)
    string(FIND "${_name}" "${SYMBOL_PREFIX}" _at)
    if(NOT _at EQUAL 0)
      continue()
    endif()
    string(SUBSTRING "${_name}" ${_prefix_length} -1 _name)
  endif()
  list(APPEND _defined "${_name}")
  if(_type MATCHES "^[BbDdRrCcGgSsVvu]$")
    list(APPEND _data "${_name}")
  endif()
endforeach()

tarn_read_export_list("${EXPECTED}" _entries _patterns)
set(_exports "")
set(_problems "")
foreach(_entry IN LISTS _entries)
  string(REPLACE "|" ";" _alternatives "${_entry}")
  set(_chosen "")
  foreach(_name IN LISTS _alternatives)
    if("${_name}" IN_LIST _defined)
      list(APPEND _chosen "${_name}")
    endif()
  endforeach()
  list(LENGTH _chosen _count)
  if(_count EQUAL 1)
    list(APPEND _exports "${_chosen}")
  elseif(_count GREATER 1)
    list(APPEND _problems "more than one alternative defined: ${_entry}")
  endif()
endforeach()
if(_problems)
  string(REPLACE ";" "\n  " _text "${_problems}")
  message(FATAL_ERROR "entry points of ${EXPECTED}:\n  ${_text}")
endif()

if(FORMAT STREQUAL "def")
  set(_text "; Generated from ${EXPECTED}; do not edit.\nEXPORTS\n")
  foreach(_name IN LISTS _exports)
    if("${_name}" IN_LIST _data)
      string(APPEND _text "  ${_name} DATA\n")
    else()
      string(APPEND _text "  ${_name}\n")
    endif()
  endforeach()
elseif(FORMAT STREQUAL "version")
  set(_text "/* Generated from ${EXPECTED}; do not edit. */\n{\n  global:\n")
  foreach(_name IN LISTS _exports)
    string(APPEND _text "    ${_name};\n")
  endforeach()
  string(APPEND _text "  local:\n    *;\n};\n")
else()
  message(FATAL_ERROR "unknown export file format '${FORMAT}'")
endif()
file(WRITE "${OUTPUT}" "${_text}")
