# Windows-only settings of zxflash.exe, included by app/CMakeLists.txt on WIN32 builds (and by
# host/windows-sim/ for the win64-sim program): a GUI program (no console window) whose
# resources (dialog, icon, manifest, firmware package) come from resources/zxflash.rc through
# the object library zx_winres. The toolchain links everything statically; post-build steps
# fail the build when the program imports anything but system DLLs (its imports listed in
# zxflash.exe.imports.txt), and when a shipped program holds any symbol of the simulated PC or
# the script driver (the win64-sim program must hold them).
set_target_properties(zxflash PROPERTIES WIN32_EXECUTABLE ON)
target_link_libraries(zxflash PRIVATE zx_winres)
if(ZX_WIN_SIM)
    set(_zx_simulator present)
else()
    set(_zx_simulator absent)
endif()
add_custom_command(TARGET zxflash POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DPROGRAM=$<TARGET_FILE:zxflash>"
            -P "${ZX_SOURCE_ROOT}/cmake/ZxCheckImports.cmake"
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DPROGRAM=$<TARGET_FILE:zxflash>"
            "-DEXPECT=${_zx_simulator}" -P "${ZX_SOURCE_ROOT}/cmake/ZxCheckSimulator.cmake"
    VERBATIM)
