// The device backend on Windows, for the win32-sim and win64-sim programs: the installed table, the
// handles the backend makes (each a real event handle, so that no handle of the system can be
// mistaken for one) and the routed device calls of platform/windows/device_routing.h. This file is
// built without ZX_DEVICE_BACKEND: the names below are the SDK's own functions.
#include "platform/device_backend.h"
#include "platform/windows/device_routing.h"

#include <atomic>
#include <map>
#include <mutex>

namespace {

std::atomic<const DeviceBackend*> g_backend{nullptr};

struct BackendObject {
    const DeviceBackend* backend;
    void* object;
};

std::mutex g_handlesLock;
std::map<HANDLE, BackendObject> g_handles;

bool FindHandle(HANDLE handle, BackendObject* out) {
    std::lock_guard<std::mutex> guard(g_handlesLock);
    auto it = g_handles.find(handle);
    if (it == g_handles.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

// \\.\NAME and \\?\NAME are the device namespace; \\?\X:\ is a long file path.
bool IsDevicePath(LPCWSTR path) {
    if (path == nullptr || !IsSeparator(path[0]) || !IsSeparator(path[1]) ||
        !(path[2] == L'.' || path[2] == L'?') || !IsSeparator(path[3])) {
        return false;
    }
    if (path[2] == L'?') {
        WCHAR letter = path[4];
        bool drive = ((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) &&
                     path[5] == L':';
        return !drive;
    }
    return true;
}

BOOL CALLBACK PostDeviceChange(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    }
    return TRUE;
}

} // namespace

void InstallDeviceBackend(const DeviceBackend* backend) {
    g_backend.store(backend);
}

const DeviceBackend* InstalledDeviceBackend() {
    return g_backend.load();
}

HANDLE NewBackendHandle(void* object) {
    const DeviceBackend* backend = g_backend.load();
    if (backend == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> guard(g_handlesLock);
    g_handles[handle] = BackendObject{backend, object};
    return handle;
}

void* BackendHandleObject(HANDLE handle) {
    BackendObject found;
    return FindHandle(handle, &found) ? found.object : nullptr;
}

void* DropBackendHandle(HANDLE handle) {
    void* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_handlesLock);
        auto it = g_handles.find(handle);
        if (it == g_handles.end()) {
            return nullptr;
        }
        object = it->second.object;
        g_handles.erase(it);
    }
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return object;
}

// Windows broadcasts DBT_DEVNODES_CHANGED to every top-level window; here the windows of this
// process are the ones that can hear of the simulated PC.
void AnnounceDeviceChange() {
    DWORD error = GetLastError();
    EnumWindows(PostDeviceChange, 0);
    SetLastError(error);
}

HANDLE WINAPI ZxRoutedCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                  LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                                  DWORD flagsAndAttributes, HANDLE templateFile) {
    if (!IsDevicePath(fileName)) {
        return CreateFileW(fileName, desiredAccess, shareMode, security, creationDisposition,
                           flagsAndAttributes, templateFile);
    }
    // A device of this machine is never opened: without a backend there is none.
    const DeviceBackend* backend = g_backend.load();
    if (backend == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    WCHAR path[MAX_PATH];
    size_t n = 0;
    for (; fileName[n] != 0 && n + 1 < MAX_PATH; n++) {
        path[n] = fileName[n] == L'/' ? L'\\' : fileName[n];
    }
    if (fileName[n] != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    path[n] = 0;
    return backend->OpenDevice(path, desiredAccess, shareMode, creationDisposition,
                               flagsAndAttributes);
}

BOOL WINAPI ZxRoutedCloseHandle(HANDLE handle) {
    BackendObject found;
    if (FindHandle(handle, &found)) {
        return found.backend->CloseHandle(handle);
    }
    return CloseHandle(handle);
}

BOOL WINAPI ZxRoutedDeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                    DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                    LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    BackendObject found;
    if (FindHandle(device, &found)) {
        return found.backend->IoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                        outBufferSize, bytesReturned, overlapped);
    }
    // Only the backend's devices are opened, so no other handle answers a control code.
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

HDEVINFO WINAPI ZxRoutedSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                             DWORD flags) {
    if (const DeviceBackend* backend = g_backend.load()) {
        return backend->SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
    }
    // No backend, no devices: an empty set of the system's own.
    return SetupDiCreateDeviceInfoList(classGuid, parent);
}

BOOL WINAPI ZxRoutedSetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex,
                                          PSP_DEVINFO_DATA deviceInfoData) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiEnumDeviceInfo(set, memberIndex, deviceInfoData);
    }
    return SetupDiEnumDeviceInfo(set, memberIndex, deviceInfoData);
}

BOOL WINAPI ZxRoutedSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                                const GUID* interfaceClassGuid, DWORD memberIndex,
                                                PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiEnumDeviceInterfaces(set, deviceInfoData, interfaceClassGuid,
                                                          memberIndex, deviceInterfaceData);
    }
    return SetupDiEnumDeviceInterfaces(set, deviceInfoData, interfaceClassGuid, memberIndex,
                                       deviceInterfaceData);
}

