// Code pages: the ANSI code page (CP_ACP) is Windows-1252 on this platform.
#pragma once

#include "platform/posix/types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400

// cbMultiByte / cchWideChar of -1 mean "up to and including the terminator", as on Windows.
// A destination size of 0 asks for the size needed. Too small a destination fails with
// ERROR_INSUFFICIENT_BUFFER and returns 0.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                        LPWSTR wideChar, int cchWideChar);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideChar, int cchWideChar,
                        LPSTR multiByte, int cbMultiByte, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar);
// Lower-cases a string in place (or one character passed in the low word) and returns it.
LPWSTR CharLowerW(LPWSTR text);
LPWSTR CharUpperW(LPWSTR text);
