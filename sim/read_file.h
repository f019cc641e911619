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

#ifdef O_NONBLOCK
constexpr int kReadFileNoWait = O_NONBLOCK;
#else
constexpr int kReadFileNoWait = 0;
#endif

// Reads the file into out; false with the reason in error ("<path>: is a folder", "<path>: File
// name too long", "<path>: larger than N bytes", ...). With onlyRegular, anything but a regular
// file ("<path>: not a regular file": a FIFO, a device) is refused before a byte is read, and
// opening it does not wait for a writer.
inline bool ReadInputFile(const std::string& path, size_t limit, std::string* out,
                          std::string* error, bool onlyRegular = false) {
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | kReadFileCloseOnExec | kReadFileBinary |
                                    (onlyRegular ? kReadFileNoWait : 0));
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
    if (onlyRegular && !S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
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
