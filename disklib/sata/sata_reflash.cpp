#include "disklib/sata/sata_reflash.h"

#include "disklib/progress.h"
#include "disklib/sata/ata_command.h"
#include "log/debug_log.h"

namespace {

// DOWNLOAD MICROCODE with offsets: SECTOR COUNT holds block count bits 7-0, LBA bits 7-0 block
// count bits 15-8 (always 0 for a piece of at most 8 blocks), LBA bits 23-8 the block offset.
uint32_t MicrocodeLba(uint32_t blockOffset) {
    return blockOffset << 8;
}

int SendPiece(const CommandContext* context, HANDLE hDisk, uint32_t blockOffset,
              const uint8_t* piece, uint32_t length) {
    // The command only reads a data-out buffer.
    return SendAtaCommand(context->iCmdType, hDisk, ATA_CMD_DOWNLOAD_MICROCODE,
                          ATA_MICROCODE_OFFSETS_SAVE, ATA_FLAGS_WRITE, MicrocodeLba(blockOffset), 0,
                          const_cast<uint8_t*>(piece), length);
}

} // namespace

int DISKLIB_SATA_Reflash(const CommandContext* context, HANDLE hDisk, const uint8_t* image,
                         uint32_t length) {
    return DISKLIB_SATA_ReflashAt(context, hDisk, image, length, NULL);
}

int DISKLIB_SATA_ReflashAt(const CommandContext* context, HANDLE hDisk, const uint8_t* image,
                           uint32_t length, uint32_t* refusedAt) {
    DebugPrint(L"DISKLIB_SATA_Reflash IN");
    if (length > SATA_DOWNLOAD_MAX_BYTES || (length != 0 && image == NULL)) {
        // Offsets past 16 bits would spill into the device register.
        return DISKLIB_ERR_IO;
    }
    uint32_t previousProgress = 0;
    uint32_t sent = 0;
    uint32_t blockOffset = 0;
    while (sent < length) {
        const uint32_t progress = ((sent * 10u) / length) * 10u;
        if (progress != previousProgress) {
            DebugPrint(L"DownloadFW %3d%%", progress);
            DISKLIB_ReportProgress((int)progress);
            previousProgress = progress;
        }
        const uint32_t remaining = length - sent;
        const uint32_t piece =
            remaining < SATA_DOWNLOAD_PIECE_BYTES ? remaining : SATA_DOWNLOAD_PIECE_BYTES;
        int ok = SendPiece(context, hDisk, blockOffset, image + sent, piece);
        for (int retry = 1; !ok && retry < SATA_DOWNLOAD_TRIES; ++retry) {
            Sleep(SATA_DOWNLOAD_RETRY_WAIT_MS);
            DebugPrint(L"DISKLIB_SATA_Reflash Error, Retry %d", retry);
            ok = SendPiece(context, hDisk, blockOffset, image + sent, piece);
        }
        if (!ok) {
            if (refusedAt != NULL) {
                *refusedAt = sent;
            }
            return DISKLIB_ERR_IO;
        }
        Sleep(SATA_DOWNLOAD_PIECE_WAIT_MS);
        blockOffset += piece / ATA_SECTOR_BYTES;
        sent += piece;
    }
    DebugPrint(L"DISKLIB_SATA_Reflash Success OUT");
    return DISKLIB_OK;
}
