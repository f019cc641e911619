// The Linux backend's table: device paths, handles, and the device tree of SetupAPI and the
// configuration manager built from sysfs.
//
// Device instances (DEVINST) are sysfs device folders, numbered in the order the backend first
// met them, for the life of the process: a node keeps its number across device information sets,
// and a node whose folder is gone is not present.
#include "platform/device_backend.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/nvme_admin.h"
#include "platform/linux/objects.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <wchar.h>

namespace {

enum { kMaxNodes = 256 };

char g_sysRoot[LX_PATH_CHARS];
char g_devRoot[LX_PATH_CHARS];

// The nodes met so far; a disk's node also keeps the node above it, which the generic rule
// (the nearest device folder above) would not find for a disk (Windows puts a disk directly
// under its controller).
struct Node {
    char path[LX_PATH_CHARS];
    char diskParent[LX_PATH_CHARS]; // "" for a node that is no disk
};
pthread_mutex_t g_nodesLock = PTHREAD_MUTEX_INITIALIZER;
Node g_nodes[kMaxNodes];
int g_nodeCount = 0;

// A device information set: a snapshot of nodes, and for a disk interface set the disk of each.
struct DeviceSet {
    uint32_t kind; // LX_OBJECT_SET
    int count;
    DEVINST elements[kMaxNodes];
    int interfaces; // 1: the disks' interfaces, one per element
    char disks[LX_MAX_DISKS][LX_NAME_CHARS];
};

const GUID kNullGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const char kInterfacePrefix[] = "\\\\.\\block#";
const char kInterfaceSuffix[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool SameGuid(const GUID* a, const GUID* b) {
    return memcmp(a, b, sizeof(GUID)) == 0;
}

// The DEVINST of a node (registering it), 0 when the table is full.
DEVINST NodeOf(const char* path, const char* diskParent) {
    pthread_mutex_lock(&g_nodesLock);
    DEVINST inst = 0;
    for (int i = 0; i < g_nodeCount && inst == 0; ++i) {
        if (strcmp(g_nodes[i].path, path) == 0) {
            inst = (DEVINST)(i + 1);
        }
    }
    if (inst == 0 && g_nodeCount < kMaxNodes) {
        Node& n = g_nodes[g_nodeCount];
        snprintf(n.path, sizeof(n.path), "%s", path);
        snprintf(n.diskParent, sizeof(n.diskParent), "%s", diskParent != NULL ? diskParent : "");
        inst = (DEVINST)(++g_nodeCount);
    }
    pthread_mutex_unlock(&g_nodesLock);
    return inst;
}

// Copies a node's record; false for a number that names none.
bool NodeRecord(DEVINST inst, Node* out) {
    pthread_mutex_lock(&g_nodesLock);
    bool found = inst >= 1 && (int)inst <= g_nodeCount;
    if (found) {
        *out = g_nodes[inst - 1];
    }
    pthread_mutex_unlock(&g_nodesLock);
    return found;
}

bool NodePresent(const Node& node) {
    struct stat st;
    return stat(node.path, &st) == 0;
}

// Which disks the kernel has announced. A disk that comes while the program runs is in sysfs
// before the kernel announces it (a SCSI disk's announcement waits for its partition scan); on
// Windows a disk is there once its arrival is announced, so here too a disk that came counts from
// its announcement on. The disks present when the events are first heard count from the start.
// Without the kernel's events every disk in sysfs counts.
pthread_mutex_t g_announcedLock = PTHREAD_MUTEX_INITIALIZER;
bool g_gated = false;
char g_announced[2 * LX_MAX_DISKS][LX_NAME_CHARS];
int g_announcedCount = 0;

bool Announced(const char* name) {
    pthread_mutex_lock(&g_announcedLock);
    bool found = !g_gated;
    for (int i = 0; i < g_announcedCount && !found; ++i) {
        found = strcmp(g_announced[i], name) == 0;
    }
    pthread_mutex_unlock(&g_announcedLock);
    return found;
}

// Notes that a disk came (add) or left; the lock is held by the caller.
void NoteDisk(const char* name, bool add) {
    for (int i = 0; i < g_announcedCount; ++i) {
        if (strcmp(g_announced[i], name) == 0) {
            if (!add) {
                memcpy(g_announced[i], g_announced[--g_announcedCount], LX_NAME_CHARS);
            }
            return;
        }
    }
    if (add && g_announcedCount < 2 * LX_MAX_DISKS && strlen(name) < LX_NAME_CHARS) {
        memcpy(g_announced[g_announcedCount++], name, strlen(name) + 1);
    }
}

// The disks in drive-number order, those the kernel has not announced yet left out.
int ListDisks(LxDisk* disks, int capacity) {
    const int count = LxListDisks(g_sysRoot, disks, capacity);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (Announced(disks[i].name)) {
            disks[kept++] = disks[i];
        }
    }
    return kept;
}

// A wide text from ASCII; false when it does not fit.
bool Widen(const char* text, WCHAR* out, size_t capacity) {
    size_t n = strlen(text);
    if (n + 1 > capacity) {
        return false;
    }
    for (size_t i = 0; i <= n; ++i) {
        out[i] = (WCHAR)(unsigned char)text[i];
    }
    return true;
}

// An ASCII copy of a device path; false for anything else or too long.
bool Narrow(LPCWSTR path, char* out, size_t capacity) {
    size_t i = 0;
    for (; path[i] != 0; ++i) {
        if (i + 1 >= capacity || path[i] > 0x7E || path[i] < 0x20) {
            return false;
        }
        out[i] = (char)path[i];
    }
    out[i] = 0;
    return true;
}

// The disk a device path names: \\.\PhysicalDriveN (any case) or a disk interface path.
bool FindDisk(const char* path, LxDisk* disk, uint32_t* driveNumber) {
    static LxDisk disks[LX_MAX_DISKS]; // guarded by g_listLock
    static pthread_mutex_t g_listLock = PTHREAD_MUTEX_INITIALIZER;
    const char physical[] = "\\\\.\\physicaldrive";
    const size_t physicalLength = sizeof(physical) - 1;
    int wanted = -1;
    char name[LX_NAME_CHARS];
    name[0] = 0;
    if (strncasecmp(path, physical, physicalLength) == 0) {
        uint32_t n = 0;
        if (LxParseNumber(path + physicalLength, 10, 9999, &n) < 0) {
            return false;
        }
        wanted = (int)n;
    } else if (strncmp(path, kInterfacePrefix, sizeof(kInterfacePrefix) - 1) == 0) {
        const char* start = path + sizeof(kInterfacePrefix) - 1;
        const char* end = strchr(start, '#');
        if (end == NULL || (size_t)(end - start) >= sizeof(name) ||
            strcmp(end, kInterfaceSuffix) != 0) {
            return false;
        }
        memcpy(name, start, (size_t)(end - start));
        name[end - start] = 0;
    } else {
        return false;
    }
    pthread_mutex_lock(&g_listLock);
    int count = ListDisks(disks, LX_MAX_DISKS);
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        if (i == wanted || (name[0] != 0 && strcmp(disks[i].name, name) == 0)) {
            *disk = disks[i];
            *driveNumber = (uint32_t)i;
            found = true;
        }
    }
    pthread_mutex_unlock(&g_listLock);
    return found;
}

