// How Windows paths of the POSIX layer map onto the Linux file system, shared by the file,
// search, folder and profile groups. Internal to platform/posix.
//
// The Linux root is drive C:. "C:\a\b", "\a\b" and "/a/b" all name /a/b; a relative path is
// taken from the current directory. "." and ".." are resolved on the text, as Windows does, and
// repeated separators count as one. Names are case-sensitive (they are looked up on the Linux
// file system); file names are UTF-8 on disk.
#pragma once

#include "platform/posix/types.h"

#include <string>
#include <vector>

namespace zxposix {

struct WindowsPath {
    std::vector<std::wstring> parts; // components below the root, "." and ".." resolved
    bool trailingSeparator = false;  // the text ended in \ or /
};

// Parses a path. With allowWildcardInLast the last component may hold * and ? (a search
// pattern). Returns 0 or the Windows error code (ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME).
DWORD ParseWindowsPath(LPCWSTR text, bool allowWildcardInLast, WindowsPath* path);
// The Linux path of the first `count` components (all of them when count is -1).
std::string LinuxPathOf(const WindowsPath& path, int count = -1);
// The Windows form of an absolute Linux path: "C:\" followed by its components.
std::wstring WindowsFormOf(const std::string& linuxPath);
// UTF-8 file names to wide text and back.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// True when the text starts with \\.\ (or //./): a device, for the device backend.
bool IsDevicePath(LPCWSTR text);
// The wildcards of a search pattern: * and ?, and the DOS forms < > " they become.
bool IsWildcard(WCHAR c);
// A character as CharUpperW gives it: names compare with it without regard to case.
WCHAR FoldCase(WCHAR c);
// The current directory as a Linux path ("/" when it cannot be read).
std::string CurrentLinuxDirectory();

} // namespace zxposix
