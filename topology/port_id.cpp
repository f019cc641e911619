#include "topology/port_id.h"

#include "devquery/device_queries.h"
#include "disklib/disk_record.h"
#include "log/debug_log.h"
#include "topology/device_node.h"

#include <string.h>
#include <wchar.h>

namespace {

const DWORD kIdChars = 260;

bool IsSpace(WCHAR c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

// Reads a signed decimal number as the %I64d conversion does: leading white space, an
// optional sign, digits. False when there are no digits.
bool ScanInt64(const WCHAR* text, int64_t* value) {
    while (IsSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == L'+' || *text == L'-') {
        negative = *text == L'-';
        ++text;
    }
    if (*text < L'0' || *text > L'9') {
        return false;
    }
    uint64_t v = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        v = v * 10 + (uint64_t)(*text - L'0');
    }
    *value = negative ? (int64_t)(0 - v) : (int64_t)v;
    return true;
}

// The port of a location text "Port_#%I64d.Hub_#%I64d": only the first number is used; the
// port is left as it was when the text does not start that way.
void ParseLocationPort(const WCHAR* text, int64_t* port) {
    const WCHAR prefix[] = L"Port_#";
    const size_t n = sizeof(prefix) / sizeof(prefix[0]) - 1;
    while (IsSpace(*text)) {
        ++text;
    }
    if (wcsncmp(text, prefix, n) != 0) {
        return;
    }
    int64_t value = 0;
    if (ScanInt64(text + n, &value)) {
        *port = value;
    }
}

// A hub is a root hub when the second piece of its instance ID, split as "%4s%8s", is
// "ROOT_HUB".
bool IsRootHub(const WCHAR* id) {
    const WCHAR* p = id;
    while (IsSpace(*p)) {
        ++p;
    }
    for (int i = 0; i < 4 && *p != 0 && !IsSpace(*p); ++i) {
        ++p;
    }
    while (IsSpace(*p)) {
        ++p;
    }
    WCHAR piece[9];
    int n = 0;
    for (; n < 8 && *p != 0 && !IsSpace(*p); ++n) {
        piece[n] = *p++;
    }
    piece[n] = 0;
    return wcscmp(piece, L"ROOT_HUB") == 0;
}

bool GetInstanceId(DEVINST node, WCHAR* id) {
    id[0] = 0;
    if (node == 0 || CM_Get_Device_IDW(node, id, kIdChars, 0) != CR_SUCCESS) {
        id[0] = 0;
        return false;
    }
    id[kIdChars - 1] = 0;
    return true;
}

bool GetParentId(DEVINST node, WCHAR* id) {
    DEVINST parent = 0;
    id[0] = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
        return false;
    }
    return GetInstanceId(parent, id);
}

// Finds the element of an interface set whose instance ID equals id (case-sensitive).
bool FindById(HDEVINFO set, const WCHAR* id, SP_DEVINFO_DATA* data) {
    for (DWORD i = 0;; ++i) {
        memset(data, 0, sizeof(*data));
        data->cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, data)) {
            return false;
        }
        WCHAR elementId[kIdChars];
        if (GetInstanceId(data->DevInst, elementId) && wcscmp(elementId, id) == 0) {
            return true;
        }
    }
}

// Reads SPDRP_LOCATION_INFORMATION (size first, then the text) and parses its port.
void ReadLocationPort(HDEVINFO set, SP_DEVINFO_DATA* data, int64_t* port) {
    DWORD size = 0;
    DWORD type = 0;
    SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, &type, NULL, 0, &size);
    WCHAR text[kIdChars];
    if (size == 0 || size > sizeof(text)) {
        return;
    }
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, &type,
                                           (PBYTE)text, sizeof(text), &size)) {
        return;
    }
    text[kIdChars - 1] = 0;
    ParseLocationPort(text, port);
}

// From hub `hubId` up to its root hub, one pair of digits per level, the controller's index
// last.
uint64_t HubWalk(const WCHAR* hubId, uint64_t value) {
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HUB, NULL, NULL, TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return value;
    }
    int64_t port = 0;
    WCHAR hub[kIdChars];
    wcsncpy(hub, hubId, kIdChars - 1);
    hub[kIdChars - 1] = 0;
    for (;;) {
        SP_DEVINFO_DATA data;
        if (!FindById(set, hub, &data)) {
            break;
        }
        WCHAR parent[kIdChars];
        GetParentId(data.DevInst, parent);
        if (IsRootHub(hub)) {
            value = value * 100 + GetUsbControllerIndex(parent);
            break;
        }
        ReadLocationPort(set, &data, &port);
        value = value * 100 + (uint64_t)port;
        memcpy(hub, parent, sizeof(hub));
    }
    SetupDiDestroyDeviceInfoList(set);
    return value;
}

