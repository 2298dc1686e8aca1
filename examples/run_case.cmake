# Runs the example host once and checks its exit status and what it prints
# (both streams, line ends read as blanks so that " +" spans them). A run
# that does not succeed must print no second-run hint and must leave the
# folder its --out names (the first component of the path) exactly as it was:
# the same files with the same contents, or no folder at all.
#
#   cmake -DHOST=program -DEMULATOR=runner -DDIR=folder -DARGS="a b c"
#         -DEXIT=status -DEXPECT=regex -P run_case.cmake
#
# EMULATOR may be empty; ARGS are separated by blanks; DIR is the working
# folder of the run.
separate_arguments(_args UNIX_COMMAND "${ARGS}")

set(_out "tarn-example-out")
list(FIND _args "--out" _at)
list(LENGTH _args _count)
math(EXPR _value "${_at} + 1")
if(_at GREATER -1 AND _value LESS _count)
  list(GET _args ${_value} _out)
endif()
# The output folder, absolute, and the folder a failed run must leave as it
# was: the output folder's first component below DIR (a run creates missing
# parents), or the output folder itself when it lies outside DIR.
cmake_path(ABSOLUTE_PATH _out BASE_DIRECTORY "${DIR}" NORMALIZE OUTPUT_VARIABLE _outdir)
cmake_path(RELATIVE_PATH _outdir BASE_DIRECTORY "${DIR}" OUTPUT_VARIABLE _below)
if(_below MATCHES "^\\.\\.")
  set(_top "${_outdir}")
else()
  string(REGEX REPLACE "/.*$" "" _below "${_below}")
  set(_top "${DIR}/${_below}")
endif()

# The files below `folder` with a hash of each, or <none>.
function(snapshot folder result)
  if(NOT EXISTS "${folder}")
    set(${result} "<none>" PARENT_SCOPE)
    return()
  endif()
  set(_state "")
  file(GLOB_RECURSE _files LIST_DIRECTORIES true RELATIVE "${folder}" "${folder}/*")
  list(SORT _files)
  foreach(_file IN LISTS _files)
    if(IS_DIRECTORY "${folder}/${_file}")
      list(APPEND _state "${_file}/")
    else()
      file(SHA256 "${folder}/${_file}" _hash)
      list(APPEND _state "${_file}=${_hash}")
    endif()
  endforeach()
  set(${result} "${_state}" PARENT_SCOPE)
endfunction()

# The sizes of the text dumps in the output folder, 0 for a missing one.
set(_dumps qel_cfg.txt orvan_cfg.txt currents_cfg.txt)
function(dump_sizes result)
  set(_sizes "")
  foreach(_dump IN LISTS _dumps)
    set(_size 0)
    if(EXISTS "${_outdir}/${_dump}" AND NOT IS_DIRECTORY "${_outdir}/${_dump}")
      file(SIZE "${_outdir}/${_dump}" _size)
    endif()
    list(APPEND _sizes ${_size})
  endforeach()
  set(${result} "${_sizes}" PARENT_SCOPE)
endfunction()

snapshot("${_top}" _before)
dump_sizes(_dumps_before)
# The host prints something on every path, so a run that prints nothing and
# fails never started: under wine a process start now and then fails when
# many start at once. Such a start under wine is tried again, twice at most.
foreach(_try RANGE 2)
  execute_process(COMMAND ${EMULATOR} ${HOST} ${_args} WORKING_DIRECTORY "${DIR}"
    OUTPUT_VARIABLE _output ERROR_VARIABLE _output RESULT_VARIABLE _status)
  if(NOT EMULATOR MATCHES "wine" OR NOT _output STREQUAL "" OR _status STREQUAL "0")
    break()
  endif()
endforeach()
string(REPLACE "\r" "" _output "${_output}")
string(REPLACE "\n" " " _flat "${_output}")

set(_faults "")
if(NOT "${_status}" STREQUAL "${EXIT}")
  list(APPEND _faults "exit status ${_status}, expected ${EXIT}")
endif()
if(NOT _flat MATCHES "${EXPECT}")
  list(APPEND _faults "output does not match: ${EXPECT}")
endif()
# A run that succeeds prints how much each text dump grew: exactly the
# growth of the file, and nothing for a dump that did not grow.
if(EXIT EQUAL 0 AND "${_status}" STREQUAL "0")
  dump_sizes(_dumps_after)
  foreach(_dump _old _new IN ZIP_LISTS _dumps _dumps_before _dumps_after)
    math(EXPR _grown "${_new} - ${_old}")
    string(REPLACE "." "\\." _name "${_dump}")
    if(_flat MATCHES "text dump ${_name}: ([0-9]+) bytes appended")
      if(NOT CMAKE_MATCH_1 EQUAL _grown)
        list(APPEND _faults "printed ${CMAKE_MATCH_1} bytes appended to ${_dump}, which grew from ${_old} to ${_new} bytes")
      endif()
    elseif(NOT _grown EQUAL 0)
      list(APPEND _faults "${_dump} grew from ${_old} to ${_new} bytes, but no growth was printed")
    endif()
  endforeach()
endif()
if(NOT EXIT EQUAL 0)
  if(_flat MATCHES "A second run")
    list(APPEND _faults "a failed run printed the second-run hint")
  endif()
  snapshot("${_top}" _after)
  if(NOT _after STREQUAL _before)
    list(APPEND _faults "a failed run changed ${_top}: before [${_before}] after [${_after}]")
  endif()
endif()
if(_faults)
  list(JOIN _faults "\n  " _text)
  message(FATAL_ERROR "tarn_host ${ARGS}\n  ${_text}\n--- output ---\n${_output}")
endif()
