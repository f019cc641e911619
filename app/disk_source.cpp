// The NVMe or the SATA discovery and re-read, as the package's bIsSATA says.
#include "app/disk_source.h"
#include "app/disk_table.h"
#include "app/state/app_state.h"
#include "common/text.h"
#include "devquery/device_queries.h"
#include "disklib/nvme_discovery.h"
#include "disklib/physical_drives.h"
#include "disklib/sata/sata_discovery.h"
#include "topology/port_id.h"

namespace {

// The bridged disk an update runs on while a rescan runs (rescans never overlap: their guard).
DiskRecord g_skipped;

bool IsBridge(int32_t cmdType) {
    return cmdType == CMD_USB_ASM || cmdType == CMD_USB_JMI || cmdType == CMD_USB_RTK;
}

// The NVMe probe, but the bridged disk under update is not probed: a bridge's command, data and
// completion phases belong together, and a probe's commands between the worker's would take
// its place. The disk is known by its bus type and port id, which come from the storage stack
// and the device tree without a command to the bridge; it is listed as the update found it.
int ProbeUnlessUpdating(const WCHAR* path, DiskRecord* record) {
    HANDLE device =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (device != INVALID_HANDLE_VALUE) {
        const uint32_t busType = IO_GetBusType(device);
        STORAGE_DEVICE_NUMBER number;
        const bool numbered = IO_GetDeviceNumber(device, &number);
        CloseHandle(device);
        if (numbered && busType == g_skipped.iBusType &&
            GetDiskPortID(busType, number.DeviceNumber) == g_skipped.iPort) {
            *record = g_skipped;
            CopyText(record->DevicePath, DISK_TEXT_CHARS, path);
            record->iDriveNumber = number.DeviceNumber;
            record->bRaw = 1;
            record->VolumeLetters[0] = 0;
            record->bSystemDisk = 0;
            return DISKLIB_OK;
        }
    }
    return DISKLIB_NVME_GetDiskInfo(path, record);
}

} // namespace

uint32_t DiscoverDisks(DiskRecord* table) {
    uint32_t count;
    if (GetAppState()->bIsSATA != 0) {
        count = EnumerateSataDisks(table, DISK_TABLE_CAPACITY);
    } else if (ReadUpdatingDisk(&g_skipped) && IsBridge(g_skipped.iCmdType)) {
        count = ScanPhysicalDrives(table, DISK_TABLE_CAPACITY, ProbeUnlessUpdating);
    } else {
        count = DISKLIB_NVME_ScanDisks(table, DISK_TABLE_CAPACITY);
    }
    return count > DISK_TABLE_CAPACITY ? DISK_TABLE_CAPACITY : count;
}

int RereadDisk(DiskRecord* record, int tries) {
    if (GetAppState()->bIsSATA != 0) {
        return DISKLIB_SATA_GetDiskInfoByPortID(record, tries);
    }
    return GetDiskInfoByPortID(record, tries);
}
