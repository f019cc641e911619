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

bool FindDeviceInfo(HDEVINFO set, DEVINST node, SP_DEVINFO_DATA* data) {
    if (node == 0) {
        return false;
    }
    for (DWORD i = 0;; ++i) {
        memset(data, 0, sizeof(*data));
        data->cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, data)) {
            return false;
        }
        if (data->DevInst == node) {
            return true;
        }
    }
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

DEVINST GetDiskDevInst(const WCHAR* path, int level) {
    if (level < 0 || level > 2 || path == NULL) {
        return 0;
    }
    WCHAR wanted[kNameChars];
    LowerCopy(wanted, path);
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DEVINST node = 0;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            break;
        }
        WCHAR name[kNameChars];
        name[0] = 0;
        HANDLE handle = OpenDiskInterface(set, i);
        if (handle != INVALID_HANDLE_VALUE) {
            STORAGE_DEVICE_NUMBER number;
            if (IO_GetDeviceNumber(handle, &number)) {
                WFormat(name, kNameChars, L"\\\\.\\PHYSICALDRIVE%d", (int)number.DeviceNumber);
            }
            CloseHandle(handle);
        }
        if (name[0] == 0) {
            continue; // a disk without a readable number matches no path
        }
        CharLowerW(name);
        if (wcscmp(name, wanted) == 0) {
            node = data.DevInst;
            for (int up = 0; up < level; ++up) {
                node = ParentOf(node);
            }
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return node;
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
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA data;
    if (FindDeviceInfo(set, node, &data)) {
        DWORD size = 0;
        DWORD type = 0;
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, &type, NULL, 0, &size);
        // A name that does not fit (with its terminator) is left out rather than cut.
        if (size != 0 && size <= capacity * sizeof(WCHAR)) {
            if (!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, &type, (PBYTE)buffer,
                                                   capacity * sizeof(WCHAR), &size)) {
                buffer[0] = 0;
            }
            buffer[capacity - 1] = 0;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

void GetPcieLinkInfo(const WCHAR* path, int32_t* linkSpeed, uint32_t* linkWidth,
                     uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth) {
    DEVINST node = GetDiskDevInst(path, 1);
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA data;
    if (FindDeviceInfo(set, node, &data)) {
        *linkSpeed = 0;
        *linkWidth = 0;
        *maxLinkSpeed = 0;
        *maxLinkWidth = 0;
        const DEVPROPKEY* keys[4] = {
            &DEVPKEY_PciDevice_CurrentLinkSpeed, &DEVPKEY_PciDevice_CurrentLinkWidth,
            &DEVPKEY_PciDevice_MaxLinkSpeed, &DEVPKEY_PciDevice_MaxLinkWidth};
        void* outputs[4] = {linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth};
        for (int i = 0; i < 4; ++i) {
            DEVPROPTYPE type = 0;
            uint32_t value = 0;
            if (SetupDiGetDevicePropertyW(set, &data, keys[i], &type, (PBYTE)&value, sizeof(value),
                                          NULL, 0)) {
                memcpy(outputs[i], &value, sizeof(value));
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
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
    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int32_t bus = 0;
    SP_DEVINFO_DATA data;
    if (FindDeviceInfo(set, target, &data)) {
        DWORD size = 0;
        DWORD type = 0;
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, &type, NULL, 0, &size);
        DWORD value = 0;
        if (size == sizeof(value) &&
            SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, &type, (PBYTE)&value,
                                              sizeof(value), &size)) {
            bus = (int32_t)value;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return bus;
}
