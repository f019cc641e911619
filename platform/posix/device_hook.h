// Where the POSIX layer hands device paths over to the simulated PC. CreateFileW passes every
// path that starts with \\.\ to the opener registered here; without one such paths fail with
// ERROR_FILE_NOT_FOUND. Internal to platform/posix and sim/.
#pragma once

#include "platform/posix/types.h"

namespace zxposix {

// Opens a device path; returns a handle from NewHandle() or INVALID_HANDLE_VALUE with the last
// error set.
typedef HANDLE (*DeviceOpener)(LPCWSTR path, DWORD desiredAccess, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes);

void SetDeviceOpener(DeviceOpener opener);
DeviceOpener GetDeviceOpener();

} // namespace zxposix
