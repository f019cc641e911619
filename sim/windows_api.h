// The simulated PC behind the Windows API: device paths of CreateFileW, DeviceIoControl, the
// SetupAPI and configuration-manager functions, and the shutdown calls. sim/backend.cpp puts them
// into the device backend table that Install() gives the platform layer
// (platform/device_backend.h).
#pragma once

#include "platform/win32.h"

namespace sim {

HANDLE OpenDevice(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes);
// DeviceIoControl on a device handle: the storage stack's entry (sim/stack.cpp).
BOOL IoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
               LPDWORD returned, LPOVERLAPPED overlapped);

HDEVINFO GetClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags);
BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
BOOL EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                          PSP_DEVICE_INTERFACE_DATA iface);
BOOL GetDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface,
                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                              PDWORD required, PSP_DEVINFO_DATA data);
BOOL GetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                               PBYTE buffer, DWORD size, PDWORD required);
BOOL GetDeviceProperty(HDEVINFO set, PSP_DEVINFO_DATA data, const DEVPROPKEY* key,
                       DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required, DWORD flags);
BOOL DestroyDeviceInfoList(HDEVINFO set);
CONFIGRET GetParent(PDEVINST parent, DEVINST inst, ULONG flags);
CONFIGRET GetDeviceId(DEVINST inst, PWSTR buffer, ULONG length, ULONG flags);
CONFIGRET GetDeviceIdSize(PULONG length, DEVINST inst, ULONG flags);

// The shutdown calls (sim/power.cpp).
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           PDWORD returnLength);
BOOL ExitWindowsEx(UINT flags, DWORD reason);
// The PC's power supply as its [power] section describes it (sim/power.cpp).
BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status);

} // namespace sim
