// The simulated PC's objects behind the handles it gives out (open devices, device information
// sets), kept alive by shared ownership while a call uses them. The handle values come from the
// platform (NewBackendHandle of platform/device_backend.h). Internal to sim/.
#pragma once

#include "platform/win32.h"

#include <memory>

namespace sim {

struct HandleObject {
    virtual ~HandleObject() = default;
};

// A fresh handle for the object, or INVALID_HANDLE_VALUE (last error set) when the platform
// gives none.
HANDLE NewHandle(std::shared_ptr<HandleObject> object);
// The object a handle of the simulated PC names; null for any other handle or once closed.
std::shared_ptr<HandleObject> GetHandleObject(HANDLE handle);
// Forgets the handle; the object lives on while a call still holds it. False when unknown.
bool DropHandle(HANDLE handle);

template <class T> std::shared_ptr<T> GetHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(GetHandleObject(handle));
}

// CloseHandle on a handle of the simulated PC.
BOOL CloseHandle(HANDLE handle);

} // namespace sim
