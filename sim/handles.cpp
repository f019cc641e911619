// Handles of the simulated PC on top of the platform's backend handles: each platform handle
// carries a heap slot holding a shared reference to the object. Taking a reference and dropping
// the slot happen under one lock, so a handle closed on one thread never frees an object that a
// call on another thread is still using.
#include "sim/handles.h"

#include "platform/device_backend.h"

#include <mutex>

namespace sim {
namespace {

using Slot = std::shared_ptr<HandleObject>;

std::mutex& SlotLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

HANDLE NewHandle(std::shared_ptr<HandleObject> object) {
    auto slot = std::make_unique<Slot>(std::move(object));
    HANDLE handle = NewBackendHandle(slot.get());
    if (handle != INVALID_HANDLE_VALUE) {
        slot.release(); // owned by the handle until DropHandle
    }
    return handle;
}

std::shared_ptr<HandleObject> GetHandleObject(HANDLE handle) {
    std::lock_guard<std::mutex> guard(SlotLock());
    const Slot* slot = static_cast<const Slot*>(BackendHandleObject(handle));
    return slot ? *slot : nullptr;
}

bool DropHandle(HANDLE handle) {
    std::unique_ptr<Slot> slot; // the object is released outside the lock
    {
        std::lock_guard<std::mutex> guard(SlotLock());
        slot.reset(static_cast<Slot*>(DropBackendHandle(handle)));
    }
    return slot != nullptr;
}

BOOL CloseHandle(HANDLE handle) {
    if (!DropHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // namespace sim
