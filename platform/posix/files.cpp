// Files and folders on the real file system, with the Windows path rules, sharing rules and
// error codes. Paths map onto Linux as described in platform/posix/paths.h.
#include "platform/posix/files.h"
#include "platform/posix/codepage.h"
#include "platform/posix/devices.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"
#include "platform/posix/resources.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zxposix {
namespace {

const DWORD kAccessRead = 1;
const DWORD kAccessWrite = 2;
const DWORD kAccessDelete = 4;

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

bool IsWildcard(WCHAR c) {
    return c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"';
}

bool IsInvalidNameChar(WCHAR c) {
    return c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' ||
           c == L'*';
}

WCHAR Fold(WCHAR c) {
    return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

std::vector<std::wstring> SplitLinux(const std::string& linuxPath) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= linuxPath.size()) {
        size_t end = linuxPath.find('/', start);
        if (end == std::string::npos) {
            end = linuxPath.size();
        }
        std::string part = linuxPath.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(WideFromUtf8(part));
        }
        start = end + 1;
    }
    return parts;
}

std::string CurrentLinuxDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return "/";
        }
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::wstring FormOfParts(const std::vector<std::wstring>& parts) {
    std::wstring out = L"C:";
    for (const std::wstring& part : parts) {
        out += L'\\';
        out += part;
    }
    if (parts.empty()) {
        out += L'\\';
    }
    return out;
}

// The error Windows gives for a name that cannot be found: the name itself is missing when its
// folder exists, otherwise the path is.
DWORD MissingError(const WindowsPath& path) {
    if (path.parts.size() <= 1) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat st;
    std::string parent = LinuxPathOf(path, static_cast<int>(path.parts.size()) - 1);
    if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_PATH_NOT_FOUND;
}

