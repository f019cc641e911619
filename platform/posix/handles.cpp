// The handle table, the last error, and CloseHandle for every kind of handle.
#include "platform/posix/handles.h"

#include <mutex>
#include <unordered_map>

namespace zxposix {
namespace {

// The table and its lock are never destroyed: as on Windows, a thread of the program (an update
// worker closing its last handles) may still run while the process ends and its statics go.
std::mutex& g_lock = *new std::mutex;
std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>>& g_handles =
    *new std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>>;
uintptr_t g_next = 0x100;

} // namespace

HANDLE NewHandle(std::shared_ptr<HandleObject> object) {
    std::lock_guard<std::mutex> guard(g_lock);
    uintptr_t value = g_next;
    g_next += 4;
    g_handles[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> GetHandleObject(HANDLE handle) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == g_handles.end() ? nullptr : it->second;
}

bool DropHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object; // released outside the lock
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) {
        return false;
    }
    object = std::move(it->second);
    g_handles.erase(it);
    return true;
}

BOOL HandleObject::Close(HANDLE self) {
    if (!DropHandle(self)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // namespace zxposix

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<zxposix::HandleObject> object = zxposix::GetHandleObject(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Close(handle);
}
