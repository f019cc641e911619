// Files on the real file system, with the Windows sharing rules and error codes: opening,
// reading, writing, seeking, deleting and attributes. Paths map onto Linux as described in
// platform/posix/paths.h.
#include "platform/posix/files.h"
#include "platform/posix/devices.h"
#include "platform/posix/file_system.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zxposix {
namespace {

const DWORD kAccessRead = 1;
const DWORD kAccessWrite = 2;
const DWORD kAccessDelete = 4;

struct FileObject : HandleObject {
    int fd = -1;
    DWORD access = 0; // kAccess* bits
    DWORD share = 0;  // FILE_SHARE_* bits
    dev_t device = 0;
    ino_t inode = 0;
    bool directory = false;
    ~FileObject() override;
};

std::mutex g_openLock;
std::vector<FileObject*> g_open;

FileObject::~FileObject() {
    {
        std::lock_guard<std::mutex> guard(g_openLock);
        g_open.erase(std::remove(g_open.begin(), g_open.end(), this), g_open.end());
    }
    if (fd >= 0) {
        close(fd);
    }
}

DWORD AccessBits(DWORD desiredAccess) {
    DWORD bits = 0;
    if (desiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) {
        bits |= kAccessRead;
    }
    if (desiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) {
        bits |= kAccessWrite;
    }
    if (desiredAccess & (GENERIC_ALL | DELETE)) {
        bits |= kAccessDelete;
    }
    return bits;
}

// Whether a new open with this access and share mode fits the handles already open on the
// file. Opens that ask for no data access never conflict. Caller holds g_openLock.
bool SharingAllows(dev_t device, ino_t inode, DWORD access, DWORD share) {
    if (access == 0) {
        return true;
    }
    for (const FileObject* open : g_open) {
        if (open->device != device || open->inode != inode || open->access == 0) {
            continue;
        }
        if (((access & kAccessRead) && !(open->share & FILE_SHARE_READ)) ||
            ((access & kAccessWrite) && !(open->share & FILE_SHARE_WRITE)) ||
            ((access & kAccessDelete) && !(open->share & FILE_SHARE_DELETE)) ||
            ((open->access & kAccessRead) && !(share & FILE_SHARE_READ)) ||
            ((open->access & kAccessWrite) && !(share & FILE_SHARE_WRITE)) ||
            ((open->access & kAccessDelete) && !(share & FILE_SHARE_DELETE))) {
            return false;
        }
    }
    return true;
}

// Whether every open handle of the file lets it be deleted.
bool OthersAllowDelete(dev_t device, ino_t inode) {
    std::lock_guard<std::mutex> guard(g_openLock);
    for (const FileObject* open : g_open) {
        if (open->device == device && open->inode == inode && open->access != 0 &&
            !(open->share & FILE_SHARE_DELETE)) {
            return false;
        }
    }
    return true;
}

HANDLE FailOpen(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Enters an opened object in the table of open files, unless the handles already open on the
// same file refuse its access or share mode (ERROR_SHARING_VIOLATION). Answers 0 or the error.
DWORD RegisterOpen(FileObject& object, const struct stat& st) {
    object.device = st.st_dev;
    object.inode = st.st_ino;
    std::lock_guard<std::mutex> guard(g_openLock);
    if (!SharingAllows(st.st_dev, st.st_ino, object.access, object.share)) {
        return ERROR_SHARING_VIOLATION;
    }
    g_open.push_back(&object);
    return 0;
}

// A folder opens only for its metadata, only when asked for with backup semantics, and only to
// open what exists.
HANDLE OpenFolder(const std::string& linuxPath, const WindowsPath& path,
                  const std::shared_ptr<FileObject>& object, DWORD creationDisposition,
                  DWORD flagsAndAttributes, const struct stat& st) {
    if (!(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        return FailOpen(ERROR_ACCESS_DENIED);
    }
    if (creationDisposition == CREATE_NEW) {
        return FailOpen(ERROR_FILE_EXISTS);
    }
    if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
        return FailOpen(ERROR_ACCESS_DENIED);
    }
    object->fd = open(linuxPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (object->fd < 0) {
        return FailOpen(ErrorOfErrno(errno, path));
    }
    object->directory = true;
    if (DWORD error = RegisterOpen(*object, st)) {
        return FailOpen(error); // the object closes its descriptor
    }
    SetLastError(creationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
    return NewHandle(object);
}

// Whether the disposition lets a file that does (not) exist be opened: 0 or the error.
DWORD CheckFileDisposition(const WindowsPath& path, bool exists, DWORD creationDisposition) {
    if (path.trailingSeparator) { // a file name cannot end in a separator
        return ERROR_INVALID_NAME;
    }
    if (exists && (creationDisposition == CREATE_NEW)) {
        return ERROR_FILE_EXISTS;
    }
    if (!exists &&
        (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING)) {
        return MissingError(path);
    }
    return 0;
}

// The open(2) flags for the access asked for; a missing file is created, and CREATE_NEW never
// follows a link.
int OpenFlagsOf(DWORD access, bool exists, DWORD creationDisposition) {
    int flags = O_CLOEXEC;
    if ((access & kAccessRead) && (access & kAccessWrite)) {
        flags |= O_RDWR;
    } else if (access & kAccessWrite) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (!exists) {
        flags |= O_CREAT | O_EXCL;
    }
    if (creationDisposition == CREATE_NEW) {
        flags |= O_NOFOLLOW;
    }
    return flags;
}

// CREATE_ALWAYS and TRUNCATE_EXISTING empty a file that exists, also through a handle without
// write access.
DWORD TruncateIfAsked(const std::string& linuxPath, const WindowsPath& path,
                      const FileObject& object, bool exists, DWORD creationDisposition) {
    bool needTruncate = exists && (creationDisposition == CREATE_ALWAYS ||
                                   creationDisposition == TRUNCATE_EXISTING);
    if (!needTruncate) {
        return 0;
    }
    int result =
        (object.access & kAccessWrite) ? ftruncate(object.fd, 0) : truncate(linuxPath.c_str(), 0);
    return result != 0 ? ErrorOfErrno(errno, path) : 0;
}

HANDLE OpenPlainFile(const std::string& linuxPath, const WindowsPath& path,
                     const std::shared_ptr<FileObject>& object, bool exists,
                     DWORD creationDisposition, DWORD flagsAndAttributes) {
    if (DWORD error = CheckFileDisposition(path, exists, creationDisposition)) {
        return FailOpen(error);
    }
    int flags = OpenFlagsOf(object->access, exists, creationDisposition);
    mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    object->fd = open(linuxPath.c_str(), flags, mode);
    if (object->fd < 0) {
        return FailOpen(errno == EEXIST && creationDisposition == CREATE_NEW
                            ? ERROR_FILE_EXISTS
                            : ErrorOfErrno(errno, path));
    }
    struct stat st;
    if (fstat(object->fd, &st) != 0) {
        return FailOpen(ERROR_GEN_FAILURE);
    }
    if (DWORD error = RegisterOpen(*object, st)) {
        return FailOpen(error);
    }
    if (DWORD error = TruncateIfAsked(linuxPath, path, *object, exists, creationDisposition)) {
        return FailOpen(error);
    }
    bool reportExisting =
        exists && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : 0);
    return NewHandle(object);
}

} // namespace

// Attributes of a name found with lstat: a symbolic link is a reparse point that is a folder
// when its target is one; a file without write permission for its owner is read-only; a plain
// file carries the archive bit that new files get on NTFS.
DWORD AttributesOf(const std::string& linuxPath, const struct stat& lst) {
    DWORD attributes = 0;
    struct stat st = lst;
    if (S_ISLNK(lst.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        if (stat(linuxPath.c_str(), &st) != 0) {
            st = lst;
        }
    }
    if (S_ISDIR(st.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
        if ((st.st_mode & S_IWUSR) == 0) {
            attributes |= FILE_ATTRIBUTE_READONLY;
        }
    }
    return attributes;
}

bool OthersAllowReading(unsigned long long device, unsigned long long inode) {
    std::lock_guard<std::mutex> guard(g_openLock);
    return SharingAllows(static_cast<dev_t>(device), static_cast<ino_t>(inode), kAccessRead,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

} // namespace zxposix

using zxposix::FileObject;
using zxposix::WindowsPath;

// A device path goes to the device layer; a folder opens only with backup semantics; a file is
// opened, created or emptied as the disposition says, under the Windows sharing rules.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (zxposix::IsDevicePath(fileName)) {
        return zxposix::OpenDevicePath(fileName, desiredAccess, shareMode, creationDisposition,
                                       flagsAndAttributes);
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
        return zxposix::FailOpen(ERROR_INVALID_PARAMETER);
    }
    WindowsPath path;
    if (DWORD error = zxposix::ParseForFileOp(fileName, &path)) {
        return zxposix::FailOpen(error);
    }
    std::string linuxPath = zxposix::LinuxPathOf(path);
    struct stat st;
    // CREATE_NEW takes the name itself: any link of that name, dangling or not, is a name that
    // exists, and the open below never follows one.
    if (creationDisposition == CREATE_NEW && lstat(linuxPath.c_str(), &st) == 0) {
        return zxposix::FailOpen(ERROR_FILE_EXISTS);
    }
    bool exists = stat(linuxPath.c_str(), &st) == 0;
    auto object = std::make_shared<FileObject>();
    object->access = zxposix::AccessBits(desiredAccess);
    object->share = shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (exists && S_ISDIR(st.st_mode)) {
        return zxposix::OpenFolder(linuxPath, path, object, creationDisposition, flagsAndAttributes,
                                   st);
    }
    return zxposix::OpenPlainFile(linuxPath, path, object, exists, creationDisposition,
                                  flagsAndAttributes);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
              LPOVERLAPPED overlapped) {
    if (numberOfBytesRead != nullptr) {
        *numberOfBytesRead = 0;
    }
    auto object = zxposix::GetHandleAs<FileObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER); // no overlapped file I/O here
        return FALSE;
    }
    if (object->directory) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!(object->access & zxposix::kAccessRead)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && numberOfBytesToRead > 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD done = 0;
    while (done < numberOfBytesToRead) {
        ssize_t n = read(object->fd, static_cast<char*>(buffer) + done, numberOfBytesToRead - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (n == 0) {
            break; // end of file: success with fewer bytes
        }
        done += static_cast<DWORD>(n);
    }
    if (numberOfBytesRead != nullptr) {
        *numberOfBytesRead = done;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
               LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) {
    if (numberOfBytesWritten != nullptr) {
        *numberOfBytesWritten = 0;
    }
    auto object = zxposix::GetHandleAs<FileObject>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (object->directory) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!(object->access & zxposix::kAccessWrite)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && numberOfBytesToWrite > 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD done = 0;
    while (done < numberOfBytesToWrite) {
        ssize_t n =
            write(object->fd, static_cast<const char*>(buffer) + done, numberOfBytesToWrite - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (numberOfBytesWritten != nullptr) {
                *numberOfBytesWritten = done;
            }
            SetLastError(errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_GEN_FAILURE);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (numberOfBytesWritten != nullptr) {
        *numberOfBytesWritten = done;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
    auto object = zxposix::GetHandleAs<FileObject>(file);
    struct stat st;
    if (!object || fstat(object->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    unsigned long long size = object->directory ? 0 : static_cast<unsigned long long>(st.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    DWORD low = static_cast<DWORD>(size & 0xFFFFFFFF);
    if (low == INVALID_FILE_SIZE) {
        SetLastError(NO_ERROR);
    }
    return low;
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod) {
    auto object = zxposix::GetHandleAs<FileObject>(file);
    if (!object || object->directory) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    long long distance = distanceToMove;
    if (distanceToMoveHigh != nullptr) {
        distance = static_cast<long long>(
            (static_cast<unsigned long long>(static_cast<DWORD>(*distanceToMoveHigh)) << 32) |
            static_cast<DWORD>(distanceToMove));
    }
    long long base;
    if (moveMethod == FILE_BEGIN) {
        base = 0;
    } else if (moveMethod == FILE_CURRENT) {
        base = lseek(object->fd, 0, SEEK_CUR);
    } else if (moveMethod == FILE_END) {
        struct stat st;
        base = fstat(object->fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (base < 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_SET_FILE_POINTER;
    }
    long long target = base + distance;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceToMoveHigh == nullptr && target > 0xFFFFFFFFLL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(object->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceToMoveHigh != nullptr) {
        *distanceToMoveHigh = static_cast<LONG>(static_cast<unsigned long long>(target) >> 32);
    }
    DWORD low = static_cast<DWORD>(target & 0xFFFFFFFF);
    if (low == INVALID_SET_FILE_POINTER) {
        SetLastError(NO_ERROR);
    }
    return low;
}

BOOL DeleteFileW(LPCWSTR fileName) {
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(fileName, &path);
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
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) {
        SetLastError(ERROR_ACCESS_DENIED); // folders and read-only files are refused
        return FALSE;
    }
    if (path.trailingSeparator) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    if (!zxposix::OthersAllowDelete(st.st_dev, st.st_ino)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(linuxPath.c_str()) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, path));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(fileName, &path);
    if (error != 0) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string linuxPath = zxposix::LinuxPathOf(path);
    struct stat st;
    if (lstat(linuxPath.c_str(), &st) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = zxposix::AttributesOf(linuxPath, st);
    if (path.trailingSeparator && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    return attributes;
}

// Renames a file within the file system; with MOVEFILE_REPLACE_EXISTING an existing file of the
// new name is replaced in one step (rename(2)), so readers see the old file or the new one.
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
    WindowsPath from;
    WindowsPath to;
    DWORD error = zxposix::ParseForFileOp(existingFileName, &from);
    if (error == 0) {
        error = zxposix::ParseForFileOp(newFileName, &to);
    }
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    const std::string fromPath = zxposix::LinuxPathOf(from);
    const std::string toPath = zxposix::LinuxPathOf(to);
    struct stat st;
    if (lstat(fromPath.c_str(), &st) != 0) {
        SetLastError(zxposix::ErrorOfErrno(errno, from));
        return FALSE;
    }
    if (lstat(toPath.c_str(), &st) == 0) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    if (rename(fromPath.c_str(), toPath.c_str()) != 0) {
        SetLastError(errno == EXDEV ? static_cast<DWORD>(ERROR_NOT_SAME_DEVICE)
                                    : zxposix::ErrorOfErrno(errno, to));
        return FALSE;
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    std::shared_ptr<FileObject> object = zxposix::GetHandleAs<FileObject>(file);
    if (object == nullptr || object->fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (fsync(object->fd) != 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}
