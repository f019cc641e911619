#include "disklib/sata/sata_identify.h"

#include "common/byte_order.h"
#include "common/text.h"
#include "disklib/nvme_vsc.h"
#include "disklib/sata/ata_command.h"
#include "log/debug_log.h"

#include <string.h>

namespace {

// Converts terminated ANSI text into a terminated wide text of DISK_TEXT_CHARS; empty when it
// does not fit.
void AnsiToText(const char* bytes, WCHAR* text) {
    text[0] = 0;
    if (bytes[0] == 0) {
        return;
    }
    const int converted = MultiByteToWideChar(CP_ACP, 0, bytes, -1, text, DISK_TEXT_CHARS);
    if (converted == 0) {
        text[0] = 0;
    }
    text[DISK_TEXT_CHARS - 1] = 0;
}

} // namespace

int IdentifyDevice(int32_t cmdType, HANDLE hDisk, uint8_t* buffer) {
    memset(buffer, 0, ATA_IDENTIFY_BYTES);
    return SendAtaCommand(cmdType, hDisk, ATA_CMD_IDENTIFY_DEVICE, 0, ATA_FLAGS_READ, 0, 0, buffer,
                          ATA_IDENTIFY_BYTES);
}

void AtaStringToText(const uint8_t* field, size_t bytes, WCHAR* text) {
    char swapped[DISK_TEXT_CHARS + 1];
    memset(swapped, 0, sizeof(swapped));
    for (size_t i = 0; i + 1 < bytes && i + 1 < DISK_TEXT_CHARS; i += 2) {
        swapped[i] = (char)field[i + 1];
        swapped[i + 1] = (char)field[i];
    }
    AnsiToText(swapped, text);
    TrimBlanks(text);
}

void SataIdentity(const uint8_t* identify, DiskRecord* record) {
    AtaStringToText(identify + ATA_ID_MODEL, ATA_ID_MODEL_BYTES, record->Model);
    AtaStringToText(identify + ATA_ID_SERIAL, ATA_ID_SERIAL_BYTES, record->SerialNumber);
    AtaStringToText(identify + ATA_ID_FIRMWARE, ATA_ID_FIRMWARE_BYTES, record->FirmwareRev);
}

int SataCanTakeFirmware(const uint8_t* identify, uint32_t pieceBlocks) {
    const uint16_t word83 = get_le16(identify + ATA_ID_COMMAND_SET2);
    if ((word83 & ATA_WORD_VALID_MASK) == ATA_WORD_VALID &&
        (word83 & ATA_W83_DOWNLOAD_MICROCODE) == 0) {
        return SATA_FW_NO_DOWNLOAD_MICROCODE;
    }
    const uint16_t word119 = get_le16(identify + ATA_ID_COMMAND_SET_EXT);
    if ((word119 & ATA_WORD_VALID_MASK) == ATA_WORD_VALID && (word119 & ATA_W119_DM_OFFSETS) == 0) {
        return SATA_FW_NO_OFFSETS_MODE;
    }
    const uint16_t least = get_le16(identify + ATA_ID_DM_MIN_BLOCKS);
    const uint16_t most = get_le16(identify + ATA_ID_DM_MAX_BLOCKS);
    const bool given = least != 0 && least != 0xFFFF && most != 0 && most != 0xFFFF;
    if (given && (pieceBlocks < least || pieceBlocks > most)) {
        return SATA_FW_PIECE_SIZE;
    }
    return SATA_FW_CAN_TAKE;
}

int ReadSataVendorInfo(int32_t cmdType, HANDLE hDisk, DiskRecord* disk) {
    uint8_t block[VSC_BLOCK_BYTES];
    memset(block, 0, sizeof(block));
    if (SendAtaCommand(cmdType, hDisk, ATA_CMD_VENDOR_READ, ATA_VENDOR_READ_DRVINFO, ATA_FLAGS_READ,
                       0, 0, block, VSC_BLOCK_BYTES) == 1 &&
        block[0] == VSC_BLOCK_VALID) {
        disk->iSocId = get_le16(block + DRVINFO_OFFSET_SOC_ID);
        disk->iFtlBuildNum = get_le32(block + DRVINFO_OFFSET_FTL_BUILD);
        memcpy(disk->NandId, block + DRVINFO_OFFSET_NAND_ID, sizeof(disk->NandId));
        disk->bDrvInfoValid = 1;
        char version[DRVINFO_VERSION_BYTES + 1];
        memcpy(version, block + DRVINFO_OFFSET_VERSION, DRVINFO_VERSION_BYTES);
        version[DRVINFO_VERSION_BYTES] = 0;
        AnsiToText(version, disk->DrvInfoVersion);
    }

    memset(block, 0, sizeof(block));
    const int result = SendAtaCommand(cmdType, hDisk, ATA_CMD_VENDOR_READ, ATA_VENDOR_READ_MPINFO,
                                      ATA_FLAGS_READ, 0, 0, block, VSC_BLOCK_BYTES);
    if (result == 1 && get_le16(block + MPINFO_OFFSET_FORMAT) == MPINFO_FORMAT_SATA) {
        disk->iLun = block[MPINFO_OFFSET_LUN];
        DebugPrint(L"%s = ch:%d, ce:%d, lun:%d, pln:%d, pg:%d", disk->DevicePath,
                   block[MPINFO_OFFSET_CH], block[MPINFO_OFFSET_CE], block[MPINFO_OFFSET_LUN],
                   block[MPINFO_OFFSET_PLN], get_le16(block + MPINFO_OFFSET_PG));
    }
    return result;
}
