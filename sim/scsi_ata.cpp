// SCSI pass-through on the simulated PC: IOCTL_SCSI_PASS_THROUGH_DIRECT checked the way the
// storage stack checks it, then carried to the SAT translation of a disk with an ATA drive (the
// ATA PASS-THROUGH CDBs), to a USB disk's bridge or to the disk's port driver.
// IOCTL_ATA_PASS_THROUGH_DIRECT is sim/storahci_ata.cpp's.
#include "sim/ata_stack.h"
#include "sim/stack.h"

#include "sim/control.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace sim {
namespace {

constexpr uint32_t kMaxScsiTransfer = 2u << 20;
constexpr uint8_t kRequestSense = 0x03;

std::mutex g_scsiObserverLock;
ScsiObserver g_scsiObserver;

// The disk's answer to a command: the SATL in front of an ATA drive for the ATA PASS-THROUGH
// CDBs (storahci's, the USB-to-SATA bridge's or the SAS adapter's, sim/sat_translation.cpp), a
// USB disk's bridge, or the disk's own port driver, which answers the common commands
// (stornvme, iaStor and storahci translate them) and refuses the rest.
ScsiReply Execute(Pc& pc, SimDisk& d, const ScsiRequest& rq) {
    if (d.ata && IsAtaPassThroughCdb(rq)) {
        return SatPassThrough(pc, d, rq);
    }
    if (d.kind == DiskKind::Usb) {
        return d.bridge->Execute(*d.host, rq);
    }
    ScsiReply reply;
    if (!AnswerStandardScsi(*d.host, rq, std::string(), reply)) {
        NoteRefusal("port driver", "the CDB's operation code is not one it translates");
        reply = ScsiReply::Check(0x05, 0x20, 0x00);
    }
    return reply;
}

void AppendHex(std::string& out, const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[p[i] >> 4]);
        out.push_back(kDigits[p[i] & 15]);
    }
}

} // namespace

void SetScsiObserver(ScsiObserver observer) {
    std::lock_guard<std::mutex> guard(g_scsiObserverLock);
    g_scsiObserver = std::move(observer);
}

std::string ScsiLogLine(const std::string& serial, const ScsiRequest& rq, const ScsiReply& reply,
                        bool envelope) {
    const bool none = rq.length == 0;
    std::string line = "{\"disk\":\"" + serial + "\",\"cdb\":\"";
    AppendHex(line, rq.cdb, std::min<size_t>(rq.cdbLength, sizeof(rq.cdb)));
    line += "\",\"dir\":\"";
    line += none ? "none" : rq.dir == ScsiDir::In ? "in" : rq.dir == ScsiDir::Out ? "out" : "none";
    line += "\",\"len\":" + std::to_string(rq.length);
    if (envelope) {
        line += ",\"timeout\":" + std::to_string(rq.timeout) +
                ",\"sense_len\":" + std::to_string(rq.senseLength);
    }
    line += ",\"data\":\"";
    if (rq.dir == ScsiDir::Out) {
        AppendHex(line, rq.data, rq.length);
    } else if (rq.dir == ScsiDir::In && reply.ok) {
        AppendHex(line, rq.data, std::min(reply.transferred, rq.length));
    }
    line += "\"";
    if (!reply.ok) {
        line += ",\"failed\":" + std::to_string(reply.error) + "}";
        return line;
    }
    line += ",\"status\":" + std::to_string(reply.status) + ",\"sense\":\"";
    if (reply.status == kScsiCheckCondition) {
        const size_t n = envelope ? std::min(reply.senseLength, rq.senseLength) : reply.senseLength;
        AppendHex(line, reply.sense, n);
    }
    line += "\"}";
    return line;
}

