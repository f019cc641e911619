// The Linux backend's device tree, behind SetupAPI and the configuration manager.
//
// Device instances (DEVINST) are sysfs device folders, numbered in the order the backend first
// met them, for the life of the process: a node keeps its number across device information sets,
// and a node whose folder is gone is not present.
#pragma once

#include "platform/linux/sysfs.h"
#include "platform/win32.h"

#include <stddef.h>

enum { LX_MAX_NODES = 256 };

// A node met so far; a disk's node also keeps the node above it, which the generic rule (the
// nearest device folder above) would not find for a disk (Windows puts a disk directly under
// its controller).
struct LxNode {
    char path[LX_PATH_CHARS];
    char diskParent[LX_PATH_CHARS]; // "" for a node that is no disk
};

// The node table (device_nodes.cpp). LxNodeOf gives the DEVINST of a node, registering it (0
// when the table is full); LxNodeRecord copies a node's record (false for a number that names
// none); LxParentInst gives the node above (0 when there is none); LxForgetNodes empties the
// table when the backend is installed.
DEVINST LxNodeOf(const char* path, const char* diskParent);
bool LxNodeRecord(DEVINST inst, LxNode* out);
bool LxNodePresent(const LxNode& node);
DEVINST LxParentInst(const LxNode& node);
void LxForgetNodes();

// The kernel's device events (device_events.cpp). LxStartDeviceEvents starts hearing them (once)
// and takes the disks present now as announced; LxListAnnouncedDisks lists the disks in
// drive-number order, those the kernel has not announced yet left out.
void LxStartDeviceEvents();
int LxListAnnouncedDisks(LxDisk* disks, int capacity);

// A disk's interface path (\\.\block#NAME#{disk interface class}) and back: the disk's
// name from such a path, false for any other path or a name too long (setupapi.cpp).
bool LxDiskInterfacePath(const char* name, char* out, size_t capacity);
bool LxDiskOfInterfacePath(const char* path, char* name, size_t capacity);

// SetupAPI (setupapi.cpp).
HDEVINFO LxClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL LxEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data);
BOOL LxEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA iface);
BOOL LxGetInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA iface,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA data);
BOOL LxGetRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                           PBYTE buffer, DWORD size, PDWORD required);
BOOL LxGetProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                   PBYTE buffer, DWORD size, PDWORD required, DWORD flags);
BOOL LxDestroySet(HDEVINFO handle);

// The configuration manager (config_manager.cpp).
CONFIGRET LxGetParent(PDEVINST parent, DEVINST inst, ULONG flags);
CONFIGRET LxGetDeviceId(DEVINST inst, PWSTR buffer, ULONG length, ULONG flags);
CONFIGRET LxGetDeviceIdSize(PULONG length, DEVINST inst, ULONG flags);
