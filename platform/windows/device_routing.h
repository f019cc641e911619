// The program of the win32-sim and win64-sim builds: its device calls go to the device backend
// (platform/device_backend.h) instead of the machine's storage stack. Included by
// platform/win32.h after the SDK headers when ZX_DEVICE_BACKEND is defined, which only the
// win32-sim and win64-sim presets do and only for the system's own code (not for the platform layer
// or the backend): each device call below is then renamed to its routed form, whose parameters are
// the SDK function's. Every other call of the program stays the SDK's. platform/windows/
// device_routing.cpp, which implements the routed forms, sees the declarations only.
//
// Routed: CreateFileW on a device path (\\.\ and \\?\ paths but \\?\X:\), CloseHandle and
// DeviceIoControl on the handles the backend made, the SetupAPI and configuration-manager
// functions the program calls, and the token calls and ExitWindowsEx of a shutdown request.
// The rest of each call goes to the SDK function.
#pragma once

HANDLE WINAPI ZxRoutedCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                  LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                                  DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI ZxRoutedCloseHandle(HANDLE handle);
BOOL WINAPI ZxRoutedDeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                    DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                    LPDWORD bytesReturned, LPOVERLAPPED overlapped);
HDEVINFO WINAPI ZxRoutedSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                             DWORD flags);
BOOL WINAPI ZxRoutedSetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex,
                                          PSP_DEVINFO_DATA deviceInfoData);
BOOL WINAPI ZxRoutedSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                                const GUID* interfaceClassGuid, DWORD memberIndex,
                                                PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
BOOL WINAPI ZxRoutedSetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                     PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                     DWORD detailSize, PDWORD requiredSize,
                                                     PSP_DEVINFO_DATA deviceInfoData);
BOOL WINAPI ZxRoutedSetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                                      DWORD property, PDWORD propertyRegDataType,
                                                      PBYTE propertyBuffer,
                                                      DWORD propertyBufferSize,
                                                      PDWORD requiredSize);
BOOL WINAPI ZxRoutedSetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                              const DEVPROPKEY* propertyKey,
                                              DEVPROPTYPE* propertyType, PBYTE propertyBuffer,
                                              DWORD propertyBufferSize, PDWORD requiredSize,
                                              DWORD flags);
BOOL WINAPI ZxRoutedSetupDiDestroyDeviceInfoList(HDEVINFO set);
CONFIGRET WINAPI ZxRoutedCM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags);
CONFIGRET WINAPI ZxRoutedCM_Get_Device_IDW(DEVINST devInst, PWSTR buffer, ULONG bufferLen,
                                           ULONG flags);
CONFIGRET WINAPI ZxRoutedCM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags);
BOOL WINAPI ZxRoutedOpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
BOOL WINAPI ZxRoutedLookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid);
BOOL WINAPI ZxRoutedAdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges,
                                          PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                          PTOKEN_PRIVILEGES previousState, PDWORD returnLength);
BOOL WINAPI ZxRoutedExitWindowsEx(UINT flags, DWORD reason);
BOOL WINAPI ZxRoutedGetSystemPowerStatus(LPSYSTEM_POWER_STATUS status);

#ifdef ZX_DEVICE_BACKEND
#define CreateFileW ZxRoutedCreateFileW
#define CloseHandle ZxRoutedCloseHandle
#define DeviceIoControl ZxRoutedDeviceIoControl
#define SetupDiGetClassDevsW ZxRoutedSetupDiGetClassDevsW
#define SetupDiEnumDeviceInfo ZxRoutedSetupDiEnumDeviceInfo
#define SetupDiEnumDeviceInterfaces ZxRoutedSetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailW ZxRoutedSetupDiGetDeviceInterfaceDetailW
#define SetupDiGetDeviceRegistryPropertyW ZxRoutedSetupDiGetDeviceRegistryPropertyW
#define SetupDiGetDevicePropertyW ZxRoutedSetupDiGetDevicePropertyW
#define SetupDiDestroyDeviceInfoList ZxRoutedSetupDiDestroyDeviceInfoList
#define CM_Get_Parent ZxRoutedCM_Get_Parent
#define CM_Get_Device_IDW ZxRoutedCM_Get_Device_IDW
#define CM_Get_Device_ID_Size ZxRoutedCM_Get_Device_ID_Size
#define OpenProcessToken ZxRoutedOpenProcessToken
#define LookupPrivilegeValueW ZxRoutedLookupPrivilegeValueW
#define AdjustTokenPrivileges ZxRoutedAdjustTokenPrivileges
#define ExitWindowsEx ZxRoutedExitWindowsEx
#define GetSystemPowerStatus ZxRoutedGetSystemPowerStatus
#endif
