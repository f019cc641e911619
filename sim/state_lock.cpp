// One run at a time on a state file: the file "<state>.lock" beside it, locked for the whole
// run. The state file itself is replaced at the end of a run (written to "<state>.new" and
// renamed over it), so a lock on it would lock the file that is about to be replaced; the lock
// file stays. The lock is the operating system's (flock; LockFileEx on Windows), so it goes with
// the process however the process ends.
#include "sim/control.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace sim {
namespace {

struct HeldLock {
    std::mutex lock;
#ifdef _WIN32
    HANDLE file = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};

HeldLock& Held() {
    static auto* held = new HeldLock;
    return *held;
}

} // namespace

int LockStateFile(const std::string& path, bool wait, std::string* error) {
    HeldLock& h = Held();
    std::lock_guard<std::mutex> guard(h.lock);
    const std::string lockPath = path + ".lock";
#ifdef _WIN32
    if (h.file != INVALID_HANDLE_VALUE) {
        return kStateLockTaken;
    }
    HANDLE file = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) {
            *error = "state " + path + ": the lock file " + lockPath + " cannot be opened";
        }
        return kStateLockFailed;
    }
    OVERLAPPED at = {};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
            return kStateLockBusy;
        }
        if (error) {
            *error = "state " + path + ": the lock file " + lockPath + " cannot be locked";
        }
        return kStateLockFailed;
    }
    h.file = file;
    return kStateLockTaken;
#else
    if (h.fd >= 0) {
        return kStateLockTaken;
    }
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (error) {
            *error = "state " + path + ": the lock file " + lockPath +
                     " cannot be opened: " + std::strerror(errno);
        }
        return kStateLockFailed;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int code = errno;
        close(fd);
        if (code == EWOULDBLOCK) {
            return kStateLockBusy;
        }
        if (error) {
            *error = "state " + path + ": the lock file " + lockPath +
                     " cannot be locked: " + std::strerror(code);
        }
        return kStateLockFailed;
    }
    h.fd = fd;
    return kStateLockTaken;
#endif
}

void UnlockStateFile() {
    HeldLock& h = Held();
    std::lock_guard<std::mutex> guard(h.lock);
#ifdef _WIN32
    if (h.file != INVALID_HANDLE_VALUE) {
        CloseHandle(h.file);
        h.file = INVALID_HANDLE_VALUE;
    }
#else
    if (h.fd >= 0) {
        close(h.fd);
        h.fd = -1;
    }
#endif
}

int TakeStateFileLock(const std::string& path, const char* program, bool wait, std::string* error) {
    int result = LockStateFile(path, false, error);
    if (result != kStateLockBusy || !wait) {
        return result;
    }
    // Another run has the file: say so, then wait for it, so that its update is not lost.
    std::fprintf(stderr, "%s: the state file %s is in use by another run; waiting for it\n",
                 program, path.c_str());
    return LockStateFile(path, true, error);
}

} // namespace sim
