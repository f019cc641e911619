// IOCTL_ATA_PASS_THROUGH_DIRECT on the simulated PC: taken only by the AHCI port driver
// (storahci), which checks the ATA_PASS_THROUGH_DIRECT as Windows does before it builds the
// command from the task files and hands it to the drive. USB mass storage does not know the
// request and SCSI and SAS adapters do not support it.
#include "sim/ata_stack.h"
#include "sim/stack.h"

#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kMaxAtaTransfer = 128u << 10; // the port's maximum transfer length
constexpr uintptr_t kDefaultAlignmentMask = 1;   // AHCI data addresses are word-aligned
constexpr DWORD kMaxTimeoutSeconds = 108000;

uintptr_t AlignmentMask(const SimDisk& d) {
    auto it = d.params.find("ata_alignment_mask");
    if (it == d.params.end()) {
        return kDefaultAlignmentMask;
    }
    return uintptr_t(std::strtoull(it->second.c_str(), nullptr, 0));
}

// The command in the task files: CurrentTaskFile holds FEATURES, SECTOR COUNT, LBA bits 0-23,
// the device register and the command; with ATA_FLAGS_48BIT_COMMAND, PreviousTaskFile holds
// the upper bytes (LBA bits 24-47), otherwise LBA bits 24-27 are in the device register.
AtaRegisters Registers(const ATA_PASS_THROUGH_DIRECT& ap, bool ext) {
    const UCHAR* cur = ap.CurrentTaskFile;
    const UCHAR* prev = ap.PreviousTaskFile;
    AtaRegisters regs;
    regs.features = uint16_t(cur[0] | (ext ? prev[0] << 8 : 0));
    regs.count = uint16_t(cur[1] | (ext ? prev[1] << 8 : 0));
    regs.lba = uint64_t(cur[2]) | uint64_t(cur[3]) << 8 | uint64_t(cur[4]) << 16;
    if (ext) {
        regs.lba |= uint64_t(prev[2]) << 24 | uint64_t(prev[3]) << 32 | uint64_t(prev[4]) << 40;
    } else {
        regs.lba |= uint64_t(cur[5] & 0x0F) << 24;
    }
    regs.device = cur[5];
    regs.command = cur[6];
    return regs;
}

// The output registers: ERROR, COUNT, LBA, DEVICE and STATUS in CurrentTaskFile (the status in
// byte 6, where the command was), their upper bytes in PreviousTaskFile for a 48-bit command.
void PutResult(ATA_PASS_THROUGH_DIRECT& ap, bool ext, const AtaResult& r) {
    UCHAR* cur = ap.CurrentTaskFile;
    UCHAR* prev = ap.PreviousTaskFile;
    std::memset(cur, 0, sizeof(ap.CurrentTaskFile));
    cur[0] = r.error;
    cur[1] = uint8_t(r.count);
    cur[2] = uint8_t(r.lba);
    cur[3] = uint8_t(r.lba >> 8);
    cur[4] = uint8_t(r.lba >> 16);
    cur[5] = r.device;
    cur[6] = r.status;
    if (ext) {
        std::memset(prev, 0, sizeof(ap.PreviousTaskFile));
        prev[1] = uint8_t(r.count >> 8);
        prev[2] = uint8_t(r.lba >> 24);
        prev[3] = uint8_t(r.lba >> 32);
        prev[4] = uint8_t(r.lba >> 40);
    }
}

DWORD Refuse(DWORD error, const char* reason) {
    return Refused("storahci", error, reason);
}

