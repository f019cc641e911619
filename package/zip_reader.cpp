#include "package/zip_reader.h"

#include "common/text.h"
#include "common/wformat.h"

#include <string.h>
#include <unzip.h>
#include <wchar.h>

namespace {

const uLong kFlagEncrypted = 0x0001; // general purpose bit 0: the data is encrypted
const uLong kFlagUtf8Name = 0x0800;  // general purpose bit 11: the name is UTF-8
const uLong kHostUnix = 3;           // "version made by" high byte of Unix archivers
const uLong kUnixTypeMask = 0170000; // st_mode file type bits in external_fa >> 16
const uLong kUnixTypeLink = 0120000;
const uLong kDosReparsePoint = 0x400; // FILE_ATTRIBUTE_REPARSE_POINT in the low word
const size_t kRawNameBytes = 1024;
const DWORD kCopyChunk = 16384;

// Points minizip at entry index, walking forward from the current entry when it can. An entry
// that cannot be reached ends the archive there: the count shrinks to the entries before it,
// so an archive that claims more entries than it holds is not walked again for each of them.
bool GoToEntry(ZipReader* reader, uint32_t index) {
    if (reader->hArchive == nullptr || index >= reader->iCount) {
        return false;
    }
    if (reader->iCurrent < 0 || reader->iCurrent > static_cast<int64_t>(index)) {
        if (unzGoToFirstFile(reader->hArchive) != UNZ_OK) {
            reader->iCurrent = -1;
            reader->iCount = 0;
            return false;
        }
        reader->iCurrent = 0;
    }
    while (reader->iCurrent < static_cast<int64_t>(index)) {
        if (unzGoToNextFile(reader->hArchive) != UNZ_OK) {
            reader->iCount = static_cast<uint32_t>(reader->iCurrent + 1);
            reader->iCurrent = -1;
            return false;
        }
        ++reader->iCurrent;
    }
    return true;
}

// Creates every folder on the way to the entry's file (the name's parts before its last
// separator) below the base folder. False when one of them is not a plain folder afterwards:
// a file, or a link or junction that would lead the write elsewhere.
bool CreateParentFolders(const WCHAR* path, size_t baseLength) {
    WCHAR partial[PACKAGE_PATH_CHARS];
    CopyText(partial, PACKAGE_PATH_CHARS, path);
    for (size_t i = baseLength + 1; partial[i] != 0; ++i) {
        if (partial[i] == L'\\') {
            partial[i] = 0;
            CreateDirectoryW(partial, nullptr);
            DWORD attributes = GetFileAttributesW(partial);
            partial[i] = L'\\';
            if (attributes == INVALID_FILE_ATTRIBUTES ||
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

int ZipOpenArchive(ZipReader* reader, const WCHAR* path) {
    memset(reader, 0, sizeof(*reader));
    reader->iCurrent = -1;
    reader->hArchive = ZipOpenFile(path);
    if (reader->hArchive == nullptr) {
        return 0;
    }
    unz_global_info64 info;
    if (unzGetGlobalInfo64(reader->hArchive, &info) != UNZ_OK) {
        unzClose(reader->hArchive);
        reader->hArchive = nullptr;
        return 0;
    }
    reader->iCount =
        info.number_entry > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(info.number_entry);
    return 1;
}

void ZipSetBaseFolder(ZipReader* reader, const WCHAR* folder) {
    CopyText(reader->BaseFolder, PACKAGE_PATH_CHARS, folder);
}

uint32_t ZipEntryCount(const ZipReader* reader) {
    return reader->hArchive != nullptr ? reader->iCount : 0;
}

int ZipGetEntry(ZipReader* reader, uint32_t index, ZipEntry* entry) {
    memset(entry, 0, sizeof(*entry));
    if (!GoToEntry(reader, index)) {
        return 0;
    }
    unz_file_info64 info;
    char raw[kRawNameBytes];
    if (unzGetCurrentFileInfo64(reader->hArchive, &info, raw, sizeof(raw), nullptr, 0, nullptr,
                                0) != UNZ_OK) {
        return 0;
    }
    entry->iSize = info.uncompressed_size;
    entry->iCompressedSize = info.compressed_size;
    entry->bEncrypted = (info.flag & kFlagEncrypted) != 0 ? 1 : 0;
    uLong host = (info.version >> 8) & 0xFF;
    if ((host == kHostUnix && ((info.external_fa >> 16) & kUnixTypeMask) == kUnixTypeLink) ||
        (host != kHostUnix && (info.external_fa & kDosReparsePoint) != 0)) {
        entry->bSymlink = 1;
    }
    // A name that does not fit the raw buffer, holds a zero byte or does not convert whole
    // into a path-sized buffer is left invalid: it is never cut into another name.
    if (info.size_filename == 0 || info.size_filename >= sizeof(raw) ||
        memchr(raw, 0, info.size_filename) != nullptr) {
        return 1;
    }
    UINT codePage = (info.flag & kFlagUtf8Name) != 0 ? CP_UTF8 : CP_OEMCP;
    int n = MultiByteToWideChar(codePage, 0, raw, static_cast<int>(info.size_filename), entry->Name,
                                PACKAGE_PATH_CHARS - 1);
    if (n <= 0) {
        entry->Name[0] = 0;
        return 1;
    }
    entry->Name[n] = 0;
    for (int i = 0; i < n; ++i) {
        if (entry->Name[i] == L'/') {
            entry->Name[i] = L'\\';
        }
    }
    entry->bDirectory = entry->Name[n - 1] == L'\\' ? 1 : 0;
    entry->bNameValid = IsSafeRelativeName(entry->Name) ? 1 : 0;
    return 1;
}

int ZipExtractEntry(ZipReader* reader, uint32_t index) {
    ZipEntry entry;
    if (!ZipGetEntry(reader, index, &entry)) {
        return -1;
    }
    if (!entry.bNameValid || entry.bSymlink || reader->BaseFolder[0] == 0) {
        return 0;
    }
    WCHAR path[PACKAGE_PATH_CHARS];
    if (WFormat(path, PACKAGE_PATH_CHARS, L"%s\\%s", reader->BaseFolder, entry.Name) < 0) {
        return 0; // the full path would be cut into another name
    }
    size_t baseLength = wcslen(reader->BaseFolder);
    if (!CreateParentFolders(path, baseLength)) {
        return 0;
    }
    if (entry.bDirectory) {
        return 1;
    }
    if (unzOpenCurrentFile(reader->hArchive) != UNZ_OK) {
        return -1;
    }
    // Created new, never opened through an existing name: a planted file or link stays as it is.
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        unzCloseCurrentFile(reader->hArchive);
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? 0 : -1;
    }
    bool ok = true;
    uint64_t total = 0;
    BYTE chunk[kCopyChunk];
    for (;;) {
        int got = unzReadCurrentFile(reader->hArchive, chunk, kCopyChunk);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        if (static_cast<uint64_t>(got) > entry.iSize - total) {
            ok = false; // more data than the stored size: the limits were judged on that size
            break;
        }
        DWORD written = 0;
        if (!WriteFile(file, chunk, static_cast<DWORD>(got), &written, nullptr) ||
            written != static_cast<DWORD>(got)) {
            ok = false;
            break;
        }
        total += static_cast<uint64_t>(got);
    }
    CloseHandle(file);
    // Data that ends before the stored size is never checked against the CRC by minizip.
    if (total != entry.iSize) {
        ok = false;
    }
    // Closing the entry checks its CRC once it has been read to the end.
    if (unzCloseCurrentFile(reader->hArchive) != UNZ_OK) {
        ok = false;
    }
    if (!ok) {
        DeleteFileW(path); // a corrupt or partial file must not pass for the packaged one
        return -1;
    }
    return 1;
}

void ZipCloseArchive(ZipReader* reader) {
    if (reader->hArchive != nullptr) {
        unzClose(reader->hArchive);
        reader->hArchive = nullptr;
    }
    reader->iCount = 0;
    reader->iCurrent = -1;
}
