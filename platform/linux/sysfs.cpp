#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int CopyText(char* out, size_t capacity, const char* text) {
    size_t n = strlen(text);
    if (n + 1 > capacity) {
        return -1;
    }
    memcpy(out, text, n + 1);
    return (int)n;
}

bool Exists(const char* folder, const char* name) {
    char path[LX_PATH_CHARS];
    struct stat st;
    return LxJoin(path, sizeof(path), folder, name) >= 0 && stat(path, &st) == 0;
}

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
        !Exists(controller, "transport")) {
        return false;
    }
    uint32_t instance = 0;
    const char* base = LxBaseName(controller);
    if (strncmp(base, "nvme", 4) != 0 || LxParseNumber(base + 4, 10, 0xFFFF, &instance) < 0 ||
        CopyText(disk->controller, sizeof(disk->controller), base) < 0) {
        return false;
    }
    disk->controllerInstance = instance;
    // Above the disk: the controller's PCI function, or the controller itself when it is on no
    // bus (a fabrics controller).
    char pci[LX_PATH_CHARS];
    if (LxJoin(link, sizeof(link), controller, "device") >= 0 &&
        LxResolve(sysRoot, link, pci, sizeof(pci)) >= 0) {
        return CopyText(disk->parent, sizeof(disk->parent), pci) >= 0;
    }
    return CopyText(disk->parent, sizeof(disk->parent), controller) >= 0;
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
    return CopyText(disk->parent, sizeof(disk->parent), disk->device) >= 0;
}

// "usb<N>": a root hub, and its bus number.
bool IsRootHubName(const char* name, uint32_t* bus) {
    return strncmp(name, "usb", 3) == 0 && LxParseNumber(name + 3, 10, 0xFFFF, bus) >= 0;
}

// USB device names sort as the kernel numbers them: shorter first (1-3 before 1-10), then by
// text.
bool UsbNameBefore(const char* a, const char* b) {
    size_t la = strlen(a);
    size_t lb = strlen(b);
    return la != lb ? la < lb : strcmp(a, b) < 0;
}

// Inserts a path into a list kept in order of its base name; false when the list is full or
// holds it already.
bool InsertUsb(char (*paths)[LX_PATH_CHARS], int* count, int capacity, const char* path) {
    for (int i = 0; i < *count; ++i) {
        if (strcmp(paths[i], path) == 0) {
            return false;
        }
    }
    if (*count >= capacity) {
        return false;
    }
    int at = *count;
    while (at > 0 && UsbNameBefore(LxBaseName(path), LxBaseName(paths[at - 1]))) {
        memcpy(paths[at], paths[at - 1], LX_PATH_CHARS);
        --at;
    }
    CopyText(paths[at], LX_PATH_CHARS, path);
    ++*count;
    return true;
}

// Reads a 4-digit hex id file (idVendor, idProduct).
bool ReadHexId(const char* node, const char* file, uint32_t* out) {
    char path[LX_PATH_CHARS];
    char text[16];
    return LxJoin(path, sizeof(path), node, file) >= 0 &&
           LxReadText(path, text, sizeof(text)) == 4 && LxParseNumber(text, 16, 0xFFFF, out) >= 0;
}

