// The working folder and the small file operations of the package: the temp, package root and
// per-run working folders, the extraction of the embedded ZIP package, and the exit-time
// clean-up.
#pragma once

#include "platform/win32.h"

#define PACKAGE_PATH_CHARS 260         // every path of the package code
#define PACKAGE_DELETE_PATH_CHARS 1024 // paths built while deleting a folder's files
#define PACKAGE_RESOURCE_TYPE L"FWPACKAGEZIP"
#define PACKAGE_RESOURCE_ID 1000
#define PACKAGE_ROOT_NAME L"Reflash"
#define PACKAGE_TEMP_ARCHIVE_NAME L"~ReleasePackage.a"
#define PACKAGE_CONFIG_NAME L"ReflashInfo.ini"

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

// Writes the resource (type, id) of the running module to the temporary archive file, creates
// the working folder and unpacks the archive into it, deleting the archive afterwards. A
// missing resource gives an empty archive, which unpacks to nothing.
void ExtractPackage(const WCHAR* resourceType, int resourceId, const WCHAR* workingFolder);

// Unpacks every entry of the archive under the folder, in entry order. Entries whose names
// would leave the folder (absolute, drive letter, ".." component, characters a file name may
// not hold) and symbolic links are skipped; the others are extracted. Returns the number of
// entries written, or -1 when the archive cannot be opened. With deleteArchive the archive
// file is deleted in either case.
int UnzipToFolder(const WCHAR* archivePath, const WCHAR* folder, BOOL deleteArchive);

// Deletes every plain file of the folder that matches the pattern; folders are skipped.
void DeleteFilesInFolder(const WCHAR* folder, const WCHAR* pattern);

// Leaves the working folder, deletes its plain files and removes it (which fails, silently,
// when it holds sub-folders).
void CleanUpWorkingFolder(const WCHAR* workingFolder);

// Start-up of the package, run once by dialog initialisation before the configuration is read:
// the package root folder under the temp folder, a new working folder named after the tick
// count (stored in the Application state), the extraction of the embedded package, and the
// configuration file path (stored in the Application state).
void PreparePackage();

// True for a relative name that stays inside the folder it is joined to: not empty, not
// absolute, no drive letter or stream (no ':'), no "..", "..." or blank-and-dot component
// (with '/' or '\' as separator), no wildcard, control or reserved character, no component
// that Windows opens as a device (CON, NUL, COM1, "aux.txt", ...).
BOOL IsSafeRelativeName(const WCHAR* name);
