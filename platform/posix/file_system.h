// The file system as the file, search, folder and profile groups see it: the Windows errors of a
// path that failed, the attributes of a name, and the sharing of the files this process holds
// open. Internal to platform/posix.
#pragma once

#include "platform/posix/paths.h"
#include "platform/posix/types.h"

#include <string>

#include <sys/stat.h>

namespace zxposix {

// Parses the path of a file operation (no wildcards); ERROR_INVALID_PARAMETER for null.
DWORD ParseForFileOp(LPCWSTR text, WindowsPath* path);
// The error Windows gives for a name that cannot be found: ERROR_FILE_NOT_FOUND when its folder
// exists, otherwise ERROR_PATH_NOT_FOUND.
DWORD MissingError(const WindowsPath& path);
// The Windows error for an errno of an operation on the path.
DWORD ErrorOfErrno(int error, const WindowsPath& path);
// The FILE_ATTRIBUTE_* bits of a name found with lstat.
DWORD AttributesOf(const std::string& linuxPath, const struct stat& lst);
// True when no handle of this process open on the file (device, inode) refuses readers.
bool OthersAllowReading(unsigned long long device, unsigned long long inode);

} // namespace zxposix
