// The FW configuration block of a SATA drive: read with the vendor read 0xC3 (FEATURES 2) and
// written back with the vendor write 0xC2 (FEATURES 1), 4096 bytes at LBA 0 each. The block has
// the layout of the NVMe vendor commands' block; no check value travels with it.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define SATA_FWCONFIG_BYTES 4096

// Reads the block into the caller's 4096 bytes. 1 on success, 0 on failure (the ATA path leaves
// the buffer as it was; the SAT form may have written into it).
int DISKLIB_SATA_GetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* block);

// Writes the caller's 4096 bytes as the block. 1 on success, 0 on failure.
int DISKLIB_SATA_SetFWConfig(const CommandContext* context, HANDLE hDisk, const uint8_t* block);