bool UsbCommand(const std::string& disk, const ScsiRequest& rq, ScsiReply* reply) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* d = pc.DiskByName(disk);
    if (d == nullptr || d->kind != DiskKind::Usb || d->removed) {
        return false;
    }
    if (rq.cdb[0] == kRequestSense && d->wireSenseLength != 0) {
        const uint32_t n = std::min<uint32_t>({d->wireSenseLength, rq.cdb[4], rq.length});
        if (n != 0) {
            std::memcpy(rq.data, d->wireSense, n);
        }
        d->wireSenseLength = 0;
        *reply = ScsiReply::Good(n);
        return true;
    }
    *reply = Execute(pc, *d, rq);
    d->wireSenseLength = 0;
    if (reply->ok && reply->status == kScsiCheckCondition) {
        std::memcpy(d->wireSense, reply->sense, sizeof(d->wireSense));
        d->wireSenseLength = reply->senseLength;
    }
    return true;
}

// --- IOCTL_SCSI_PASS_THROUGH_DIRECT --------------------------------------------------------

namespace {

DWORD Refuse(const char* reason) {
    return Refused("storport", ERROR_INVALID_PARAMETER, reason);
}

// The checks of the SCSI_PASS_THROUGH_DIRECT before the request goes to the disk.
DWORD CheckScsiPassThrough(const Io& io, const SCSI_PASS_THROUGH_DIRECT& sp) {
    if (sp.Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return Refuse("Length must be sizeof(SCSI_PASS_THROUGH_DIRECT)");
    }
    if (io.outSize < sizeof(sp)) {
        return Refuse("the output must hold SCSI_PASS_THROUGH_DIRECT");
    }
    if (sp.CdbLength == 0 || sp.CdbLength > 16) {
        return Refuse("CdbLength must be 1 to 16");
    }
    if (sp.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) {
        return Refuse("DataIn must be 0, 1 or 2");
    }
    if (sp.TimeOutValue == 0 || sp.TimeOutValue > 108000) {
        return Refuse("TimeOutValue must be 1 to 108000");
    }
    if (sp.DataTransferLength > kMaxScsiTransfer) {
        return Refuse("DataTransferLength must be at most 2 MiB");
    }
    if (sp.DataTransferLength && sp.DataBuffer == nullptr) {
        return Refuse("DataBuffer must be given with DataTransferLength");
    }
    if (sp.SenseInfoLength && (sp.SenseInfoOffset < sizeof(sp) ||
                               uint64_t(sp.SenseInfoOffset) + sp.SenseInfoLength > io.outSize)) {
        return Refuse("the sense area must lie past the structure inside the output");
    }
    return 0;
}

} // namespace

DWORD ScsiPassThrough(Io& io) {
    if (io.in.size() < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return Refuse("the input must hold SCSI_PASS_THROUGH_DIRECT");
    }
    auto sp = Read<SCSI_PASS_THROUGH_DIRECT>(io.in);
    io.trace.Num("length", sp.Length);
    io.trace.Hex("cdb", sp.Cdb, std::min<size_t>(sp.CdbLength, sizeof(sp.Cdb)));
    io.trace.Num("cdb_len", sp.CdbLength);
    io.trace.Num("data_in", sp.DataIn);
    io.trace.Num("transfer_len", sp.DataTransferLength);
    io.trace.Num("timeout", sp.TimeOutValue);
    io.trace.Num("sense_len", sp.SenseInfoLength);
    io.trace.Num("sense_off", sp.SenseInfoOffset);
    if (!io.disk || io.handle.kind != DeviceHandle::Disk) {
        return Refused("storport", ERROR_INVALID_FUNCTION, "SCSI pass-through goes to a disk");
    }
    if (const DWORD refused = CheckScsiPassThrough(io, sp)) {
        return refused;
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
        io.trace.Data(rq.data, rq.length);
    }
    SimDisk& d = *io.disk;
    const ScsiReply reply = Execute(io.pc, d, rq);
    {
        std::lock_guard<std::mutex> guard(g_scsiObserverLock);
        if (g_scsiObserver) {
            g_scsiObserver(d.serial, rq, reply);
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
    io.trace.Num("scsi_status", reply.status);
    if (rq.dir == ScsiDir::In) {
        io.trace.Data(rq.data, outSp.DataTransferLength);
    } else if (rq.dir == ScsiDir::Unspecified) {
        io.trace.Data(rq.data, 0);
    }
    io.returned = std::max<DWORD>(sizeof(sp), sp.SenseInfoOffset + senseLen);
    return 0;
}

} // namespace sim
