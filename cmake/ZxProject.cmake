# Defaults shared by every target of the project's own code.

set(ZX_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")

function(zx_target_defaults target)
    target_include_directories(${target} PUBLIC "${ZX_SOURCE_ROOT}")
    target_compile_features(${target} PUBLIC cxx_std_17)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4)
        if(ZX_WERROR)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2
                               -Wno-missing-field-initializers)
        if(ZX_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    endif()
    if(WIN32)
        target_compile_definitions(${target} PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
    endif()
endfunction()

# A static library of one subsystem folder.
function(zx_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    zx_target_defaults(${name})
    if(ARG_LIBS)
        target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    endif()
endfunction()

# libstdc++ checks the preconditions of its containers and strings (an index within the size,
# front() and back() of a non-empty one ...) and aborts with the broken one named, in everything
# built in this tree; the dev and asan presets turn it on.
if(ZX_STDLIB_ASSERTIONS)
    add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()

# Sanitizers apply to everything built in this tree (tests and GoogleTest main included).
if(ZX_SANITIZE AND NOT MSVC)
    string(REPLACE ";" "," _zx_san "${ZX_SANITIZE}")
    add_compile_options(-fsanitize=${_zx_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_zx_san})
endif()

# Line coverage (gcc's gcov) for everything built in this tree; scripts/coverage.sh reports it.
if(ZX_COVERAGE AND NOT MSVC)
    # Atomic counters: the program's threads and the simulated PC's update the same counters.
    add_compile_options(--coverage -fprofile-update=atomic)
    add_link_options(--coverage)
endif()
