// The platform side of the device backend: the installed table, the handles the backend makes,
// and the device I/O, SetupAPI and configuration-manager functions, which go to the backend
// that made the handle they are given (platform/device_backend.h).
#include "platform/device_backend.h"
#include "platform/posix/devices.h"
#include "platform/posix/handles.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

namespace zxposix {
namespace {

std::atomic<const DeviceBackend*> g_backend{nullptr};

// A handle of the backend: the backend that made it and its object.
struct BackendHandle : HandleObject {
    const DeviceBackend* backend = nullptr;
    void* object = nullptr;
    BOOL Close(HANDLE self) override { return backend->CloseHandle(self); }
};

// The device information set SetupDiGetClassDevsW gives when no backend is installed.
struct EmptyDeviceSet : HandleObject {};

std::shared_ptr<BackendHandle> BackendOf(HANDLE handle) {
    return GetHandleAs<BackendHandle>(handle);
}

// A SetupAPI call on a device information set: the backend's own set goes to the backend, the
// empty one fails with emptyError, any other handle with ERROR_INVALID_HANDLE.
template <class Call> BOOL OnSet(HDEVINFO set, DWORD emptyError, Call call) {
    if (std::shared_ptr<BackendHandle> h = BackendOf(set)) {
        return call(*h->backend);
    }
    SetLastError(GetHandleAs<EmptyDeviceSet>(set) ? emptyError : ERROR_INVALID_HANDLE);
    return FALSE;
}

} // namespace

HANDLE OpenDevicePath(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes) {
    const DeviceBackend* backend = g_backend.load();
    if (backend == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring text(path);
    std::replace(text.begin(), text.end(), L'/', L'\\');
    return backend->OpenDevice(text.c_str(), desiredAccess, shareMode, creationDisposition,
                               flagsAndAttributes);
}

} // namespace zxposix

using zxposix::BackendHandle;
using zxposix::BackendOf;
using zxposix::EmptyDeviceSet;

void InstallDeviceBackend(const DeviceBackend* backend) {
    zxposix::g_backend.store(backend);
}

const DeviceBackend* InstalledDeviceBackend() {
    return zxposix::g_backend.load();
}

HANDLE NewBackendHandle(void* object) {
    const DeviceBackend* backend = zxposix::g_backend.load();
    if (backend == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION); // only the installed backend makes handles
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_shared<BackendHandle>();
    handle->backend = backend;
    handle->object = object;
    return zxposix::NewHandle(handle);
}

void* BackendHandleObject(HANDLE handle) {
    std::shared_ptr<BackendHandle> h = BackendOf(handle);
    return h ? h->object : nullptr;
}

void* DropBackendHandle(HANDLE handle) {
    std::shared_ptr<BackendHandle> h = BackendOf(handle);
    if (!h || !zxposix::DropHandle(handle)) {
        return nullptr;
    }
    return h->object;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
    std::shared_ptr<zxposix::HandleObject> object = zxposix::GetHandleObject(device);
    auto h = std::dynamic_pointer_cast<BackendHandle>(object);
    if (!h) {
        // A file, a thread or a search answers no control code.
        SetLastError(object ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return h->backend->IoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                 outBufferSize, bytesReturned, overlapped);
}

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    if (const DeviceBackend* backend = zxposix::g_backend.load()) {
        return backend->SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
    }
    if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return zxposix::NewHandle(std::make_shared<EmptyDeviceSet>());
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData) {
    return zxposix::OnSet(set, ERROR_NO_MORE_ITEMS, [&](const DeviceBackend& b) {
        return b.SetupDiEnumDeviceInfo(set, memberIndex, deviceInfoData);
    });
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    return zxposix::OnSet(set, ERROR_NO_MORE_ITEMS, [&](const DeviceBackend& b) {
        return b.SetupDiEnumDeviceInterfaces(set, deviceInfoData, interfaceClassGuid, memberIndex,
                                             deviceInterfaceData);
    });
}

// The empty set has no element or interface that the remaining calls could name.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData) {
    return zxposix::OnSet(set, ERROR_INVALID_PARAMETER, [&](const DeviceBackend& b) {
        return b.SetupDiGetDeviceInterfaceDetailW(set, deviceInterfaceData, detail, detailSize,
                                                  requiredSize, deviceInfoData);
    });
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                       DWORD property, PDWORD propertyRegDataType,
                                       PBYTE propertyBuffer, DWORD propertyBufferSize,
                                       PDWORD requiredSize) {
    return zxposix::OnSet(set, ERROR_INVALID_PARAMETER, [&](const DeviceBackend& b) {
        return b.SetupDiGetDeviceRegistryPropertyW(set, deviceInfoData, property,
                                                   propertyRegDataType, propertyBuffer,
                                                   propertyBufferSize, requiredSize);
    });
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags) {
    return zxposix::OnSet(set, ERROR_INVALID_PARAMETER, [&](const DeviceBackend& b) {
        return b.SetupDiGetDevicePropertyW(set, deviceInfoData, propertyKey, propertyType,
                                           propertyBuffer, propertyBufferSize, requiredSize, flags);
    });
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (auto h = BackendOf(set)) {
        return h->backend->SetupDiDestroyDeviceInfoList(set);
    }
    if (!zxposix::GetHandleAs<EmptyDeviceSet>(set) || !zxposix::DropHandle(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags) {
    if (const DeviceBackend* backend = zxposix::g_backend.load()) {
        return backend->CM_Get_Parent(parent, devInst, flags);
    }
    if (parent == nullptr) {
        return CR_INVALID_POINTER;
    }
    *parent = 0;
    return CR_INVALID_DEVNODE;
}

CONFIGRET CM_Get_Device_IDW(DEVINST devInst, PWSTR buffer, ULONG bufferLen, ULONG flags) {
    if (const DeviceBackend* backend = zxposix::g_backend.load()) {
        return backend->CM_Get_Device_IDW(devInst, buffer, bufferLen, flags);
    }
    return buffer == nullptr ? CR_INVALID_POINTER : CR_INVALID_DEVNODE;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) {
    if (const DeviceBackend* backend = zxposix::g_backend.load()) {
        return backend->CM_Get_Device_ID_Size(length, devInst, flags);
    }
    if (length == nullptr) {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    return CR_INVALID_DEVNODE;
}
