// The drive's vendor-specific NVMe admin commands: one vendor command over the disk's transport,
// the generation test, the unlock, and the three 4096-byte vendor blocks (Drive information, MP
// information, FW configuration), plus filling a Disk record's vendor fields from them.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define VSC_BLOCK_BYTES 4096
#define VSC_MARKER 0x6B716D77u    // CDW2 of every vendor command; also the unlock code
#define VSC_SIG_CDW14 0x58495241u // "ARIX", the last four letters of ZELTARIX
#define VSC_SIG_CDW15 0x544C455Au // "ZELT", its first four letters
#define VSC_BLOCK_VALID 0x5A      // first byte of a valid Drive information block ('Z')

// Vendor opcodes.
#define VSC_OPCODE_UNLOCK 0xFC
#define VSC_OPCODE_GEN1_WRITE 0xFD
#define VSC_OPCODE_GEN1_READ 0xFE
#define VSC_OPCODE_GEN0_READ 0xE6
#define VSC_OPCODE_GEN0_CONFIG_WRITE 0xE5
#define VSC_OPCODE_MP_READ 0xF2
#define VSC_OPCODE_MP_WRITE 0xF1

// Drive information block.
#define DRVINFO_OFFSET_SOC_ID 2
#define DRVINFO_OFFSET_NAND_ID 16
#define DRVINFO_OFFSET_VERSION 32
#define DRVINFO_VERSION_BYTES 8
#define DRVINFO_OFFSET_FTL_BUILD 72

// MP information block.
#define MPINFO_HEADER_BYTES 144
#define MPINFO_OFFSET_VERSION 88
#define MPINFO_VERSION_BYTES 8
#define MPINFO_OFFSET_FORMAT 280
#define MPINFO_FORMAT_NVME 1768
#define MPINFO_OFFSET_PG 288
#define MPINFO_OFFSET_CH 295
#define MPINFO_OFFSET_CE 296
#define MPINFO_OFFSET_LUN 297
#define MPINFO_OFFSET_PLN 298
#define MPINFO_OFFSET_NAND_TABLE 1352
#define MPINFO_NAND_TABLE_MAX_BYTES 192 // 32 entries of 6 bytes
#define MPINFO_OFFSET_SOC_ID 1582
#define MPINFO_OFFSET_VERSION_1768 1606
#define MPINFO_VERSION_1768_BYTES 10

// One vendor command over the disk's transport. Transport result, -5 without a transport.
int DISKLIB_NVME_VSC_Command(const CommandContext* context, HANDLE hDisk, int32_t direction,
                             uint8_t opcode, uint32_t cdw12, uint32_t cdw13, uint32_t cdw14,
                             uint32_t cdw15, void* buffer, uint32_t length);

// Which generation of the command set the drive answers: 1 or 0.
int DISKLIB_NVME_VSC_GetVSCtype(const CommandContext* context, HANDLE hDisk);

// Unlocks the vendor commands on native and RST disks; 1 at once on every other command type.
int DISKLIB_NVME_UnlockVSC(const CommandContext* context, HANDLE hDisk);

// Drive information block into a 4096-byte buffer: 1, 0 when the drive has no valid block
// (buffer untouched), or a negative transport result.
int DISKLIB_NVME_VSC_GetDrvInfo(const CommandContext* context, HANDLE hDisk, uint8_t* buffer);

// MP information and FW configuration blocks, 4096 bytes each: transport results.
int DISKLIB_NVME_VSC_GetMPInfo(const CommandContext* context, HANDLE hDisk, uint8_t* buffer);
int DISKLIB_NVME_GetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* buffer);
int DISKLIB_NVME_SetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* block,
                             uint32_t checkValue);

// Writes a version text into bytes 88..95 of the MP information block: reads the block, changes
// only that field and writes the whole block back. A text longer than 8 characters is cut to 8.
// When the read fails nothing is written. original (may be null) receives the block as read,
// so that a caller can put it back with DISKLIB_NVME_VSC_SetMPInfo.
int DISKLIB_NVME_SetFWVersionByMpInfo(const CommandContext* context, HANDLE hDisk,
                                      const WCHAR* version, uint8_t* original);

// Writes a whole 4096-byte MP information block (opcode 0xF1). Transport result.
int DISKLIB_NVME_VSC_SetMPInfo(const CommandContext* context, HANDLE hDisk, uint8_t* block);

// Fills the vendor fields of a Disk record from the Drive and MP information blocks. Returns 1,
// or the MP information read's failure.
int DISKLIB_NVME_VSC_FillDiskRecord(const CommandContext* context, HANDLE hDisk, DiskRecord* disk);
