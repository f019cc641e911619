# Builds a firmware package from its text sources at build time: zxpkg makes the images that
# <dir>/images.txt lists (one per line: the file name, then the arguments of "zxpkg image"; lines
# starting with # are comments) and packs them with <dir>/ReflashInfo.ini into <zip>.
#
#   zx_build_package(<target> SOURCE_DIR <dir> ZIP <zip>)
#
# <target> is an ALL target that makes <zip>.
function(zx_build_package target)
    cmake_parse_arguments(ARG "" "SOURCE_DIR;ZIP" "" ${ARGN})
    set(src "${ARG_SOURCE_DIR}")
    set(stage "${CMAKE_CURRENT_BINARY_DIR}/stage")
    set(outputs "${stage}/ReflashInfo.ini")
    add_custom_command(OUTPUT "${stage}/ReflashInfo.ini"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${stage}"
        COMMAND "${CMAKE_COMMAND}" -E copy "${src}/ReflashInfo.ini" "${stage}/ReflashInfo.ini"
        DEPENDS "${src}/ReflashInfo.ini"
        COMMENT "Staging the configuration of ${target}")

    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${src}/images.txt")
    file(STRINGS "${src}/images.txt" lines)
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        if(line STREQUAL "" OR line MATCHES "^#")
            continue()
        endif()
        separate_arguments(args UNIX_COMMAND "${line}")
        list(POP_FRONT args name)
        add_custom_command(OUTPUT "${stage}/${name}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${stage}"
            COMMAND zxpkg image -o "${stage}/${name}" ${args}
            DEPENDS zxpkg "${src}/images.txt"
            COMMENT "Making image ${name} of ${target}"
            VERBATIM)
        list(APPEND outputs "${stage}/${name}")
    endforeach()

    add_custom_command(OUTPUT "${ARG_ZIP}"
        COMMAND zxpkg build "${stage}" -o "${ARG_ZIP}"
        DEPENDS zxpkg ${outputs}
        COMMENT "Packing ${target}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS "${ARG_ZIP}")
endfunction()
