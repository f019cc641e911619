// SetupAPI on the Linux backend: device information sets over the device tree's nodes, the
// disks' interfaces, and the few properties the program reads.
#include "platform/device_backend.h"
#include "platform/linux/device_tree.h"
#include "platform/linux/objects.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// A device information set: a snapshot of nodes, and for a disk interface set the disk of each.
struct DeviceSet {
    uint32_t kind; // LX_OBJECT_SET
    int count;
    DEVINST elements[LX_MAX_NODES];
    int interfaces; // 1: the disks' interfaces, one per element
    char disks[LX_MAX_DISKS][LX_NAME_CHARS];
};

const GUID kNullGuid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const char kInterfacePrefix[] = "\\\\.\\block#";
const char kInterfaceSuffix[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

bool SameGuid(const GUID* a, const GUID* b) {
    return memcmp(a, b, sizeof(GUID)) == 0;
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

DeviceSet* NewSet() {
    DeviceSet* set = (DeviceSet*)calloc(1, sizeof(DeviceSet));
    if (set != NULL) {
        set->kind = LX_OBJECT_SET;
    }
    return set;
}

void AddElement(DeviceSet* set, DEVINST inst) {
    if (inst == 0 || set->count >= LX_MAX_NODES) {
        return;
    }
    for (int i = 0; i < set->count; ++i) {
        if (set->elements[i] == inst) {
            return;
        }
    }
    set->elements[set->count++] = inst;
}

DeviceSet* SetOf(HDEVINFO handle) {
    DeviceSet* set = LxObjectOf<DeviceSet>(handle, LX_OBJECT_SET);
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

// Hands a property value out with the SetupAPI sizing rules.
BOOL GiveValue(const void* value, DWORD length, DWORD regType, PDWORD type, PBYTE buffer,
               DWORD size, PDWORD required) {
    if (required != NULL) {
        *required = length;
    }
    if (buffer == NULL && size != 0) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (size < length) {
        return LxFail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, value, length);
    if (type != NULL) {
        *type = regType;
    }
    return TRUE;
}

} // namespace

bool LxDiskInterfacePath(const char* name, char* out, size_t capacity) {
    return snprintf(out, capacity, "%s%s%s", kInterfacePrefix, name, kInterfaceSuffix) <
           (int)capacity;
}

bool LxDiskOfInterfacePath(const char* path, char* name, size_t capacity) {
    if (strncmp(path, kInterfacePrefix, sizeof(kInterfacePrefix) - 1) != 0) {
        return false;
    }
    const char* start = path + sizeof(kInterfacePrefix) - 1;
    const char* end = strchr(start, '#');
    if (end == NULL || (size_t)(end - start) >= capacity || strcmp(end, kInterfaceSuffix) != 0) {
        return false;
    }
    memcpy(name, start, (size_t)(end - start));
    name[end - start] = 0;
    return true;
}

HDEVINFO LxClassDevs(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
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
        int count = LxListAnnouncedDisks(list, LX_MAX_DISKS);
        for (int i = 0; i < count; ++i) {
            DEVINST inst = LxNodeOf(list[i].node, list[i].parent);
            if (disks) {
                AddElement(set, inst);
                if (set->count - 1 < LX_MAX_DISKS && set->elements[set->count - 1] == inst) {
                    snprintf(set->disks[set->count - 1], LX_NAME_CHARS, "%s", list[i].name);
                }
                continue;
            }
            // Every node from the disk up to the root.
            LxNode node;
            for (int depth = 0; inst != 0 && depth < 32 && LxNodeRecord(inst, &node); ++depth) {
                AddElement(set, inst);
                inst = LxParentInst(node);
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
        static char paths[LX_MAX_NODES][LX_PATH_CHARS];
        static pthread_mutex_t g_usbLock = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&g_usbLock);
        const int count = LxListUsb(LxSysRoot(), which, paths, LX_MAX_NODES);
        for (int i = 0; i < count; ++i) {
            AddElement(set, LxNodeOf(paths[i], NULL));
        }
        pthread_mutex_unlock(&g_usbLock);
    }
    HANDLE handle = NewBackendHandle(set);
    if (handle == INVALID_HANDLE_VALUE) {
        free(set);
    }
    return handle;
}

BOOL LxEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (data == NULL) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= (DWORD)set->count) {
        return LxFail(ERROR_NO_MORE_ITEMS);
    }
    data->ClassGuid = kNullGuid;
    data->DevInst = set->elements[index];
    data->Reserved = (ULONG_PTR)&set->elements[index];
    return TRUE;
}