// A serial number Windows takes into an instance id: printable, without blanks or separators.
bool UsableSerial(const char* text) {
    if (text[0] == 0 || strlen(text) > 64) {
        return false;
    }
    for (const char* p = text; *p; ++p) {
        if (*p <= ' ' || *p > '~' || *p == '\\' || *p == ',') {
            return false;
        }
    }
    return true;
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

bool IsPciAddress(const char* name) {
    // dddd:bb:dd.f
    if (strlen(name) != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') {
        return false;
    }
    for (int i = 0; i < 12; ++i) {
        if (i == 4 || i == 7 || i == 10) {
            continue;
        }
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace

int LxJoin(char* out, size_t capacity, const char* a, const char* b) {
    int n = snprintf(out, capacity, "%s/%s", a, b);
    if (n < 0 || (size_t)n >= capacity) {
        if (capacity > 0) {
            out[0] = 0;
        }
        return -1;
    }
    return n;
}

int LxReadText(const char* path, char* out, size_t capacity) {
    if (capacity == 0) {
        return -1;
    }
    out[0] = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t total = 0;
    bool tooLong = false;
    for (;;) {
        if (total + 1 >= capacity) {
            char extra;
            ssize_t more = read(fd, &extra, 1);
            tooLong = more != 0;
            break;
        }
        ssize_t n = read(fd, out + total, capacity - 1 - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            out[0] = 0;
            return -1;
        }
        if (n == 0) {
            break;
        }
        total += (size_t)n;
    }
    close(fd);
    if (tooLong) {
        out[0] = 0;
        return -1;
    }
    while (total > 0 && (out[total - 1] == '\n' || out[total - 1] == ' ' ||
                         out[total - 1] == '\t' || out[total - 1] == 0)) {
        --total;
    }
    out[total] = 0;
    if (memchr(out, 0, total) != NULL) {
        out[0] = 0;
        return -1; // a text with a NUL inside is no text
    }
    return (int)total;
}

int LxResolve(const char* root, const char* path, char* out, size_t capacity) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == NULL) {
        return -1;
    }
    size_t rootLength = strlen(root);
    if (strncmp(resolved, root, rootLength) != 0 ||
        (resolved[rootLength] != 0 && resolved[rootLength] != '/')) {
        return -1;
    }
    return CopyText(out, capacity, resolved);
}

int LxLinkName(const char* path, char* out, size_t capacity) {
    char target[LX_PATH_CHARS];
    ssize_t n = readlink(path, target, sizeof(target));
    if (n <= 0 || (size_t)n >= sizeof(target)) {
        return -1;
    }
    target[n] = 0;
    return CopyText(out, capacity, LxBaseName(target));
}

int LxParseNumber(const char* text, int base, uint32_t max, uint32_t* out) {
    if (text == NULL || text[0] == 0 || strlen(text) > 10) {
        return -1;
    }
    uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        uint32_t digit = 0;
        if (*p >= '0' && *p <= '9') {
            digit = (uint32_t)(*p - '0');
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            digit = (uint32_t)(*p - 'a' + 10);
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            digit = (uint32_t)(*p - 'A' + 10);
        } else {
            return -1;
        }
        value = value * (uint64_t)base + digit;
        if (value > max) {
            return -1;
        }
    }
    *out = (uint32_t)value;
    return 1;
}

const char* LxBaseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

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
        if (CopyText(disk.name, sizeof(disk.name), name) < 0 ||
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

int LxParentNode(const char* sysRoot, const char* node, char* out, size_t capacity) {
    char devices[LX_PATH_CHARS];
    char path[LX_PATH_CHARS];
    if (LxJoin(devices, sizeof(devices), sysRoot, "devices") < 0 ||
        CopyText(path, sizeof(path), node) < 0) {
        return -1;
    }
    size_t floor = strlen(devices);
    for (;;) {
        char* slash = strrchr(path, '/');
        if (slash == NULL || (size_t)(slash - path) <= floor) {
            return -1;
        }
        *slash = 0;
        if (Exists(path, "uevent")) {
            return CopyText(out, capacity, path);
        }
    }
}

int LxUsbDeviceOf(const char* sysRoot, const char* node, char* out, size_t capacity) {
    char devices[LX_PATH_CHARS];
    char path[LX_PATH_CHARS];
    if (LxJoin(devices, sizeof(devices), sysRoot, "devices") < 0 ||
        CopyText(path, sizeof(path), node) < 0) {
        return -1;
    }
    const size_t floor = strlen(devices);
    while (strlen(path) > floor) {
        if (strchr(LxBaseName(path), ':') == NULL && Exists(path, "idVendor")) {
            return CopyText(out, capacity, path) >= 0 ? 1 : -1;
        }
        char* slash = strrchr(path, '/');
        if (slash == NULL) {
            return -1;
        }
        *slash = 0;
    }
    return -1;
}

int LxUsbIds(const char* usbDevice, uint32_t* vendor, uint32_t* product) {
    return ReadHexId(usbDevice, "idVendor", vendor) && ReadHexId(usbDevice, "idProduct", product)
               ? 1
               : -1;
}

int LxListUsb(const char* sysRoot, int which, char (*paths)[LX_PATH_CHARS], int capacity) {
    char folder[LX_PATH_CHARS];
    if (LxJoin(folder, sizeof(folder), sysRoot, "bus/usb/devices") < 0) {
        return 0;
    }
    DIR* dir = opendir(folder);
    if (dir == NULL) {
        return 0;
    }
    // Root hubs by bus number (at most 64 here), the other devices in name order.
    char roots[64][LX_PATH_CHARS];
    uint32_t rootBus[64];
    int rootCount = 0;
    int count = 0;
    int others = 0;
    char(*rest)[LX_PATH_CHARS] = which == LX_USB_CONTROLLERS ? NULL : paths;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        const char* name = entry->d_name;
        char link[LX_PATH_CHARS];
        char node[LX_PATH_CHARS];
        uint32_t bus = 0;
        if (name[0] == '.' || strchr(name, ':') != NULL ||
            LxJoin(link, sizeof(link), folder, name) < 0 ||
            LxResolve(sysRoot, link, node, sizeof(node)) < 0 || !Exists(node, "idVendor")) {
            continue;
        }
        if (IsRootHubName(name, &bus)) {
            if (rootCount < 64) {
                int at = rootCount++;
                while (at > 0 && rootBus[at - 1] > bus) {
                    memcpy(roots[at], roots[at - 1], LX_PATH_CHARS);
                    rootBus[at] = rootBus[at - 1];
                    --at;
                }
                CopyText(roots[at], LX_PATH_CHARS, node);
                rootBus[at] = bus;
            }
            continue;
        }
        char path[LX_PATH_CHARS];
        char deviceClass[8];
        const bool hub = LxJoin(path, sizeof(path), node, "bDeviceClass") >= 0 &&
                         LxReadText(path, deviceClass, sizeof(deviceClass)) > 0 &&
                         strcmp(deviceClass, "09") == 0;
        if (which == LX_USB_DEVICES || (which == LX_USB_HUBS && hub)) {
            // Hubs go after the root hubs: keep them apart until those are known.
            InsertUsb(rest, &others, capacity, node);
        }
    }
    closedir(dir);
    if (which == LX_USB_DEVICES) {
        return others;
    }
    if (which == LX_USB_HUBS) {
        const int rootsKept = rootCount < capacity ? rootCount : capacity;
        const int othersKept = others < capacity - rootsKept ? others : capacity - rootsKept;
        memmove(paths[rootsKept], paths[0], (size_t)othersKept * LX_PATH_CHARS);
        for (int i = 0; i < rootsKept; ++i) {
            memcpy(paths[i], roots[i], LX_PATH_CHARS);
        }
        return rootsKept + othersKept;
    }
    for (int i = 0; i < rootCount && count < capacity; ++i) {
        char controller[LX_PATH_CHARS];
        if (LxParentNode(sysRoot, roots[i], controller, sizeof(controller)) < 0) {
            continue;
        }
        bool seen = false;
        for (int k = 0; k < count && !seen; ++k) {
            seen = strcmp(paths[k], controller) == 0;
        }
        if (!seen) {
            CopyText(paths[count++], LX_PATH_CHARS, controller);
        }
    }
    return count;
}

