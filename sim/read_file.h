// Reading a whole input file of the simulated PC and its tools: only what fits a limit, and a
// clear reason, never an exception, for a folder, a missing file, a name too long, a link loop
// or an endless device such as /dev/zero.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

// Flags of open(): close on exec where there is exec, and bytes as they are where the C
// runtime would otherwise translate line ends (Windows).
#ifdef O_CLOEXEC
constexpr int kReadFileCloseOnExec = O_CLOEXEC;
#else
constexpr int kReadFileCloseOnExec = 0;
#endif
#ifdef O_BINARY
constexpr int kReadFileBinary = O_BINARY;
#else
constexpr int kReadFileBinary = 0;
#endif

// The largest scenario, package or vendor block file read.
constexpr size_t kMaxInputFileBytes = 64u * 1024 * 1024;

// Reads the file into out; false with the reason in error ("<path>: is a folder", "<path>: File
// name too long", "<path>: larger than N bytes", ...).
inline bool ReadInputFile(const std::string& path, size_t limit, std::string* out,
                          std::string* error) {
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | kReadFileCloseOnExec | kReadFileBinary);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *error = path + ": is a folder";
        close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        if (static_cast<size_t>(n) > limit - out->size()) {
            *error = path + ": larger than " + std::to_string(limit) + " bytes";
            close(fd);
            out->clear();
            return false;
        }
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

} // namespace sim
