// The SATA firmware download: a whole image sent with DOWNLOAD MICROCODE, subcommand 3
// (download with offsets, save and use at once), in pieces of at most 4096 bytes, with retries
// and progress. No activation follows: the drive runs the image once it has the last piece.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define SATA_DOWNLOAD_PIECE_BYTES 4096
#define SATA_DOWNLOAD_TRIES 3
#define SATA_DOWNLOAD_RETRY_WAIT_MS 100
#define SATA_DOWNLOAD_PIECE_WAIT_MS 10
// The block offset travels in LBA bits 8-23, so an image ends within 65536 blocks of 512 bytes.
#define SATA_DOWNLOAD_MAX_BYTES (0x10000u * 512u)

// Sends the image (read only; the caller owns and releases it) over the context's command type.
// Reports 10, 20, ... 90 through the progress sink as the share sent grows. DISKLIB_OK when every
// piece was taken (an empty image sends nothing), DISKLIB_ERR_IO when a piece failed three times
// or the image is longer than the offsets can address.
int DISKLIB_SATA_Reflash(const CommandContext* context, HANDLE hDisk, const uint8_t* image,
                         uint32_t length);
// The same; when a piece fails, *refusedAt (may be null) receives its byte offset.
int DISKLIB_SATA_ReflashAt(const CommandContext* context, HANDLE hDisk, const uint8_t* image,
                           uint32_t length, uint32_t* refusedAt);