BOOL WINAPI ZxRoutedSetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                     PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                     DWORD detailSize, PDWORD requiredSize,
                                                     PSP_DEVINFO_DATA deviceInfoData) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiGetDeviceInterfaceDetailW(
            set, deviceInterfaceData, detail, detailSize, requiredSize, deviceInfoData);
    }
    return SetupDiGetDeviceInterfaceDetailW(set, deviceInterfaceData, detail, detailSize,
                                            requiredSize, deviceInfoData);
}

BOOL WINAPI ZxRoutedSetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                                      DWORD property, PDWORD propertyRegDataType,
                                                      PBYTE propertyBuffer,
                                                      DWORD propertyBufferSize,
                                                      PDWORD requiredSize) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiGetDeviceRegistryPropertyW(set, deviceInfoData, property,
                                                                propertyRegDataType, propertyBuffer,
                                                                propertyBufferSize, requiredSize);
    }
    return SetupDiGetDeviceRegistryPropertyW(set, deviceInfoData, property, propertyRegDataType,
                                             propertyBuffer, propertyBufferSize, requiredSize);
}

BOOL WINAPI ZxRoutedSetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                              const DEVPROPKEY* propertyKey,
                                              DEVPROPTYPE* propertyType, PBYTE propertyBuffer,
                                              DWORD propertyBufferSize, PDWORD requiredSize,
                                              DWORD flags) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiGetDevicePropertyW(set, deviceInfoData, propertyKey,
                                                        propertyType, propertyBuffer,
                                                        propertyBufferSize, requiredSize, flags);
    }
    return SetupDiGetDevicePropertyW(set, deviceInfoData, propertyKey, propertyType, propertyBuffer,
                                     propertyBufferSize, requiredSize, flags);
}

BOOL WINAPI ZxRoutedSetupDiDestroyDeviceInfoList(HDEVINFO set) {
    BackendObject found;
    if (FindHandle(set, &found)) {
        return found.backend->SetupDiDestroyDeviceInfoList(set);
    }
    return SetupDiDestroyDeviceInfoList(set);
}

// Device instances are the backend's: without one there is none.
CONFIGRET WINAPI ZxRoutedCM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags) {
    if (const DeviceBackend* backend = g_backend.load()) {
        return backend->CM_Get_Parent(parent, devInst, flags);
    }
    if (parent == nullptr) {
        return CR_INVALID_POINTER;
    }
    *parent = 0;
    return CR_INVALID_DEVNODE;
}

CONFIGRET WINAPI ZxRoutedCM_Get_Device_IDW(DEVINST devInst, PWSTR buffer, ULONG bufferLen,
                                           ULONG flags) {
    if (const DeviceBackend* backend = g_backend.load()) {
        return backend->CM_Get_Device_IDW(devInst, buffer, bufferLen, flags);
    }
    return buffer == nullptr ? CR_INVALID_POINTER : CR_INVALID_DEVNODE;
}

CONFIGRET WINAPI ZxRoutedCM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) {
    if (const DeviceBackend* backend = g_backend.load()) {
        return backend->CM_Get_Device_ID_Size(length, devInst, flags);
    }
    if (length == nullptr) {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    return CR_INVALID_DEVNODE;
}

// The shutdown calls: the backend's when it stands for the whole PC. Without a power table
// the program of this build never shuts the machine down: ExitWindowsEx fails.
namespace {
const DevicePower* Power() {
    const DeviceBackend* backend = g_backend.load();
    return backend != nullptr ? backend->Power : nullptr;
}
} // namespace

BOOL WINAPI ZxRoutedOpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    if (const DevicePower* power = Power()) {
        return power->OpenProcessToken(process, desiredAccess, token);
    }
    return OpenProcessToken(process, desiredAccess, token);
}

BOOL WINAPI ZxRoutedLookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    if (const DevicePower* power = Power()) {
        return power->LookupPrivilegeValueW(systemName, name, luid);
    }
    return LookupPrivilegeValueW(systemName, name, luid);
}

BOOL WINAPI ZxRoutedAdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges,
                                          PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                          PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    BackendObject found;
    const DevicePower* power = Power();
    if (power != nullptr && FindHandle(token, &found)) {
        return power->AdjustTokenPrivileges(token, disableAllPrivileges, newState, bufferLength,
                                            previousState, returnLength);
    }
    return AdjustTokenPrivileges(token, disableAllPrivileges, newState, bufferLength, previousState,
                                 returnLength);
}

BOOL WINAPI ZxRoutedExitWindowsEx(UINT flags, DWORD reason) {
    if (const DevicePower* power = Power()) {
        return power->ExitWindowsEx(flags, reason);
    }
    (void)flags;
    (void)reason;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI ZxRoutedGetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
    if (const DevicePower* power = Power()) {
        return power->GetSystemPowerStatus(status);
    }
    return GetSystemPowerStatus(status);
}
