// The worker's last look at the drive before its first write, on the handle it opened: the drive
// behind the handle must be the disk the user picked (serial number and model), and it must be
// able to take the update as the program sends it. A drive that fails either is refused with
// nothing written.
#pragma once

#include "disklib/disk_record.h"
#include "disklib/nvme_firmware.h"
#include "disklib/nvme_firmware_slots.h"
#include "platform/win32.h"

#include <stddef.h>

// The firmware slot every update is committed into, and the commit action (replace the slot's
// image and activate it at the next reset): the disk library's, which its transports use too.
#define UPDATE_FIRMWARE_SLOT NVME_UPDATE_SLOT
#define UPDATE_COMMIT_ACTION NVME_UPDATE_COMMIT_ACTION

// What an NVMe drive said on the opened handle.
struct NvmeDriveView {
    DiskRecord Identity; // Model, SerialNumber, FirmwareRev as a probe reads them
    NvmeFirmwareCaps Caps;
    NvmeFirmwareSlots Slots;
};

// NVMe: Identify Controller and the Firmware Slot Information log on the handle. Returns 1 when
// the drive is the disk and can take the update; DISKLIB_ERR_OTHER_DISK or
// DISKLIB_ERR_UNSUPPORTED with the refusal in text; or the failing read's result (text empty).
int CheckNvmeDriveOnHandle(const CommandContext* context, HANDLE device, const DiskRecord* disk,
                           NvmeDriveView* view, WCHAR* text, size_t capacity);

// SATA: IDENTIFY DEVICE on the handle, with the same results.
int CheckSataDriveOnHandle(const CommandContext* context, HANDLE device, const DiskRecord* disk,
                           WCHAR* text, size_t capacity);
