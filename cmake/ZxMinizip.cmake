# minizip, the ZIP reader beside zlib, as the interface target zx_minizip (zlib included).
#   Linux: the pkg-config module "minizip" (Debian: libminizip-dev); its include folder holds
#          unzip.h, so sources write #include <unzip.h> on every platform.
#   Windows cross builds: the folder third_party/mingw-<processor>/ that the Windows setup
#          step fills: include/ with unzip.h and ioapi.h, lib/ with libminizip.a
#          and zlib (libz.a from libz-mingw-w64-dev, or libzlibstatic.a).
if(TARGET zx_minizip)
    return()
endif()

if(WIN32)
    set(_zx_mz_root "${ZX_SOURCE_ROOT}/third_party/mingw-${CMAKE_SYSTEM_PROCESSOR}")
    if(NOT EXISTS "${_zx_mz_root}/include/unzip.h" OR NOT EXISTS "${_zx_mz_root}/lib/libminizip.a")
        message(FATAL_ERROR
            "minizip for ${CMAKE_SYSTEM_PROCESSOR} is missing: expected "
            "${_zx_mz_root}/include/unzip.h and ${_zx_mz_root}/lib/libminizip.a. "
            "Run scripts/setup.sh --windows to build it from Debian's zlib sources.")
    endif()
    find_library(ZX_MINGW_ZLIB NAMES libz.a z zlibstatic zlib HINTS "${_zx_mz_root}/lib")
    if(NOT ZX_MINGW_ZLIB)
        find_package(ZLIB REQUIRED)
        set(ZX_MINGW_ZLIB ZLIB::ZLIB)
    endif()
    add_library(zx_minizip INTERFACE)
    target_include_directories(zx_minizip SYSTEM INTERFACE "${_zx_mz_root}/include")
    target_link_libraries(zx_minizip INTERFACE "${_zx_mz_root}/lib/libminizip.a" ${ZX_MINGW_ZLIB})
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(ZX_PC_MINIZIP REQUIRED IMPORTED_TARGET minizip)
    find_package(ZLIB REQUIRED)
    add_library(zx_minizip INTERFACE)
    target_link_libraries(zx_minizip INTERFACE PkgConfig::ZX_PC_MINIZIP ZLIB::ZLIB)
endif()
