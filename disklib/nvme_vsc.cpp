#include "disklib/nvme_vsc.h"

#include "common/byte_order.h"
#include "disklib/nvme_command.h"
#include "disklib/nvme_transport.h"
#include "log/debug_log.h"

#include <string.h>
#include <wchar.h>

namespace {

const uint32_t kLogCommandsSupported = 0x05;
const uint32_t kCommandSupported = 0x1; // bit 0 of a Commands Supported and Effects entry

// Selectors of the vendor reads and writes (CDW12 / CDW13).
const uint32_t kGen0SelectDrvInfo = 3;
const uint32_t kGen0SelectFWConfig = 1;
const uint32_t kGen1Read = 0x82;
const uint32_t kGen1Write = 0x81;
const uint32_t kGen1SelectDrvInfo = 3;
const uint32_t kGen1SelectFWConfig = 1;
const uint32_t kGen1MPRead = 0x63;
const uint32_t kUnlockSelect = 0x1F;
const uint32_t kUnlockEnable = 1;

bool IsGeneration1(const CommandContext* context) {
    return context->iVSCType == 1;
}

// Converts count bytes of ANSI text into a terminated wide text of DISK_TEXT_CHARS.
void AnsiToDiskText(WCHAR* dst, const uint8_t* src, int count) {
    const int converted =
        MultiByteToWideChar(CP_ACP, 0, (LPCSTR)src, count, dst, DISK_TEXT_CHARS - 1);
    dst[converted > 0 ? converted : 0] = 0;
}

} // namespace

int DISKLIB_NVME_VSC_Command(const CommandContext* context, HANDLE hDisk, int32_t direction,
                             uint8_t opcode, uint32_t cdw12, uint32_t cdw13, uint32_t cdw14,
                             uint32_t cdw15, void* buffer, uint32_t length) {
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = opcode;
    command.CDW1 = NVME_NSID_ALL;
    command.CDW2 = VSC_MARKER;
    command.CDW10 = NvmeVendorCdw10(length);
    command.CDW12 = cdw12;
    command.CDW13 = cdw13;
    command.CDW14 = cdw14;
    command.CDW15 = cdw15;

    // The protocol command of the native path carries the opcode and CDW12..CDW15 only; every
    // other transport takes the whole block.
    return DISKLIB_NVME_Dispatch(context, hDisk, NVME_REQUEST_COMMAND, direction, &command, buffer,
                                 length);
}

int DISKLIB_NVME_VSC_GetVSCtype(const CommandContext* context, HANDLE hDisk) {
    uint8_t buffer[VSC_BLOCK_BYTES];
    memset(buffer, 0, sizeof(buffer));
    DebugPrint(L"DISKLIB_NVME_VSC_GetVSCtype IN ");

    if (DISKLIB_NVME_GetLogPage(context, hDisk, kLogCommandsSupported, buffer, sizeof(buffer)) <
        0) {
        return 0;
    }
    // Admin entries are dwords indexed by opcode.
    const uint32_t unlock = get_le32(buffer + 4 * VSC_OPCODE_UNLOCK);
    const uint32_t write = get_le32(buffer + 4 * VSC_OPCODE_GEN1_WRITE);
    const uint32_t read = get_le32(buffer + 4 * VSC_OPCODE_GEN1_READ);
    if ((unlock & kCommandSupported) == 0 || (write & kCommandSupported) == 0 ||
        (read & kCommandSupported) == 0) {
        return 0;
    }

    // The probe reads into the same buffer without clearing it; its result is not examined,
    // so a failed probe leaves the log page to decide.
    DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN1_READ, kGen1Read,
                             kGen1SelectDrvInfo, 0, 0, buffer, sizeof(buffer));
    if (buffer[0] == VSC_BLOCK_VALID) {
        DebugPrint(L"DISKLIB_NVME_VSC_GetVSCtype Success OUT 1");
        return 1;
    }
    DebugPrint(L"DISKLIB_NVME_VSC_GetVSCtype Success OUT 0");
    return 0;
}

int DISKLIB_NVME_UnlockVSC(const CommandContext* context, HANDLE hDisk) {
    if (context->iCmdType != CMD_NVME && context->iCmdType != CMD_RST) {
        return DISKLIB_OK;
    }
    DebugPrint(L"DISKLIB_NVME_UnlockVSC");
    return DISKLIB_NVME_VSC_Command(context, hDisk, XFER_NONE, VSC_OPCODE_UNLOCK, kUnlockSelect,
                                    VSC_MARKER, kUnlockEnable, 0, NULL, 0);
}

