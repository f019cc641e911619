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

uint32_t Dword(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
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
    // bytes of padding); the driver reads the data length from it.
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size() || version != 1 || targetId != 0 ||
        lun != 0 || queueId != 0 || paramLen != kIntelNvmDataOffset ||
        uint64_t(kIntelNvmDataOffset) + retLen + 3 != io.in.size()) {
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
// STORAGE_FIRMWARE_DOWNLOAD_V2 with the chunk, or STORAGE_FIRMWARE_ACTIVATE.
DWORD IntelFw(Io& io, const SRB_IO_CONTROL& srb) {
    const size_t frbAt = 32;
    const size_t bodyAt = frbAt + sizeof(FIRMWARE_REQUEST_BLOCK);
    if (io.in.size() < bodyAt) {
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
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size() || p[28] != 1 ||
        frb.Version != FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION ||
        frb.Size != sizeof(FIRMWARE_REQUEST_BLOCK) ||
        !(frb.Flags & FIRMWARE_REQUEST_FLAG_CONTROLLER) || frb.DataBufferOffset < bodyAt ||
        uint64_t(frb.DataBufferOffset) + frb.DataBufferLength > io.in.size()) {
        return ERROR_INVALID_PARAMETER;
    }
    SimDisk* d = io.pc.DiskOnPort(io.handle.port, pathId, 0, 0);
    if (!d || d->kind != DiskKind::Rst || !d->nvme) {
        return ERROR_INVALID_PARAMETER;
    }
    NvmeCommand cmd;
    std::vector<uint8_t> data;
    NvmeXfer dir = NvmeXfer::None;
    if (frb.Function == FIRMWARE_FUNCTION_DOWNLOAD) {
        const size_t imageAt = offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageBuffer);
        if (frb.DataBufferLength < imageAt) {
            return ERROR_INVALID_PARAMETER;
        }
        auto dl = ReadHead<STORAGE_FIRMWARE_DOWNLOAD_V2>(io.in, frb.DataBufferOffset, imageAt);
        io.f.Num("fw_struct_version", dl.Version);
        io.f.Num("fw_struct_size", dl.Size);
        io.f.Num("offset", dl.Offset);
        io.f.Num("buffer_size", dl.BufferSize);
        io.f.Num("slot", dl.Slot);
        io.f.Num("image_size", dl.ImageSize);
        const uint64_t chunkAt = uint64_t(frb.DataBufferOffset) + imageAt;
        if (dl.Version != STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2 || dl.Size != imageAt ||
            dl.BufferSize == 0 || dl.BufferSize % 4 || dl.Offset % 4 ||
            frb.DataBufferLength != imageAt + dl.BufferSize ||
            chunkAt + dl.BufferSize > io.in.size()) {
            return ERROR_INVALID_PARAMETER;
        }
        data.assign(p + chunkAt, p + chunkAt + dl.BufferSize);
        io.f.Data(data.data(), data.size());
        cmd.cdw[0] = kNvmeFirmwareDownload;
        cmd.cdw[10] = uint32_t(dl.BufferSize / 4 - 1);
        cmd.cdw[11] = uint32_t(dl.Offset / 4);
        dir = NvmeXfer::ToDevice;
    } else if (frb.Function == FIRMWARE_FUNCTION_ACTIVATE) {
        if (frb.DataBufferLength < sizeof(STORAGE_FIRMWARE_ACTIVATE)) {
            return ERROR_INVALID_PARAMETER;
        }
        auto act = Read<STORAGE_FIRMWARE_ACTIVATE>(io.in, frb.DataBufferOffset);
        io.f.Num("fw_struct_version", act.Version);
        io.f.Num("fw_struct_size", act.Size);
        io.f.Num("slot", act.SlotToActivate);
        if (act.Version != STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION ||
            act.Size != sizeof(STORAGE_FIRMWARE_ACTIVATE) || act.SlotToActivate == 0 ||
            act.SlotToActivate > kNvmeFirmwareSlots) {
            return ERROR_INVALID_PARAMETER;
        }
        // The image goes into the slot and runs after the next reset.
        cmd.cdw[0] = kNvmeFirmwareCommit;
        cmd.cdw[10] = act.SlotToActivate | 1u << 3;
    } else {
        return ERROR_INVALID_FUNCTION;
    }
    const NvmeCompletion c = RunAdmin(*d->nvme, cmd, dir, data);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    io.returned = 0;
    return 0;
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
