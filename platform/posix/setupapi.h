// The device tree: SetupAPI and configuration-manager functions, answered by the installed
// device backend (platform/device_backend.h), with the SDK's names, values and layouts
// (setupapi.h, cfgmgr32.h, devpropdef.h, devpkey.h, pciprop.h, ntddstor.h, usbiodef.h).
#pragma once

#include "platform/posix/types.h"

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DEVINST* PDEVINST;
typedef DWORD CONFIGRET;
typedef ULONG DEVPROPTYPE;
typedef DEVPROPTYPE* PDEVPROPTYPE;
typedef GUID DEVPROPGUID;
typedef ULONG DEVPROPID;

typedef struct _DEVPROPKEY {
    DEVPROPGUID fmtid;
    DEVPROPID pid;
} DEVPROPKEY;

// SetupDiGetClassDevsW flags.
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// Registry properties of a device.
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_ADDRESS 0x0000001C

#ifndef REG_SZ
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#endif

// Flags of SP_DEVICE_INTERFACE_DATA.
#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

// Configuration-manager results.
#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_BUFFER_SMALL 0x0000001A
#define MAX_DEVICE_ID_LEN 200

// Property types.
#define DEVPROP_TYPE_EMPTY 0x00000000
#define DEVPROP_TYPE_UINT32 0x00000007
#define DEVPROP_TYPE_STRING 0x00000012

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

// Device interface classes.
inline constexpr GUID GUID_DEVINTERFACE_DISK = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
inline constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HUB = {
    0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HOST_CONTROLLER = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

// PCI Express link properties of a PCI device node.
inline constexpr DEVPROPKEY DEVPKEY_PciDevice_CurrentLinkSpeed = {
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 9};
inline constexpr DEVPROPKEY DEVPKEY_PciDevice_CurrentLinkWidth = {
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 10};
inline constexpr DEVPROPKEY DEVPKEY_PciDevice_MaxLinkSpeed = {
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 11};
inline constexpr DEVPROPKEY DEVPKEY_PciDevice_MaxLinkWidth = {
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 12};

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                       DWORD property, PDWORD propertyRegDataType,
                                       PBYTE propertyBuffer, DWORD propertyBufferSize,
                                       PDWORD requiredSize);
BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Device_IDW(DEVINST devInst, PWSTR buffer, ULONG bufferLen, ULONG flags);
CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags);
