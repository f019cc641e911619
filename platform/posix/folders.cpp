// Folders: creating and removing them, the current directory and the temp folder.
#include "platform/posix/file_system.h"
#include "platform/posix/files.h"
#include "platform/posix/paths.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using zxposix::WindowsPath;

namespace {

// Copies a result the way the path queries report it: the length without the terminator when
// it fits, otherwise the size needed including the terminator.
DWORD CopyPathResult(const std::wstring& text, DWORD bufferLength, LPWSTR buffer) {
    DWORD length = static_cast<DWORD>(text.size());
    if (buffer == nullptr || bufferLength <= length) {
        return length + 1;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[length] = 0;
    return length;
}

std::string AbsoluteLinux(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    return zxposix::CurrentLinuxDirectory() + "/" + path;
}

} // namespace

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(pathName, &path);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    if (path.parts.empty()) {
        SetLastError(ERROR_ACCESS_DENIED); // the root
        return FALSE;
    }
    if (mkdir(zxposix::LinuxPathOf(path).c_str(), 0777) != 0) {
        int e = errno;
        SetLastError(e == EEXIST                   ? ERROR_ALREADY_EXISTS
                     : e == ENOENT || e == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                   : zxposix::ErrorOfErrno(e, path));
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR pathName) {
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(pathName, &path);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    std::string linuxPath = zxposix::LinuxPathOf(path);
    struct stat st;
    if (lstat(linuxPath.c_str(), &st) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, path));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    // The process holds its current directory open without delete sharing.
    struct stat cwd;
    if (stat(".", &cwd) == 0 && cwd.st_dev == st.st_dev && cwd.st_ino == st.st_ino) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (rmdir(linuxPath.c_str()) != 0) {
        int e = errno;
        SetLastError(e == ENOTEMPTY || e == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                   : zxposix::ErrorOfErrno(e, path));
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer) {
    const char* tmp = std::getenv("TMPDIR");
    std::string linuxPath = (tmp != nullptr && tmp[0] != 0) ? tmp : "/tmp";
    std::wstring text = zxposix::WindowsFormOf(AbsoluteLinux(linuxPath));
    if (text.back() != L'\\') {
        text += L'\\';
    }
    return CopyPathResult(text, bufferLength, buffer);
}

BOOL SetCurrentDirectoryW(LPCWSTR pathName) {
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(pathName, &path);
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    std::string linuxPath = zxposix::LinuxPathOf(path);
    struct stat st;
    if (stat(linuxPath.c_str(), &st) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, path));
        return FALSE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (chdir(linuxPath.c_str()) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, path));
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
    return CopyPathResult(zxposix::WindowsFormOf(zxposix::CurrentLinuxDirectory()), bufferLength,
                          buffer);
}
