// SCSI pass-through on the simulated PC: IOCTL_SCSI_PASS_THROUGH_DIRECT checked the way the
// storage stack checks it, then carried to the SAT translation of a disk with an ATA drive (the
// ATA PASS-THROUGH CDBs), to a USB disk's bridge or to the disk's port driver.
// IOCTL_ATA_PASS_THROUGH_DIRECT is sim/storahci_ata.cpp's.
#include "sim/ata_stack.h"
#include "sim/stack.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kMaxScsiTransfer = 2u << 20;

} // namespace

// --- IOCTL_SCSI_PASS_THROUGH_DIRECT --------------------------------------------------------

DWORD ScsiPassThrough(Io& io) {
    if (io.in.size() < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto sp = Read<SCSI_PASS_THROUGH_DIRECT>(io.in);
    io.f.Num("length", sp.Length);
    io.f.Hex("cdb", sp.Cdb, std::min<size_t>(sp.CdbLength, sizeof(sp.Cdb)));
    io.f.Num("cdb_len", sp.CdbLength);
    io.f.Num("data_in", sp.DataIn);
    io.f.Num("transfer_len", sp.DataTransferLength);
    io.f.Num("timeout", sp.TimeOutValue);
    io.f.Num("sense_len", sp.SenseInfoLength);
    io.f.Num("sense_off", sp.SenseInfoOffset);
    if (!io.disk || io.handle.kind != DeviceHandle::Disk) {
        return ERROR_INVALID_FUNCTION;
    }
    if (sp.Length != sizeof(SCSI_PASS_THROUGH_DIRECT) || io.outSize < sizeof(sp) ||
        sp.CdbLength == 0 || sp.CdbLength > 16 || sp.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        sp.TimeOutValue == 0 || sp.TimeOutValue > 108000 ||
        sp.DataTransferLength > kMaxScsiTransfer ||
        (sp.DataTransferLength && sp.DataBuffer == nullptr) ||
        (sp.SenseInfoLength && (sp.SenseInfoOffset < sizeof(sp) ||
                                uint64_t(sp.SenseInfoOffset) + sp.SenseInfoLength > io.outSize))) {
        return ERROR_INVALID_PARAMETER;
    }
    ScsiRequest rq;
    std::memcpy(rq.cdb, sp.Cdb, sp.CdbLength);
    rq.cdbLength = sp.CdbLength;
    rq.dir = ScsiDir(sp.DataIn);
    rq.data = static_cast<uint8_t*>(sp.DataBuffer);
    rq.length = sp.DataTransferLength;
    rq.timeout = sp.TimeOutValue;
    rq.senseLength = sp.SenseInfoLength;
    if (rq.dir == ScsiDir::Out) {
        io.f.Data(rq.data, rq.length);
    }
    ScsiReply reply;
    SimDisk& d = *io.disk;
    if (d.ata && IsAtaPassThroughCdb(rq)) {
        // The SATL in front of the ATA drive: storahci's, the USB-to-SATA bridge's or the SAS
        // adapter's (sim/sat_translation.cpp).
        reply = SatPassThrough(io.pc, d, rq);
    } else if (d.kind == DiskKind::Usb) {
        reply = d.bridge->Execute(*d.host, rq);
    } else {
        // The disk's own port driver answers the common commands (stornvme, iaStor and
        // storahci translate them) and refuses the rest.
        if (!AnswerStandardScsi(*d.host, rq, std::string(), reply)) {
            reply = ScsiReply::Check(0x05, 0x20, 0x00);
        }
    }
    if (!reply.ok) {
        return reply.error ? reply.error : ERROR_IO_DEVICE;
    }
    SCSI_PASS_THROUGH_DIRECT outSp = sp;
    outSp.ScsiStatus = reply.status;
    outSp.DataTransferLength = std::min(reply.transferred, rq.length);
    const uint8_t senseLen = std::min<uint8_t>(sp.SenseInfoLength, reply.senseLength);
    if (senseLen) {
        std::memcpy(io.out + sp.SenseInfoOffset, reply.sense, senseLen);
    }
    outSp.SenseInfoLength = senseLen;
    Write(io.out, outSp);
    io.f.Num("scsi_status", reply.status);
    if (rq.dir == ScsiDir::In) {
        io.f.Data(rq.data, outSp.DataTransferLength);
    } else if (rq.dir == ScsiDir::Unspecified) {
        io.f.Data(rq.data, 0);
    }
    io.returned = std::max<DWORD>(sizeof(sp), sp.SenseInfoOffset + senseLen);
    return 0;
}

} // namespace sim
