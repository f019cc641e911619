# Windows-only settings of zxflash.exe, included by app/CMakeLists.txt on WIN32 builds: a GUI
# program (no console window) whose resources (dialog, icon, manifest, firmware package) come
# from resources/zxflash.rc through the object library zx_winres. The toolchain links
# everything statically; a post-build step fails the build when the program imports anything
# but system DLLs, and lists its imports in zxflash.exe.imports.txt.
set_target_properties(zxflash PROPERTIES WIN32_EXECUTABLE ON)
target_link_libraries(zxflash PRIVATE zx_winres)
add_custom_command(TARGET zxflash POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DPROGRAM=$<TARGET_FILE:zxflash>"
            -P "${ZX_SOURCE_ROOT}/cmake/ZxCheckImports.cmake"
    VERBATIM)
