#include "disklib/nvme_firmware.h"

#include "common/byte_order.h"
#include "disklib/progress.h"
#include "disklib/request_buffer.h"
#include "disklib/rst_srb.h"
#include "disklib/usb/usb_bridge.h"
#include "log/debug_log.h"

#include <stddef.h>
#include <string.h>

namespace {

// --- IOCTL_STORAGE_FIRMWARE_DOWNLOAD / IOCTL_STORAGE_FIRMWARE_ACTIVATE ------------------------

// The native download request: STORAGE_HW_FIRMWARE_DOWNLOAD with the chunk in its ImageBuffer,
// in one buffer sized for the largest chunk; the length sent is the structure's size (40, the
// ImageBuffer at 32) plus the chunk's.
const DWORD kNativeDownloadHeader = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
const DWORD kNativeDownloadBytes = kNativeDownloadHeader + NVME_FIRMWARE_CHUNK_BYTES;
const size_t kNativeImageAt = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
static_assert(kNativeDownloadBytes == 4136, "the native download buffer");

// --- IOCTL_SCSI_MINIPORT "IntelFw " ---------------------------------------------------------

const ULONG kRstFwTimeout = 200; // seconds
const ULONG kRstFwControlCode = 0xF0000040;

// The head of an Intel RST firmware request; the function's data follows at 56
// (STORAGE_FIRMWARE_DOWNLOAD_V2 with the chunk, or STORAGE_FIRMWARE_ACTIVATE).
struct RST_FIRMWARE_REQUEST {
    SRB_IO_CONTROL SrbIoCtrl; // signature "IntelFw "
    UCHAR Version;            // 1
    UCHAR PathId;             // the disk's SCSI path id
    UCHAR Reserved[2];
    FIRMWARE_REQUEST_BLOCK FwRequestBlock;
};
static_assert(offsetof(RST_FIRMWARE_REQUEST, Version) == 28, "IntelFw layout");
static_assert(offsetof(RST_FIRMWARE_REQUEST, PathId) == 29, "IntelFw layout");
static_assert(offsetof(RST_FIRMWARE_REQUEST, FwRequestBlock) == 32, "IntelFw layout");
static_assert(sizeof(RST_FIRMWARE_REQUEST) == 56, "IntelFw data offset");

const DWORD kRstFwDataAt = sizeof(RST_FIRMWARE_REQUEST);
// STORAGE_FIRMWARE_DOWNLOAD_V2 up to its ImageBuffer: what its Size says.
const DWORD kRstDownloadHeader = offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageBuffer);
const DWORD kRstImageAt = kRstFwDataAt + kRstDownloadHeader;
static_assert(kRstImageAt == 88, "IntelFw download: the chunk at 88");

const UCHAR kRstDownloadSlot = 0xFF; // the activation names the slot the image goes to
// The activate request is as long as the download of a full chunk; after the activate
// structure it carries the dwords 5 and 7 at 68 and 72, zeros after them.
const DWORD kRstActivateBytes = kRstImageAt + NVME_FIRMWARE_CHUNK_BYTES;
const size_t kRstActivateTrailerAt = kRstFwDataAt + sizeof(STORAGE_FIRMWARE_ACTIVATE);
static_assert(kRstActivateBytes == 4184, "IntelFw activate: 4184 bytes");
static_assert(kRstActivateTrailerAt == 68, "IntelFw activate: the dwords after the structure");

