// What the Linux backend reads from sysfs: the disks in their stable order and the device nodes
// above them, with the few properties the Windows device tree answers. Every read is bounded:
// texts longer than their buffer, paths that leave the sysfs root and numbers out of range are
// refused, never cut.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    LX_PATH_CHARS = 512,
    LX_NAME_CHARS = 64,
    LX_MAX_DISKS = 32,
    LX_TEXT_CHARS = 256,
};

enum LxDiskKind { LX_DISK_NVME = 1, LX_DISK_SCSI = 2 };

// One disk: an NVMe namespace on its controller, or a SCSI disk.
struct LxDisk {
    int kind;
    char name[LX_NAME_CHARS]; // the block device: nvme1n1, sda
    char node[LX_PATH_CHARS]; // its sysfs folder, resolved
    // The device node above the disk: the controller's PCI function, the fabrics controller
    // itself, the USB device of a disk in a USB enclosure, or the SCSI device.
    char parent[LX_PATH_CHARS];
    // SCSI: the SCSI device folder (H:C:T:L), whose vendor, model and scsi_generic it has.
    char device[LX_PATH_CHARS];
    uint32_t busType; // STORAGE_BUS_TYPE
    // NVMe: the controller (nvme1), its instance number and the namespace id.
    char controller[LX_NAME_CHARS];
    uint32_t controllerInstance;
    uint32_t nsid;
    // SCSI: host, channel, target and LUN.
    uint32_t scsi[4];
};

// Joins two path parts into out; -1 when the result does not fit.
int LxJoin(char* out, size_t capacity, const char* a, const char* b);
// Reads a small text file into out (terminated, trailing blanks and newlines removed); returns
// its length, or -1 when it cannot be read or does not fit.
int LxReadText(const char* path, char* out, size_t capacity);
// Resolves a path (links followed) into out; -1 unless it lies inside root.
int LxResolve(const char* root, const char* path, char* out, size_t capacity);
// The last part of a link's target; -1 when it is no link or does not fit.
int LxLinkName(const char* path, char* out, size_t capacity);
// A decimal (base 10) or hex (base 16) number of the whole text, at most max; -1 otherwise.
int LxParseNumber(const char* text, int base, uint32_t max, uint32_t* out);
// The last part of a path.
const char* LxBaseName(const char* path);
// Copies a text into out; its length, or -1 when it does not fit.
int LxCopyText(char* out, size_t capacity, const char* text);
// Whether folder/name exists.
bool LxExists(const char* folder, const char* name);

// The disks under sysRoot/block, in the order of their drive numbers: NVMe namespaces by
// controller instance and namespace id, then SCSI disks by name (sda ... sdz, sdaa ...). Block
// devices of other kinds (loop, dm, md, virtio ...) and NVMe multipath heads are not listed.
// Returns the count (at most capacity).
int LxListDisks(const char* sysRoot, LxDisk* disks, int capacity);

// The device node above a node that is no disk: the nearest folder above it, inside
// sysRoot/devices, that is a device (has a uevent file). -1 when there is none.
int LxParentNode(const char* sysRoot, const char* node, char* out, size_t capacity);

// The USB nodes of the Windows device tree: 0 the USB devices that are not root hubs (an
// enclosure, a hub), 1 the hubs (root hubs by bus number, then the others by name), 2 the host
// controllers (the node above each root hub, in the order of their first root hub's bus
// number). Fills paths (resolved sysfs folders) and returns the count, at most capacity.
enum { LX_USB_DEVICES = 0, LX_USB_HUBS = 1, LX_USB_CONTROLLERS = 2 };
int LxListUsb(const char* sysRoot, int which, char (*paths)[LX_PATH_CHARS], int capacity);
// The USB device a node sits in (the nearest folder above it, or itself, that has idVendor and
// is no interface); -1 when there is none.
int LxUsbDeviceOf(const char* sysRoot, const char* node, char* out, size_t capacity);
// A USB device's vendor and product ids; -1 when it has none.
int LxUsbIds(const char* usbDevice, uint32_t* vendor, uint32_t* product);
// "usb<N>": whether a name is a root hub's, with its bus number.
bool LxIsRootHubName(const char* name, uint32_t* bus);

// Properties of a device node, as the Windows device tree gives them. Each returns 1 with the
// value, or 0 when the node has none.
// The driver service: the driver of a PCI function ("nvme"), "nvme-<transport>" for an NVMe
// controller without one (a fabrics controller), "disk" for a disk.
int LxNodeService(const char* node, int isDisk, char* out, size_t capacity);
// The bus number: a PCI function's bus, a PCI root's bus; a fabrics NVMe controller has none on
// PCI and gets 0x10000 + its instance.
int LxNodeBusNumber(const char* node, uint32_t* out);
// PCIe link: which 0 current speed, 1 current width, 2 maximum speed, 3 maximum width; speeds
// as Windows codes them (1 2.5 GT/s, 2 5 GT/s, 3 8 GT/s, 4 16 GT/s, 5 32 GT/s, 6 64 GT/s).
int LxNodeLink(const char* node, int which, uint32_t* out);
// The location text of a USB device that is no root hub, as Windows writes it:
// "Port_#PPPP.Hub_#HHHH" with its port on the hub above (the last number of devpath) and that
// hub's device number. 0 for other nodes.
int LxNodeLocation(const char* node, char* out, size_t capacity);
// A device instance id for the node: USB\VID_xxxx&PID_xxxx\<serial, or the sysfs name> for a
// USB device, USB\ROOT_HUB20\<name> (ROOT_HUB30 from 5 Gb/s on) for a root hub,
// PCI\VEN_xxxx&DEV_xxxx\<address>, BLOCK\<name> for a disk,
// NVME\<name> for an NVMe controller, SYSFS\<name> for anything else.
int LxNodeInstanceId(const char* node, int isDisk, char* out, size_t capacity);
