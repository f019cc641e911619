// The SCSI / ATA Translation of the ATA PASS-THROUGH (12) and (16) commands, as the SATL of
// storahci, of a USB-to-SATA bridge and of a SAS adapter does it: the CDB checked and turned
// into ATA registers, the command run on the drive, and its outcome turned into a SCSI status
// and sense data. This SATL supports the PIO data-in, PIO data-out and non-data protocols with
// the transfer length in the FEATURES or SECTOR COUNT field.
#include "sim/ata_stack.h"
#include "sim/refusal.h"

namespace sim {
namespace {

constexpr uint8_t kPassThrough12 = 0xA1;
constexpr uint8_t kPassThrough16 = 0x85;

// PROTOCOL (byte 1, bits 4-1).
constexpr uint8_t kProtocolNonData = 3;
constexpr uint8_t kProtocolPioIn = 4;
constexpr uint8_t kProtocolPioOut = 5;

// Byte 2.
constexpr uint8_t kOffLineMask = 0xC0;
constexpr uint8_t kCkCond = 0x20;
constexpr uint8_t kTDir = 0x08; // from the device
constexpr uint8_t kBytBlok = 0x04;
constexpr uint8_t kTLengthMask = 0x03;
constexpr uint8_t kTLengthFeatures = 1;
constexpr uint8_t kTLengthCount = 2;

// Sense keys and the additional sense code of the answers.
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kAbortedCommand = 0x0B;
constexpr uint8_t kRecoveredError = 0x01;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscqPassThroughInformation = 0x1D; // ASC 00h

// CHECK CONDITION, INVALID FIELD IN CDB, with the reason noted.
ScsiReply InvalidField(const char* reason) {
    NoteRefusal("SATL", reason);
    return ScsiReply::Check(kIllegalRequest, kAscInvalidFieldInCdb, 0x00);
}

// The registers of the CDB; the reason for a CDB this SATL refuses, or null.
const char* ReadRegisters(const ScsiRequest& rq, AtaRegisters& regs, bool& extend) {
    const uint8_t* c = rq.cdb;
    if (c[0] == kPassThrough12) {
        if (rq.cdbLength != 12) {
            return "ATA PASS-THROUGH (12) must be 12 bytes long";
        }
        if ((c[1] & 0x01) != 0 || c[10] != 0) {
            return "byte 1 bit 0 and byte 10 of ATA PASS-THROUGH (12) are reserved";
        }
        extend = false;
        regs.features = c[3];
        regs.count = c[4];
        regs.lba = uint64_t(c[5]) | uint64_t(c[6]) << 8 | uint64_t(c[7]) << 16 |
                   uint64_t(c[8] & 0x0F) << 24;
        regs.device = c[8];
        regs.command = c[9];
        return nullptr;
    }
    if (rq.cdbLength != 16) {
        return "ATA PASS-THROUGH (16) must be 16 bytes long";
    }
    extend = (c[1] & 0x01) != 0;
    if (extend) {
        regs.features = uint16_t(c[3] << 8 | c[4]);
        regs.count = uint16_t(c[5] << 8 | c[6]);
        regs.lba = uint64_t(c[8]) | uint64_t(c[10]) << 8 | uint64_t(c[12]) << 16 |
                   uint64_t(c[7]) << 24 | uint64_t(c[9]) << 32 | uint64_t(c[11]) << 40;
    } else {
        // Without EXTEND the upper bytes are not sent to the drive.
        regs.features = c[4];
        regs.count = c[6];
        regs.lba = uint64_t(c[8]) | uint64_t(c[10]) << 8 | uint64_t(c[12]) << 16 |
                   uint64_t(c[13] & 0x0F) << 24;
    }
    regs.device = c[13];
    regs.command = c[14];
    return nullptr;
}

// Fixed-format sense data with the ATA registers: INFORMATION holds ERROR, STATUS, DEVICE and
// COUNT bits 7-0; COMMAND-SPECIFIC INFORMATION the EXTEND, COUNT UPPER NONZERO and LBA UPPER
// NONZERO bits and LBA bits 0-23.
ScsiReply AtaStatusReturn(uint8_t senseKey, bool extend, const AtaResult& r) {
    ScsiReply reply = ScsiReply::Check(senseKey, 0x00, kAscqPassThroughInformation);
    reply.sense[0] |= 0x80; // INFORMATION is valid
    reply.sense[3] = r.error;
    reply.sense[4] = r.status;
    reply.sense[5] = r.device;
    reply.sense[6] = uint8_t(r.count);
    reply.sense[8] = uint8_t((extend ? 0x80 : 0) | ((r.count >> 8) != 0 ? 0x40 : 0) |
                             ((r.lba >> 24) != 0 ? 0x20 : 0));
    reply.sense[9] = uint8_t(r.lba);
    reply.sense[10] = uint8_t(r.lba >> 8);
    reply.sense[11] = uint8_t(r.lba >> 16);
    reply.transferred = r.transferred;
    return reply;
}

} // namespace

bool IsAtaPassThroughCdb(const ScsiRequest& request) {
    return request.cdb[0] == kPassThrough12 || request.cdb[0] == kPassThrough16;
}

ScsiReply SatPassThrough(Pc& pc, SimDisk& disk, const ScsiRequest& rq) {
    AtaRequest ata;
    bool extend = false;
    if (const char* refused = ReadRegisters(rq, ata.regs, extend)) {
        return InvalidField(refused);
    }
    ata.ext = extend;
    const uint8_t protocol = (rq.cdb[1] >> 1) & 0x0F;
    const uint8_t multipleCount = rq.cdb[1] >> 5;
    const uint8_t transfer = rq.cdb[2];
    const uint8_t tLength = transfer & kTLengthMask;
    const bool fromDevice = (transfer & kTDir) != 0;
    if (multipleCount != 0) {
        return InvalidField("MULTIPLE_COUNT must be 0");
    }
    if ((transfer & kOffLineMask) != 0) {
        return InvalidField("OFF_LINE must be 0");
    }
    uint32_t bytes = 0;
    if (protocol == kProtocolNonData) {
        if (tLength != 0 || rq.length != 0) {
            return InvalidField("a non-data command must move no data (T_LENGTH 0)");
        }
        ata.dir = AtaXfer::None;
    } else if (protocol == kProtocolPioIn || protocol == kProtocolPioOut) {
        const bool in = protocol == kProtocolPioIn;
        const ScsiDir wanted = in ? ScsiDir::In : ScsiDir::Out;
        if (fromDevice != in) {
            return InvalidField("T_DIR must match the PIO protocol");
        }
        if (rq.dir != wanted) {
            return InvalidField("the request's direction must match the PIO protocol");
        }
        if (tLength != kTLengthFeatures && tLength != kTLengthCount) {
            return InvalidField("T_LENGTH must name FEATURES or SECTOR COUNT");
        }
        const uint32_t field = tLength == kTLengthCount ? ata.regs.count : ata.regs.features;
        bytes = (transfer & kBytBlok) != 0 ? field * 512u : field;
        // The transfer the CDB describes must fit the request's buffer.
        if (bytes == 0 || bytes > rq.length) {
            return InvalidField("the transfer the CDB describes must fit the request's buffer");
        }
        ata.dir = in ? AtaXfer::In : AtaXfer::Out;
        ata.data = rq.data;
        ata.length = bytes;
    } else {
        // DMA, queued and the other protocols are not translated here.
        return InvalidField("PROTOCOL must be non-data, PIO data-in or PIO data-out");
    }

    AtaResult result;
    const DWORD error = RunAtaCommand(pc, disk, ata, result);
    if (error != 0) {
        return ScsiReply::Fail(error);
    }
    if (!result.Ok()) {
        return AtaStatusReturn(kAbortedCommand, extend, result);
    }
    if ((transfer & kCkCond) != 0) {
        return AtaStatusReturn(kRecoveredError, extend, result);
    }
    return ScsiReply::Good(result.transferred);
}

} // namespace sim