// A zero-filled "IntelFw " request of size bytes with its head filled for function, whose data
// of dataLength bytes starts at 56. Null when it cannot be allocated.
BYTE* NewRstFirmwareRequest(DWORD size, uint32_t pathId, ULONG function, ULONG dataLength) {
    BYTE* buffer = DISKLIB_AllocRequest(size);
    if (buffer == NULL) {
        return NULL;
    }
    RST_FIRMWARE_REQUEST* request = (RST_FIRMWARE_REQUEST*)buffer;
    DISKLIB_FillSrbIoControl(&request->SrbIoCtrl, "IntelFw ", kRstFwTimeout, kRstFwControlCode,
                             size);
    request->Version = 1;
    request->PathId = (UCHAR)pathId;
    request->FwRequestBlock.Version = FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION;
    request->FwRequestBlock.Size = sizeof(FIRMWARE_REQUEST_BLOCK);
    request->FwRequestBlock.Function = function;
    request->FwRequestBlock.Flags = FIRMWARE_REQUEST_FLAG_CONTROLLER;
    request->FwRequestBlock.DataBufferOffset = kRstFwDataAt;
    request->FwRequestBlock.DataBufferLength = dataLength;
    return buffer;
}

// Sends an "IntelFw " request, input only, and releases it.
int SendRstFirmwareRequest(HANDLE scsiPort, BYTE* request, DWORD size) {
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(scsiPort, IOCTL_SCSI_MINIPORT, request, size, NULL, 0, &returned, NULL);
    DISKLIB_FreeRequest(request);
    return ok ? DISKLIB_OK : DISKLIB_ERR_IO;
}

bool HasFirmwareTransport(int32_t cmdType) {
    return cmdType == CMD_USB_ASM || cmdType == CMD_USB_JMI || cmdType == CMD_USB_RTK ||
           cmdType == CMD_NVME || cmdType == CMD_RST;
}

// One chunk over the transport of the context's command type.
int SendChunk(const CommandContext* context, HANDLE device, uint32_t offset, const BYTE* chunk,
              uint32_t length) {
    switch (context->iCmdType) {
    case CMD_USB_ASM:
        return IO_USB_ASM_FirmwareDownload(device, offset, chunk, length);
    case CMD_USB_JMI:
        return IO_USB_JMI_FirmwareDownload(device, offset, chunk, length);
    case CMD_USB_RTK:
        return IO_USB_RTK_FirmwareDownload(device, offset, chunk, length);
    case CMD_NVME:
        return IO_NVME_FirmwareDownload(device, offset, chunk, length);
    case CMD_RST:
        return IO_RST_FirmwareDownload(context->hScsiPort, context->iScsiPathId, offset, chunk,
                                       length);
    default:
        return DISKLIB_ERR_UNSUPPORTED;
    }
}

// Firmware Commit's command-specific statuses (status code type 1) that say the drive took the
// image and needs a reset to run it.
const uint16_t kStatusNeedsConventionalReset = 0x10B;
const uint16_t kStatusNeedsSubsystemReset = 0x110;
const uint16_t kStatusNeedsControllerReset = 0x111;

// The result of a commit by the status of its completion, as a bridge carried it back (also
// after it refused the data phase): a reset the activation needs is a success that is pending;
// otherwise the tunnel's result stands, unless the completion reports another error.
int CommitStatusResult(int result, uint16_t status, int* activation) {
    switch (status) {
    case 0:
    case USB_COMPLETION_UNREAD:
        return result;
    case kStatusNeedsConventionalReset:
    case kStatusNeedsControllerReset:
        *activation = FW_ACTIVATION_NEEDS_RESET;
        return DISKLIB_OK;
    case kStatusNeedsSubsystemReset:
        *activation = FW_ACTIVATION_NEEDS_POWER_CYCLE;
        return DISKLIB_OK;
    default:
        return DISKLIB_ERR_IO;
    }
}

} // namespace

int DISKLIB_NVME_DownloadFW(const CommandContext* context, HANDLE device, const void* image,
                            uint32_t size) {
    return DISKLIB_NVME_DownloadFWAt(context, device, image, size, NULL);
}