int LxNodeLocation(const char* node, char* out, size_t capacity) {
    const char* name = LxBaseName(node);
    uint32_t bus = 0;
    char path[LX_PATH_CHARS];
    char text[LX_NAME_CHARS];
    uint32_t hub = 0;
    if (strchr(name, ':') != NULL || IsRootHubName(name, &bus) || !Exists(node, "idVendor") ||
        LxJoin(path, sizeof(path), node, "devpath") < 0 ||
        LxReadText(path, text, sizeof(text)) <= 0) {
        return 0;
    }
    const char* last = strrchr(text, '.');
    uint32_t port = 0;
    if (LxParseNumber(last != NULL ? last + 1 : text, 10, 255, &port) < 0) {
        return 0;
    }
    // The hub above: the folder that holds this device.
    char up[LX_PATH_CHARS];
    if (CopyText(up, sizeof(up), node) < 0) {
        return 0;
    }
    char* slash = strrchr(up, '/');
    if (slash != NULL) {
        *slash = 0;
        if (LxJoin(path, sizeof(path), up, "devnum") >= 0 &&
            LxReadText(path, text, sizeof(text)) > 0) {
            LxParseNumber(text, 10, 9999, &hub);
        }
    }
    int n = snprintf(out, capacity, "Port_#%04u.Hub_#%04u", (unsigned)port, (unsigned)hub);
    return n > 0 && (size_t)n < capacity ? 1 : 0;
}

int LxNodeService(const char* node, int isDisk, char* out, size_t capacity) {
    if (isDisk) {
        return CopyText(out, capacity, "disk") >= 0 ? 1 : 0;
    }
    char path[LX_PATH_CHARS];
    if (LxJoin(path, sizeof(path), node, "driver") >= 0 && LxLinkName(path, out, capacity) >= 0) {
        return 1;
    }
    char transport[LX_NAME_CHARS];
    if (LxJoin(path, sizeof(path), node, "transport") >= 0 &&
        LxReadText(path, transport, sizeof(transport)) > 0) {
        return snprintf(out, capacity, "nvme-%s", transport) < (int)capacity ? 1 : 0;
    }
    return 0;
}

int LxNodeBusNumber(const char* node, uint32_t* out) {
    const char* name = LxBaseName(node);
    char hex[3] = {0, 0, 0};
    if (IsPciAddress(name)) {
        hex[0] = name[5];
        hex[1] = name[6];
        return LxParseNumber(hex, 16, 0xFF, out) >= 0 ? 1 : 0;
    }
    // A PCI root: pci<domain>:<bus>.
    if (strncmp(name, "pci", 3) == 0 && strlen(name) == 10 && name[7] == ':') {
        hex[0] = name[8];
        hex[1] = name[9];
        return LxParseNumber(hex, 16, 0xFF, out) >= 0 ? 1 : 0;
    }
    // An NVMe controller on a transport other than PCIe.
    char path[LX_PATH_CHARS];
    char transport[LX_NAME_CHARS];
    uint32_t instance = 0;
    if (strncmp(name, "nvme", 4) == 0 && LxParseNumber(name + 4, 10, 0xFFFF, &instance) >= 0 &&
        LxJoin(path, sizeof(path), node, "transport") >= 0 &&
        LxReadText(path, transport, sizeof(transport)) > 0 && strcmp(transport, "pcie") != 0) {
        *out = 0x10000u + instance;
        return 1;
    }
    return 0;
}

