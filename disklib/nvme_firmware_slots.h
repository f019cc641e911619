// What an NVMe drive says about taking a firmware update: the firmware fields of Identify
// Controller (OACS, FRMW, MTFA, FWUG) and the Firmware Slot Information log (log page 03h), with
// the standard's field names, and the judgement whether the drive can take an image the way the
// program sends it (4096-byte pieces, committed into slot 1).
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

// Identify Controller.
#define NVME_IDCTRL_OACS 256           // Optional Admin Command Support, 2 bytes
#define NVME_OACS_FIRMWARE 0x0004      // bit 2: Firmware Commit and Firmware Image Download
#define NVME_IDCTRL_FRMW 260           // Firmware Updates, 1 byte
#define NVME_FRMW_SLOT1_READ_ONLY 0x01 // bit 0: slot 1 is read only
#define NVME_FRMW_SLOTS_SHIFT 1        // bits 3:1: the number of firmware slots
#define NVME_FRMW_SLOTS_MASK 0x07
#define NVME_FRMW_NO_RESET 0x10 // bit 4: activation without a reset is supported
#define NVME_IDCTRL_MTFA 266    // Maximum Time for Firmware Activation, 100 ms units, 2 bytes
#define NVME_IDCTRL_FWUG 319    // Firmware Update Granularity, 4 KiB units, 1 byte
#define NVME_FWUG_NOT_REPORTED 0x00
#define NVME_FWUG_ANY 0xFF // no restriction
#define NVME_FWUG_UNIT_BYTES 4096

// Firmware Slot Information log.
#define NVME_LOG_FIRMWARE_SLOT 0x03
#define NVME_FW_SLOT_LOG_BYTES 512
#define NVME_FWSLOT_AFI 0         // Active Firmware Info
#define NVME_AFI_ACTIVE_MASK 0x07 // bits 2:0: the slot running now
#define NVME_AFI_NEXT_SHIFT 4     // bits 6:4: the slot that runs after the next reset, 0 none
#define NVME_AFI_NEXT_MASK 0x07
#define NVME_FWSLOT_FRS 8 // Firmware Revision for Slot n at 8 x n, 8 ASCII bytes
#define NVME_FWSLOT_FRS_BYTES 8
#define NVME_FW_SLOT_COUNT 7

struct NvmeFirmwareCaps {
    uint16_t Oacs;
    uint8_t Frmw;
    uint8_t Fwug;
    uint16_t Mtfa; // 100 ms units; 0 when the drive gives none
};

struct NvmeFirmwareSlots {
    uint8_t ActiveSlot; // 1..7
    uint8_t NextSlot;   // 0 when no image waits for a reset
    WCHAR Revision[NVME_FW_SLOT_COUNT + 1][NVME_FWSLOT_FRS_BYTES + 1]; // [1..7], trimmed
};

// The firmware fields of Identify Controller data (4096 bytes).
void NvmeFirmwareCapsOf(const BYTE* controller, NvmeFirmwareCaps* caps);

// Reads the Firmware Slot Information log (512 bytes) over the disk's transport. The
// transport's result; the slots are filled only on 1.
int DISKLIB_NVME_GetFirmwareSlots(const CommandContext* context, HANDLE device,
                                  NvmeFirmwareSlots* slots);

// Why a drive cannot take an update sent in pieces of pieceBytes and committed into slot:
enum {
    NVME_FW_CAN_TAKE = 1,
    NVME_FW_NO_FIRMWARE_COMMANDS = -1, // OACS does not list the download and commit commands
    NVME_FW_NO_SUCH_SLOT = -2,         // FRMW reports fewer slots than the one written
    NVME_FW_SLOT_READ_ONLY = -3,       // the slot written is slot 1, and it is read only
    NVME_FW_GRANULARITY = -4,          // FWUG does not divide the pieces
    NVME_FW_UPDATE_PENDING = -5        // an image already waits for a reset (AFI next slot)
};
int NvmeCanTakeFirmware(const NvmeFirmwareCaps* caps, const NvmeFirmwareSlots* slots, uint32_t slot,
                        uint32_t pieceBytes);
