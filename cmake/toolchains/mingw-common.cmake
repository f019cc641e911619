# Cross build for Windows with Debian's mingw-w64 compilers. Included by mingw-<arch>.cmake after
# they set ZX_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
#
# The "-posix" compilers are the variant with POSIX threads underneath the C++ runtime: with the
# plain (win32-threads) ones std::thread and std::mutex do not compile with GCC 12.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER "${ZX_MINGW_TRIPLE}-gcc-posix")
set(CMAKE_CXX_COMPILER "${ZX_MINGW_TRIPLE}-g++-posix")
set(CMAKE_RC_COMPILER "${ZX_MINGW_TRIPLE}-windres")
set(CMAKE_AR "/usr/bin/${ZX_MINGW_TRIPLE}-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "/usr/bin/${ZX_MINGW_TRIPLE}-ranlib" CACHE FILEPATH "")

# Libraries and headers of the target come from the mingw sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "/usr/${ZX_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked statically (C and C++ runtimes, winpthread, zlib): the program then imports
# system DLLs only and runs from a single file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
