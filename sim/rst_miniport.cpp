// The Intel RST miniport of the simulated PC: IOCTL_SCSI_MINIPORT on the SCSI port of an RST
// volume, with the "IntelNvm" NVMe pass-through and the "IntelFw " firmware requests, checked the
// way the miniport checks them.
#include "sim/stack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr uint32_t kIntelNvmControlCode = 0xF0002808;
constexpr uint32_t kIntelFwControlCode = 0xF0000040;
constexpr uint32_t kIntelNvmDataOffset = 164;
constexpr uint32_t kIntelNvmTimeout = 40; // seconds, as the program's requests carry them
constexpr uint32_t kIntelFwTimeout = 200;
constexpr size_t kIntelFwDataAt = 56; // the download or activate structure
constexpr size_t kIntelFwActivateSize = 4184;
constexpr uint8_t kIntelFwAnySlot = 0xFF; // the download names no slot
constexpr uint8_t kIntelFwSlot = 1;       // the slot the activation runs

uint32_t Dword(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when bytes [from, to) of the request are zero.
bool ZeroBytes(const std::vector<uint8_t>& in, size_t from, size_t to) {
    return std::all_of(in.begin() + long(from), in.begin() + long(to),
                       [](uint8_t b) { return b == 0; });
}

DWORD IntelNvm(Io& io, const SRB_IO_CONTROL& srb) {
    if (io.in.size() < kIntelNvmDataOffset) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint8_t* p = io.in.data();
    const uint8_t version = p[28];
    const uint8_t pathId = p[29];
    const uint8_t targetId = p[30];
    const uint8_t lun = p[31];
    const NvmeCommand cmd = NvmeCommand::FromBytes(p + 32);
    const uint32_t queueId = Dword(p + 112);
    const uint32_t paramLen = Dword(p + 116);
    const uint32_t retLen = Dword(p + 120);
    io.f.Num("version", version);
    io.f.Num("path_id", pathId);
    io.f.Num("target_id", targetId);
    io.f.Num("lun", lun);
    io.f.Hex("cmd", p + 32, 64);
    io.f.Num("queue_id", queueId);
    io.f.Num("param_len", paramLen);
    io.f.Num("ret_len", retLen);
    // Data to the device is recorded as given, also when the request is refused; data from the
    // device only once the drive has run.
    const NvmeXfer dir = XferOfOpcode(cmd.Opcode());
    const bool toDataGiven =
        dir == NvmeXfer::ToDevice && uint64_t(kIntelNvmDataOffset) + retLen <= io.in.size();
    if (toDataGiven) {
        io.f.Data(p + kIntelNvmDataOffset, retLen);
    }
    if (srb.ControlCode != kIntelNvmControlCode) {
        return ERROR_INVALID_FUNCTION;
    }
    // The request is exactly the header, the pass-through block and the data (plus its three
    // bytes of padding); the driver reads the data length from it. The timeout is the
    // program's, the return code, the completion entry, the reserved area after the lengths
    // and the padding are zero (docs/scenario.md: the strict reading).
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size() || version != 1 || targetId != 0 ||
        lun != 0 || queueId != 0 || paramLen != kIntelNvmDataOffset ||
        uint64_t(kIntelNvmDataOffset) + retLen + 3 != io.in.size() ||
        srb.Timeout != kIntelNvmTimeout || srb.ReturnCode != 0 || !ZeroBytes(io.in, 96, 112) ||
        !ZeroBytes(io.in, 124, kIntelNvmDataOffset) ||
        !ZeroBytes(io.in, io.in.size() - 3, io.in.size())) {
        return ERROR_INVALID_PARAMETER;
    }
    if (io.outSize < kIntelNvmDataOffset + uint64_t(retLen)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    SimDisk* d = io.pc.DiskOnPort(io.handle.port, pathId, targetId, lun);
    if (!d || d->kind != DiskKind::Rst || !d->nvme) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<uint8_t> data;
    if (dir == NvmeXfer::ToDevice) {
        data.assign(p + kIntelNvmDataOffset, p + kIntelNvmDataOffset + retLen);
    } else if (dir == NvmeXfer::FromDevice) {
        data.assign(retLen, 0);
    }
    const NvmeCompletion c = RunAdmin(*d->nvme, cmd, dir, data);
    if (!toDataGiven) {
        io.f.Data(data.data(), data.size());
    }
    std::memcpy(io.out, p, std::min<size_t>(io.outSize, io.in.size()));
    c.ToBytes(io.out + 96);
    SRB_IO_CONTROL outSrb = srb;
    outSrb.ReturnCode = c.Ok() ? 0 : 1;
    Write(io.out, outSrb);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    if (dir == NvmeXfer::FromDevice) {
        std::memcpy(io.out + kIntelNvmDataOffset, data.data(), retLen);
    }
    io.returned = io.outSize;
    return 0;
}

// The RST firmware requests: a FIRMWARE_REQUEST_BLOCK after the header, then
// STORAGE_FIRMWARE_DOWNLOAD_V2 with the chunk, or STORAGE_FIRMWARE_ACTIVATE. Each has one form
// (docs/scenario.md): the download is 88 + chunk bytes, names no slot (FF) and no image size;
// the activate is 4184 bytes, runs slot 1 and carries the dwords 5 and 7 after its structure.
DWORD IntelFw(Io& io, const SRB_IO_CONTROL& srb) {
    const size_t frbAt = 32;
    if (io.in.size() < kIntelFwDataAt) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint8_t* p = io.in.data();
    const uint8_t pathId = p[29];
    auto frb = Read<FIRMWARE_REQUEST_BLOCK>(io.in, frbAt);
    io.f.Num("version", p[28]);
    io.f.Num("path_id", pathId);
    io.f.Num("function", frb.Function);
    io.f.Num("fw_flags", frb.Flags);
    io.f.Num("data_buffer_offset", frb.DataBufferOffset);
    io.f.Num("data_buffer_length", frb.DataBufferLength);
    if (srb.ControlCode != kIntelFwControlCode) {
        return ERROR_INVALID_FUNCTION;
    }
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size() || p[28] != 1 || p[30] != 0 ||
        p[31] != 0 || srb.Timeout != kIntelFwTimeout || srb.ReturnCode != 0 ||
        frb.Version != FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION ||
        frb.Size != sizeof(FIRMWARE_REQUEST_BLOCK) ||
        frb.Flags != FIRMWARE_REQUEST_FLAG_CONTROLLER || frb.DataBufferOffset != kIntelFwDataAt ||
        uint64_t(frb.DataBufferOffset) + frb.DataBufferLength > io.in.size()) {
        return ERROR_INVALID_PARAMETER;
    }
    SimDisk* d = io.pc.DiskOnPort(io.handle.port, pathId, 0, 0);
    if (!d || d->kind != DiskKind::Rst || !d->nvme) {
        return ERROR_INVALID_PARAMETER;
    }
    if (frb.Function == FIRMWARE_FUNCTION_DOWNLOAD) {
        const size_t imageAt = offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageBuffer);
        if (frb.DataBufferLength < imageAt) {
            return ERROR_INVALID_PARAMETER;
        }
        auto dl = ReadHead<STORAGE_FIRMWARE_DOWNLOAD_V2>(io.in, kIntelFwDataAt, imageAt);
        io.f.Num("fw_struct_version", dl.Version);
        io.f.Num("fw_struct_size", dl.Size);
        io.f.Num("offset", dl.Offset);
        io.f.Num("buffer_size", dl.BufferSize);
        io.f.Num("slot", dl.Slot);
        io.f.Num("image_size", dl.ImageSize);
        const uint64_t chunkAt = kIntelFwDataAt + imageAt;
        if (dl.Version != STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2 || dl.Size != imageAt ||
            dl.BufferSize == 0 || dl.BufferSize % 4 || dl.Offset % 4 ||
            dl.Offset / 4 > 0xFFFFFFFFu || frb.DataBufferLength != imageAt + dl.BufferSize ||
            chunkAt + dl.BufferSize != io.in.size() || dl.Slot != kIntelFwAnySlot ||
            !Zero(dl.Reserved) || dl.ImageSize != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data(p + chunkAt, p + chunkAt + dl.BufferSize);
        io.f.Data(data.data(), data.size());
        NvmeCommand cmd;
        cmd.cdw[0] = kNvmeFirmwareDownload;
        cmd.cdw[10] = uint32_t(dl.BufferSize / 4 - 1);
        cmd.cdw[11] = uint32_t(dl.Offset / 4);
        if (!RunAdmin(*d->nvme, cmd, NvmeXfer::ToDevice, data).Ok()) {
            return ERROR_IO_DEVICE;
        }
        io.returned = 0;
        return 0;
    }
    if (frb.Function != FIRMWARE_FUNCTION_ACTIVATE) {
        return ERROR_INVALID_FUNCTION;
    }
    if (frb.DataBufferLength != sizeof(STORAGE_FIRMWARE_ACTIVATE)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto act = Read<STORAGE_FIRMWARE_ACTIVATE>(io.in, kIntelFwDataAt);
    io.f.Num("fw_struct_version", act.Version);
    io.f.Num("fw_struct_size", act.Size);
    io.f.Num("slot", act.SlotToActivate);
    const size_t tailAt = kIntelFwDataAt + sizeof(STORAGE_FIRMWARE_ACTIVATE);
    if (act.Version != STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION ||
        act.Size != sizeof(STORAGE_FIRMWARE_ACTIVATE) || act.SlotToActivate != kIntelFwSlot ||
        !Zero(act.Reserved0) || io.in.size() != kIntelFwActivateSize || Dword(p + tailAt) != 5 ||
        Dword(p + tailAt + 4) != 7 || !ZeroBytes(io.in, tailAt + 8, io.in.size())) {
        return ERROR_INVALID_PARAMETER;
    }
    // The miniport activates as the inbox driver does; its request has no output to tell a
    // power cycle that is still due, so that ends in success too.
    switch (ActivateFirmware(io.pc, *d, act.SlotToActivate, false)) {
    case ActivateOutcome::Running:
    case ActivateOutcome::Reset:
    case ActivateOutcome::PowerCycleRequired:
        io.returned = 0;
        return 0;
    default:
        return ERROR_IO_DEVICE;
    }
}

} // namespace