DWORD ErrorOfErrno(int error, const WindowsPath& path) {
    switch (error) {
    case ENOENT:
        return MissingError(path);
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Windows time: 100 ns units since 1601-01-01.
FILETIME FileTimeOf(const struct timespec& t) {
    const long long kEpochDifference = 11644473600LL;
    long long value =
        (static_cast<long long>(t.tv_sec) + kEpochDifference) * 10000000LL + t.tv_nsec / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(value) >> 32);
    return ft;
}

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

// ---- open files and the sharing rules ----

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

// ---- searches ----

struct SearchObject : HandleObject {
    std::mutex lock;
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

// The wildcards of a Win32 search become the DOS forms the file system matches with: ? is
// DOS_QM (>), a dot before ? or * is DOS_DOT ("), "*." at the end is DOS_STAR (<), and "*" or
// "*.*" alone match everything.
std::wstring TranslatePattern(const std::wstring& pattern) {
    if (pattern == L"*" || pattern == L"*.*") {
        return L"*";
    }
    std::wstring out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        WCHAR c = pattern[i];
        if (c == L'.') {
            if (i >= 1 && i + 1 == pattern.size() && pattern[i - 1] == L'*') {
                out.back() = L'<';
            } else if (i + 1 < pattern.size() &&
                       (pattern[i + 1] == L'?' || pattern[i + 1] == L'*')) {
                out += L'"';
            } else {
                out += L'.';
            }
        } else if (c == L'?') {
            out += L'>';
        } else {
            out += c;
        }
    }
    return out;
}

// Matches a name against a translated pattern without regard to case:
// * any run; < any run that does not take the name's last dot; > one character other than a
// dot, or nothing at a dot or at the end; " a dot, or nothing at the end.
bool MatchFrom(const std::wstring& p, size_t pi, const std::wstring& n, size_t ni, size_t lastDot) {
    while (pi < p.size()) {
        WCHAR c = p[pi];
        if (c == L'*' || c == L'<') {
            size_t limit = n.size();
            if (c == L'<' && lastDot != std::wstring::npos && ni <= lastDot) {
                limit = lastDot;
            }
            for (size_t k = ni; k <= limit; ++k) {
                if (MatchFrom(p, pi + 1, n, k, lastDot)) {
                    return true;
                }
            }
            return false;
        }
        if (c == L'>') {
            if (ni >= n.size() || n[ni] == L'.') {
                ++pi; // matches nothing here
                continue;
            }
            ++pi;
            ++ni;
            continue;
        }
        if (c == L'"') {
            if (ni >= n.size()) {
                ++pi;
                continue;
            }
            if (n[ni] != L'.') {
                return false;
            }
            ++pi;
            ++ni;
            continue;
        }
        if (ni >= n.size() || Fold(c) != Fold(n[ni])) {
            return false;
        }
        ++pi;
        ++ni;
    }
    return ni == n.size();
}

bool NameMatches(const std::wstring& translated, const std::wstring& name) {
    if (translated == L"*") {
        return true;
    }
    return MatchFrom(translated, 0, name, 0, name.rfind(L'.'));
}

void FillFindData(const std::wstring& name, const std::string& linuxPath, const struct stat& lst,
                  WIN32_FIND_DATAW* data) {
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = AttributesOf(linuxPath, lst);
    data->ftCreationTime = FileTimeOf(lst.st_mtim);
    data->ftLastAccessTime = FileTimeOf(lst.st_atim);
    data->ftLastWriteTime = FileTimeOf(lst.st_mtim);
    if (!(data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        unsigned long long size = static_cast<unsigned long long>(lst.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
    }
    size_t length = std::min(name.size(), static_cast<size_t>(MAX_PATH - 1));
    std::copy(name.begin(), name.begin() + static_cast<long>(length), data->cFileName);
}

// NTFS lists a folder in the order of the upper-cased names; "." and ".." sort first.
bool ListsBefore(const std::wstring& a, const std::wstring& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = Fold(a[i]);
        WCHAR y = Fold(b[i]);
        if (x != y) {
            return x < y;
        }
    }
    return a.size() < b.size();
}

DWORD ParseForFileOp(LPCWSTR text, WindowsPath* path) {
    if (text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ParseWindowsPath(text, false, path);
}

} // namespace

DWORD ParseWindowsPath(LPCWSTR text, bool allowWildcardInLast, WindowsPath* path) {
    path->parts.clear();
    path->trailingSeparator = false;
    if (text == nullptr || text[0] == 0) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::wstring s(text);
    // \\?\ turns off the parsing of the Win32 layer; the rest is an ordinary full path here.
    if (s.size() >= 4 && IsSeparator(s[0]) && IsSeparator(s[1]) && s[2] == L'?' &&
        IsSeparator(s[3])) {
        s = s.substr(4);
    }
    size_t pos = 0;
    bool absolute = false;
    if (s.size() >= 2 && s[1] == L':' &&
        ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'))) {
        if (Fold(s[0]) != L'C') {
            return ERROR_PATH_NOT_FOUND; // the only drive is C:
        }
        pos = 2;
        absolute = s.size() > 2 && IsSeparator(s[2]);
    } else if (!s.empty() && IsSeparator(s[0])) {
        if (s.size() >= 2 && IsSeparator(s[1])) {
            return ERROR_PATH_NOT_FOUND; // no network shares
        }
        absolute = true;
    }
    if (!absolute) {
        path->parts = SplitLinux(CurrentLinuxDirectory());
    }
    path->trailingSeparator = IsSeparator(s.back());
    std::vector<std::wstring> raw;
    std::wstring current;
    for (size_t i = pos; i <= s.size(); ++i) {
        if (i == s.size() || IsSeparator(s[i])) {
            if (!current.empty()) {
                raw.push_back(current);
            }
            current.clear();
        } else {
            current += s[i];
        }
    }
    for (size_t i = 0; i < raw.size(); ++i) {
        const std::wstring& part = raw[i];
        if (part == L".") {
            continue;
        }
        if (part == L"..") {
            if (!path->parts.empty()) {
                path->parts.pop_back();
            }
            continue;
        }
        bool last = i + 1 == raw.size() && !path->trailingSeparator;
        for (WCHAR c : part) {
            if (IsInvalidNameChar(c) && !(last && allowWildcardInLast && IsWildcard(c))) {
                return ERROR_INVALID_NAME;
            }
        }
        path->parts.push_back(part);
    }
    return 0;
}

std::string LinuxPathOf(const WindowsPath& path, int count) {
    size_t n =
        count < 0 ? path.parts.size() : std::min(path.parts.size(), static_cast<size_t>(count));
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += '/';
        out += Utf8FromWide(path.parts[i]);
    }
    return out.empty() ? "/" : out;
}

std::wstring WindowsFormOf(const std::string& linuxPath) {
    return FormOfParts(SplitLinux(linuxPath));
}

std::wstring WideFromUtf8(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string Utf8FromWide(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

bool IsDevicePath(LPCWSTR text) {
    return text != nullptr && IsSeparator(text[0]) && IsSeparator(text[1]) && text[2] == L'.' &&
           IsSeparator(text[3]);
}

bool OthersAllowReading(unsigned long long device, unsigned long long inode) {
    std::lock_guard<std::mutex> guard(g_openLock);
    return SharingAllows(static_cast<dev_t>(device), static_cast<ino_t>(inode), kAccessRead,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

} // namespace zxposix

using zxposix::FileObject;
using zxposix::SearchObject;
using zxposix::WindowsPath;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (zxposix::IsDevicePath(fileName)) {
        return zxposix::OpenDevicePath(fileName, desiredAccess, shareMode, creationDisposition,
                                       flagsAndAttributes);
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    WindowsPath path;
    DWORD error = zxposix::ParseForFileOp(fileName, &path);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    std::string linuxPath = zxposix::LinuxPathOf(path);
    DWORD access = zxposix::AccessBits(desiredAccess);
    struct stat st;
    bool exists = stat(linuxPath.c_str(), &st) == 0;
    auto object = std::make_shared<FileObject>();
    object->access = access;
    object->share = shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

    if (exists && S_ISDIR(st.st_mode)) {
        // A folder opens only for its metadata, and only when asked for with backup semantics.
        if (!(flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (creationDisposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        object->fd = open(linuxPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (object->fd < 0) {
            SetLastError(zxposix::ErrorOfErrno(errno, path));
            return INVALID_HANDLE_VALUE;
        }
        object->directory = true;
        object->device = st.st_dev;
        object->inode = st.st_ino;
        std::lock_guard<std::mutex> guard(zxposix::g_openLock);
        if (!zxposix::SharingAllows(st.st_dev, st.st_ino, access, object->share)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE; // the object closes its descriptor
        }
        zxposix::g_open.push_back(object.get());
        SetLastError(creationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : 0);
        return zxposix::NewHandle(object);
    }
    if (path.trailingSeparator) { // a file name cannot end in a separator
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && (creationDisposition == CREATE_NEW)) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists &&
        (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING)) {
        SetLastError(zxposix::MissingError(path));
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    if ((access & zxposix::kAccessRead) && (access & zxposix::kAccessWrite)) {
        flags |= O_RDWR;
    } else if (access & zxposix::kAccessWrite) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (!exists) {
        flags |= O_CREAT | O_EXCL;
    }
    mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    object->fd = open(linuxPath.c_str(), flags, mode);
    if (object->fd < 0) {
        DWORD openError = errno == EEXIST && creationDisposition == CREATE_NEW
                              ? ERROR_FILE_EXISTS
                              : zxposix::ErrorOfErrno(errno, path);
        SetLastError(openError);
        return INVALID_HANDLE_VALUE;
    }
    if (fstat(object->fd, &st) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    object->device = st.st_dev;
    object->inode = st.st_ino;
    {
        std::lock_guard<std::mutex> guard(zxposix::g_openLock);
        if (!zxposix::SharingAllows(st.st_dev, st.st_ino, access, object->share)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        zxposix::g_open.push_back(object.get());
    }
    bool needTruncate = exists && (creationDisposition == CREATE_ALWAYS ||
                                   creationDisposition == TRUNCATE_EXISTING);
    if (needTruncate) {
        int result = (access & zxposix::kAccessWrite) ? ftruncate(object->fd, 0)
                                                      : truncate(linuxPath.c_str(), 0);
        if (result != 0) {
            SetLastError(zxposix::ErrorOfErrno(errno, path));
            return INVALID_HANDLE_VALUE;
        }
    }
    bool reportExisting =
        exists && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : 0);
    return zxposix::NewHandle(object);
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

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData) {
    if (fileName == nullptr || findFileData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    WindowsPath path;
    DWORD error = zxposix::ParseWindowsPath(fileName, true, &path);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (path.trailingSeparator || path.parts.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND); // a search that ends in a separator always fails
        return INVALID_HANDLE_VALUE;
    }
    int folderCount = static_cast<int>(path.parts.size()) - 1;
    std::string folder = zxposix::LinuxPathOf(path, folderCount);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring& last = path.parts.back();
    bool wildcard = std::any_of(last.begin(), last.end(), zxposix::IsWildcard);
    auto search = std::make_shared<SearchObject>();
    std::string prefix = folder == "/" ? "/" : folder + "/";
    if (!wildcard) {
        std::string linuxPath = prefix + zxposix::Utf8FromWide(last);
        if (lstat(linuxPath.c_str(), &st) != 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        search->entries.emplace_back();
        zxposix::FillFindData(last, linuxPath, st, &search->entries.back());
    } else {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) {
            SetLastError(zxposix::ErrorOfErrno(errno, path));
            return INVALID_HANDLE_VALUE;
        }
        std::vector<std::wstring> names;
        while (struct dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if ((name == "." || name == "..") && folderCount == 0) {
                continue; // a root folder lists neither
            }
            names.push_back(zxposix::WideFromUtf8(name));
        }
        closedir(dir);
        std::sort(names.begin(), names.end(), zxposix::ListsBefore);
        std::wstring pattern = zxposix::TranslatePattern(last);
        for (const std::wstring& name : names) {
            if (!zxposix::NameMatches(pattern, name)) {
                continue;
            }
            std::string linuxPath = prefix + zxposix::Utf8FromWide(name);
            if (lstat(linuxPath.c_str(), &st) != 0) {
                continue; // gone meanwhile
            }
            search->entries.emplace_back();
            zxposix::FillFindData(name, linuxPath, st, &search->entries.back());
        }
        if (search->entries.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
    }
    *findFileData = search->entries[0];
    search->next = 1;
    return zxposix::NewHandle(search);
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
    auto search = zxposix::GetHandleAs<SearchObject>(findFile);
    if (!search || findFileData == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(search->lock);
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *findFileData = search->entries[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE findFile) {
    if (!zxposix::GetHandleAs<SearchObject>(findFile) || !zxposix::DropHandle(findFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

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

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (module != nullptr && module != GetModuleHandleW(nullptr)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::vector<char> target(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", target.data(), target.size() - 1);
    if (n <= 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    std::wstring text = zxposix::WindowsFormOf(std::string(target.data(), static_cast<size_t>(n)));
    DWORD length = static_cast<DWORD>(text.size());
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length < size) {
        std::copy(text.begin(), text.end(), fileName);
        fileName[length] = 0;
        return length;
    }
    // Cut to the buffer, terminator included.
    std::copy(text.begin(), text.begin() + (size - 1), fileName);
    fileName[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}
