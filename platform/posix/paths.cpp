// Paths in Windows form and how they map onto the Linux file system (platform/posix/paths.h),
// the errors Windows gives for a path that failed, and the running program's own path.
#include "platform/posix/paths.h"
#include "platform/posix/codepage.h"
#include "platform/posix/file_system.h"
#include "platform/posix/files.h"
#include "platform/posix/resources.h"

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace zxposix {
namespace {

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

bool IsInvalidNameChar(WCHAR c) {
    return c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' ||
           c == L'*';
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

} // namespace

bool IsWildcard(WCHAR c) {
    return c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"';
}

WCHAR FoldCase(WCHAR c) {
    return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
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

DWORD ParseForFileOp(LPCWSTR text, WindowsPath* path) {
    if (text == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return ParseWindowsPath(text, false, path);
}

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
        if (s.empty()) {
            return ERROR_INVALID_NAME; // the prefix alone names nothing
        }
    }
    size_t pos = 0;
    bool absolute = false;
    if (s.size() >= 2 && s[1] == L':' &&
        ((s[0] >= L'A' && s[0] <= L'Z') || (s[0] >= L'a' && s[0] <= L'z'))) {
        if (FoldCase(s[0]) != L'C') {
            return ERROR_PATH_NOT_FOUND; // the only drive is C:
        }
        pos = 2;
        absolute = s.size() > 2 && IsSeparator(s[2]);
    } else if (IsSeparator(s[0])) {
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

} // namespace zxposix

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
