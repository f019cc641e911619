// Tying a physical-drive path to its node in the device tree, the driver service of the
// disk's parent, PCIe link information and bus numbers.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// The disk interface set: GUID_DEVINTERFACE_DISK, present, profile, device interfaces.
#define TOPOLOGY_INTERFACE_FLAGS (DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE)

// The node of the present disk with that path (level 0), its parent (1) or grandparent (2);
// 0 when no present disk has the path or the level is not 0, 1 or 2.
DEVINST GetDiskDevInst(const WCHAR* path, int level);
// Opens device interface `index` of a disk interface set; INVALID_HANDLE_VALUE on failure.
HANDLE OpenDiskInterface(HDEVINFO set, DWORD index);
// The driver service of the disk's parent node into buffer (capacity characters with the
// terminator); empty when the node or the property is missing or the name does not fit.
void GetDiskDriverService(const WCHAR* path, WCHAR* buffer, DWORD capacity);
// The PCIe link of the disk's parent node. Untouched when the node is not found; each value
// the node does not report is 0.
void GetPcieLinkInfo(const WCHAR* path, int32_t* linkSpeed, uint32_t* linkWidth,
                     uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth);
// SPDRP_BUSNUMBER of the node's parent (level 1) or grandparent (level 2); 0 when it cannot
// be read.
int32_t GetBusNumber(DEVINST node, int level);
// Finds the element of a device information set whose DevInst is node; false when none.
bool FindDeviceInfo(HDEVINFO set, DEVINST node, SP_DEVINFO_DATA* data);

// Called with element `index` of a device information set, in the set's order; answers true to
// stop the walk there.
typedef bool (*DeviceVisitor)(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data, void* context);
// Calls visit for each element of set until it answers true; answers whether it did.
bool WalkDeviceInfoSet(HDEVINFO set, DeviceVisitor visit, void* context);
// The same over the present devices of a device interface class (TOPOLOGY_INTERFACE_FLAGS), or
// over every present device of every class when interfaceClass is NULL; the set lives for the
// walk. False also when the set cannot be opened.
bool WalkClassDevices(const GUID* interfaceClass, DeviceVisitor visit, void* context);
// Called with each present disk whose interface opens, in interface order, and that open
// handle, which the visitor closes or keeps; answers true to stop the walk there.
typedef bool (*DiskVisitor)(HDEVINFO set, SP_DEVINFO_DATA* data, HANDLE disk, void* context);
bool WalkPresentDisks(DiskVisitor visit, void* context);
// Calls use with the present device whose DevInst is node, while its set is open; false when
// the set cannot be opened or no present device is that node.
typedef void (*DeviceUser)(HDEVINFO set, SP_DEVINFO_DATA* data, void* context);
bool WithPresentDevice(DEVINST node, DeviceUser use, void* context);
