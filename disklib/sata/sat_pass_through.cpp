// One ATA command in the SCSI / ATA Translation form: an ATA PASS-THROUGH (12) or (16) CDB in the
// pass-through request, sent with IOCTL_SCSI_PASS_THROUGH_DIRECT straight from and into the
// caller's buffer.
#include "disklib/sata/ata_command.h"

#include "disklib/scsi_pass_through.h"

#include <string.h>

namespace {

const UCHAR kAtaPassThrough12 = 0xA1;
const UCHAR kAtaPassThrough16 = 0x85;
const UCHAR kCdb12Length = 12;
const UCHAR kCdb16Length = 16;

// PROTOCOL (byte 1, bits 4-1).
const UCHAR kProtocolNonData = 3;
const UCHAR kProtocolPioDataIn = 4;
const UCHAR kProtocolPioDataOut = 5;
const UCHAR kExtend = 0x01; // byte 1, bit 0 of the 16-byte form

// Byte 2: T_DIR (bit 3), BYT_BLOK (bit 2), T_LENGTH (bits 1-0; 2 = the length is in SECTOR COUNT,
// in 512-byte blocks).
const UCHAR kTransferFromDevice = 0x0E; // T_DIR 1, BYT_BLOK 1, T_LENGTH 2
const UCHAR kTransferToDevice = 0x06;   // T_DIR 0, BYT_BLOK 1, T_LENGTH 2
const UCHAR kTransferNone = 0x00;

const UCHAR kDeviceLba = 0x40;
const UCHAR kScsiStatusGood = 0x00;

UCHAR ByteOf(uint32_t value, unsigned shift) {
    return (UCHAR)((value >> shift) & 0xFF);
}

UCHAR ProtocolOf(uint16_t flags) {
    if ((flags & ATA_FLAGS_DATA_IN) != 0) {
        return kProtocolPioDataIn;
    }
    if ((flags & ATA_FLAGS_DATA_OUT) != 0) {
        return kProtocolPioDataOut;
    }
    return kProtocolNonData;
}

UCHAR TransferOf(uint16_t flags) {
    if ((flags & ATA_FLAGS_DATA_IN) != 0) {
        return kTransferFromDevice;
    }
    if ((flags & ATA_FLAGS_DATA_OUT) != 0) {
        return kTransferToDevice;
    }
    return kTransferNone;
}

UCHAR DataInOf(uint16_t flags) {
    if ((flags & ATA_FLAGS_DATA_IN) != 0) {
        return SCSI_IOCTL_DATA_IN;
    }
    if ((flags & ATA_FLAGS_DATA_OUT) != 0) {
        return SCSI_IOCTL_DATA_OUT;
    }
    return SCSI_IOCTL_DATA_UNSPECIFIED;
}

// ATA PASS-THROUGH (12): [0] A1, [1] PROTOCOL << 1, [2] transfer bits, [3] FEATURES, [4] SECTOR
// COUNT, [5..7] LBA bits 0-23, [8] device (0x40 | LBA bits 24-27), [9] opcode, [10..11] 0.
void BuildCdb12(UCHAR cdb[16], uint8_t opcode, uint8_t features, uint16_t flags,
                uint8_t sectorCount, uint32_t lbaLow) {
    memset(cdb, 0, 16);
    cdb[0] = kAtaPassThrough12;
    cdb[1] = (UCHAR)(ProtocolOf(flags) << 1);
    cdb[2] = TransferOf(flags);
    cdb[3] = features;
    cdb[4] = sectorCount;
    cdb[5] = ByteOf(lbaLow, 0);
    cdb[6] = ByteOf(lbaLow, 8);
    cdb[7] = ByteOf(lbaLow, 16);
    cdb[8] = (UCHAR)(kDeviceLba | ByteOf(lbaLow, 24));
    cdb[9] = opcode;
}

// ATA PASS-THROUGH (16): [0] 85, [1] PROTOCOL << 1 | EXTEND, [2] transfer bits, [3..4] FEATURES
// (bits 15-8 zero), [5..6] SECTOR COUNT (bits 15-8 zero), [7..12] LBA as pairs of bits 24-31 /
// 0-7, 32-39 / 8-15, 40-47 / 16-23, [13] device 0x40, [14] opcode, [15] 0.
void BuildCdb16(UCHAR cdb[16], uint8_t opcode, uint8_t features, uint16_t flags,
                uint8_t sectorCount, uint32_t lbaLow, uint32_t lbaHigh) {
    memset(cdb, 0, 16);
    cdb[0] = kAtaPassThrough16;
    cdb[1] = (UCHAR)((ProtocolOf(flags) << 1) | kExtend);
    cdb[2] = TransferOf(flags);
    cdb[4] = features;
    cdb[6] = sectorCount;
    cdb[7] = ByteOf(lbaLow, 24);
    cdb[8] = ByteOf(lbaLow, 0);
    cdb[9] = ByteOf(lbaHigh, 0);
    cdb[10] = ByteOf(lbaLow, 8);
    cdb[11] = ByteOf(lbaHigh, 8);
    cdb[12] = ByteOf(lbaLow, 16);
    cdb[13] = kDeviceLba;
    cdb[14] = opcode;
}

} // namespace

int SatPassThroughCommand(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                          uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    if (!AtaRequestFits(opcode, lbaLow, lbaHigh, length) || (length != 0 && buffer == NULL)) {
        return 0;
    }
    const bool lba48 = IsAta48BitCommand(opcode);
    const uint8_t sectorCount = AtaSectorCount(length);
    UCHAR cdb[kCdb16Length];
    if (lba48) {
        BuildCdb16(cdb, opcode, features, flags, sectorCount, lbaLow, lbaHigh);
    } else {
        BuildCdb12(cdb, opcode, features, flags, sectorCount, lbaLow);
    }
    PassThroughRequest request;
    BuildPassThroughRequest(&request, cdb, lba48 ? kCdb16Length : kCdb12Length, DataInOf(flags),
                            buffer, length, PASS_THROUGH_SENSE_BYTES, ATA_TIMEOUT_SECONDS);
    const BOOL ok = SendPassThroughRequest(hDisk, &request);
    // A command the drive aborted comes back inside a successful call as CHECK CONDITION.
    return ok && request.Sptd.ScsiStatus == kScsiStatusGood ? 1 : 0;
}
