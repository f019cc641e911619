// FindFirstFileW and FindNextFileW: the wildcard rules of the Win32 layer and folders listed as
// NTFS lists them.
#include "platform/posix/file_system.h"
#include "platform/posix/files.h"
#include "platform/posix/handles.h"
#include "platform/posix/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace zxposix {
namespace {

struct SearchObject : HandleObject {
    std::mutex lock;
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

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
        if (ni >= n.size() || FoldCase(c) != FoldCase(n[ni])) {
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
        WCHAR x = FoldCase(a[i]);
        WCHAR y = FoldCase(b[i]);
        if (x != y) {
            return x < y;
        }
    }
    return a.size() < b.size();
}

} // namespace
} // namespace zxposix

using zxposix::SearchObject;
using zxposix::WindowsPath;

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
