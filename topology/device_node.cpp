#include "topology/device_node.h"

#include "common/wformat.h"
#include "devquery/device_queries.h"

#include <string.h>
#include <wchar.h>

namespace {

const DWORD kNameChars = 64;

// Copies and lower-cases a text into a buffer of kNameChars characters.
void LowerCopy(WCHAR* dst, const WCHAR* src) {
    DWORD i = 0;
    for (; src[i] != 0 && i + 1 < kNameChars; ++i) {
        dst[i] = src[i];
    }
    dst[i] = 0;
    CharLowerW(dst);
}

DEVINST ParentOf(DEVINST node) {
    DEVINST parent = 0;
    if (node == 0 || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
        return 0;
    }
    return parent;
}

} // namespace

bool WalkDeviceInfoSet(HDEVINFO set, DeviceVisitor visit, void* context) {
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            return false;
        }
        if (visit(set, i, &data, context)) {
            return true;
        }
    }
}

bool WalkClassDevices(const GUID* interfaceClass, DeviceVisitor visit, void* context) {
    DWORD flags =
        interfaceClass != NULL ? TOPOLOGY_INTERFACE_FLAGS : DIGCF_PRESENT | DIGCF_ALLCLASSES;
    HDEVINFO set = SetupDiGetClassDevsW(interfaceClass, NULL, NULL, flags);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool stopped = WalkDeviceInfoSet(set, visit, context);
    SetupDiDestroyDeviceInfoList(set);
    return stopped;
}

namespace {

struct NodeSearch {
    DEVINST node;
    SP_DEVINFO_DATA* data;
};

bool IsNode(HDEVINFO, DWORD, SP_DEVINFO_DATA* data, void* context) {
    NodeSearch* search = (NodeSearch*)context;
    if (data->DevInst != search->node) {
        return false;
    }
    *search->data = *data;
    return true;
}

struct DiskWalk {
    DiskVisitor visit;
    void* context;
};

bool VisitOpenDisk(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data, void* context) {
    HANDLE handle = OpenDiskInterface(set, index);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DiskWalk* walk = (DiskWalk*)context;
    return walk->visit(set, data, handle, walk->context);
}

struct NodeUse {
    DEVINST node;
    DeviceUser use;
    void* context;
};

bool UseIfNode(HDEVINFO set, DWORD, SP_DEVINFO_DATA* data, void* context) {
    NodeUse* use = (NodeUse*)context;
    if (use->node == 0 || data->DevInst != use->node) {
        return false;
    }
    use->use(set, data, use->context);
    return true;
}

} // namespace

bool FindDeviceInfo(HDEVINFO set, DEVINST node, SP_DEVINFO_DATA* data) {
    if (node == 0) {
        return false;
    }
    NodeSearch search = {node, data};
    return WalkDeviceInfoSet(set, IsNode, &search);
}

bool WalkPresentDisks(DiskVisitor visit, void* context) {
    DiskWalk walk = {visit, context};
    return WalkClassDevices(&GUID_DEVINTERFACE_DISK, VisitOpenDisk, &walk);
}

bool WithPresentDevice(DEVINST node, DeviceUser use, void* context) {
    NodeUse nodeUse = {node, use, context};
    return WalkClassDevices(NULL, UseIfNode, &nodeUse);
}

HANDLE OpenDiskInterface(HDEVINFO set, DWORD index) {
    SP_DEVICE_INTERFACE_DATA iface;
    memset(&iface, 0, sizeof(iface));
    iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_DISK, index, &iface)) {
        return INVALID_HANDLE_VALUE;
    }
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &size, NULL);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return INVALID_HANDLE_VALUE;
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W*)VirtualAlloc(
        NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (detail == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, NULL, NULL)) {
        handle = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    }
    VirtualFree(detail, 0, MEM_RELEASE);
    return handle;
}