// Opens the NVMe controller's character device and checks that it is the device sysfs names.
int OpenController(const LxDisk& disk, DWORD* error) {
    char sysPath[LX_PATH_CHARS];
    char devPath[LX_PATH_CHARS];
    char number[32];
    char controllerDir[LX_PATH_CHARS];
    uint32_t major = 0;
    uint32_t minor = 0;
    char* colon = NULL;
    if (snprintf(controllerDir, sizeof(controllerDir), "%s/class/nvme/%s", g_sysRoot,
                 disk.controller) >= (int)sizeof(controllerDir) ||
        LxJoin(sysPath, sizeof(sysPath), controllerDir, "dev") < 0 ||
        LxReadText(sysPath, number, sizeof(number)) < 3 || (colon = strchr(number, ':')) == NULL) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    *colon = 0;
    if (LxParseNumber(number, 10, 0xFFFFF, &major) < 0 ||
        LxParseNumber(colon + 1, 10, 0xFFFFF, &minor) < 0 ||
        LxJoin(devPath, sizeof(devPath), g_devRoot, disk.controller) < 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd = open(devPath, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        // A controller that is resetting or reconnecting cannot be opened (EWOULDBLOCK): as on
        // Windows, the disk is not there until it is back.
        *error = errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != major ||
        minor(st.st_rdev) != minor) {
        close(fd);
        *error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    return fd;
}

HANDLE OpenDevice(LPCWSTR path, DWORD, DWORD, DWORD creationDisposition, DWORD) {
    char text[LX_PATH_CHARS];
    LxDisk disk;
    uint32_t driveNumber = 0;
    if (path == NULL || !Narrow(path, text, sizeof(text)) || !FindDisk(text, &disk, &driveNumber)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    if (disk.kind == LX_DISK_NVME) {
        DWORD error = 0;
        fd = OpenController(disk, &error);
        if (fd < 0) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    LxDiskHandle* h = (LxDiskHandle*)calloc(1, sizeof(LxDiskHandle));
    if (h == NULL) {
        if (fd >= 0) {
            close(fd);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    h->kind = LX_OBJECT_DISK;
    h->fd = fd;
    h->sgFd = -1;
    h->driveNumber = driveNumber;
    h->disk = disk;
    HANDLE handle = NewBackendHandle(h);
    if (handle == INVALID_HANDLE_VALUE) {
        if (fd >= 0) {
            close(fd);
        }
        free(h);
    }
    return handle;
}

BOOL CloseDevice(HANDLE handle) {
    void* object = DropBackendHandle(handle);
    if (object == NULL) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    uint32_t kind = 0;
    memcpy(&kind, object, sizeof(kind));
    if (kind == LX_OBJECT_DISK && ((LxDiskHandle*)object)->fd >= 0) {
        close(((LxDiskHandle*)object)->fd);
    }
    if (kind == LX_OBJECT_DISK && ((LxDiskHandle*)object)->sgFd >= 0) {
        close(((LxDiskHandle*)object)->sgFd);
    }
    free(object);
    return TRUE;
}

template <class T> T* ObjectOf(HANDLE handle, uint32_t kind) {
    void* object = BackendHandleObject(handle);
    if (object == NULL) {
        return NULL;
    }
    uint32_t k = 0;
    memcpy(&k, object, sizeof(k));
    return k == kind ? (T*)object : NULL;
}

BOOL IoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
               LPDWORD returned, LPOVERLAPPED overlapped) {
    LxDiskHandle* h = ObjectOf<LxDiskHandle>(device, LX_OBJECT_DISK);
    if (h == NULL) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (overlapped != NULL || returned == NULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD error = LxDiskIoControl(h, code, (const BYTE*)in, inSize, (BYTE*)out, outSize, returned);
    if (error != 0) {
        *returned = 0;
        return Fail(error);
    }
    return TRUE;
}

// ---- SetupAPI ------------------------------------------------------------------------------

DeviceSet* NewSet() {
    DeviceSet* set = (DeviceSet*)calloc(1, sizeof(DeviceSet));
    if (set != NULL) {
        set->kind = LX_OBJECT_SET;
    }
    return set;
}

void AddElement(DeviceSet* set, DEVINST inst) {
    if (inst == 0 || set->count >= kMaxNodes) {
        return;
    }
    for (int i = 0; i < set->count; ++i) {
        if (set->elements[i] == inst) {
            return;
        }
    }
    set->elements[set->count++] = inst;
}

DEVINST ParentInst(const Node& node) {
    if (node.diskParent[0] != 0) {
        return NodeOf(node.diskParent, NULL);
    }
    char parent[LX_PATH_CHARS];
    if (LxParentNode(g_sysRoot, node.path, parent, sizeof(parent)) < 0) {
        return 0;
    }
    return NodeOf(parent, NULL);
}

HDEVINFO ClassDevs(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    const bool all = (flags & DIGCF_ALLCLASSES) != 0;
    if (classGuid == NULL && !all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceSet* set = NewSet();
    if (set == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    const bool disks = (flags & DIGCF_DEVICEINTERFACE) != 0 && classGuid != NULL &&
                       SameGuid(classGuid, &GUID_DEVINTERFACE_DISK);
    if (disks || all) {
        static LxDisk list[LX_MAX_DISKS];
        static pthread_mutex_t g_setLock = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&g_setLock);
        int count = ListDisks(list, LX_MAX_DISKS);
        for (int i = 0; i < count; ++i) {
            DEVINST inst = NodeOf(list[i].node, list[i].parent);
            if (disks) {
                AddElement(set, inst);
                if (set->count - 1 < LX_MAX_DISKS && set->elements[set->count - 1] == inst) {
                    snprintf(set->disks[set->count - 1], LX_NAME_CHARS, "%s", list[i].name);
                }
                continue;
            }
            // Every node from the disk up to the root.
            Node node;
            for (int depth = 0; inst != 0 && depth < 32 && NodeRecord(inst, &node); ++depth) {
                AddElement(set, inst);
                inst = ParentInst(node);
            }
        }
        pthread_mutex_unlock(&g_setLock);
        set->interfaces = disks ? 1 : 0;
    }
    // The USB devices, hubs and host controllers, for the port ids of USB disks. Setup classes
    // have empty sets.
    const GUID* usbClasses[3] = {&GUID_DEVINTERFACE_USB_DEVICE, &GUID_DEVINTERFACE_USB_HUB,
                                 &GUID_DEVINTERFACE_USB_HOST_CONTROLLER};
    for (int which = 0; which < 3 && !disks && !all; ++which) {
        if ((flags & DIGCF_DEVICEINTERFACE) == 0 || classGuid == NULL ||
            !SameGuid(classGuid, usbClasses[which])) {
            continue;
        }
        static char paths[kMaxNodes][LX_PATH_CHARS];
        static pthread_mutex_t g_usbLock = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&g_usbLock);
        const int count = LxListUsb(g_sysRoot, which, paths, kMaxNodes);
        for (int i = 0; i < count; ++i) {
            AddElement(set, NodeOf(paths[i], NULL));
        }
        pthread_mutex_unlock(&g_usbLock);
    }
    HANDLE handle = NewBackendHandle(set);
    if (handle == INVALID_HANDLE_VALUE) {
        free(set);
    }
    return handle;
}

DeviceSet* SetOf(HDEVINFO handle) {
    DeviceSet* set = ObjectOf<DeviceSet>(handle, LX_OBJECT_SET);
    if (set == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return set;
}

// The element an SP_DEVINFO_DATA names (its Reserved holds the element's address).
int ElementIndex(const DeviceSet* set, const SP_DEVINFO_DATA* data) {
    if (data == NULL || data->cbSize != sizeof(SP_DEVINFO_DATA) || set->count == 0) {
        return -1;
    }
    const uintptr_t first = (uintptr_t)&set->elements[0];
    const uintptr_t token = (uintptr_t)data->Reserved;
    if (token < first || (token - first) % sizeof(DEVINST) != 0 ||
        (token - first) / sizeof(DEVINST) >= (uintptr_t)set->count) {
        return -1;
    }
    return (int)((token - first) / sizeof(DEVINST));
}

BOOL EnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (data == NULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= (DWORD)set->count) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    data->ClassGuid = kNullGuid;
    data->DevInst = set->elements[index];
    data->Reserved = (ULONG_PTR)&set->elements[index];
    return TRUE;
}

BOOL EnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                          PSP_DEVICE_INTERFACE_DATA iface) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (cls == NULL || iface == NULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!set->interfaces || !SameGuid(cls, &GUID_DEVINTERFACE_DISK)) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    int only = -1;
    if (data != NULL) {
        only = ElementIndex(set, data);
        if (only < 0) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }
    int at = only >= 0 ? (index == 0 ? only : -1) : (int)index;
    if (at < 0 || at >= set->count) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    iface->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    iface->Flags = SPINT_ACTIVE;
    iface->Reserved = (ULONG_PTR)(at + 1);
    return TRUE;
}

BOOL GetInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA iface,
                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                        PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (iface == NULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!set->interfaces || iface->Reserved == 0 || iface->Reserved > (ULONG_PTR)set->count) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int at = (int)iface->Reserved - 1;
    char path[LX_PATH_CHARS];
    if (snprintf(path, sizeof(path), "%s%s%s", kInterfacePrefix, set->disks[at],
                 kInterfaceSuffix) >= (int)sizeof(path)) {
        return Fail(ERROR_INVALID_DATA);
    }
    const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                 (strlen(path) + 1) * sizeof(WCHAR));
    if (required != NULL) {
        *required = needed;
    }
    if (detail != NULL && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (detail == NULL && size != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (detail == NULL || size < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    Widen(path, detail->DevicePath,
          (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR));
    if (data != NULL) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        data->ClassGuid = kNullGuid;
        data->DevInst = set->elements[at];
        data->Reserved = (ULONG_PTR)&set->elements[at];
    }
    return TRUE;
}

// Hands a property value out with the SetupAPI sizing rules.
BOOL GiveValue(const void* value, DWORD length, DWORD regType, PDWORD type, PBYTE buffer,
               DWORD size, PDWORD required) {
    if (required != NULL) {
        *required = length;
    }
    if (buffer == NULL && size != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (size < length) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, value, length);
    if (type != NULL) {
        *type = regType;
    }
    return TRUE;
}

BOOL GetRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                         PBYTE buffer, DWORD size, PDWORD required) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    const int at = ElementIndex(set, data);
    Node node;
    if (at < 0 || !NodeRecord(set->elements[at], &node)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int isDisk = node.diskParent[0] != 0;
    char text[LX_TEXT_CHARS];
    WCHAR wide[LX_TEXT_CHARS];
    uint32_t bus = 0;
    switch (property) {
    case SPDRP_SERVICE:
        if (LxNodeService(node.path, isDisk, text, sizeof(text)) == 1 &&
            Widen(text, wide, LX_TEXT_CHARS)) {
            return GiveValue(wide, (DWORD)((wcslen(wide) + 1) * sizeof(WCHAR)), REG_SZ, type,
                             buffer, size, required);
        }
        break;
    case SPDRP_LOCATION_INFORMATION:
        if (LxNodeLocation(node.path, text, sizeof(text)) == 1 &&
            Widen(text, wide, LX_TEXT_CHARS)) {
            return GiveValue(wide, (DWORD)((wcslen(wide) + 1) * sizeof(WCHAR)), REG_SZ, type,
                             buffer, size, required);
        }
        break;
    case SPDRP_BUSNUMBER:
        if (LxNodeBusNumber(node.path, &bus) == 1) {
            return GiveValue(&bus, sizeof(bus), REG_DWORD, type, buffer, size, required);
        }
        break;
    default:
        break;
    }
    return Fail(ERROR_INVALID_DATA);
}

BOOL GetProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                 PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (flags != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (key == NULL || type == NULL) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int at = ElementIndex(set, data);
    Node node;
    if (at < 0 || !NodeRecord(set->elements[at], &node)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DEVPROPKEY* links[4] = {&DEVPKEY_PciDevice_CurrentLinkSpeed,
                                  &DEVPKEY_PciDevice_CurrentLinkWidth,
                                  &DEVPKEY_PciDevice_MaxLinkSpeed, &DEVPKEY_PciDevice_MaxLinkWidth};
    for (int i = 0; i < 4; ++i) {
        uint32_t value = 0;
        if (SameGuid(&key->fmtid, &links[i]->fmtid) && key->pid == links[i]->pid &&
            LxNodeLink(node.path, i, &value) == 1) {
            DWORD regType = 0;
            BOOL ok = GiveValue(&value, sizeof(value), DEVPROP_TYPE_UINT32, &regType, buffer, size,
                                required);
            *type = DEVPROP_TYPE_UINT32;
            return ok;
        }
    }
    *type = DEVPROP_TYPE_EMPTY;
    return Fail(ERROR_NOT_FOUND);
}

BOOL DestroySet(HDEVINFO handle) {
    if (ObjectOf<DeviceSet>(handle, LX_OBJECT_SET) == NULL) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    free(DropBackendHandle(handle));
    return TRUE;
}

// ---- configuration manager ----------------------------------------------------------------

CONFIGRET GetParent(PDEVINST parent, DEVINST inst, ULONG flags) {
    if (parent == NULL) {
        return CR_INVALID_POINTER;
    }
    *parent = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    Node node;
    if (!NodeRecord(inst, &node)) {
        return CR_INVALID_DEVNODE;
    }
    DEVINST up = NodePresent(node) ? ParentInst(node) : 0;
    if (up == 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    *parent = up;
    return CR_SUCCESS;
}

// The instance id of a present node; false otherwise.
bool InstanceId(DEVINST inst, char* out, size_t capacity, CONFIGRET* error) {
    Node node;
    if (!NodeRecord(inst, &node)) {
        *error = CR_INVALID_DEVNODE;
        return false;
    }
    if (!NodePresent(node) ||
        LxNodeInstanceId(node.path, node.diskParent[0] != 0, out, capacity) != 1) {
        *error = CR_NO_SUCH_DEVNODE;
        return false;
    }
    return true;
}

CONFIGRET GetDeviceId(DEVINST inst, PWSTR buffer, ULONG length, ULONG flags) {
    if (buffer == NULL) {
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    char id[LX_PATH_CHARS];
    CONFIGRET error = CR_SUCCESS;
    if (!InstanceId(inst, id, sizeof(id), &error)) {
        return error;
    }
    const size_t n = strlen(id);
    if (length < n) {
        return CR_BUFFER_SMALL;
    }
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = (WCHAR)(unsigned char)id[i];
    }
    if (length > n) {
        buffer[n] = 0;
    }
    return CR_SUCCESS;
}

CONFIGRET GetDeviceIdSize(PULONG length, DEVINST inst, ULONG flags) {
    if (length == NULL) {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    char id[LX_PATH_CHARS];
    CONFIGRET error = CR_SUCCESS;
    if (!InstanceId(inst, id, sizeof(id), &error)) {
        return error;
    }
    *length = (ULONG)strlen(id);
    return CR_SUCCESS;
}

const DeviceBackend kBackend = {
    OpenDevice,         CloseDevice,
    IoControl,          ClassDevs,
    EnumDeviceInfo,     EnumDeviceInterfaces,
    GetInterfaceDetail, GetRegistryProperty,
    GetProperty,        DestroySet,
    GetParent,          GetDeviceId,
    GetDeviceIdSize,    NULL,
};

// The kernel's device events stand for Windows' device-change broadcast: a disk or NVMe
// controller that comes, goes or changes (a controller reset ends with "change") tells the
// program's windows, as DBT_DEVNODES_CHANGED does.
void* WatchDeviceEvents(void* socketFd) {
    const int fd = (int)(intptr_t)socketFd;
    char message[8192];
    for (;;) {
        ssize_t n = recv(fd, message, sizeof(message) - 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return NULL;
        }
        message[n] = 0;
        // "ACTION@DEVPATH", then KEY=VALUE texts, each terminated.
        bool storage = false;
        bool disk = false;
        const char* action = "";
        const char* name = "";
        for (ssize_t at = 0; at < n; at += (ssize_t)strlen(message + at) + 1) {
            const char* field = message + at;
            storage = storage || strcmp(field, "SUBSYSTEM=block") == 0 ||
                      strcmp(field, "SUBSYSTEM=nvme") == 0 ||
                      strcmp(field, "SUBSYSTEM=scsi_generic") == 0;
            disk = disk || strcmp(field, "DEVTYPE=disk") == 0;
            if (strncmp(field, "ACTION=", 7) == 0) {
                action = field + 7;
            } else if (strncmp(field, "DEVNAME=", 8) == 0) {
                name = field + 8;
            }
        }
        if (disk && name[0] != 0 && (strcmp(action, "add") == 0 || strcmp(action, "remove") == 0)) {
            pthread_mutex_lock(&g_announcedLock);
            NoteDisk(name, strcmp(action, "add") == 0);
            pthread_mutex_unlock(&g_announcedLock);
        }
        if (storage) {
            AnnounceDeviceChange();
        }
    }
}

// Starts hearing the kernel's device events (once), and takes the disks present now as
// announced.
void StartDeviceEvents() {
    static pthread_mutex_t g_startLock = PTHREAD_MUTEX_INITIALIZER;
    static bool g_started = false;
    pthread_mutex_lock(&g_startLock);
    if (!g_started) {
        int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        struct sockaddr_nl address;
        memset(&address, 0, sizeof(address));
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1; // the kernel's own events
        pthread_t thread;
        if (fd >= 0 && bind(fd, (struct sockaddr*)&address, sizeof(address)) == 0 &&
            pthread_create(&thread, NULL, WatchDeviceEvents, (void*)(intptr_t)fd) == 0) {
            pthread_detach(thread);
            g_started = true;
        } else if (fd >= 0) {
            close(fd); // without events the program rescans when asked, as before
        }
    }
    pthread_mutex_unlock(&g_startLock);
    // The disks there now count from the start; every later one from its event.
    static LxDisk present[LX_MAX_DISKS];
    pthread_mutex_lock(&g_announcedLock);
    const int count = LxListDisks(g_sysRoot, present, LX_MAX_DISKS);
    g_announcedCount = 0;
    for (int i = 0; i < count; ++i) {
        NoteDisk(present[i].name, true);
    }
    g_gated = g_started;
    pthread_mutex_unlock(&g_announcedLock);
}

// Resolves a root folder into out; false when it is missing, no folder, or too long.
bool ResolveRoot(const char* root, char* out, size_t capacity) {
    char resolved[PATH_MAX];
    struct stat st;
    if (root == NULL || root[0] == 0 || realpath(root, resolved) == NULL ||
        stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode) || strlen(resolved) + 1 > capacity) {
        return false;
    }
    memcpy(out, resolved, strlen(resolved) + 1);
    return true;
}

} // namespace

const char* LxSysRoot() {
    return g_sysRoot;
}

const char* LxDevRoot() {
    return g_devRoot;
}

int LinuxBackendUserAllowed(char* reason, unsigned long capacity) {
    if (geteuid() == 0) {
        if (capacity > 0) {
            reason[0] = 0;
        }
        return 1;
    }
    snprintf(reason, capacity, "the Linux device backend opens real disks and runs only as root");
    return 0;
}

int LinuxBackendInstall(const char* sysRoot, const char* devRoot) {
    char sys[LX_PATH_CHARS];
    char dev[LX_PATH_CHARS];
    if (!ResolveRoot(sysRoot, sys, sizeof(sys)) || !ResolveRoot(devRoot, dev, sizeof(dev))) {
        return -1;
    }
    memcpy(g_sysRoot, sys, sizeof(sys));
    memcpy(g_devRoot, dev, sizeof(dev));
    pthread_mutex_lock(&g_nodesLock);
    g_nodeCount = 0;
    pthread_mutex_unlock(&g_nodesLock);
    StartDeviceEvents();
    InstallDeviceBackend(&kBackend);
    return 1;
}

int LinuxBackendSetCommandLog(const char* path) {
    return LxSetCommandLog(path);
}
