// The disk listing: the block devices under sysfs that are NVMe namespaces or SCSI disks, each
// filled with its controller or SCSI device and the node above it, in drive-number order.
#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <string.h>

namespace {

// "nvme<C>n<N>" with nothing else: the controller instance and the namespace id.
bool ParseNvmeName(const char* name, uint32_t* controller, uint32_t* nsid) {
    if (strncmp(name, "nvme", 4) != 0) {
        return false;
    }
    char digits[2][16];
    const char* p = name + 4;
    for (int part = 0; part < 2; ++part) {
        size_t n = 0;
        while (p[n] >= '0' && p[n] <= '9' && n + 1 < sizeof(digits[part])) {
            digits[part][n] = p[n];
            ++n;
        }
        digits[part][n] = 0;
        if (n == 0) {
            return false;
        }
        p += n;
        if (part == 0) {
            if (*p != 'n') {
                return false;
            }
            ++p;
        }
    }
    return *p == 0 && LxParseNumber(digits[0], 10, 0xFFFF, controller) >= 0 &&
           LxParseNumber(digits[1], 10, 0xFFFFFFFEu, nsid) >= 0 && *nsid != 0;
}

// "sd" and one or more lower-case letters.
bool IsScsiDiskName(const char* name) {
    if (strncmp(name, "sd", 2) != 0 || name[2] == 0) {
        return false;
    }
    for (const char* p = name + 2; *p; ++p) {
        if (*p < 'a' || *p > 'z') {
            return false;
        }
    }
    return true;
}

// "H:C:T:L" of a SCSI device folder.
bool ParseScsiAddress(const char* text, uint32_t out[4]) {
    char part[16];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        size_t n = 0;
        while (*p && *p != ':' && n + 1 < sizeof(part)) {
            part[n++] = *p++;
        }
        part[n] = 0;
        if (LxParseNumber(part, 10, 0xFFFFFFFFu, &out[i]) < 0) {
            return false;
        }
        if (i < 3) {
            if (*p != ':') {
                return false;
            }
            ++p;
        }
    }
    return *p == 0;
}

bool FillNvme(const char* sysRoot, const char* blockDir, LxDisk* disk) {
    if (!ParseNvmeName(disk->name, &disk->controllerInstance, &disk->nsid)) {
        return false;
    }
    // The namespace's device is its controller; a multipath head's is the subsystem, which no
    // single controller answers for.
    char link[LX_PATH_CHARS];
    char controller[LX_PATH_CHARS];
    if (LxJoin(link, sizeof(link), blockDir, "device") < 0 ||
        LxResolve(sysRoot, link, controller, sizeof(controller)) < 0 ||
        !LxExists(controller, "transport")) {
        return false;
    }
    uint32_t instance = 0;
    const char* base = LxBaseName(controller);
    if (strncmp(base, "nvme", 4) != 0 || LxParseNumber(base + 4, 10, 0xFFFF, &instance) < 0 ||
        LxCopyText(disk->controller, sizeof(disk->controller), base) < 0) {
        return false;
    }
    disk->controllerInstance = instance;
    // Above the disk: the controller's PCI function, or the controller itself when it is on no
    // bus (a fabrics controller).
    char pci[LX_PATH_CHARS];
    if (LxJoin(link, sizeof(link), controller, "device") >= 0 &&
        LxResolve(sysRoot, link, pci, sizeof(pci)) >= 0) {
        return LxCopyText(disk->parent, sizeof(disk->parent), pci) >= 0;
    }
    return LxCopyText(disk->parent, sizeof(disk->parent), controller) >= 0;
}

bool FillScsi(const char* sysRoot, const char* blockDir, LxDisk* disk) {
    char link[LX_PATH_CHARS];
    if (LxJoin(link, sizeof(link), blockDir, "device") < 0 ||
        LxResolve(sysRoot, link, disk->device, sizeof(disk->device)) < 0 ||
        !ParseScsiAddress(LxBaseName(disk->device), disk->scsi)) {
        return false;
    }
    // A disk in a USB enclosure hangs from the enclosure's USB device, as on Windows.
    if (LxUsbDeviceOf(sysRoot, disk->device, disk->parent, sizeof(disk->parent)) >= 0) {
        disk->busType = 7; // BusTypeUsb
        return true;
    }
    disk->busType = strstr(disk->device, "/ata") != NULL ? 11u /* BusTypeSata */
                                                         : 1u /* BusTypeScsi */;
    return LxCopyText(disk->parent, sizeof(disk->parent), disk->device) >= 0;
}

// Drive-number order: NVMe before SCSI; NVMe by controller and namespace; SCSI by name length,
// then name (sdz before sdaa).
bool Before(const LxDisk& a, const LxDisk& b) {
    if (a.kind != b.kind) {
        return a.kind < b.kind;
    }
    if (a.kind == LX_DISK_NVME) {
        if (a.controllerInstance != b.controllerInstance) {
            return a.controllerInstance < b.controllerInstance;
        }
        return a.nsid < b.nsid;
    }
    size_t la = strlen(a.name);
    size_t lb = strlen(b.name);
    return la != lb ? la < lb : strcmp(a.name, b.name) < 0;
}

} // namespace

int LxListDisks(const char* sysRoot, LxDisk* disks, int capacity) {
    char blockRoot[LX_PATH_CHARS];
    if (LxJoin(blockRoot, sizeof(blockRoot), sysRoot, "block") < 0) {
        return 0;
    }
    DIR* dir = opendir(blockRoot);
    if (dir == NULL) {
        return 0;
    }
    int count = 0;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL && count < capacity) {
        const char* name = entry->d_name;
        int kind = 0;
        if (strncmp(name, "nvme", 4) == 0) {
            kind = LX_DISK_NVME;
        } else if (IsScsiDiskName(name)) {
            kind = LX_DISK_SCSI;
        } else {
            continue;
        }
        LxDisk disk;
        memset(&disk, 0, sizeof(disk));
        disk.kind = kind;
        char blockDir[LX_PATH_CHARS];
        if (LxCopyText(disk.name, sizeof(disk.name), name) < 0 ||
            LxJoin(blockDir, sizeof(blockDir), blockRoot, name) < 0 ||
            LxResolve(sysRoot, blockDir, disk.node, sizeof(disk.node)) < 0) {
            continue;
        }
        bool filled = kind == LX_DISK_NVME ? FillNvme(sysRoot, blockDir, &disk)
                                           : FillScsi(sysRoot, blockDir, &disk);
        if (!filled) {
            continue;
        }
        if (kind == LX_DISK_NVME) {
            disk.busType = 17u; // BusTypeNvme
        }
        // Insertion into order.
        int at = count;
        while (at > 0 && Before(disk, disks[at - 1])) {
            disks[at] = disks[at - 1];
            --at;
        }
        disks[at] = disk;
        ++count;
    }
    closedir(dir);
    return count;
}