int LxNodeLink(const char* node, int which, uint32_t* out) {
    static const char* const kFiles[4] = {"current_link_speed", "current_link_width",
                                          "max_link_speed", "max_link_width"};
    if (which < 0 || which > 3 || !IsPciAddress(LxBaseName(node))) {
        return 0;
    }
    char path[LX_PATH_CHARS];
    char text[LX_NAME_CHARS];
    if (LxJoin(path, sizeof(path), node, kFiles[which]) < 0 ||
        LxReadText(path, text, sizeof(text)) <= 0) {
        return 0;
    }
    if (which == 1 || which == 3) {
        return LxParseNumber(text, 10, 32, out) >= 0 ? 1 : 0;
    }
    // "8.0 GT/s PCIe", "2.5 GT/s": the rate before the blank.
    static const struct {
        const char* rate;
        uint32_t code;
    } kRates[] = {{"2.5", 1}, {"5.0", 2},  {"5", 2},  {"8.0", 3},  {"8", 3}, {"16.0", 4},
                  {"16", 4},  {"32.0", 5}, {"32", 5}, {"64.0", 6}, {"64", 6}};
    char* blank = strchr(text, ' ');
    if (blank == NULL || strncmp(blank, " GT/s", 5) != 0) {
        return 0;
    }
    *blank = 0;
    for (size_t i = 0; i < sizeof(kRates) / sizeof(kRates[0]); ++i) {
        if (strcmp(text, kRates[i].rate) == 0) {
            *out = kRates[i].code;
            return 1;
        }
    }
    return 0;
}

int LxNodeInstanceId(const char* node, int isDisk, char* out, size_t capacity) {
    const char* name = LxBaseName(node);
    int n = 0;
    uint32_t bus = 0;
    uint32_t usbVendor = 0;
    uint32_t usbProduct = 0;
    if (isDisk) {
        n = snprintf(out, capacity, "BLOCK\\%s", name);
    } else if (IsRootHubName(name, &bus) && Exists(node, "idVendor")) {
        char path[LX_PATH_CHARS];
        char speed[16];
        uint32_t mbps = 0;
        if (LxJoin(path, sizeof(path), node, "speed") < 0 ||
            LxReadText(path, speed, sizeof(speed)) <= 0 ||
            LxParseNumber(speed, 10, 1000000, &mbps) < 0) {
            mbps = 480;
        }
        n = snprintf(out, capacity, "USB\\ROOT_HUB%s\\%s", mbps >= 5000 ? "30" : "20", name);
    } else if (strchr(name, ':') == NULL && LxUsbIds(node, &usbVendor, &usbProduct) == 1) {
        char path[LX_PATH_CHARS];
        char serial[LX_TEXT_CHARS];
        const bool hasSerial = LxJoin(path, sizeof(path), node, "serial") >= 0 &&
                               LxReadText(path, serial, sizeof(serial)) > 0 && UsableSerial(serial);
        n = snprintf(out, capacity, "USB\\VID_%04X&PID_%04X\\%s", (unsigned)usbVendor,
                     (unsigned)usbProduct, hasSerial ? serial : name);
    } else if (IsPciAddress(name)) {
        char path[LX_PATH_CHARS];
        char vendor[16];
        char device[16];
        uint32_t v = 0;
        uint32_t d = 0;
        if (LxJoin(path, sizeof(path), node, "vendor") < 0 ||
            LxReadText(path, vendor, sizeof(vendor)) != 6 ||
            LxParseNumber(vendor + 2, 16, 0xFFFF, &v) < 0 ||
            LxJoin(path, sizeof(path), node, "device") < 0 ||
            LxReadText(path, device, sizeof(device)) != 6 ||
            LxParseNumber(device + 2, 16, 0xFFFF, &d) < 0) {
            v = 0;
            d = 0;
        }
        n = snprintf(out, capacity, "PCI\\VEN_%04X&DEV_%04X\\%s", (unsigned)v, (unsigned)d, name);
    } else if (strncmp(name, "nvme", 4) == 0) {
        n = snprintf(out, capacity, "NVME\\%s", name);
    } else {
        n = snprintf(out, capacity, "SYSFS\\%s", name);
    }
    return n > 0 && (size_t)n < capacity ? 1 : 0;
}
