// How ATA commands reach a SATA disk: the command type from the bus the storage stack reports,
// and the choice between the ATA pass-through and the SAT form for each command.
#include "disklib/sata/ata_command.h"

#include "devquery/device_queries.h"

#include <stddef.h>

namespace {

const uint8_t k48BitOpcodes[] = {0x24, 0x25, 0x26, 0x29, 0x34, 0x35, 0x36, 0x39, 0x3D, 0x3E, 0xCE};

const uint32_t kMaxSectorCount = 0xFF;

int32_t CommandTypeOfBus(uint32_t busType) {
    switch (busType) {
    case BusTypeSata:
        return CMD_SATA;
    case BusTypeUsb:
        return CMD_SATA_USB;
    case BusTypeScsi:
    case BusTypeiScsi:
    case BusTypeSas:
        return CMD_SATA_SCSI;
    default:
        return CMD_NONE;
    }
}

} // namespace

bool IsAta48BitCommand(uint8_t opcode) {
    for (size_t i = 0; i < sizeof(k48BitOpcodes); ++i) {
        if (k48BitOpcodes[i] == opcode) {
            return true;
        }
    }
    return false;
}

uint8_t AtaSectorCount(uint32_t length) {
    return (uint8_t)((length / ATA_SECTOR_BYTES) & 0xFF);
}

bool AtaRequestFits(uint8_t opcode, uint32_t lbaLow, uint32_t lbaHigh, uint32_t length) {
    if (length / ATA_SECTOR_BYTES > kMaxSectorCount) {
        return false;
    }
    if (IsAta48BitCommand(opcode)) {
        return lbaHigh < ATA_LBA48_HIGH_LIMIT;
    }
    return lbaHigh == 0 && lbaLow < ATA_LBA28_LIMIT;
}

HANDLE OpenDiskForCommands(const WCHAR* path, CommandContext* context) {
    context->hScsiPort = INVALID_HANDLE_VALUE;
    HANDLE device =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    const uint32_t busType = IO_GetBusType(device);
    if (busType != 0) {
        context->iBusType = busType;
    }
    context->iCmdType = CommandTypeOfBus(busType);
    return device;
}

int SendAtaCommand(int32_t cmdType, HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                   uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    if (cmdType == CMD_SATA_USB || cmdType == CMD_SATA_SCSI) {
        return SatPassThroughCommand(hDisk, opcode, features, flags, lbaLow, lbaHigh, buffer,
                                     length);
    }
    int answered = ATA_NOT_ANSWERED;
    if (AtaPassThroughAnswered(hDisk, opcode, features, flags, lbaLow, lbaHigh, buffer, length,
                               &answered)) {
        return 1;
    }
    // A write the drive has answered is not sent again in the other form: it reached the drive,
    // which may have taken it (a DOWNLOAD MICROCODE piece sent twice would break the download,
    // the last one after the drive has started the new image). DRQ without ERR is a write taken;
    // ERR one refused.
    if ((flags & ATA_FLAGS_DATA_OUT) != 0 && answered != ATA_NOT_ANSWERED) {
        return answered == ATA_ANSWERED_DRQ ? 1 : 0;
    }
    return SatPassThroughCommand(hDisk, opcode, features, flags, lbaLow, lbaHigh, buffer, length);
}