int DISKLIB_NVME_DownloadFWAt(const CommandContext* context, HANDLE device, const void* image,
                              uint32_t size, uint32_t* refusedAt) {
    DebugPrint(L"DISKLIB_NVME_DownloadFW IN");
    // Checked before the loop, so that an empty image on a disk without transport is not
    // reported as sent.
    if (!HasFirmwareTransport(context->iCmdType)) {
        return DISKLIB_ERR_UNSUPPORTED;
    }
    if (image == NULL && size != 0) {
        return DISKLIB_ERR_IO;
    }
    const BYTE* position = (const BYTE*)image;
    uint32_t offset = 0;
    uint32_t remaining = size;
    uint32_t lastPercent = 0;
    while (remaining != 0) {
        // Whole tens of the share sent: 0, 10, ... 90. Widened so that no image size wraps it.
        const uint32_t percent = (uint32_t)((uint64_t)offset * 10 / size * 10);
        if (percent != lastPercent) {
            DebugPrint(L"DownloadFW %3d%%", (int)percent);
            DISKLIB_ReportProgress((int)percent);
            lastPercent = percent;
        }
        const uint32_t length =
            remaining < NVME_FIRMWARE_CHUNK_BYTES ? remaining : NVME_FIRMWARE_CHUNK_BYTES;
        if (SendChunk(context, device, offset, position, length) != DISKLIB_OK) {
            if (refusedAt != NULL) {
                *refusedAt = offset;
            }
            return DISKLIB_ERR_IO;
        }
        offset += length;
        position += length;
        remaining -= length;
    }
    DebugPrint(L"DISKLIB_NVME_DownloadFW Success OUT");
    return DISKLIB_OK;
}

int DISKLIB_NVME_FWActive(const CommandContext* context, HANDLE device, uint32_t slot,
                          uint32_t action) {
    return DISKLIB_NVME_FWActiveAndSay(context, device, slot, action, NULL);
}

int DISKLIB_NVME_FWActiveAndSay(const CommandContext* context, HANDLE device, uint32_t slot,
                                uint32_t action, int* activation) {
    DebugPrint(L"DISKLIB_NVME_FWActive IN");
    int said = FW_ACTIVATION_UNKNOWN;
    // Firmware Commit for the bridges' tunnels: CDW10 slot in bits 0..2, commit action in bits
    // 3..5; no data, NSID 0.
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = NVME_ADMIN_FIRMWARE_COMMIT;
    command.CDW10 = NvmeFirmwareCommitCdw10(slot, action);
    int result = DISKLIB_ERR_UNSUPPORTED;
    switch (context->iCmdType) {
    case CMD_NVME:
        result = IO_NVME_FirmwareActivateAndSay(device, slot, action, &said);
        break;
    case CMD_USB_ASM:
    case CMD_USB_JMI:
    case CMD_USB_RTK: {
        uint16_t status = USB_COMPLETION_UNREAD;
        result = IO_USB_NvmePassThroughStatus(context->iCmdType, device, XFER_NONE, &command, NULL,
                                              0, &status);
        result = CommitStatusResult(result, status, &said);
        break;
    }
    case CMD_RST:
        result = IO_RST_FirmwareActivate(context->hScsiPort, context->iScsiPathId, slot);
        break;
    default:
        return DISKLIB_ERR_UNSUPPORTED;
    }
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_FWActive Success OUT ");
    }
    if (activation != NULL) {
        *activation = said;
    }
    return result;
}

int IO_NVME_FirmwareDownload(HANDLE device, uint32_t offset, const void* chunk, uint32_t length) {
    if (chunk == NULL || length == 0 || length > NVME_FIRMWARE_CHUNK_BYTES) {
        return DISKLIB_ERR_IO;
    }
    BYTE* request = DISKLIB_AllocRequest(kNativeDownloadBytes);
    if (request == NULL) {
        return DISKLIB_ERR_IO;
    }
    STORAGE_HW_FIRMWARE_DOWNLOAD* download = (STORAGE_HW_FIRMWARE_DOWNLOAD*)request;
    download->Version = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
    download->Size = kNativeDownloadHeader + length;
    download->Flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER;
    download->Slot = NVME_UPDATE_SLOT;
    download->Offset = offset;
    download->BufferSize = length;
    memcpy(request + kNativeImageAt, chunk, length);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, request,
                                    kNativeDownloadHeader + length, NULL, 0, &returned, NULL);
    DISKLIB_FreeRequest(request);
    return ok ? DISKLIB_OK : DISKLIB_ERR_IO;
}

