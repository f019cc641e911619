// Opening an archive with minizip through file functions written on the file API of
// platform/win32.h. The path goes to CreateFileW as given, wide, so the same code opens any
// path the platform's CreateFileW opens, non-ASCII names included. Archives are only read.
#include "package/zip_reader.h"

#include <ioapi.h>
#include <stdlib.h>
#include <unzip.h>

namespace {

const uLong kMaxRead = 0x7FFFFFFF; // one ReadFile call moves at most this much

// One open archive file: its handle, and whether a read, seek or tell on it has failed.
struct ZipFile {
    HANDLE hFile;
    int bFailed;
};

voidpf ZCALLBACK ZipFileOpen(voidpf opaque, const void* filename, int mode) {
    (void)opaque;
    if (filename == nullptr ||
        (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
        return nullptr;
    }
    ZipFile* file = static_cast<ZipFile*>(calloc(1, sizeof(ZipFile)));
    if (file == nullptr) {
        return nullptr;
    }
    file->hFile = CreateFileW(static_cast<const WCHAR*>(filename), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file->hFile == INVALID_HANDLE_VALUE) {
        free(file);
        return nullptr;
    }
    return file;
}

uLong ZCALLBACK ZipFileRead(voidpf opaque, voidpf stream, void* buf, uLong size) {
    (void)opaque;
    ZipFile* file = static_cast<ZipFile*>(stream);
    DWORD got = 0;
    if (!ReadFile(file->hFile, buf, static_cast<DWORD>(size < kMaxRead ? size : kMaxRead), &got,
                  nullptr)) {
        file->bFailed = 1;
        return 0;
    }
    return got;
}

// The archive is opened for reading only: every write fails.
uLong ZCALLBACK ZipFileWrite(voidpf opaque, voidpf stream, const void* buf, uLong size) {
    (void)opaque;
    (void)buf;
    (void)size;
    static_cast<ZipFile*>(stream)->bFailed = 1;
    return 0;
}

ZPOS64_T ZCALLBACK ZipFileTell(voidpf opaque, voidpf stream) {
    (void)opaque;
    ZipFile* file = static_cast<ZipFile*>(stream);
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file->hFile, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        file->bFailed = 1;
        return static_cast<ZPOS64_T>(-1);
    }
    return (static_cast<ZPOS64_T>(static_cast<DWORD>(high)) << 32) | low;
}

// 0 when the file position is now offset from the origin, -1 otherwise.
long ZCALLBACK ZipFileSeek(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin) {
    (void)opaque;
    ZipFile* file = static_cast<ZipFile*>(stream);
    DWORD method;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        method = FILE_BEGIN;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        method = FILE_CURRENT;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        method = FILE_END;
        break;
    default:
        return -1;
    }
    // The 64-bit distance in two halves; a backward move arrives as its two's complement.
    LONG high = static_cast<LONG>(static_cast<DWORD>(offset >> 32));
    SetLastError(NO_ERROR);
    DWORD low =
        SetFilePointer(file->hFile, static_cast<LONG>(static_cast<DWORD>(offset)), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        file->bFailed = 1;
        return -1;
    }
    return 0;
}

int ZCALLBACK ZipFileClose(voidpf opaque, voidpf stream) {
    (void)opaque;
    ZipFile* file = static_cast<ZipFile*>(stream);
    BOOL closed = CloseHandle(file->hFile);
    free(file);
    return closed ? 0 : -1;
}

int ZCALLBACK ZipFileError(voidpf opaque, voidpf stream) {
    (void)opaque;
    return static_cast<ZipFile*>(stream)->bFailed;
}

} // namespace

void* ZipOpenFile(const WCHAR* path) {
    if (path == nullptr || path[0] == 0) {
        return nullptr;
    }
    zlib_filefunc64_def functions;
    functions.zopen64_file = ZipFileOpen;
    functions.zread_file = ZipFileRead;
    functions.zwrite_file = ZipFileWrite;
    functions.ztell64_file = ZipFileTell;
    functions.zseek64_file = ZipFileSeek;
    functions.zclose_file = ZipFileClose;
    functions.zerror_file = ZipFileError;
    functions.opaque = nullptr;
    return unzOpen2_64(path, &functions);
}