// The bus-number form of native NVMe and RST disks, for the disk node of a disk interface.
int64_t BusNumberPortId(DEVINST diskNode) {
    return PORT_ID_BUS_BASE + (int64_t)PORT_ID_BUS_MULTIPLIER * (int64_t)GetBusNumber(diskNode, 2) +
           (int64_t)GetBusNumber(diskNode, 1);
}

// The USB form, from the parent of the disk node (the USB device).
int64_t UsbPortId(DEVINST diskNode) {
    WCHAR id[kIdChars];
    GetParentId(diskNode, id);
    return (int64_t)ReverseDigitPairs(GetUsbPathCode(id));
}

bool ScsiPathId(HANDLE disk, int64_t* portId) {
    SCSI_ADDRESS address;
    if (!IO_GetScsiAddress(disk, &address)) {
        return false;
    }
    *portId = address.PathId;
    return true;
}

} // namespace

uint64_t ReverseDigitPairs(uint64_t value) {
    uint64_t r = 0;
    while (value > 100) {
        r = r * 100 + value % 100;
        value /= 100;
    }
    return r * 100 + value % 100;
}

uint32_t GetUsbControllerIndex(const WCHAR* instanceId) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, NULL, NULL,
                                        TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return 1;
    }
    uint32_t index = 0;
    uint32_t count = 0;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            break;
        }
        ++count;
        WCHAR id[kIdChars];
        if (GetInstanceId(data.DevInst, id) && wcscmp(id, instanceId) == 0) {
            index = i + 1;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return index != 0 ? index : count + 1;
}

uint64_t GetUsbPathCode(const WCHAR* instanceId) {
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, NULL, NULL, TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uint64_t code = 0;
    SP_DEVINFO_DATA data;
    if (FindById(set, instanceId, &data)) {
        int64_t port = 0;
        ReadLocationPort(set, &data, &port);
        WCHAR hub[kIdChars];
        GetParentId(data.DevInst, hub);
        code = HubWalk(hub, (uint64_t)port);
    }
    SetupDiDestroyDeviceInfoList(set);
    return code;
}

int64_t GetDiskPortID(uint32_t busType, uint32_t driveNumber) {
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int64_t portId = -1;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            break;
        }
        HANDLE handle = OpenDiskInterface(set, i);
        if (handle == INVALID_HANDLE_VALUE) {
            continue;
        }
        STORAGE_DEVICE_NUMBER number;
        if (!IO_GetDeviceNumber(handle, &number) || number.DeviceNumber != driveNumber) {
            CloseHandle(handle);
            continue;
        }
        if (busType == BusTypeUsb) {
            portId = UsbPortId(data.DevInst);
        } else if (busType == BusTypeRAID || busType == BusTypeNvme) {
            portId = BusNumberPortId(data.DevInst);
        } else if (!ScsiPathId(handle, &portId)) {
            portId = 0;
        }
        CloseHandle(handle);
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return portId;
}

HANDLE GetPortDeviceHandle(int32_t cmdType, uint32_t busType, int64_t portId) {
    return GetPortDeviceHandleAt(cmdType, busType, portId, 0);
}

HANDLE GetPortDeviceHandleAt(int32_t cmdType, uint32_t busType, int64_t portId, int position) {
    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, TOPOLOGY_INTERFACE_FLAGS);
    if (set == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE found = INVALID_HANDLE_VALUE;
    int matches = 0;
    for (DWORD i = 0; found == INVALID_HANDLE_VALUE; ++i) {
        SP_DEVINFO_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            break;
        }
        HANDLE handle = OpenDiskInterface(set, i);
        if (handle == INVALID_HANDLE_VALUE) {
            continue;
        }
        if (IO_GetBusType(handle) != busType) {
            CloseHandle(handle);
            continue;
        }
        bool computed = true;
        int64_t id = 0;
        switch (cmdType) {
        case CMD_USB_ASM:
        case CMD_USB_JMI:
        case CMD_USB_RTK:
        case CMD_SATA_USB:
            id = UsbPortId(data.DevInst);
            break;
        case CMD_NVME:
        case CMD_RST:
            id = BusNumberPortId(data.DevInst);
            break;
        case CMD_SATA:
        case CMD_SATA_SCSI:
            computed = ScsiPathId(handle, &id);
            break;
        default:
            computed = false;
            break;
        }
        if (computed && id == portId && matches++ == position) {
            DebugPrint(L"[%d] GetPortDeviceHandle %I64d, %I64d Target", position, portId, id);
            found = handle;
        } else {
            CloseHandle(handle);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}
