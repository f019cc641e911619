// The working folder and the small file operations of the package: the temp, package root and
// per-run working folders, the extraction of the embedded ZIP package, and the exit-time
// clean-up.
#pragma once

#include "package/entry_names.h"
#include "platform/win32.h"

#include <stdint.h>

#define PACKAGE_PATH_CHARS 260         // every path of the package code
#define PACKAGE_DELETE_PATH_CHARS 1024 // paths built while deleting a folder's files
#define PACKAGE_RESOURCE_TYPE L"FWPACKAGEZIP"
#define PACKAGE_RESOURCE_ID 1000
#define PACKAGE_ROOT_NAME L"Reflash"
#define PACKAGE_TEMP_ARCHIVE_NAME L"~ReleasePackage.a"
#define PACKAGE_CONFIG_NAME L"ReflashInfo.ini"
#define PACKAGE_MAX_FILES 256 // files one extraction writes and the clean-up may remove
#define PACKAGE_MAX_EXPANDED_BYTES (256ull * 1024 * 1024) // all entries together, expanded
#define PACKAGE_MAX_RATIO 1000                            // expanded size per compressed byte
#define PACKAGE_MAX_CONFIG_BYTES (1024u * 1024)           // ReflashInfo.ini, expanded
#define PACKAGE_WORKING_FOLDER_TRIES 1000 // tick values tried when the name is taken
// Shown when the temp folder gives no working folder of this run's own; the program then ends.
#define PACKAGE_START_ERROR_CAPTION L"Package Error"
#define PACKAGE_START_ERROR_TEXT                                                                   \
    L"The temporary folder cannot hold this program's working folder (its path is too long, or "   \
    L"the folder cannot be created). Set TEMP to a shorter, writable folder and start again."

// The files one extraction wrote, by their names relative to the folder: the clean-up removes
// these and nothing else, and a later entry whose name Windows folds into one of them is
// skipped.
struct ZipReader;

struct PackageExtraction {
    WCHAR Folder[PACKAGE_PATH_CHARS];
    uint32_t iCount;
    WCHAR Names[PACKAGE_MAX_FILES][PACKAGE_PATH_CHARS];
};

// The platform temp path with one trailing backslash removed.
void GetTempFolder(WCHAR* buffer, DWORD capacity);

// True when the path is not empty and FindFirstFileW finds a match for it (a file, a folder or
// a wildcard pattern).
BOOL PathExists(const WCHAR* path);

// Without a buffer: the file's size (low 32 bits). With one: reads length bytes in one
// ReadFile and returns the count read. 0 when the file cannot be opened.
DWORD ReadWholeFile(const WCHAR* path, DWORD length, void* buffer);

// Creates or replaces the file and writes the data in one WriteFile; the result of WriteFile.
BOOL WriteWholeFile(const WCHAR* path, const void* data, DWORD length);

// Removes whatever file or link has the name, then creates the file exclusively and writes the
// data in one WriteFile, so nothing is ever written through a planted link. FALSE when the
// name could not be taken or the write failed.
BOOL WriteNewFile(const WCHAR* path, const void* data, DWORD length);

// Writes the resource (type, id) of the running module to the temporary archive file, creates
// the working folder and unpacks the archive into it, deleting the archive afterwards. A
// missing resource gives an empty archive, which unpacks to nothing.
void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workingFolder);

// Unpacks every entry of the archive under the folder, in entry order, and records the files
// written (GetPackageExtraction). Entries whose names would leave the folder (absolute, drive
// letter, ".." component, characters a file name may not hold), symbolic links, names that
// Windows folds into an earlier entry's, names already present and paths through a link are
// skipped; the others are extracted. An archive that would expand past
// PACKAGE_MAX_EXPANDED_BYTES, holds an entry expanding more than PACKAGE_MAX_RATIO times, or
// a ReflashInfo.ini over PACKAGE_MAX_CONFIG_BYTES, is refused whole. Returns the number of
// entries written, or -1 when the archive cannot be opened or is refused. With deleteArchive
// the archive file is deleted in either case.
int UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, BOOL deleteArchive);

// Whether the archive's claimed sizes stay within the limits UnzipToFolder applies: 0 when
// they do, else the first limit passed (PACKAGE_LIMIT_*).
#define PACKAGE_LIMIT_TOTAL 1  // more than PACKAGE_MAX_EXPANDED_BYTES in all
#define PACKAGE_LIMIT_RATIO 2  // an entry expands more than PACKAGE_MAX_RATIO times
#define PACKAGE_LIMIT_CONFIG 3 // ReflashInfo.ini larger than PACKAGE_MAX_CONFIG_BYTES
int CheckArchiveLimits(ZipReader* reader);

// The files the last UnzipToFolder wrote.
const PackageExtraction* GetPackageExtraction();

// Deletes every plain file of the folder that matches the pattern; folders are skipped.
void DeleteFilesInFolder(const WCHAR* folder, const WCHAR* pattern);

// Leaves the working folder, deletes the plain files that the extraction into it wrote at its
// top level (never a file someone else put there) and removes it, which fails, silently, when
// anything else is left in it.
void CleanUpWorkingFolder(const WCHAR* workingFolder);

// Start-up of the package, run once by dialog initialisation before the configuration is read:
// the package root folder under the temp folder, a new working folder named after the tick
// count (the next number while the name is taken; stored in the Application state), the
// extraction of the embedded package, and the configuration file path (stored in the
// Application state). FALSE, with nothing written, when the temp folder path does not fit or
// no working folder of this run's own can be made there.
BOOL PreparePackage();
