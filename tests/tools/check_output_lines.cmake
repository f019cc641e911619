# Runs a command and compares its output with a file of expected lines: the same lines in the
# same order (blank lines aside), each equal to its expected line, where `*` in an expected line
# stands for a run of characters without a blank (a generated instance ID, for example). Lines of
# the expected file that start with `#` are comments.
#
#   cmake -DPROGRAM=<program> -DARGS=<arg;...> -DEXPECTED=<file> -P check_output_lines.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED PROGRAM OR NOT DEFINED EXPECTED)
    message(FATAL_ERROR "PROGRAM and EXPECTED are required")
endif()
execute_process(COMMAND "${PROGRAM}" ${ARGS} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGS} exited with ${rc}: ${errors}")
endif()
string(RANDOM LENGTH 12 tag)
set(actualFile "${CMAKE_CURRENT_BINARY_DIR}/check_output_lines_${tag}.txt")
file(WRITE "${actualFile}" "${output}")
file(STRINGS "${actualFile}" actual)
file(REMOVE "${actualFile}")
file(STRINGS "${EXPECTED}" expected)
list(FILTER actual EXCLUDE REGEX "^$")
list(FILTER expected EXCLUDE REGEX "^$|^#")

list(LENGTH actual actualCount)
list(LENGTH expected expectedCount)
set(failures "")
set(i 0)
foreach(want IN LISTS expected)
    if(i GREATER_EQUAL actualCount)
        string(APPEND failures "line ${i}: missing, expected\n  ${want}\n")
        break()
    endif()
    list(GET actual ${i} got)
    # The expected line as a regular expression: every special character escaped, `*` a run
    # of non-blank characters.
    string(REGEX REPLACE "([][.+?|()^$\\\\*])" "\\\\\\1" pattern "${want}")
    string(REPLACE "\\*" "[^ ]*" pattern "${pattern}")
    if(NOT got MATCHES "^${pattern}$")
        string(APPEND failures "line ${i}:\n  expected ${want}\n  got      ${got}\n")
    endif()
    math(EXPR i "${i} + 1")
endforeach()
if(NOT actualCount EQUAL expectedCount)
    string(APPEND failures "${actualCount} lines, expected ${expectedCount}\n")
endif()
if(failures)
    message(FATAL_ERROR "output differs from ${EXPECTED}:\n${failures}")
endif()
message(STATUS "${actualCount} lines as expected")
