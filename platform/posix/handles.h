// The handle table of the POSIX layer: every HANDLE it gives out (files, searches, threads,
// devices) names an object here. Internal to platform/posix.
#pragma once

#include "platform/posix/types.h"

#include <memory>

namespace zxposix {

struct HandleObject {
    virtual ~HandleObject() = default;
    // CloseHandle on the handle: forgets it. Objects that belong to someone else (the device
    // backend's) close through their owner.
    virtual BOOL Close(HANDLE self);
};

// Stores the object and returns a fresh handle for it (never null or INVALID_HANDLE_VALUE).
HANDLE NewHandle(std::shared_ptr<HandleObject> object);
// The object a handle names, or null for an unknown or closed handle.
std::shared_ptr<HandleObject> GetHandleObject(HANDLE handle);
// Forgets the handle; the object lives on while someone still holds it. False when unknown.
bool DropHandle(HANDLE handle);

template <class T> std::shared_ptr<T> GetHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(GetHandleObject(handle));
}

} // namespace zxposix