int DISKLIB_NVME_VSC_GetDrvInfo(const CommandContext* context, HANDLE hDisk, uint8_t* buffer) {
    DebugPrint(L"DISKLIB_NVME_VSC_GetDrvInfo IN");
    uint8_t block[VSC_BLOCK_BYTES];
    memset(block, 0, sizeof(block));
    int result;
    if (IsGeneration1(context)) {
        result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN1_READ, kGen1Read,
                                          kGen1SelectDrvInfo, 0, 0, block, sizeof(block));
    } else {
        result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN0_READ,
                                          kGen0SelectDrvInfo, 0, VSC_SIG_CDW14, VSC_SIG_CDW15,
                                          block, sizeof(block));
    }
    if (result < 0) {
        return result;
    }
    if (result != DISKLIB_OK || block[0] != VSC_BLOCK_VALID) {
        return DISKLIB_NEGATIVE;
    }
    memcpy(buffer, block, sizeof(block));
    DebugPrint(L"DISKLIB_NVME_VSC_GetDrvInfo Success OUT");
    return DISKLIB_OK;
}

int DISKLIB_NVME_VSC_GetMPInfo(const CommandContext* context, HANDLE hDisk, uint8_t* buffer) {
    DebugPrint(L"DISKLIB_NVME_VSC_GetMPInfo IN");
    int result;
    if (IsGeneration1(context)) {
        result =
            DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN1_READ, kGen1MPRead, 0,
                                     VSC_SIG_CDW14, VSC_SIG_CDW15, buffer, VSC_BLOCK_BYTES);
    } else {
        result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_MP_READ, 0, 0,
                                          VSC_SIG_CDW14, VSC_SIG_CDW15, buffer, VSC_BLOCK_BYTES);
    }
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_VSC_GetMPInfo Success OUT");
    }
    return result;
}

int DISKLIB_NVME_GetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* buffer) {
    DebugPrint(L"DISKLIB_NVME_GetFWConfig IN");
    int result;
    if (IsGeneration1(context)) {
        result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN1_READ, kGen1Read,
                                          kGen1SelectFWConfig, 0, 0, buffer, VSC_BLOCK_BYTES);
    } else {
        result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_GEN0_READ,
                                          kGen0SelectFWConfig, 0, VSC_SIG_CDW14, VSC_SIG_CDW15,
                                          buffer, VSC_BLOCK_BYTES);
    }
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_GetFWConfig Success OUT");
    }
    return result;
}

int DISKLIB_NVME_SetFWConfig(const CommandContext* context, HANDLE hDisk, uint8_t* block,
                             uint32_t checkValue) {
    DebugPrint(L"DISKLIB_NVME_SetFWConfig IN");
    int result;
    if (IsGeneration1(context)) {
        result =
            DISKLIB_NVME_VSC_Command(context, hDisk, XFER_OUT, VSC_OPCODE_GEN1_WRITE, kGen1Write,
                                     kGen1SelectFWConfig, 0, checkValue, block, VSC_BLOCK_BYTES);
    } else {
        result =
            DISKLIB_NVME_VSC_Command(context, hDisk, XFER_OUT, VSC_OPCODE_GEN0_CONFIG_WRITE,
                                     kGen0SelectFWConfig, 0, checkValue, 0, block, VSC_BLOCK_BYTES);
    }
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_SetFWConfig Success OUT");
    }
    return result;
}

int DISKLIB_NVME_SetFWVersionByMpInfo(const CommandContext* context, HANDLE hDisk,
                                      const WCHAR* version, uint8_t* original) {
    DebugPrint(L"DISKLIB_NVME_SetFWVersionByMpInfo IN");
    uint8_t block[VSC_BLOCK_BYTES];
    memset(block, 0, sizeof(block));
    int result = DISKLIB_NVME_VSC_Command(context, hDisk, XFER_IN, VSC_OPCODE_MP_READ, 0, 0,
                                          VSC_SIG_CDW14, VSC_SIG_CDW15, block, sizeof(block));
    if (result != DISKLIB_OK) {
        return result;
    }
    DebugPrint(L"DISKLIB_NVME_SetFWVersionByMpInfo GetMpOK");
    if (original != NULL) {
        memcpy(original, block, sizeof(block));
    }

    // The drive stores the block whole: everything but the version field goes back as it was
    // read (its SOC id, geometry and NAND table identify the drive).
    memset(block + MPINFO_OFFSET_VERSION, 0, MPINFO_VERSION_BYTES);
    // At most 8 characters go into the 8-byte field, so no other header byte is touched.
    if (version != NULL) {
        int characters = 0;
        while (characters < MPINFO_VERSION_BYTES && version[characters] != 0) {
            ++characters;
        }
        char ansi[2 * MPINFO_VERSION_BYTES];
        memset(ansi, 0, sizeof(ansi));
        int bytes = 0;
        if (characters > 0) {
            bytes =
                WideCharToMultiByte(CP_ACP, 0, version, characters, ansi, sizeof(ansi), NULL, NULL);
        }
        if (bytes > MPINFO_VERSION_BYTES) {
            bytes = MPINFO_VERSION_BYTES;
        }
        if (bytes > 0) {
            memcpy(block + MPINFO_OFFSET_VERSION, ansi, (size_t)bytes);
        }
    }
    result = DISKLIB_NVME_VSC_SetMPInfo(context, hDisk, block);
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_SetFWVersionByMpInfo Success OUT");
    }
    return result;
}

