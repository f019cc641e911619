// Opening an archive with minizip: Windows paths go to minizip's wide-path file functions,
// other platforms take the path as UTF-8 with '/' separators (the POSIX layer's drive C: is
// the file system's root, so a leading drive letter is dropped).
#include "package/zip_reader.h"

#include <unzip.h>
#ifdef _WIN32
#include <iowin32.h>
#endif

void* ZipOpenFile(const WCHAR* path) {
    if (path == nullptr || path[0] == 0) {
        return nullptr;
    }
#ifdef _WIN32
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    return unzOpen2_64(path, &functions);
#else
    char utf8[4 * PACKAGE_PATH_CHARS];
    int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (n <= 0) {
        return nullptr;
    }
    for (char* p = utf8; *p != 0; ++p) {
        if (*p == '\\') {
            *p = '/';
        }
    }
    const char* native = utf8;
    if (((utf8[0] >= 'A' && utf8[0] <= 'Z') || (utf8[0] >= 'a' && utf8[0] <= 'z')) &&
        utf8[1] == ':' && utf8[2] == '/') {
        native = utf8 + 2;
    }
    return unzOpen64(native);
#endif
}
