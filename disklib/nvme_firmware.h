// Firmware transfer: the image sent to the drive in chunks of at most 4096 bytes over the disk's
// transport, with progress, then committed; and the firmware requests of the platform's NVMe
// driver and of the Intel RST driver.
#pragma once

#include "disklib/disk_record.h"
#include "disklib/nvme_command.h"
#include "platform/win32.h"

#include <stdint.h>

#define NVME_FIRMWARE_CHUNK_BYTES 4096 // the largest piece of one download request

// The firmware slot every update goes into: the native download names it, the commit of every
// transport names it, Intel RST's activation runs it. The commit action every update uses:
// replace the slot's image and activate it at the next reset.
#define NVME_UPDATE_SLOT 1
#define NVME_UPDATE_COMMIT_ACTION NVME_COMMIT_ACTION_REPLACE_ACTIVATE

// Sends the image in image order, chunk by chunk at the offset of the bytes already sent, and
// reports the percentage sent (10, 20, ... 90, each at most once) to the progress sink.
// DISKLIB_OK when every chunk was accepted (an empty image sends nothing), DISKLIB_ERR_IO at the
// first refused chunk, DISKLIB_ERR_UNSUPPORTED for a command type without transport (nothing is
// sent). The image stays the caller's.
int DISKLIB_NVME_DownloadFW(const CommandContext* context, HANDLE device, const void* image,
                            uint32_t size);
// The same; on a refused chunk *refusedAt (may be null) receives its byte offset.
int DISKLIB_NVME_DownloadFWAt(const CommandContext* context, HANDLE device, const void* image,
                              uint32_t size, uint32_t* refusedAt);

// What a successful commit says the committed image needs before it runs.
enum {
    FW_ACTIVATION_UNKNOWN = 0,          // the transport does not say
    FW_ACTIVATION_DONE = 1,             // nothing more: it runs, or the driver has reset for it
    FW_ACTIVATION_NEEDS_RESET = 2,      // a controller or conventional reset
    FW_ACTIVATION_NEEDS_POWER_CYCLE = 3 // an NVM subsystem reset or a power cycle
};

// Commits the downloaded image: Firmware Commit with slot and commit action, through
// IOCTL_STORAGE_FIRMWARE_ACTIVATE on the native driver, the "IntelFw " activate on Intel RST
// (the slot, no action) and the tunnel of a USB bridge. The transport's result, or
// DISKLIB_ERR_UNSUPPORTED.
int DISKLIB_NVME_FWActive(const CommandContext* context, HANDLE device, uint32_t slot,
                          uint32_t action);
// The same; *activation (may be null) receives what the commit said the image needs
// (FW_ACTIVATION_*).
int DISKLIB_NVME_FWActiveAndSay(const CommandContext* context, HANDLE device, uint32_t slot,
                                uint32_t action, int* activation);

// IOCTL_STORAGE_FIRMWARE_DOWNLOAD of one chunk (1..4096 bytes) into NVME_UPDATE_SLOT. 1 or -4.
int IO_NVME_FirmwareDownload(HANDLE device, uint32_t offset, const void* chunk, uint32_t length);
// IOCTL_STORAGE_FIRMWARE_ACTIVATE of a slot; commit action 1 activates the downloaded image,
// any other switches to the firmware already in the slot. A failure whose last error is
// STG_S_POWER_CYCLE_REQUIRED (the drive took the image and runs it after a power cycle) is
// success. 1 or -4.
int IO_NVME_FirmwareActivate(HANDLE device, uint32_t slot, uint32_t action);
// The same, saying FW_ACTIVATION_DONE for a request that succeeded and
// FW_ACTIVATION_NEEDS_POWER_CYCLE for STG_S_POWER_CYCLE_REQUIRED.
int IO_NVME_FirmwareActivateAndSay(HANDLE device, uint32_t slot, uint32_t action, int* activation);

// The Intel RST "IntelFw " requests on the SCSI port of the disk: one chunk (1..4096 bytes; the
// download names no slot), and the activation of a slot. 1 or -4.
int IO_RST_FirmwareDownload(HANDLE scsiPort, uint32_t pathId, uint32_t offset, const void* chunk,
                            uint32_t length);
int IO_RST_FirmwareActivate(HANDLE scsiPort, uint32_t pathId, uint32_t slot);