// The checks of the ATA_PASS_THROUGH_DIRECT before the command goes to the drive.
DWORD CheckAtaPassThrough(const Io& io, const SimDisk& d, const ATA_PASS_THROUGH_DIRECT& ap) {
    const bool in = (ap.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
    const bool out = (ap.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
    const uint32_t length = ap.DataTransferLength;
    if (ap.Length != sizeof(ATA_PASS_THROUGH_DIRECT)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Length must be sizeof(ATA_PASS_THROUGH_DIRECT)");
    }
    if (io.outSize < sizeof(ap)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the output must hold ATA_PASS_THROUGH_DIRECT");
    }
    if (ap.TimeOutValue == 0 || ap.TimeOutValue > kMaxTimeoutSeconds) {
        return Refuse(ERROR_INVALID_PARAMETER, "TimeOutValue must be 1 to 108000");
    }
    if (in && out) {
        return Refuse(ERROR_INVALID_PARAMETER, "AtaFlags must not name both directions");
    }
    if ((in || out) != (length != 0)) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "a direction in AtaFlags must come with DataTransferLength, and only then");
    }
    if (length > kMaxAtaTransfer) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataTransferLength must be at most 128 KiB");
    }
    if (length != 0 && ap.DataBuffer == nullptr) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBuffer must be given with DataTransferLength");
    }
    if ((reinterpret_cast<uintptr_t>(ap.DataBuffer) & AlignmentMask(d)) != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBuffer must meet the port's alignment");
    }
    return 0;
}

} // namespace

DWORD AtaPassThrough(Io& io) {
    if (io.in.size() < sizeof(ATA_PASS_THROUGH_DIRECT)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold ATA_PASS_THROUGH_DIRECT");
    }
    auto ap = Read<ATA_PASS_THROUGH_DIRECT>(io.in);
    io.trace.Num("length", ap.Length);
    io.trace.Num("ata_flags", ap.AtaFlags);
    io.trace.Num("transfer_len", ap.DataTransferLength);
    io.trace.Num("timeout", ap.TimeOutValue);
    io.trace.Hex("prev_tf", ap.PreviousTaskFile, 8);
    io.trace.Hex("cur_tf", ap.CurrentTaskFile, 8);
    if (!io.disk || io.handle.kind != DeviceHandle::Disk || !io.disk->ata) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "ATA pass-through needs an ATA drive");
    }
    SimDisk& d = *io.disk;
    if (d.busType == BusTypeUsb) {
        return Refused("usbstor", ERROR_INVALID_FUNCTION,
                       "USB mass storage has no ATA pass-through");
    }
    if (d.busType != BusTypeSata && d.busType != BusTypeAta) {
        return Refused("miniport", ERROR_NOT_SUPPORTED,
                       "the SCSI and SAS adapters' miniports refuse ATA pass-through");
    }
    if (const DWORD refused = CheckAtaPassThrough(io, d, ap)) {
        return refused;
    }
    const bool in = (ap.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
    const bool out = (ap.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
    const bool ext = (ap.AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0;
    const uint32_t length = ap.DataTransferLength;
    AtaRequest rq;
    rq.regs = Registers(ap, ext);
    rq.ext = ext;
    rq.dir = in ? AtaXfer::In : out ? AtaXfer::Out : AtaXfer::None;
    rq.data = static_cast<uint8_t*>(ap.DataBuffer);
    rq.length = length;
    if (out) {
        io.trace.Data(rq.data, length);
    }

    AtaResult result;
    const DWORD error = RunAtaCommand(io.pc, d, rq, result);
    if (error != 0) {
        return error;
    }
    if (io.pc.TakeFault(d, "ata_drq")) {
        // The drive ran the command, data and all, but was left with DRQ set.
        result.status |= kAtaStatusDrq;
    }
    ATA_PASS_THROUGH_DIRECT reply = ap;
    reply.DataTransferLength = result.transferred;
    PutResult(reply, ext, result);
    std::memcpy(io.out, &reply, sizeof(reply));
    io.returned = sizeof(reply);
    io.trace.Num("status", result.status);
    if (in) {
        io.trace.Data(rq.data, result.transferred);
    } else if (!out) {
        io.trace.Data(rq.data, 0);
    }
    return 0;
}

} // namespace sim