namespace {

struct DiskSearch {
    const WCHAR* wanted; // lower case
    int level;
    DEVINST node;
};

// Whether the disk's physical-drive path is the one searched for; its node (or the node `level`
// up from it) is the answer.
bool IsWantedDisk(HDEVINFO, SP_DEVINFO_DATA* data, HANDLE disk, void* context) {
    DiskSearch* search = (DiskSearch*)context;
    WCHAR name[kNameChars];
    name[0] = 0;
    STORAGE_DEVICE_NUMBER number;
    if (IO_GetDeviceNumber(disk, &number)) {
        WFormat(name, kNameChars, L"\\\\.\\PHYSICALDRIVE%d", (int)number.DeviceNumber);
    }
    CloseHandle(disk);
    if (name[0] == 0) {
        return false; // a disk without a readable number matches no path
    }
    CharLowerW(name);
    if (wcscmp(name, search->wanted) != 0) {
        return false;
    }
    search->node = data->DevInst;
    for (int up = 0; up < search->level; ++up) {
        search->node = ParentOf(search->node);
    }
    return true;
}

struct ServiceName {
    WCHAR* buffer;
    DWORD capacity;
};

// A name that does not fit (with its terminator) is left out rather than cut.
void ReadServiceName(HDEVINFO set, SP_DEVINFO_DATA* data, void* context) {
    ServiceName* out = (ServiceName*)context;
    DWORD size = 0;
    DWORD type = 0;
    SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_SERVICE, &type, NULL, 0, &size);
    if (size != 0 && size <= out->capacity * sizeof(WCHAR)) {
        if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_SERVICE, &type, (PBYTE)out->buffer,
                                               out->capacity * sizeof(WCHAR), &size)) {
            out->buffer[0] = 0;
        }
        out->buffer[out->capacity - 1] = 0;
    }
}

struct PcieLink {
    int32_t* linkSpeed;
    uint32_t* linkWidth;
    uint32_t* maxLinkSpeed;
    uint32_t* maxLinkWidth;
};

void ReadPcieLink(HDEVINFO set, SP_DEVINFO_DATA* data, void* context) {
    PcieLink* link = (PcieLink*)context;
    *link->linkSpeed = 0;
    *link->linkWidth = 0;
    *link->maxLinkSpeed = 0;
    *link->maxLinkWidth = 0;
    const DEVPROPKEY* keys[4] = {&DEVPKEY_PciDevice_CurrentLinkSpeed,
                                 &DEVPKEY_PciDevice_CurrentLinkWidth,
                                 &DEVPKEY_PciDevice_MaxLinkSpeed, &DEVPKEY_PciDevice_MaxLinkWidth};
    void* outputs[4] = {link->linkSpeed, link->linkWidth, link->maxLinkSpeed, link->maxLinkWidth};
    for (int i = 0; i < 4; ++i) {
        DEVPROPTYPE type = 0;
        uint32_t value = 0;
        if (SetupDiGetDevicePropertyW(set, data, keys[i], &type, (PBYTE)&value, sizeof(value), NULL,
                                      0)) {
            memcpy(outputs[i], &value, sizeof(value));
        }
    }
}

void ReadBusNumber(HDEVINFO set, SP_DEVINFO_DATA* data, void* context) {
    int32_t* bus = (int32_t*)context;
    DWORD size = 0;
    DWORD type = 0;
    SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_BUSNUMBER, &type, NULL, 0, &size);
    DWORD value = 0;
    if (size == sizeof(value) &&
        SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_BUSNUMBER, &type, (PBYTE)&value,
                                          sizeof(value), &size)) {
        *bus = (int32_t)value;
    }
}

} // namespace

DEVINST GetDiskDevInst(const WCHAR* path, int level) {
    if (level < 0 || level > 2 || path == NULL) {
        return 0;
    }
    WCHAR wanted[kNameChars];
    LowerCopy(wanted, path);
    DiskSearch search = {wanted, level, 0};
    WalkPresentDisks(IsWantedDisk, &search);
    return search.node;
}

void GetDiskDriverService(const WCHAR* path, WCHAR* buffer, DWORD capacity) {
    if (buffer == NULL || capacity == 0) {
        return;
    }
    buffer[0] = 0;
    DEVINST node = GetDiskDevInst(path, 1);
    if (node == 0) {
        return;
    }
    ServiceName out = {buffer, capacity};
    WithPresentDevice(node, ReadServiceName, &out);
}

void GetPcieLinkInfo(const WCHAR* path, int32_t* linkSpeed, uint32_t* linkWidth,
                     uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth) {
    PcieLink link = {linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth};
    WithPresentDevice(GetDiskDevInst(path, 1), ReadPcieLink, &link);
}

int32_t GetBusNumber(DEVINST node, int level) {
    if (level != 1 && level != 2) {
        return 0;
    }
    DEVINST target = ParentOf(node);
    if (level == 2) {
        target = ParentOf(target);
    }
    if (target == 0) {
        return 0;
    }
    int32_t bus = 0;
    WithPresentDevice(target, ReadBusNumber, &bus);
    return bus;
}