BOOL LxEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA iface) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (cls == NULL || iface == NULL) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (!set->interfaces || !SameGuid(cls, &GUID_DEVINTERFACE_DISK)) {
        return LxFail(ERROR_NO_MORE_ITEMS);
    }
    int only = -1;
    if (data != NULL) {
        only = ElementIndex(set, data);
        if (only < 0) {
            return LxFail(ERROR_INVALID_PARAMETER);
        }
    }
    int at = only >= 0 ? (index == 0 ? only : -1) : (int)index;
    if (at < 0 || at >= set->count) {
        return LxFail(ERROR_NO_MORE_ITEMS);
    }
    iface->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    iface->Flags = SPINT_ACTIVE;
    iface->Reserved = (ULONG_PTR)(at + 1);
    return TRUE;
}

BOOL LxGetInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA iface,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA data) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (iface == NULL) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (!set->interfaces || iface->Reserved == 0 || iface->Reserved > (ULONG_PTR)set->count) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    const int at = (int)iface->Reserved - 1;
    char path[LX_PATH_CHARS];
    if (!LxDiskInterfacePath(set->disks[at], path, sizeof(path))) {
        return LxFail(ERROR_INVALID_DATA);
    }
    const DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                 (strlen(path) + 1) * sizeof(WCHAR));
    if (required != NULL) {
        *required = needed;
    }
    if (detail != NULL && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (detail == NULL && size != 0) {
        return LxFail(ERROR_INVALID_USER_BUFFER);
    }
    if (detail == NULL || size < needed) {
        return LxFail(ERROR_INSUFFICIENT_BUFFER);
    }
    Widen(path, detail->DevicePath,
          (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR));
    if (data != NULL) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
            return LxFail(ERROR_INVALID_USER_BUFFER);
        }
        data->ClassGuid = kNullGuid;
        data->DevInst = set->elements[at];
        data->Reserved = (ULONG_PTR)&set->elements[at];
    }
    return TRUE;
}

BOOL LxGetRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                           PBYTE buffer, DWORD size, PDWORD required) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    const int at = ElementIndex(set, data);
    LxNode node;
    if (at < 0 || !LxNodeRecord(set->elements[at], &node)) {
        return LxFail(ERROR_INVALID_PARAMETER);
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
    return LxFail(ERROR_INVALID_DATA);
}

BOOL LxGetProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, const DEVPROPKEY* key, DEVPROPTYPE* type,
                   PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    DeviceSet* set = SetOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (flags != 0) {
        return LxFail(ERROR_INVALID_FLAGS);
    }
    if (key == NULL || type == NULL) {
        return LxFail(ERROR_INVALID_PARAMETER);
    }
    const int at = ElementIndex(set, data);
    LxNode node;
    if (at < 0 || !LxNodeRecord(set->elements[at], &node)) {
        return LxFail(ERROR_INVALID_PARAMETER);
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
    return LxFail(ERROR_NOT_FOUND);
}

BOOL LxDestroySet(HDEVINFO handle) {
    if (LxObjectOf<DeviceSet>(handle, LX_OBJECT_SET) == NULL) {
        return LxFail(ERROR_INVALID_HANDLE);
    }
    free(DropBackendHandle(handle));
    return TRUE;
}
