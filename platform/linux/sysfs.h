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
    // itself, or the SCSI device.
    char parent[LX_PATH_CHARS];
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

// The disks under sysRoot/block, in the order of their drive numbers: NVMe namespaces by
// controller instance and namespace id, then SCSI disks by name (sda ... sdz, sdaa ...). Block
// devices of other kinds (loop, dm, md, virtio ...) and NVMe multipath heads are not listed.
// Returns the count (at most capacity).
int LxListDisks(const char* sysRoot, LxDisk* disks, int capacity);

// The device node above a node that is no disk: the nearest folder above it, inside
// sysRoot/devices, that is a device (has a uevent file). -1 when there is none.
int LxParentNode(const char* sysRoot, const char* node, char* out, size_t capacity);

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
// A device instance id for the node: PCI\VEN_xxxx&DEV_xxxx\<address>, BLOCK\<name> for a disk,
// NVME\<name> for an NVMe controller, SYSFS\<name> for anything else.
int LxNodeInstanceId(const char* node, int isDisk, char* out, size_t capacity);
