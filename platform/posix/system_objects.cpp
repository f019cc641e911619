// Named mutexes as lock files, the system time, the expansion of environment variables.
#include "platform/posix/system_objects.h"
#include "platform/posix/paths.h"
#include "platform/posix/control.h"
#include "platform/posix/handles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;
std::string g_prefix;                   // what lock file names start with; empty: this process only
std::map<std::string, int> g_localHeld; // names held in this process (the count of handles)

struct MutexObject : zxposix::HandleObject {
    std::string name;
    int fd = -1; // the lock file, open and locked, while owned
    bool owned = false;
    ~MutexObject() override { Give(); }
    void Give() {
        if (!owned) {
            return;
        }
        owned = false;
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
            fd = -1;
        }
        std::lock_guard<std::mutex> guard(g_lock);
        if (--g_localHeld[name] <= 0) {
            g_localHeld.erase(name);
        }
    }
};

// The name as a file name: path separators and other odd characters become '_'.
std::string FileNameOf(const std::string& name) {
    std::string out;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        out += plain ? c : '_';
    }
    return out;
}

} // namespace

namespace zxposix {

void SetNamedObjectPrefix(const char* prefix) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_prefix = prefix != nullptr ? prefix : "";
}

} // namespace zxposix

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    auto object = std::make_shared<MutexObject>();
    object->name = name != nullptr ? zxposix::Utf8FromWide(name) : "";
    std::string prefix;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        prefix = g_prefix;
        if (!object->name.empty() && g_localHeld.count(object->name) != 0) {
            SetLastError(ERROR_ALREADY_EXISTS); // held in this process already
            return zxposix::NewHandle(object);
        }
    }
    if (!object->name.empty() && !prefix.empty()) {
        const std::string path = prefix + FileNameOf(object->name) + ".lock";
        object->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (object->fd < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return NULL;
        }
        if (flock(object->fd, LOCK_EX | LOCK_NB) != 0) {
            close(object->fd);
            object->fd = -1;
            SetLastError(ERROR_ALREADY_EXISTS); // another process holds it
            return zxposix::NewHandle(object);
        }
    }
    if (!object->name.empty()) {
        std::lock_guard<std::mutex> guard(g_lock);
        ++g_localHeld[object->name];
    }
    object->owned = true;
    (void)initialOwner; // the first creator owns it: the only use this layer serves
    SetLastError(ERROR_SUCCESS);
    return zxposix::NewHandle(object);
}

BOOL ReleaseMutex(HANDLE mutex) {
    std::shared_ptr<MutexObject> object = zxposix::GetHandleAs<MutexObject>(mutex);
    if (object == nullptr || !object->owned) {
        SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_OWNER);
        return FALSE;
    }
    object->Give();
    return TRUE;
}

void GetSystemTime(LPSYSTEMTIME systemTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    systemTime->wYear = static_cast<WORD>(utc.tm_year + 1900);
    systemTime->wMonth = static_cast<WORD>(utc.tm_mon + 1);
    systemTime->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
    systemTime->wDay = static_cast<WORD>(utc.tm_mday);
    systemTime->wHour = static_cast<WORD>(utc.tm_hour);
    systemTime->wMinute = static_cast<WORD>(utc.tm_min);
    systemTime->wSecond = static_cast<WORD>(utc.tm_sec);
    systemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

namespace {

// The value of an environment variable in Windows form; false when it is not set.
bool VariableValue(const std::string& name, std::string* value) {
    std::string upper;
    for (char c : name) {
        upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (upper == "PROGRAMDATA") {
        const char* state = getenv("XDG_STATE_HOME");
        const std::string folder = state != nullptr && state[0] == '/' ? state : "/tmp";
        *value = zxposix::Utf8FromWide(zxposix::WindowsFormOf(folder));
        return true;
    }
    const char* text = getenv(name.c_str());
    if (text == nullptr) {
        return false;
    }
    *value = text;
    return true;
}

} // namespace

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string text = zxposix::Utf8FromWide(source);
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        std::string value;
        if (end != std::string::npos && end > i + 1 &&
            VariableValue(text.substr(i + 1, end - i - 1), &value)) {
            out += value;
            i = end + 1;
        } else {
            out += text[i];
            ++i;
        }
    }
    const std::wstring wide = zxposix::WideFromUtf8(out);
    const DWORD needed = static_cast<DWORD>(wide.size() + 1);
    if (destination != nullptr && size >= needed) {
        wide.copy(destination, wide.size());
        destination[wide.size()] = 0;
    }
    return needed;
}
