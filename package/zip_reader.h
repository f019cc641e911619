// The ZIP reading layer under UnzipToFolder, over minizip: open an archive without password,
// set the base folder, count the entries, get entry i, extract entry i under the base folder.
#pragma once

#include "package/package_files.h"

#include <stdint.h>

struct ZipReader {
    void* hArchive;   // minizip's unzFile, null when closed
    uint32_t iCount;  // number of entries
    int64_t iCurrent; // index of the entry minizip points at, -1 before the first
    WCHAR BaseFolder[PACKAGE_PATH_CHARS];
};

struct ZipEntry {
    WCHAR Name[PACKAGE_PATH_CHARS]; // stored name in wide text, '/' turned into '\'
    uint8_t bNameValid;             // the name was converted whole and is a safe relative name
    uint8_t bDirectory;             // the name ends with a separator
    uint8_t bSymlink;               // stored as a symbolic link (Unix mode or reparse point)
    uint8_t bEncrypted;             // general purpose bit 0: the data is encrypted
    uint64_t iSize;                 // uncompressed size
    uint64_t iCompressedSize;       // compressed size
};

// Opens the archive file; 1 on success, 0 when it cannot be opened as a ZIP archive.
int ZipOpenArchive(ZipReader* reader, const WCHAR* path);
void ZipSetBaseFolder(ZipReader* reader, const WCHAR* folder);
uint32_t ZipEntryCount(const ZipReader* reader);
// Fills the entry's description; 1 on success, 0 when the index or the entry is unreadable.
int ZipGetEntry(ZipReader* reader, uint32_t index, ZipEntry* entry);
// Writes entry i to its name under the base folder, creating the folders of its path. The file
// is created new: a name already present, or a folder on the way that is a link or not a
// folder, skips the entry. 1 when written, 0 when skipped (unsafe name, link, path too long,
// name present), -1 on a read or write failure or data longer than the stored size (a partly
// written or corrupt file is deleted).
int ZipExtractEntry(ZipReader* reader, uint32_t index);
void ZipCloseArchive(ZipReader* reader);

// Opens the archive for reading with minizip, through file functions on CreateFileW, ReadFile,
// SetFilePointer and CloseHandle; the wide path goes to CreateFileW as given. Returns the
// unzFile or null.
void* ZipOpenFile(const WCHAR* path);
