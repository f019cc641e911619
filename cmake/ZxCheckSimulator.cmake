# Checks a Windows program's symbol list for the simulated PC, the routed device calls and the
# script driver: a shipped program (EXPECT=absent) must hold none of them, a win32-sim or
# win64-sim one (EXPECT=present) all three, which shows that the check sees what it looks for.
# Writes the matching symbols beside the program (<program>.simulator-symbols.txt). Run as a
# post-build step:
#   cmake -DNM=<nm> -DPROGRAM=<exe> -DEXPECT=absent|present -P ZxCheckSimulator.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${NM}" "${PROGRAM}"
                OUTPUT_VARIABLE _zx_symbols RESULT_VARIABLE _zx_rc ERROR_VARIABLE _zx_err)
if(NOT _zx_rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${PROGRAM}: ${_zx_err}")
endif()
if(NOT _zx_symbols MATCHES "AppMain")
    message(FATAL_ERROR "${PROGRAM} has no symbol list to check (stripped?)")
endif()
# sim:: (the simulated PC), ZxRouted* (device calls sent to a backend), winsim:: (the driver).
set(_zx_found "")
set(_zx_missing "")
foreach(_zx_pattern _ZN3sim ZxRouted _ZN6winsim)
    string(REGEX MATCHALL "[^\r\n]*${_zx_pattern}[^\r\n]*" _zx_lines "${_zx_symbols}")
    if(_zx_lines)
        list(APPEND _zx_found ${_zx_lines})
    else()
        list(APPEND _zx_missing ${_zx_pattern})
    endif()
endforeach()
list(JOIN _zx_found "\n" _zx_text)
file(WRITE "${PROGRAM}.simulator-symbols.txt" "${_zx_text}\n")
list(LENGTH _zx_found _zx_count)
if(EXPECT STREQUAL "absent" AND _zx_found)
    message(FATAL_ERROR "${PROGRAM} holds ${_zx_count} symbols of the simulated PC or the script "
                        "driver (${PROGRAM}.simulator-symbols.txt): a shipped program has none")
elseif(EXPECT STREQUAL "present" AND _zx_missing)
    message(FATAL_ERROR "${PROGRAM} lacks the symbols ${_zx_missing}: the check would not see "
                        "the simulated PC")
elseif(NOT EXPECT MATCHES "^(absent|present)$")
    message(FATAL_ERROR "EXPECT must be absent or present")
endif()
