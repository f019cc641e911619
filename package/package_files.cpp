#include "package/package_files.h"

#include "app/state/app_state.h"
#include "common/text.h"
#include "common/wformat.h"
#include "package/zip_reader.h"

#include <wchar.h>

void GetTempFolder(WCHAR* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    buffer[0] = 0;
    DWORD n = GetTempPathW(capacity, buffer);
    if (n == 0 || n >= capacity) {
        buffer[0] = 0; // failed, or the path does not fit
        return;
    }
    size_t len = wcslen(buffer);
    if (len > 0 && buffer[len - 1] == L'\\') {
        buffer[len - 1] = 0;
    }
}

BOOL PathExists(const WCHAR* path) {
    if (path == nullptr || path[0] == 0) {
        return FALSE;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    FindClose(find);
    return TRUE;
}

DWORD ReadWholeFile(const WCHAR* path, DWORD length, void* buffer) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD result = 0;
    if (buffer == nullptr) {
        result = GetFileSize(file, nullptr);
        if (result == INVALID_FILE_SIZE) {
            result = 0;
        }
    } else {
        DWORD got = 0;
        if (ReadFile(file, buffer, length, &got, nullptr)) {
            result = got;
        }
    }
    CloseHandle(file);
    return result;
}

BOOL WriteWholeFile(const WCHAR* path, const void* data, DWORD length) {
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, length, &written, nullptr);
    CloseHandle(file);
    return ok;
}

void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workingFolder) {
    const void* bytes = nullptr;
    DWORD size = 0;
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), resourceType);
    if (found != nullptr) {
        size = SizeofResource(nullptr, found);
        HGLOBAL loaded = LoadResource(nullptr, found);
        bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (bytes == nullptr) {
            size = 0;
        }
    }
    static const BYTE kNothing[1] = {0};
    WCHAR temp[PACKAGE_PATH_CHARS];
    WCHAR archive[PACKAGE_PATH_CHARS];
    GetTempFolder(temp, PACKAGE_PATH_CHARS);
    if (WFormat(archive, PACKAGE_PATH_CHARS, L"%s\\%s", temp, PACKAGE_TEMP_ARCHIVE_NAME) < 0) {
        return; // a temp path this long leaves no room for the archive's name
    }
    WriteWholeFile(archive, bytes != nullptr ? bytes : kNothing, size);
    CreateDirectoryW(workingFolder, nullptr);
    UnzipToFolder(archive, workingFolder, TRUE);
}

int UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, BOOL deleteArchive) {
    CreateDirectoryW(folder, nullptr);
    int written = -1;
    ZipReader reader;
    if (ZipOpenArchive(&reader, archivePath)) {
        written = 0;
        ZipSetBaseFolder(&reader, folder);
        // The count shrinks to the entries that can be reached when the archive claims more.
        for (uint32_t i = 0; i < ZipEntryCount(&reader); ++i) {
            ZipEntry entry;
            if (ZipGetEntry(&reader, i, &entry) && ZipExtractEntry(&reader, i) == 1) {
                ++written;
            }
        }
        ZipCloseArchive(&reader);
    }
    if (deleteArchive) {
        DeleteFileW(archivePath);
    }
    return written;
}

