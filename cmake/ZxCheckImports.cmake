# Fails when a Windows program imports a DLL that is not part of Windows, and writes the list
# of imported DLLs beside the program (<program>.imports.txt). Run as a post-build step:
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<exe> -P ZxCheckImports.cmake
cmake_minimum_required(VERSION 3.25)
set(_zx_system_dlls
    kernel32.dll user32.dll gdi32.dll comctl32.dll advapi32.dll setupapi.dll cfgmgr32.dll
    gdiplus.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll version.dll
    ntdll.dll bcrypt.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}"
                OUTPUT_VARIABLE _zx_dump RESULT_VARIABLE _zx_rc ERROR_VARIABLE _zx_err)
if(NOT _zx_rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${PROGRAM}: ${_zx_err}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" _zx_lines "${_zx_dump}")
set(_zx_dlls "")
set(_zx_foreign "")
foreach(_zx_line IN LISTS _zx_lines)
    string(REGEX REPLACE "^DLL Name: " "" _zx_dll "${_zx_line}")
    string(STRIP "${_zx_dll}" _zx_dll)
    list(APPEND _zx_dlls "${_zx_dll}")
    string(TOLOWER "${_zx_dll}" _zx_lower)
    if(NOT _zx_lower IN_LIST _zx_system_dlls)
        list(APPEND _zx_foreign "${_zx_dll}")
    endif()
endforeach()
list(JOIN _zx_dlls "\n" _zx_text)
file(WRITE "${PROGRAM}.imports.txt" "${_zx_text}\n")
if(NOT _zx_dlls)
    message(FATAL_ERROR "${PROGRAM} imports no DLL at all: not a Windows program?")
endif()
if(_zx_foreign)
    message(FATAL_ERROR "${PROGRAM} imports DLLs that Windows does not ship: ${_zx_foreign}. "
                        "Link statically (-static) and use the system libraries only.")
endif()
