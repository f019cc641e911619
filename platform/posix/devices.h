// CreateFileW's way to the installed device backend (platform/device_backend.h). Internal to
// platform/posix.
#pragma once

#include "platform/posix/types.h"

namespace zxposix {

// Opens a device path (\\.\ or //./) through the installed backend, handing it the path with
// its slashes turned into backslashes. Without a backend the path is not found
// (ERROR_FILE_NOT_FOUND).
HANDLE OpenDevicePath(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes);

} // namespace zxposix
