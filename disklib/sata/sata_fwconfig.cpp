#include "disklib/sata/sata_fwconfig.h"

#include "disklib/sata/ata_command.h"

int DISKLIB_SATA_GetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* block) {
    return SendAtaCommand(context->iCmdType, hDisk, ATA_CMD_VENDOR_READ, ATA_VENDOR_READ_FWCONFIG,
                          ATA_FLAGS_READ, 0, 0, block, SATA_FWCONFIG_BYTES);
}

int DISKLIB_SATA_SetFWConfig(const CommandContext* context, HANDLE hDisk, const uint8_t* block) {
    // A data-out command only reads the buffer.
    return SendAtaCommand(context->iCmdType, hDisk, ATA_CMD_VENDOR_WRITE, ATA_VENDOR_WRITE_FWCONFIG,
                          ATA_FLAGS_WRITE, 0, 0, const_cast<uint8_t*>(block), SATA_FWCONFIG_BYTES);
}