// --- IOCTL_SCSI_MINIPORT (Intel RST) -----------------------------------------------------

DWORD Miniport(Io& io) {
    if (io.in.size() < sizeof(SRB_IO_CONTROL)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto srb = Read<SRB_IO_CONTROL>(io.in);
    io.f.Str("signature", std::string(reinterpret_cast<const char*>(srb.Signature), 8));
    io.f.Num("header_length", srb.HeaderLength);
    io.f.Num("timeout", srb.Timeout);
    io.f.Num("control_code", srb.ControlCode);
    io.f.Num("srb_length", srb.Length);
    if (io.handle.kind != DeviceHandle::Port) {
        return ERROR_INVALID_FUNCTION;
    }
    if (srb.HeaderLength != sizeof(SRB_IO_CONTROL) ||
        uint64_t(srb.HeaderLength) + srb.Length > std::max<size_t>(io.in.size(), io.outSize) ||
        srb.Timeout == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    bool rst = false;
    for (const auto& d : io.pc.disks) {
        rst = rst || (!d->removed && d->scsiPort == io.handle.port && d->kind == DiskKind::Rst);
    }
    if (!rst) {
        return ERROR_INVALID_FUNCTION; // the miniport does not know the signature
    }
    if (std::memcmp(srb.Signature, "IntelNvm", 8) == 0) {
        return IntelNvm(io, srb);
    }
    if (std::memcmp(srb.Signature, "IntelFw ", 8) == 0) {
        return IntelFw(io, srb);
    }
    return ERROR_INVALID_FUNCTION;
}

} // namespace sim
