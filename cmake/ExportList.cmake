# Reading the list of the library's entry points (tests/exports.txt), shared by
# the script that writes the linker's export file and by the export check,
# and running the tools that read symbol tables for both.
#
# The list holds one entry a line; '#' starts a comment. An entry may give
# alternatives separated by '|', for mangled names whose spelling depends on
# the width of a type: exactly one of them names the entry point on a given
# target. A line starting with '!' holds a regular expression that no exported
# name may match: library-internal functions that must stay out of the export
# table.
#
# tarn_read_export_list(<file> <entries-var> <patterns-var>) sets
# <entries-var> to the entries (each still '|'-separated) and <patterns-var>
# to the regular expressions.
function(tarn_read_export_list file entries_var patterns_var)
  file(STRINGS "${file}" _lines)
  set(_entries "")
  set(_patterns "")
  foreach(_line IN LISTS _lines)
    string(REGEX REPLACE "#.*$" "" _line "${_line}")
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "")
      continue()
    endif()
    if(_line MATCHES "^!")
      string(SUBSTRING "${_line}" 1 -1 _pattern)
      list(APPEND _patterns "${_pattern}")
    else()
      list(APPEND _entries "${_line}")
    endif()
  endforeach()
  set(${entries_var} "${_entries}" PARENT_SCOPE)
  set(${patterns_var} "${_patterns}" PARENT_SCOPE)
endfunction()

# tarn_tool_output(<out-var> <what> <command>...) runs a tool and sets
# <out-var> to what it printed; a tool that fails stops the script, naming
# <what> it was run on.
function(tarn_tool_output out_var what)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    list(GET ARGN 0 _tool)
    message(FATAL_ERROR "${_tool} failed on ${what}")
  endif()
  set(${out_var} "${_out}" PARENT_SCOPE)
endfunction()