int IO_NVME_FirmwareActivate(HANDLE device, uint32_t slot, uint32_t action) {
    return IO_NVME_FirmwareActivateAndSay(device, slot, action, NULL);
}

int IO_NVME_FirmwareActivateAndSay(HANDLE device, uint32_t slot, uint32_t action, int* activation) {
    STORAGE_HW_FIRMWARE_ACTIVATE activate;
    memset(&activate, 0, sizeof(activate));
    activate.Version = sizeof(STORAGE_HW_FIRMWARE_ACTIVATE);
    activate.Size = sizeof(STORAGE_HW_FIRMWARE_ACTIVATE);
    activate.Slot = (BYTE)slot;
    activate.Flags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER;
    if (action != NVME_COMMIT_ACTION_REPLACE_ACTIVATE) {
        activate.Flags |= STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;
    }
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_STORAGE_FIRMWARE_ACTIVATE, &activate, sizeof(activate), NULL,
                        0, &returned, NULL)) {
        // The driver has done what the activation needs (it resets the controller itself).
        if (activation != NULL) {
            *activation = FW_ACTIVATION_DONE;
        }
        return DISKLIB_OK;
    }
    // The drive took the image and needs a power cycle to run it.
    if (GetLastError() == (DWORD)STG_S_POWER_CYCLE_REQUIRED) {
        if (activation != NULL) {
            *activation = FW_ACTIVATION_NEEDS_POWER_CYCLE;
        }
        return DISKLIB_OK;
    }
    return DISKLIB_ERR_IO;
}

int IO_RST_FirmwareDownload(HANDLE scsiPort, uint32_t pathId, uint32_t offset, const void* chunk,
                            uint32_t length) {
    if (chunk == NULL || length == 0 || length > NVME_FIRMWARE_CHUNK_BYTES) {
        return DISKLIB_ERR_IO;
    }
    const DWORD size = kRstImageAt + length;
    BYTE* request = NewRstFirmwareRequest(size, pathId, FIRMWARE_FUNCTION_DOWNLOAD,
                                          kRstDownloadHeader + length);
    if (request == NULL) {
        return DISKLIB_ERR_IO;
    }
    STORAGE_FIRMWARE_DOWNLOAD_V2* download =
        (STORAGE_FIRMWARE_DOWNLOAD_V2*)(request + kRstFwDataAt);
    download->Version = STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2;
    download->Size = kRstDownloadHeader;
    download->Offset = offset;
    download->BufferSize = length;
    download->Slot = kRstDownloadSlot;
    download->ImageSize = 0;
    memcpy(request + kRstImageAt, chunk, length);
    return SendRstFirmwareRequest(scsiPort, request, size);
}

int IO_RST_FirmwareActivate(HANDLE scsiPort, uint32_t pathId, uint32_t slot) {
    BYTE* request = NewRstFirmwareRequest(kRstActivateBytes, pathId, FIRMWARE_FUNCTION_ACTIVATE,
                                          sizeof(STORAGE_FIRMWARE_ACTIVATE));
    if (request == NULL) {
        return DISKLIB_ERR_IO;
    }
    STORAGE_FIRMWARE_ACTIVATE* activate = (STORAGE_FIRMWARE_ACTIVATE*)(request + kRstFwDataAt);
    activate->Version = STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION;
    activate->Size = sizeof(STORAGE_FIRMWARE_ACTIVATE);
    activate->SlotToActivate = (UCHAR)slot;
    put_le32(request + kRstActivateTrailerAt, 5);
    put_le32(request + kRstActivateTrailerAt + 4, 7);
    return SendRstFirmwareRequest(scsiPort, request, kRstActivateBytes);
}
