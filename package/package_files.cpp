#include "package/package_files.h"

#include "app/state/app_state.h"
#include "common/text.h"
#include "common/wformat.h"
#include "package/zip_reader.h"

#include <string.h>
#include <wchar.h>

namespace {

PackageExtraction g_extraction;

// A folder of our own to write in: it exists, is a folder, and is not a link or junction.
bool IsPlainFolder(const WCHAR* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Whether Windows would take the name for one the extraction already wrote.
bool FoldsIntoExtracted(const WCHAR* name) {
    WCHAR folded[PACKAGE_PATH_CHARS];
    WCHAR other[PACKAGE_PATH_CHARS];
    if (!FoldEntryName(name, folded, PACKAGE_PATH_CHARS)) {
        return true; // a name that cannot be compared is not risked
    }
    for (uint32_t i = 0; i < g_extraction.iCount; ++i) {
        if (FoldEntryName(g_extraction.Names[i], other, PACKAGE_PATH_CHARS) &&
            wcscmp(folded, other) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

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

BOOL WriteNewFile(const WCHAR* path, const void* data, DWORD length) {
    DeleteFileW(path); // a file or a link of that name goes; a link's target is left alone
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, data, length, &written, nullptr) && written == length;
    CloseHandle(file);
    return ok;
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
    CreateDirectoryW(workingFolder, nullptr);
    if (!WriteNewFile(archive, bytes != nullptr ? bytes : kNothing, size)) {
        DeleteFileW(archive); // a partial archive is not unpacked
        memset(&g_extraction, 0, sizeof(g_extraction));
        return;
    }
    UnzipToFolder(archive, workingFolder, TRUE);
}

// The sizes the central directory claims, checked before anything is written.
int CheckArchiveLimits(ZipReader* reader) {
    WCHAR config[PACKAGE_PATH_CHARS];
    FoldEntryName(PACKAGE_CONFIG_NAME, config, PACKAGE_PATH_CHARS);
    uint64_t total = 0;
    for (uint32_t i = 0; i < ZipEntryCount(reader); ++i) {
        ZipEntry entry;
        if (!ZipGetEntry(reader, i, &entry)) {
            continue; // unreadable: never extracted either
        }
        if (entry.iCompressedSize <= UINT64_MAX / PACKAGE_MAX_RATIO &&
            entry.iSize > entry.iCompressedSize * PACKAGE_MAX_RATIO) {
            return PACKAGE_LIMIT_RATIO;
        }
        total += entry.iSize;
        if (entry.iSize > PACKAGE_MAX_EXPANDED_BYTES || total > PACKAGE_MAX_EXPANDED_BYTES) {
            return PACKAGE_LIMIT_TOTAL;
        }
        WCHAR folded[PACKAGE_PATH_CHARS];
        if (entry.Name[0] != 0 && FoldEntryName(entry.Name, folded, PACKAGE_PATH_CHARS) &&
            wcscmp(folded, config) == 0 && entry.iSize > PACKAGE_MAX_CONFIG_BYTES) {
            return PACKAGE_LIMIT_CONFIG;
        }
    }
    return 0;
}

int UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, BOOL deleteArchive) {
    memset(&g_extraction, 0, sizeof(g_extraction));
    CopyText(g_extraction.Folder, PACKAGE_PATH_CHARS, folder);
    CreateDirectoryW(folder, nullptr);
    int written = -1;
    ZipReader reader;
    if (IsPlainFolder(folder) && ZipOpenArchive(&reader, archivePath)) {
        if (CheckArchiveLimits(&reader) == 0) {
            written = 0;
            ZipSetBaseFolder(&reader, folder);
        }
        // The count shrinks to the entries that can be reached when the archive claims more.
        for (uint32_t i = 0; written >= 0 && i < ZipEntryCount(&reader); ++i) {
            ZipEntry entry;
            if (!ZipGetEntry(&reader, i, &entry) || !entry.bNameValid) {
                continue;
            }
            if (!entry.bDirectory &&
                (FoldsIntoExtracted(entry.Name) || g_extraction.iCount >= PACKAGE_MAX_FILES)) {
                continue; // one file would replace another on Windows, or the list is full
            }
            if (ZipExtractEntry(&reader, i) == 1) {
                ++written;
                if (!entry.bDirectory) {
                    CopyText(g_extraction.Names[g_extraction.iCount++], PACKAGE_PATH_CHARS,
                             entry.Name);
                }
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
    // Only the files this run extracted at the folder's top level go; files in sub-folders
    // stay, like the sub-folders themselves.
    if (wcscmp(g_extraction.Folder, workingFolder) == 0) {
        for (uint32_t i = 0; i < g_extraction.iCount; ++i) {
            const WCHAR* name = g_extraction.Names[i];
            WCHAR path[PACKAGE_DELETE_PATH_CHARS];
            if (wcschr(name, L'\\') == nullptr &&
                WFormat(path, PACKAGE_DELETE_PATH_CHARS, L"%s\\%s", workingFolder, name) >= 0) {
                DeleteFileW(path);
            }
        }
        memset(&g_extraction, 0, sizeof(g_extraction));
    }
    RemoveDirectoryW(workingFolder);
}

const PackageExtraction* GetPackageExtraction() {
    return &g_extraction;
}

BOOL PreparePackage() {
    AppState* state = GetAppState();
    state->WorkingFolder[0] = 0;
    state->ConfigPath[0] = 0;
    WCHAR temp[PACKAGE_PATH_CHARS];
    WCHAR root[PACKAGE_PATH_CHARS];
    WCHAR archive[PACKAGE_PATH_CHARS];
    GetTempFolder(temp, PACKAGE_PATH_CHARS);
    // An empty temp folder would put everything at the root of the drive.
    if (temp[0] == 0 || WFormat(root, PACKAGE_PATH_CHARS, L"%s\\%s", temp, PACKAGE_ROOT_NAME) < 0 ||
        WFormat(archive, PACKAGE_PATH_CHARS, L"%s\\%s", temp, PACKAGE_TEMP_ARCHIVE_NAME) < 0) {
        return FALSE;
    }
    if (!PathExists(root)) {
        CreateDirectoryW(root, nullptr);
    }
    if (!IsPlainFolder(root)) {
        return FALSE; // missing, a file, or a link to somewhere else
    }
    // The working folder must be one this run created: a name already taken (a left-over
    // folder, a planted link, a run in the same millisecond) moves on to the next number.
    WCHAR working[PACKAGE_PATH_CHARS];
    WCHAR config[PACKAGE_PATH_CHARS];
    long long tick = static_cast<long long>(GetTickCount64());
    bool created = false;
    for (int i = 0; i < PACKAGE_WORKING_FOLDER_TRIES && !created; ++i) {
        if (WFormat(working, PACKAGE_PATH_CHARS, L"%s\\%I64d", root, tick + i) < 0 ||
            WFormat(config, PACKAGE_PATH_CHARS, L"%s\\%s", working, PACKAGE_CONFIG_NAME) < 0) {
            return FALSE;
        }
        if (CreateDirectoryW(working, nullptr)) {
            created = true;
        } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return FALSE;
        }
    }
    if (!created) {
        return FALSE;
    }
    CopyText(state->WorkingFolder, APP_PATH_CHARS, working);
    ExtractPackage(PACKAGE_RESOURCE_TYPE, PACKAGE_RESOURCE_ID, working);
    CopyText(state->ConfigPath, APP_PATH_CHARS, config);
    return TRUE;
}