int DISKLIB_NVME_VSC_SetMPInfo(const CommandContext* context, HANDLE hDisk, uint8_t* block) {
    return DISKLIB_NVME_VSC_Command(context, hDisk, XFER_OUT, VSC_OPCODE_MP_WRITE, 0, 0,
                                    VSC_SIG_CDW14, VSC_SIG_CDW15, block, VSC_BLOCK_BYTES);
}

int DISKLIB_NVME_VSC_FillDiskRecord(const CommandContext* context, HANDLE hDisk, DiskRecord* disk) {
    uint8_t buffer[VSC_BLOCK_BYTES];
    memset(buffer, 0, sizeof(buffer));

    const bool haveDrvInfo = DISKLIB_NVME_VSC_GetDrvInfo(context, hDisk, buffer) == DISKLIB_OK;
    if (haveDrvInfo) {
        disk->iSocId = get_le16(buffer + DRVINFO_OFFSET_SOC_ID);
        disk->iFtlBuildNum = get_le32(buffer + DRVINFO_OFFSET_FTL_BUILD);
        memcpy(disk->NandId, buffer + DRVINFO_OFFSET_NAND_ID, sizeof(disk->NandId));
        disk->bDrvInfoValid = 1;
        AnsiToDiskText(disk->DrvInfoVersion, buffer + DRVINFO_OFFSET_VERSION,
                       DRVINFO_VERSION_BYTES);
    }

    memset(buffer, 0, sizeof(buffer));
    const int result = DISKLIB_NVME_VSC_GetMPInfo(context, hDisk, buffer);
    if (result != DISKLIB_OK) {
        return result;
    }

    const uint32_t ch = buffer[MPINFO_OFFSET_CH];
    const uint32_t ce = buffer[MPINFO_OFFSET_CE];
    const bool format1768 = get_le16(buffer + MPINFO_OFFSET_FORMAT) == MPINFO_FORMAT_NVME;
    if (haveDrvInfo || format1768) {
        if (!haveDrvInfo) {
            disk->iSocId = get_le16(buffer + MPINFO_OFFSET_SOC_ID);
        }
        DebugPrint(L"%s = ch:%d, ce:%d, lun:%d, pln:%d, pg:%d", disk->DevicePath, (int)ch, (int)ce,
                   (int)buffer[MPINFO_OFFSET_LUN], (int)buffer[MPINFO_OFFSET_PLN],
                   (int)get_le16(buffer + MPINFO_OFFSET_PG));
        disk->iLun = buffer[MPINFO_OFFSET_LUN];
        if (!haveDrvInfo) {
            AnsiToDiskText(disk->DrvInfoVersion, buffer + MPINFO_OFFSET_VERSION_1768,
                           MPINFO_VERSION_1768_BYTES);
        }
    }

    // Without a NAND ID yet, take the first non-empty entry of the NAND ID table, which holds
    // one 6-byte ID per channel and chip enable (at most 32 entries).
    if (disk->NandId[0] == 0) {
        const uint32_t tableBytes = ch * ce * 6;
        if (tableBytes <= MPINFO_NAND_TABLE_MAX_BYTES) {
            for (uint32_t offset = 0; offset < tableBytes; offset += 6) {
                const uint8_t* entry = buffer + MPINFO_OFFSET_NAND_TABLE + offset;
                if (entry[0] != 0) {
                    memcpy(disk->NandId, entry, sizeof(disk->NandId));
                    break;
                }
            }
        }
    }
    return DISKLIB_OK;
}
