# 32-bit Windows (i686) with mingw-w64. Its structure layouts are the ones the program's request
# buffers are written for.
set(ZX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
