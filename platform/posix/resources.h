// Resources of the running module, served from the blobs linked into the program
// (see platform/posix/control.h for their registration).
#pragma once

#include "platform/posix/types.h"

#define RT_RCDATA MAKEINTRESOURCEW(10)

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
HMODULE GetModuleHandleW(LPCWSTR moduleName);
