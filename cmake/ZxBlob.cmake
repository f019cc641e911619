# Links a file into a program as a resource blob. On POSIX the bytes are pulled in with the
# assembler's .incbin and registered with the resource table of platform/posix at start-up;
# the Windows build carries the same files in its .rc script instead.
#
#   zx_add_blob(<target> TYPE <type name> ID <integer id> FILE <path> [DEPENDS <targets>])
function(zx_add_blob target)
    cmake_parse_arguments(ARG "" "TYPE;ID;FILE" "DEPENDS" ${ARGN})
    if(WIN32)
        message(FATAL_ERROR "zx_add_blob is for POSIX builds; Windows builds use the .rc script")
    endif()
    string(MAKE_C_IDENTIFIER "${ARG_TYPE}_${ARG_ID}" sym)
    set(dir "${CMAKE_CURRENT_BINARY_DIR}/blobs")
    set(asm "${dir}/${sym}.S")
    set(cpp "${dir}/${sym}.cpp")
    file(MAKE_DIRECTORY "${dir}")
    file(WRITE "${asm}.in"
        "    .section .rodata\n"
        "    .balign 16\n"
        "    .global zx_blob_${sym}_begin\n"
        "zx_blob_${sym}_begin:\n"
        "    .incbin \"${ARG_FILE}\"\n"
        "    .global zx_blob_${sym}_end\n"
        "zx_blob_${sym}_end:\n"
        "    .byte 0\n"
        "    .section .note.GNU-stack,\"\",@progbits\n")
    configure_file("${asm}.in" "${asm}" COPYONLY)
    file(WRITE "${cpp}.in"
        "#include \"platform/posix/control.h\"\n"
        "extern \"C\" const unsigned char zx_blob_${sym}_begin[];\n"
        "extern \"C\" const unsigned char zx_blob_${sym}_end[];\n"
        "namespace {\n"
        "const bool registered = zxposix::RegisterResource(L\"${ARG_TYPE}\", ${ARG_ID},\n"
        "    zx_blob_${sym}_begin, size_t(zx_blob_${sym}_end - zx_blob_${sym}_begin));\n"
        "}\n")
    configure_file("${cpp}.in" "${cpp}" COPYONLY)
    set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${ARG_FILE}")
    target_sources(${target} PRIVATE "${asm}" "${cpp}")
    if(ARG_DEPENDS)
        add_dependencies(${target} ${ARG_DEPENDS})
    endif()
endfunction()
