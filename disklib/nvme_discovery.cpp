#include "disklib/nvme_discovery.h"
#include "common/byte_order.h"
#include "common/text.h"
#include "common/wformat.h"
#include "devquery/device_queries.h"
#include "disklib/nvme_identify.h"
#include "disklib/nvme_transport.h"
#include "disklib/usb/usb_bridge.h"
#include "disklib/nvme_vsc.h"
#include "disklib/physical_drives.h"
#include "log/debug_log.h"
#include "topology/device_node.h"
#include "topology/port_id.h"

#include <string.h>
#include <wchar.h>

namespace {

const uint32_t kMinCapacityGB = 16;

void CloseDisk(HANDLE device, CommandContext* context) {
    CloseHandle(device);
    if (context->hScsiPort != INVALID_HANDLE_VALUE) {
        CloseHandle(context->hScsiPort);
        context->hScsiPort = INVALID_HANDLE_VALUE;
    }
}

// A fixed-size ANSI field of a drive's answer as wide text; the field need not be terminated.
void AnsiFieldToText(const BYTE* field, size_t length, WCHAR* out, size_t capacity) {
    char bytes[DISK_TEXT_CHARS + 1];
    size_t n = 0;
    while (n < length && n < DISK_TEXT_CHARS && field[n] != 0) {
        bytes[n] = static_cast<char>(field[n]);
        ++n;
    }
    bytes[n] = 0;
    out[0] = 0;
    if (n > 0 && MultiByteToWideChar(CP_ACP, 0, bytes, -1, out, static_cast<int>(capacity)) == 0) {
        out[0] = 0;
    }
}

bool ServiceIsIntelRst(const WCHAR* devicePath) {
    WCHAR service[128];
    service[0] = 0;
    GetDiskDriverService(devicePath, service, 128);
    return FindNoCase(service, L"iaStor") != nullptr;
}

} // namespace

uint32_t CalcCapacityGB(uint32_t sectorSize, uint64_t totalBytes) {
    if (totalBytes < 1000000000ull || sectorSize == 0) {
        return 0;
    }
    uint64_t lbaCount = totalBytes / sectorSize;
    uint64_t gb;
    if (sectorSize == 512) {
        gb = (lbaCount - 21168) / 1953504;
    } else if (sectorSize == 4096) {
        gb = (lbaCount - 2646) / 244188;
    } else {
        gb = totalBytes / 1000000000ull;
    }
    return static_cast<uint32_t>(gb);
}

