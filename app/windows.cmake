# Windows-only settings of zxflash.exe, included by fleet/CMakeLists.txt on WIN32 builds (and by
# host/windows-sim/ for the win64-sim program): a GUI program (no console window) whose
# resources (dialog, icon, manifest, firmware package) come from resources/zxflash.rc through
# the object library zx_winres. The toolchain links everything statically; post-build steps
# fail the build when the program imports anything but system DLLs (its imports listed in
# zxflash.exe.imports.txt), and when a shipped program holds any symbol of the simulated PC or
# the script driver (the win64-sim program must hold them).
# zx_windows_program(TARGET RESOURCES): those settings for a program and its resource library.
function(zx_windows_program target resources)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    target_link_libraries(${target} PRIVATE ${resources})
    if(ZX_WIN_SIM)
        set(simulator present)
    else()
        set(simulator absent)
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DPROGRAM=$<TARGET_FILE:${target}>"
                -P "${ZX_SOURCE_ROOT}/cmake/ZxCheckImports.cmake"
        COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DPROGRAM=$<TARGET_FILE:${target}>"
                "-DEXPECT=${simulator}" -P "${ZX_SOURCE_ROOT}/cmake/ZxCheckSimulator.cmake"
        VERBATIM)
endfunction()

zx_windows_program(zxflash zx_winres)
