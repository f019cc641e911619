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

struct IdSearch {
    const WCHAR* id;
    SP_DEVINFO_DATA* data;
};

bool HasId(HDEVINFO, DWORD, SP_DEVINFO_DATA* data, void* context) {
    IdSearch* search = (IdSearch*)context;
    WCHAR elementId[kIdChars];
    if (!GetInstanceId(data->DevInst, elementId) || wcscmp(elementId, search->id) != 0) {
        return false;
    }
    *search->data = *data;
    return true;
}

// Finds the element of an interface set whose instance ID equals id (case-sensitive).
bool FindById(HDEVINFO set, const WCHAR* id, SP_DEVINFO_DATA* data) {
    IdSearch search = {id, data};
    return WalkDeviceInfoSet(set, HasId, &search);
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

struct ControllerSearch {
    const WCHAR* instanceId;
    uint32_t count; // controllers walked
    uint32_t index; // 1-based; 0 until found
};

bool IsController(HDEVINFO, DWORD i, SP_DEVINFO_DATA* data, void* context) {
    ControllerSearch* search = (ControllerSearch*)context;
    ++search->count;
    WCHAR id[kIdChars];
    if (GetInstanceId(data->DevInst, id) && wcscmp(id, search->instanceId) == 0) {
        search->index = i + 1;
        return true;
    }
    return false;
}

struct UsbDeviceSearch {
    const WCHAR* instanceId;
    uint64_t code;
};

// The USB device's own port, then the ports of the hubs above it.
bool ReadPathCode(HDEVINFO set, DWORD, SP_DEVINFO_DATA* data, void* context) {
    UsbDeviceSearch* search = (UsbDeviceSearch*)context;
    WCHAR id[kIdChars];
    if (!GetInstanceId(data->DevInst, id) || wcscmp(id, search->instanceId) != 0) {
        return false;
    }
    int64_t port = 0;
    ReadLocationPort(set, data, &port);
    WCHAR hub[kIdChars];
    GetParentId(data->DevInst, hub);
    search->code = HubWalk(hub, (uint64_t)port);
    return true;
}

struct DriveNumberSearch {
    uint32_t busType;
    uint32_t driveNumber;
    int64_t portId;
};

bool ReadPortIdOfDrive(HDEVINFO, SP_DEVINFO_DATA* data, HANDLE disk, void* context) {
    DriveNumberSearch* search = (DriveNumberSearch*)context;
    STORAGE_DEVICE_NUMBER number;
    if (!IO_GetDeviceNumber(disk, &number) || number.DeviceNumber != search->driveNumber) {
        CloseHandle(disk);
        return false;
    }
    if (search->busType == BusTypeUsb) {
        search->portId = UsbPortId(data->DevInst);
    } else if (search->busType == BusTypeRAID || search->busType == BusTypeNvme) {
        search->portId = BusNumberPortId(data->DevInst);
    } else if (!ScsiPathId(disk, &search->portId)) {
        search->portId = 0;
    }
    CloseHandle(disk);
    return true;
}

// The port id of a disk in the form the command type uses; false when the type has none.
bool PortIdForCommand(int32_t cmdType, DEVINST diskNode, HANDLE disk, int64_t* id) {
    switch (cmdType) {
    case CMD_USB_ASM:
    case CMD_USB_JMI:
    case CMD_USB_RTK:
    case CMD_SATA_USB:
        *id = UsbPortId(diskNode);
        return true;
    case CMD_NVME:
    case CMD_RST:
        *id = BusNumberPortId(diskNode);
        return true;
    case CMD_SATA:
    case CMD_SATA_SCSI:
        return ScsiPathId(disk, id);
    default:
        return false;
    }
}

struct PortSearch {
    int32_t cmdType;
    uint32_t busType;
    int64_t portId;
    int position; // the match wanted, 0 the first
    int matches;  // matches walked
    HANDLE found;
};

// Keeps the handle of the match at the wanted position and closes every other.
bool KeepPortMatch(HDEVINFO, SP_DEVINFO_DATA* data, HANDLE disk, void* context) {
    PortSearch* search = (PortSearch*)context;
    if (IO_GetBusType(disk) != search->busType) {
        CloseHandle(disk);
        return false;
    }
    int64_t id = 0;
    bool computed = PortIdForCommand(search->cmdType, data->DevInst, disk, &id);
    if (computed && id == search->portId && search->matches++ == search->position) {
        DebugPrint(L"[%d] GetPortDeviceHandle %I64d, %I64d Target", search->position,
                   search->portId, id);
        search->found = disk;
        return true;
    }
    CloseHandle(disk);
    return false;
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
    ControllerSearch search = {instanceId, 0, 0};
    WalkClassDevices(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, IsController, &search);
    return search.index != 0 ? search.index : search.count + 1;
}

uint64_t GetUsbPathCode(const WCHAR* instanceId) {
    UsbDeviceSearch search = {instanceId, 0};
    WalkClassDevices(&GUID_DEVINTERFACE_USB_DEVICE, ReadPathCode, &search);
    return search.code;
}

int64_t GetDiskPortID(uint32_t busType, uint32_t driveNumber) {
    DriveNumberSearch search = {busType, driveNumber, -1};
    WalkPresentDisks(ReadPortIdOfDrive, &search);
    return search.portId;
}

HANDLE GetPortDeviceHandle(int32_t cmdType, uint32_t busType, int64_t portId) {
    return GetPortDeviceHandleAt(cmdType, busType, portId, 0);
}

HANDLE GetPortDeviceHandleAt(int32_t cmdType, uint32_t busType, int64_t portId, int position) {
    PortSearch search = {cmdType, busType, portId, position, 0, INVALID_HANDLE_VALUE};
    WalkPresentDisks(KeepPortMatch, &search);
    return search.found;
}
