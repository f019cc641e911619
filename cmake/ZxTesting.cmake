# GoogleTest targets, registered with CTest one test case at a time.
find_package(GTest REQUIRED)
include(GoogleTest)

#   zx_add_gtest(<name> SOURCES <files> LIBS <libraries> [LABELS <labels>] [THREADED <suites>])
# The test suites named in THREADED start threads (the test itself, the program's workers or the
# simulated PC's return watcher) and get the label `threaded` as well: the ThreadSanitizer run
# selects them by it.
function(zx_add_gtest name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;THREADED" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    zx_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    if(ARG_THREADED)
        list(TRANSFORM ARG_THREADED APPEND ".*")
        list(JOIN ARG_THREADED ":" suites)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${suites}"
                             TEST_LIST ${name}_THREADED)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${suites}"
                             PROPERTIES LABELS "${ARG_LABELS}")
        # Discovery passes one label only; a list is set once the tests are known.
        set(labels "${ARG_LABELS};threaded")
        set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_threaded_labels.cmake")
        file(WRITE "${script}" "foreach(t IN LISTS ${name}_THREADED)\n"
                               "    set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${labels}\")\n"
                               "endforeach()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()