HANDLE DISKLIB_NVME_OpenDisk(const WCHAR* path, CommandContext* context) {
    context->hScsiPort = INVALID_HANDLE_VALUE;
    HANDLE device =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }

    SCSI_ADDRESS address;
    if (IO_GetScsiAddress(device, &address)) {
        context->iScsiPathId = address.PathId;
        WCHAR portPath[DISK_TEXT_CHARS];
        WFormat(portPath, DISK_TEXT_CHARS, L"\\\\.\\scsi%d:", address.PortNumber);
        context->hScsiPort =
            CreateFileW(portPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    uint32_t busType = IO_GetBusType(device);
    if (busType != 0) {
        context->iBusType = busType;
    }
    switch (busType) {
    case BusTypeNvme:
        context->iCmdType = ServiceIsIntelRst(path) ? CMD_RST : CMD_NVME;
        DISKLIB_NVME_UnlockVSC(context, device);
        break;
    case BusTypeUsb:
        context->iCmdType = IO_USB_GetBridgeType(device);
        break;
    case BusTypeRAID:
        if (ServiceIsIntelRst(path)) {
            context->iCmdType = CMD_RST;
            DISKLIB_NVME_UnlockVSC(context, device);
        } else {
            context->iCmdType = CMD_NONE;
        }
        break;
    default:
        context->iCmdType = CMD_NONE;
        break;
    }

    context->iVSCType = static_cast<uint32_t>(DISKLIB_NVME_VSC_GetVSCtype(context, device));
    DebugPrint(L"%s iVSCType = %d, CmdType = %d", path, context->iVSCType, context->iCmdType);
    return device;
}

int DISKLIB_NVME_GetDiskInfo(const WCHAR* path, DiskRecord* record) {
    memset(record, 0, sizeof(*record));
    uint32_t driveNumber = DriveNumberOfPath(path);

    CommandContext context;
    memset(&context, 0, sizeof(context));
    HANDLE device = DISKLIB_NVME_OpenDisk(path, &context);
    if (device == INVALID_HANDLE_VALUE) {
        return DISKLIB_ERR_OPEN;
    }
    if (context.iCmdType == CMD_NONE) {
        CloseDisk(device, &context);
        return DISKLIB_ERR_UNSUPPORTED;
    }

    BYTE controller[NVME_IDENTIFY_BYTES];
    BYTE nameSpace[NVME_IDENTIFY_BYTES];
    memset(controller, 0, sizeof(controller));
    memset(nameSpace, 0, sizeof(nameSpace));
    int result = DISKLIB_NVME_Identify(&context, device, NVME_CNS_CONTROLLER, 0, controller,
                                       NVME_IDENTIFY_BYTES);
    if (result != DISKLIB_OK) {
        CloseDisk(device, &context);
        return result;
    }
    DISKLIB_NVME_Identify(&context, device, NVME_CNS_NAMESPACE, 1, nameSpace, NVME_IDENTIFY_BYTES);

    // A drive reporting a block size of 2^32 or more has no usable capacity.
    BYTE lbads = nameSpace[NVME_IDNS_LBAF0 + NVME_LBAF_LBADS];
    uint32_t sectorSize = lbads < 32 ? (1u << lbads) : 0;
    uint64_t nsze = get_le64(nameSpace + NVME_IDNS_NSZE);
    uint64_t totalBytes = nsze * sectorSize;
    uint32_t capacity = CalcCapacityGB(sectorSize, totalBytes);
    if (capacity < kMinCapacityGB) {
        CloseDisk(device, &context);
        return DISKLIB_ERR_UNSUPPORTED;
    }

    CopyText(record->DevicePath, DISK_TEXT_CHARS, path);
    record->iCmdType = context.iCmdType;
    record->iBusType = context.iBusType;
    record->iCapacityGB = capacity;
    record->iSectorSize = sectorSize;
    record->iTotalSectors = nsze;
    NvmeControllerIdentity(controller, record);
    record->iDriveNumber = driveNumber;
    record->bRaw = 1;

    DISKLIB_NVME_VSC_FillDiskRecord(&context, device, record);
    record->bKnownController = (record->iVendorId == 0x1E5C || record->iSocId != 0) ? 1 : 0;

    record->iPort = GetDiskPortID(record->iBusType, record->iDriveNumber);
    DebugPrint(L"---------- %s - iCmdType = %d, iPort = %I64d", path, record->iCmdType,
               record->iPort);

    if (record->iCmdType == CMD_NVME) {
        GetPcieLinkInfo(record->DevicePath, &record->iLinkSpeed, &record->iLinkWidth,
                        &record->iMaxLinkSpeed, &record->iMaxLinkWidth);
    }

    CloseDisk(device, &context);
    return DISKLIB_OK;
}

void NvmeControllerIdentity(const BYTE* controller, DiskRecord* record) {
    record->iVendorId = get_le16(controller + NVME_IDCTRL_VID);
    record->iSubsystemVendorId = get_le16(controller + NVME_IDCTRL_SSVID);
    AnsiFieldToText(controller + NVME_IDCTRL_MN, NVME_IDCTRL_MN_BYTES, record->Model,
                    DISK_TEXT_CHARS);
    AnsiFieldToText(controller + NVME_IDCTRL_FR, NVME_IDCTRL_FR_BYTES, record->FirmwareRev,
                    DISK_TEXT_CHARS);
    AnsiFieldToText(controller + NVME_IDCTRL_SN, NVME_IDCTRL_SN_BYTES, record->SerialNumber,
                    DISK_TEXT_CHARS);
    TrimBlanks(record->Model);
    TrimBlanks(record->FirmwareRev);
}

uint32_t DISKLIB_NVME_ScanDisks(DiskRecord* table, uint32_t capacity) {
    return ScanPhysicalDrives(table, capacity, DISKLIB_NVME_GetDiskInfo);
}

int GetDiskInfoByPortID(DiskRecord* record, int tries) {
    DebugPrint(L"GetDiskInfoByPortID IN, iCmdType = %d, iBusType=%d, iPort=%I64d", record->iCmdType,
               record->iBusType, record->iPort);
    const int result = ReprobeByPortID(record, tries, DISKLIB_NVME_GetDiskInfo);
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
