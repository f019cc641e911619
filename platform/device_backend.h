// The device backend: what answers the storage side of the Windows API where the platform layer
// has no storage stack of its own. A backend (the simulated PC) fills a DeviceBackend with its
// functions and installs it once at start-up; the platform layer then hands it
//  - CreateFileW on every device path (\\.\PhysicalDriveN, \\.\C:, \\.\scsiN:, interface paths),
//  - DeviceIoControl and CloseHandle on the handles the backend made,
//  - the SetupAPI and configuration-manager functions,
//  - the token calls and ExitWindowsEx of a shutdown request, and GetSystemPowerStatus, when it
//    has a power table,
// and offers it the services below. Header and services use only the SDK types of
// platform/win32.h, so that a backend compiles against the Windows SDK as well as against the
// POSIX layer.
//
// Without a backend, device paths are not found (ERROR_FILE_NOT_FOUND) and the device tree is
// empty: SetupDiGetClassDevsW gives a set without elements, the configuration manager knows no
// device instance.
#pragma once

#include "platform/win32.h"

// The functions of a backend, with the parameters of the SDK functions they answer. They are
// called on any thread, also at the same time.
//
// CreateFileW on a device path, given in backslash form. Returns a handle made with
// NewBackendHandle, or INVALID_HANDLE_VALUE with the last error set.
typedef HANDLE DeviceOpenFn(LPCWSTR path, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes);
// CloseHandle on a handle the backend made: the backend forgets it (DropBackendHandle) and frees
// its object.
typedef BOOL DeviceCloseFn(HANDLE handle);
// DeviceIoControl on a handle the backend made.
typedef BOOL DeviceIoControlFn(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                               DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                               LPDWORD bytesReturned, LPOVERLAPPED overlapped);
// The SetupAPI functions. A device information set is a handle the backend made; the platform
// passes the backend only its own sets.
typedef HDEVINFO GetClassDevsFn(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
typedef BOOL EnumDeviceInfoFn(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData);
typedef BOOL EnumDeviceInterfacesFn(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                    const GUID* interfaceClassGuid, DWORD memberIndex,
                                    PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
typedef BOOL GetDeviceInterfaceDetailFn(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData);
typedef BOOL GetDeviceRegistryPropertyFn(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                         DWORD property, PDWORD propertyRegDataType,
                                         PBYTE propertyBuffer, DWORD propertyBufferSize,
                                         PDWORD requiredSize);
typedef BOOL GetDevicePropertyFn(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                 const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                                 PBYTE propertyBuffer, DWORD propertyBufferSize,
                                 PDWORD requiredSize, DWORD flags);
typedef BOOL DestroyDeviceInfoListFn(HDEVINFO set);
// The configuration-manager functions.
typedef CONFIGRET GetParentFn(PDEVINST parent, DEVINST devInst, ULONG flags);
typedef CONFIGRET GetDeviceIdFn(DEVINST devInst, PWSTR buffer, ULONG bufferLen, ULONG flags);
typedef CONFIGRET GetDeviceIdSizeFn(PULONG length, DEVINST devInst, ULONG flags);

// Power: the calls of a shutdown request (the process token, the shutdown privilege and
// ExitWindowsEx). A token the backend gives is a handle it made (NewBackendHandle), so that
// CloseHandle and AdjustTokenPrivileges on it come back to it.
typedef BOOL OpenProcessTokenFn(HANDLE process, DWORD desiredAccess, PHANDLE token);
typedef BOOL LookupPrivilegeValueFn(LPCWSTR systemName, LPCWSTR name, PLUID luid);
typedef BOOL AdjustTokenPrivilegesFn(HANDLE token, BOOL disableAllPrivileges,
                                     PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                     PTOKEN_PRIVILEGES previousState, PDWORD returnLength);
typedef BOOL ExitWindowsExFn(UINT flags, DWORD reason);
// The power supply the PC reports (AC line, battery).
typedef BOOL GetSystemPowerStatusFn(LPSYSTEM_POWER_STATUS status);

// The power table of a backend; every member is set, each named after the SDK function it
// answers.
struct DevicePower {
    OpenProcessTokenFn* OpenProcessToken;
    LookupPrivilegeValueFn* LookupPrivilegeValueW;
    AdjustTokenPrivilegesFn* AdjustTokenPrivileges;
    ExitWindowsExFn* ExitWindowsEx;
    GetSystemPowerStatusFn* GetSystemPowerStatus;
};

// The table a backend installs. Every member is set but Power; each is named after the SDK
// function it answers, but OpenDevice and IoControl, so that the name DeviceIoControl stays the
// SDK function's alone.
struct DeviceBackend {
    DeviceOpenFn* OpenDevice; // CreateFileW on a device path
    DeviceCloseFn* CloseHandle;
    DeviceIoControlFn* IoControl; // DeviceIoControl on a handle the backend made
    GetClassDevsFn* SetupDiGetClassDevsW;
    EnumDeviceInfoFn* SetupDiEnumDeviceInfo;
    EnumDeviceInterfacesFn* SetupDiEnumDeviceInterfaces;
    GetDeviceInterfaceDetailFn* SetupDiGetDeviceInterfaceDetailW;
    GetDeviceRegistryPropertyFn* SetupDiGetDeviceRegistryPropertyW;
    GetDevicePropertyFn* SetupDiGetDevicePropertyW;
    DestroyDeviceInfoListFn* SetupDiDestroyDeviceInfoList;
    GetParentFn* CM_Get_Parent;
    GetDeviceIdFn* CM_Get_Device_IDW;
    GetDeviceIdSizeFn* CM_Get_Device_ID_Size;
    // The shutdown calls, for a backend that stands for the whole PC; null: the platform
    // answers them itself.
    const DevicePower* Power;
};

// Installs the backend that answers from now on (null: none). The table lives as long as the
// process; handles stay with the backend that made them.
void InstallDeviceBackend(const DeviceBackend* backend);
const DeviceBackend* InstalledDeviceBackend();

// ---- Services of the platform to the backend ---------------------------------------------------

// Handles. NewBackendHandle gives the installed backend a fresh HANDLE (never null) for one of its
// objects (an open device, a device information set); CloseHandle, DeviceIoControl and the
// SetupAPI functions on it go to that backend, even after another was installed. The platform
// never looks into the object. Without an installed backend it fails: INVALID_HANDLE_VALUE,
// ERROR_INVALID_FUNCTION.
HANDLE NewBackendHandle(void* object);
// The object of a handle made by NewBackendHandle; null for any other handle, or once dropped.
void* BackendHandleObject(HANDLE handle);
// Forgets a handle made by NewBackendHandle and returns its object, which the backend then
// frees; null for any other handle, or when it was dropped already.
void* DropBackendHandle(HANDLE handle);

// A device arrived or left: every top-level window gets WM_DEVICECHANGE with wParam
// DBT_DEVNODES_CHANGED and lParam 0, as Windows broadcasts it. Posted: the call returns at once,
// so a backend may announce while it holds its own locks. The caller's last error is kept.
void AnnounceDeviceChange();

// Time and waits: a backend reads the program's clock with GetTickCount64 and waits with Sleep
// (platform/win32.h), so a faster clock speeds the backend up with the program.
