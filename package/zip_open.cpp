// Opening an archive with minizip: Windows paths go to minizip's wide-path file functions,
// other platforms take the path as UTF-8 with '/' separators.
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
    return unzOpen64(utf8);
#endif
}