void DeleteFilesInFolder(const WCHAR* folder, const WCHAR* pattern) {
    WCHAR search[PACKAGE_DELETE_PATH_CHARS];
    if (WFormat(search, PACKAGE_DELETE_PATH_CHARS, L"%s\\%s", folder, pattern) < 0) {
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(search, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            WCHAR path[PACKAGE_DELETE_PATH_CHARS];
            if (WFormat(path, PACKAGE_DELETE_PATH_CHARS, L"%s\\%s", folder, data.cFileName) >= 0) {
                DeleteFileW(path);
            }
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

void CleanUpWorkingFolder(const WCHAR* workingFolder) {
    if (workingFolder == nullptr || workingFolder[0] == 0) {
        return; // no folder was made: nothing to leave or delete
    }
    WCHAR parent[PACKAGE_PATH_CHARS];
    if (WFormat(parent, PACKAGE_PATH_CHARS, L"%s\\..", workingFolder) >= 0) {
        SetCurrentDirectoryW(parent);
    }
    DeleteFilesInFolder(workingFolder, L"*.*");
    RemoveDirectoryW(workingFolder);
}

void PreparePackage() {
    AppState* state = GetAppState();
    WCHAR temp[PACKAGE_PATH_CHARS];
    WCHAR root[PACKAGE_PATH_CHARS];
    GetTempFolder(temp, PACKAGE_PATH_CHARS);
    if (WFormat(root, PACKAGE_PATH_CHARS, L"%s\\%s", temp, PACKAGE_ROOT_NAME) < 0) {
        return; // the folder names would be cut; leave the paths empty (defaults apply)
    }
    if (!PathExists(root)) {
        CreateDirectoryW(root, nullptr);
    }
    WCHAR working[PACKAGE_PATH_CHARS];
    if (WFormat(working, PACKAGE_PATH_CHARS, L"%s\\%I64d", root,
                static_cast<long long>(GetTickCount64())) < 0) {
        return;
    }
    CopyText(state->WorkingFolder, APP_PATH_CHARS, working);
    if (!PathExists(working)) {
        CreateDirectoryW(working, nullptr);
    }
    ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, working);
    WCHAR config[PACKAGE_PATH_CHARS];
    if (WFormat(config, PACKAGE_PATH_CHARS, L"%s\\%s", working, PACKAGE_CONFIG_NAME) >= 0) {
        CopyText(state->ConfigPath, APP_PATH_CHARS, config);
    }
}

namespace {

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

bool IsForbiddenChar(WCHAR c) {
    return c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
           c == L'|' || c == 0x7F;
}

// A component made only of dots and blanks other than "." itself: ".." climbs out, and
// Windows trims trailing dots and blanks, so "..." and ". ." would climb out as well.
bool IsClimbingComponent(const WCHAR* begin, const WCHAR* end) {
    if (end - begin == 1 && begin[0] == L'.') {
        return false;
    }
    if (begin == end) {
        return false;
    }
    for (const WCHAR* p = begin; p < end; ++p) {
        if (*p != L'.' && *p != L' ') {
            return false;
        }
    }
    return true;
}

WCHAR AsciiUpper(WCHAR c) {
    return c >= L'a' && c <= L'z' ? static_cast<WCHAR>(c - L'a' + L'A') : c;
}

// A component that Windows opens as a device wherever it stands: CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, CONIN$ and CONOUT$, in any case, alone or before a dot or blanks
// ("nul.txt", "CON ").
bool IsDeviceComponent(const WCHAR* begin, const WCHAR* end) {
    const WCHAR* stem = begin;
    while (stem < end && *stem != L'.') {
        ++stem;
    }
    while (stem > begin && stem[-1] == L' ') {
        --stem;
    }
    WCHAR upper[8];
    size_t length = static_cast<size_t>(stem - begin);
    if (length < 3 || length > 7) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        upper[i] = AsciiUpper(begin[i]);
    }
    upper[length] = 0;
    static const WCHAR* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const WCHAR* device : kDevices) {
        if (wcscmp(upper, device) == 0) {
            return true;
        }
    }
    return length == 4 && (wcsncmp(upper, L"COM", 3) == 0 || wcsncmp(upper, L"LPT", 3) == 0) &&
           upper[3] >= L'1' && upper[3] <= L'9';
}

} // namespace

BOOL IsSafeRelativeName(const WCHAR* name) {
    if (name == nullptr || name[0] == 0 || IsSeparator(name[0])) {
        return FALSE;
    }
    const WCHAR* component = name;
    for (const WCHAR* p = name;; ++p) {
        if (*p == 0 || IsSeparator(*p)) {
            if (IsClimbingComponent(component, p) || IsDeviceComponent(component, p)) {
                return FALSE;
            }
            if (*p == 0) {
                break;
            }
            component = p + 1;
        } else if (IsForbiddenChar(*p)) {
            return FALSE;
        }
    }
    return TRUE;
}
