// ATA commands to SATA disks: the open that decides how commands reach a disk, and the sending of
// one ATA command, with IOCTL_ATA_PASS_THROUGH_DIRECT or wrapped in a SAT ATA PASS-THROUGH CDB
// sent with IOCTL_SCSI_PASS_THROUGH_DIRECT. The opcodes, sub-functions and flags the system
// sends are named here once.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define ATA_SECTOR_BYTES 512
#define ATA_TIMEOUT_SECONDS 60

// Opcodes the system sends.
#define ATA_CMD_IDENTIFY_DEVICE 0xEC
#define ATA_CMD_VENDOR_READ 0xC3
#define ATA_CMD_VENDOR_WRITE 0xC2
#define ATA_CMD_DOWNLOAD_MICROCODE 0x92

// FEATURES of the vendor read and write: the block they move.
#define ATA_VENDOR_READ_FWCONFIG 2
#define ATA_VENDOR_READ_DRVINFO 3
#define ATA_VENDOR_READ_MPINFO 4
#define ATA_VENDOR_WRITE_FWCONFIG 1
// FEATURES of DOWNLOAD MICROCODE: download with offsets, save and use at once and in future.
#define ATA_MICROCODE_OFFSETS_SAVE 3

// Flags callers pass: DRDY required, and data in or data out. The transport adds
// ATA_FLAGS_48BIT_COMMAND itself.
#define ATA_FLAGS_READ (ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN)
#define ATA_FLAGS_WRITE (ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_OUT)

// Status register bits that fail a command: ERR (bit 0) and DRQ (bit 3).
#define ATA_STATUS_ERR 0x01
#define ATA_STATUS_DRQ 0x08

// The LBA a 28-bit and a 48-bit task file can carry.
#define ATA_LBA28_LIMIT 0x10000000ull
#define ATA_LBA48_HIGH_LIMIT 0x10000u // LBA bits 32..47 of the high half

// True for the opcodes sent with the 48-bit task file: the READ and WRITE SECTORS, DMA, DMA
// QUEUED, MULTIPLE and FUA EXT commands.
bool IsAta48BitCommand(uint8_t opcode);

// The SECTOR COUNT sent for a transfer of length bytes: length / 512, low 8 bits.
uint8_t AtaSectorCount(uint32_t length);

// True when the request fits the task file its opcode is sent with: a SECTOR COUNT of at most
// 255 blocks, an LBA below 2^28 for a 28-bit opcode or below 2^48 for a 48-bit one.
bool AtaRequestFits(uint8_t opcode, uint32_t lbaLow, uint32_t lbaHigh, uint32_t length);

// Opens "\\.\PhysicalDriveN" for commands and fills the context: iCmdType from the bus type
// (SATA 16, USB 17, SCSI, iSCSI and SAS 18, anything else or a failed query CMD_NONE), iBusType
// when the query succeeds, the SCSI port handle always invalid. INVALID_HANDLE_VALUE when the
// device cannot be opened (the context's command type is then left as it was); a handle also
// for CMD_NONE, which the caller closes.
HANDLE OpenDiskForCommands(const WCHAR* path, CommandContext* context);

// One ATA command by the command type's transport: the SAT form only for CMD_SATA_USB and
// CMD_SATA_SCSI; for the others the ATA pass-through, and when it fails the SAT form once, except
// for a write the drive has answered: that one reached the drive and is never sent again in the
// other form, and a write answered with DRQ but not ERR counts as taken.
// flags are ATA_FLAGS_READ, ATA_FLAGS_WRITE or ATA_FLAGS_DRDY_REQUIRED; the LBA is given as its
// low and high 32-bit halves. 1 on success, 0 on failure.
int SendAtaCommand(int32_t cmdType, HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                   uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);

// IOCTL_ATA_PASS_THROUGH_DIRECT through a page-granular buffer of its own. Fails when the call
// fails or the returned status has ERR or DRQ; data in reaches the caller's buffer only on
// success. 1 or 0.
int AtaPassThroughCommand(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                          uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);

// How the drive answered an ATA pass-through: not at all (the call failed, the request did not
// reach it), or with a status that is good, has ERR, or has DRQ without ERR.
enum { ATA_NOT_ANSWERED = 0, ATA_ANSWERED_GOOD, ATA_ANSWERED_ERROR, ATA_ANSWERED_DRQ };

// The same, saying how the drive answered in *answered (may be null).
int AtaPassThroughAnswered(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length,
                           int* answered);

// ATA PASS-THROUGH (12) for 28-bit opcodes, (16) for 48-bit ones, in the pass-through request
// with the caller's buffer as its data buffer. Fails when the call fails or the SCSI status is
// not GOOD (the translation reports a command the drive aborted with CHECK CONDITION). 1 or 0.
int SatPassThroughCommand(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                          uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length);
