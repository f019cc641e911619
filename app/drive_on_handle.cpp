#include "app/drive_on_handle.h"

#include "app/outcome_texts.h"
#include "common/wformat.h"
#include "disklib/disk_identity.h"
#include "disklib/nvme_discovery.h"
#include "disklib/nvme_firmware.h"
#include "disklib/nvme_identify.h"
#include "disklib/nvme_transport.h"
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_identify.h"
#include "log/debug_log.h"

#include <string.h>

namespace {

const uint32_t kPieceBlocks = NVME_FIRMWARE_CHUNK_BYTES / 512;
const size_t kReasonChars = 512;

int RefuseOtherDisk(const DiskRecord* disk, WCHAR* text, size_t capacity) {
    WFormat(text, capacity, REFUSE_HANDLE_OTHER_DISK_TEXT, disk->DevicePath, disk->Model,
            disk->SerialNumber);
    DebugPrint(L"%s", text);
    return DISKLIB_ERR_OTHER_DISK;
}

int RefuseCannotTake(const DiskRecord* disk, const WCHAR* reason, WCHAR* text, size_t capacity) {
    WFormat(text, capacity, REFUSE_CANNOT_TAKE_TEXT, disk->Model, reason);
    DebugPrint(L"%s", text);
    return DISKLIB_ERR_UNSUPPORTED;
}

} // namespace

int CheckNvmeDriveOnHandle(const CommandContext* context, HANDLE device, const DiskRecord* disk,
                           NvmeDriveView* view, WCHAR* text, size_t capacity) {
    text[0] = 0;
    memset(view, 0, sizeof(*view));
    BYTE controller[NVME_IDENTIFY_BYTES];
    memset(controller, 0, sizeof(controller));
    int result = DISKLIB_NVME_Identify(context, device, NVME_CNS_CONTROLLER, 0, controller,
                                       NVME_IDENTIFY_BYTES);
    if (result != DISKLIB_OK) {
        return result;
    }
    NvmeControllerIdentity(controller, &view->Identity);
    if (!IsSameDisk(disk, &view->Identity)) {
        return RefuseOtherDisk(disk, text, capacity);
    }
    NvmeFirmwareCapsOf(controller, &view->Caps);
    result = DISKLIB_NVME_GetFirmwareSlots(context, device, &view->Slots);
    if (result != DISKLIB_OK) {
        return result;
    }
    WCHAR reason[kReasonChars];
    switch (NvmeCanTakeFirmware(&view->Caps, &view->Slots, UPDATE_FIRMWARE_SLOT,
                                NVME_FIRMWARE_CHUNK_BYTES)) {
    case NVME_FW_CAN_TAKE:
        return DISKLIB_OK;
    case NVME_FW_NO_FIRMWARE_COMMANDS:
        return RefuseCannotTake(disk, CANNOT_TAKE_NO_FIRMWARE_COMMANDS, text, capacity);
    case NVME_FW_NO_SUCH_SLOT:
        return RefuseCannotTake(disk, CANNOT_TAKE_NO_SLOT, text, capacity);
    case NVME_FW_SLOT_READ_ONLY:
        return RefuseCannotTake(disk, CANNOT_TAKE_SLOT_READ_ONLY, text, capacity);
    case NVME_FW_GRANULARITY:
        WFormat(reason, kReasonChars, CANNOT_TAKE_GRANULARITY,
                static_cast<unsigned>(view->Caps.Fwug));
        return RefuseCannotTake(disk, reason, text, capacity);
    default:
        WFormat(reason, kReasonChars, CANNOT_TAKE_PENDING, static_cast<int>(view->Slots.NextSlot));
        return RefuseCannotTake(disk, reason, text, capacity);
    }
}

int CheckSataDriveOnHandle(const CommandContext* context, HANDLE device, const DiskRecord* disk,
                           WCHAR* text, size_t capacity) {
    text[0] = 0;
    uint8_t identify[ATA_IDENTIFY_BYTES];
    if (IdentifyDevice(context->iCmdType, device, identify) != 1) {
        return DISKLIB_ERR_IO;
    }
    DiskRecord identity;
    memset(&identity, 0, sizeof(identity));
    SataIdentity(identify, &identity);
    if (!IsSameDisk(disk, &identity)) {
        return RefuseOtherDisk(disk, text, capacity);
    }
    switch (SataCanTakeFirmware(identify, kPieceBlocks)) {
    case SATA_FW_CAN_TAKE:
        return DISKLIB_OK;
    case SATA_FW_NO_DOWNLOAD_MICROCODE:
        return RefuseCannotTake(disk, CANNOT_TAKE_NO_MICROCODE, text, capacity);
    case SATA_FW_NO_OFFSETS_MODE:
        return RefuseCannotTake(disk, CANNOT_TAKE_NO_OFFSETS, text, capacity);
    default:
        return RefuseCannotTake(disk, CANNOT_TAKE_PIECES, text, capacity);
    }
}
