#include "disklib/sata/sata_discovery.h"

#include "common/byte_order.h"
#include "common/text.h"
#include "devquery/device_queries.h"
#include "disklib/physical_drives.h"
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_identify.h"
#include "log/debug_log.h"
#include "topology/port_id.h"

#include <stdint.h>
#include <string.h>

namespace {

const int64_t kMinCapacityGB = 16;
// IDEMA for 512-byte sectors: 97,696,368 sectors for 50 GB, 1,953,504 for every further GB.
const int64_t kIdemaBaseSectors = 21168;
const int64_t kIdemaSectorsPerGB = 1953504;

} // namespace

int64_t SataCapacityGB(uint64_t totalSectors) {
    if (totalSectors > (uint64_t)INT64_MAX) {
        return -1; // no real drive's count
    }
    return ((int64_t)totalSectors - kIdemaBaseSectors) / kIdemaSectorsPerGB;
}

int ProbeSataDisk(const WCHAR* path, DiskRecord* record) {
    memset(record, 0, sizeof(*record));
    const uint32_t driveNumber = DriveNumberOfPath(path);

    CommandContext context;
    memset(&context, 0, sizeof(context));
    HANDLE device = OpenDiskForCommands(path, &context);
    if (device == INVALID_HANDLE_VALUE) {
        return DISKLIB_ERR_OPEN;
    }
    if (context.iCmdType == CMD_NONE) {
        CloseHandle(device);
        return DISKLIB_ERR_UNSUPPORTED;
    }
    uint8_t identify[ATA_IDENTIFY_BYTES];
    if (IdentifyDevice(context.iCmdType, device, identify) != 1) {
        CloseHandle(device);
        return DISKLIB_NEGATIVE;
    }
    const uint64_t totalSectors = get_le64(identify + ATA_ID_MAX_LBA48);
    const int64_t capacity = SataCapacityGB(totalSectors);
    if (capacity < kMinCapacityGB) {
        CloseHandle(device);
        return DISKLIB_ERR_UNSUPPORTED;
    }

    CopyText(record->DevicePath, DISK_TEXT_CHARS, path);
    record->iCmdType = context.iCmdType;
    record->iBusType = context.iBusType;
    SataIdentity(identify, record);
    record->iCapacityGB = capacity > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)capacity;
    record->iSectorSize = ATA_SECTOR_BYTES;
    record->iTotalSectors = totalSectors;
    record->iDriveNumber = driveNumber;
    record->bRaw = 1;

    ReadSataVendorInfo(context.iCmdType, device, record);
    record->bKnownController = record->iSocId != 0 ? 1 : 0;

    if (record->iCmdType == CMD_SATA_USB) {
        record->iPort = GetDiskPortID(record->iBusType, record->iDriveNumber);
    } else {
        SCSI_ADDRESS address;
        if (IO_GetScsiAddress(device, &address)) {
            record->iPort = address.PathId;
        }
    }
    DebugPrint(L"%s - iCmdType = %d, iPort = %I64d", path, record->iCmdType, record->iPort);

    const uint16_t capabilities = get_le16(identify + ATA_ID_SATA_CAPABILITIES2);
    record->iLinkSpeed = (int32_t)((capabilities >> 1) & 0x7);
    CloseHandle(device);
    return DISKLIB_OK;
}

uint32_t EnumerateSataDisks(DiskRecord* table, uint32_t capacity) {
    return ScanPhysicalDrives(table, capacity, ProbeSataDisk);
}

int DISKLIB_SATA_GetDiskInfoByPortID(DiskRecord* record, int tries) {
    DebugPrint(L"GetDiskInfoByPortID IN, iCmdType = %d, iPort=%I64d", record->iCmdType,
               record->iPort);
    const int result = ReprobeByPortID(record, tries, ProbeSataDisk);
    if (result == DISKLIB_ERR_OTHER_DISK) {
        DebugPrint(L"GetDiskInfoByPortID: another disk answers at iPort=%I64d, not %s (%s)",
                   record->iPort, record->Model, record->SerialNumber);
    }
    if (result != 1) {
        return result;
    }
    DebugPrint(L"GetDiskInfoByPortID Success OUT");
    return 1;
}
