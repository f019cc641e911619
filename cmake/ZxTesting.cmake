# GoogleTest targets, registered with CTest one test case at a time.
find_package(GTest REQUIRED)
include(GoogleTest)

#   zx_add_gtest(<name> SOURCES <files> LIBS <libraries> [LABELS <labels>])
function(zx_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    zx_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
