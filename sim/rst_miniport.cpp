// The Intel RST miniport of the simulated PC: IOCTL_SCSI_MINIPORT on the SCSI port of an RST
// volume, with the "IntelNvm" NVMe pass-through and the "IntelFw " firmware requests, checked the
// way the miniport checks them.
#include "sim/byte_order.h"
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

DWORD Refuse(DWORD error, const char* reason) {
    return Refused("iaStorAC", error, reason);
}

// True when bytes [from, to) of the request are zero.
bool ZeroBytes(const std::vector<uint8_t>& in, size_t from, size_t to) {
    return std::all_of(in.begin() + long(from), in.begin() + long(to),
                       [](uint8_t b) { return b == 0; });
}

// The request is exactly the header, the pass-through block and the data (plus its three bytes
// of padding); the driver reads the data length from it. The timeout is the program's, the
// return code, the completion entry, the reserved area after the lengths and the padding are
// zero (docs/scenario.md: the strict reading).
DWORD CheckIntelNvm(const Io& io, const SRB_IO_CONTROL& srb, uint32_t retLen) {
    const uint8_t* p = io.in.data();
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER, "HeaderLength + Length must be the input length");
    }
    if (p[28] != 1) {
        return Refuse(ERROR_INVALID_PARAMETER, "the pass-through Version must be 1");
    }
    if (p[30] != 0 || p[31] != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "TargetId and Lun must be 0");
    }
    if (GetLe32(p + 112) != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "QueueId must be 0 (admin)");
    }
    if (GetLe32(p + 116) != kIntelNvmDataOffset) {
        return Refuse(ERROR_INVALID_PARAMETER, "ParameterBufferLength must be 164");
    }
    if (uint64_t(kIntelNvmDataOffset) + retLen + 3 != io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "the input must be 164 bytes, ReturnBufferLength and 3 of padding");
    }
    if (srb.Timeout != kIntelNvmTimeout) {
        return Refuse(ERROR_INVALID_PARAMETER, "Timeout must be 40");
    }
    if (srb.ReturnCode != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "ReturnCode must be 0");
    }
    if (!ZeroBytes(io.in, 96, 112)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the completion entry must be zero");
    }
    if (!ZeroBytes(io.in, 124, kIntelNvmDataOffset)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the bytes 124 to 163 must be zero");
    }
    if (!ZeroBytes(io.in, io.in.size() - 3, io.in.size())) {
        return Refuse(ERROR_INVALID_PARAMETER, "the padding after the data must be zero");
    }
    if (io.outSize < kIntelNvmDataOffset + uint64_t(retLen)) {
        return Refuse(ERROR_INSUFFICIENT_BUFFER, "the output must hold 164 bytes and the data");
    }
    return 0;
}

DWORD IntelNvm(Io& io, const SRB_IO_CONTROL& srb) {
    if (io.in.size() < kIntelNvmDataOffset) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold the 164-byte request");
    }
    const uint8_t* p = io.in.data();
    const uint8_t version = p[28];
    const uint8_t pathId = p[29];
    const uint8_t targetId = p[30];
    const uint8_t lun = p[31];
    const NvmeCommand cmd = NvmeCommand::FromBytes(p + 32);
    const uint32_t queueId = GetLe32(p + 112);
    const uint32_t paramLen = GetLe32(p + 116);
    const uint32_t retLen = GetLe32(p + 120);
    io.trace.Num("version", version);
    io.trace.Num("path_id", pathId);
    io.trace.Num("target_id", targetId);
    io.trace.Num("lun", lun);
    io.trace.Hex("cmd", p + 32, 64);
    io.trace.Num("queue_id", queueId);
    io.trace.Num("param_len", paramLen);
    io.trace.Num("ret_len", retLen);
    // Data to the device is recorded as given, also when the request is refused; data from the
    // device only once the drive has run.
    const NvmeXfer dir = XferOfOpcode(cmd.Opcode());
    const bool toDataGiven =
        dir == NvmeXfer::ToDevice && uint64_t(kIntelNvmDataOffset) + retLen <= io.in.size();
    if (toDataGiven) {
        io.trace.Data(p + kIntelNvmDataOffset, retLen);
    }
    if (srb.ControlCode != kIntelNvmControlCode) {
        return Refuse(ERROR_INVALID_FUNCTION, "IntelNvm ControlCode must be 0xF0002808");
    }
    if (const DWORD refused = CheckIntelNvm(io, srb, retLen)) {
        return refused;
    }
    SimDisk* d = io.pc.DiskOnPort(io.handle.port, pathId, targetId, lun);
    if (!d || d->kind != DiskKind::Rst || !d->nvme) {
        return Refuse(ERROR_INVALID_PARAMETER, "no RST NVMe disk at PathId, TargetId and Lun");
    }
    std::vector<uint8_t> data;
    if (dir == NvmeXfer::ToDevice) {
        data.assign(p + kIntelNvmDataOffset, p + kIntelNvmDataOffset + retLen);
    } else if (dir == NvmeXfer::FromDevice) {
        data.assign(retLen, 0);
    }
    const NvmeCompletion c = RunAdmin(*d->nvme, cmd, dir, data);
    if (!toDataGiven) {
        io.trace.Data(data.data(), data.size());
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

// The header and the request block every firmware request shares.
DWORD CheckIntelFw(const Io& io, const SRB_IO_CONTROL& srb, const FIRMWARE_REQUEST_BLOCK& frb) {
    const uint8_t* p = io.in.data();
    if (uint64_t(srb.HeaderLength) + srb.Length != io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER, "HeaderLength + Length must be the input length");
    }
    if (p[28] != 1) {
        return Refuse(ERROR_INVALID_PARAMETER, "the request Version must be 1");
    }
    if (p[30] != 0 || p[31] != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "TargetId and Lun must be 0");
    }
    if (srb.Timeout != kIntelFwTimeout) {
        return Refuse(ERROR_INVALID_PARAMETER, "Timeout must be 200");
    }
    if (srb.ReturnCode != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "ReturnCode must be 0");
    }
    if (frb.Version != FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION) {
        return Refuse(ERROR_INVALID_PARAMETER, "FIRMWARE_REQUEST_BLOCK Version must be 1");
    }
    if (frb.Size != sizeof(FIRMWARE_REQUEST_BLOCK)) {
        return Refuse(ERROR_INVALID_PARAMETER, "FIRMWARE_REQUEST_BLOCK Size must be 24");
    }
    if (frb.Flags != FIRMWARE_REQUEST_FLAG_CONTROLLER) {
        return Refuse(ERROR_INVALID_PARAMETER, "FIRMWARE_REQUEST_BLOCK Flags must be 1");
    }
    if (frb.DataBufferOffset != kIntelFwDataAt) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBufferOffset must be 56");
    }
    if (uint64_t(frb.DataBufferOffset) + frb.DataBufferLength > io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBufferLength must lie inside the input");
    }
    return 0;
}

DWORD CheckIntelFwDownload(const Io& io, const FIRMWARE_REQUEST_BLOCK& frb,
                           const STORAGE_FIRMWARE_DOWNLOAD_V2& dl, size_t imageAt) {
    if (dl.Version != STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2) {
        return Refuse(ERROR_INVALID_PARAMETER, "STORAGE_FIRMWARE_DOWNLOAD_V2 Version must be 2");
    }
    if (dl.Size != imageAt) {
        return Refuse(ERROR_INVALID_PARAMETER, "STORAGE_FIRMWARE_DOWNLOAD_V2 Size must be 32");
    }
    if (dl.BufferSize == 0 || dl.BufferSize % 4) {
        return Refuse(ERROR_INVALID_PARAMETER, "BufferSize must be whole dwords, not 0");
    }
    if (dl.Offset % 4 || dl.Offset / 4 > 0xFFFFFFFFu) {
        return Refuse(ERROR_INVALID_PARAMETER, "Offset must be a dword offset below 16 GiB");
    }
    if (frb.DataBufferLength != imageAt + dl.BufferSize) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBufferLength must be 32 + BufferSize");
    }
    if (kIntelFwDataAt + imageAt + dl.BufferSize != io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must end with the piece");
    }
    if (dl.Slot != kIntelFwAnySlot) {
        return Refuse(ERROR_INVALID_PARAMETER, "Slot must be 0xFF");
    }
    if (!Zero(dl.Reserved)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Reserved must be zero");
    }
    if (dl.ImageSize != 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "ImageSize must be 0");
    }
    return 0;
}

DWORD IntelFwDownload(Io& io, const FIRMWARE_REQUEST_BLOCK& frb, SimDisk& d) {
    const size_t imageAt = offsetof(STORAGE_FIRMWARE_DOWNLOAD_V2, ImageBuffer);
    if (frb.DataBufferLength < imageAt) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBufferLength must hold the 32-byte structure");
    }
    auto dl = ReadHead<STORAGE_FIRMWARE_DOWNLOAD_V2>(io.in, kIntelFwDataAt, imageAt);
    io.trace.Num("fw_struct_version", dl.Version);
    io.trace.Num("fw_struct_size", dl.Size);
    io.trace.Num("offset", dl.Offset);
    io.trace.Num("buffer_size", dl.BufferSize);
    io.trace.Num("slot", dl.Slot);
    io.trace.Num("image_size", dl.ImageSize);
    if (const DWORD refused = CheckIntelFwDownload(io, frb, dl, imageAt)) {
        return refused;
    }
    const uint8_t* chunk = io.in.data() + kIntelFwDataAt + imageAt;
    std::vector<uint8_t> data(chunk, chunk + dl.BufferSize);
    io.trace.Data(data.data(), data.size());
    const NvmeCommand cmd = FirmwareDownloadCommand(dl.BufferSize, dl.Offset);
    if (!RunAdmin(*d.nvme, cmd, NvmeXfer::ToDevice, data).Ok()) {
        return ERROR_IO_DEVICE;
    }
    io.returned = 0;
    return 0;
}

DWORD CheckIntelFwActivate(const Io& io, const STORAGE_FIRMWARE_ACTIVATE& act) {
    const uint8_t* p = io.in.data();
    const size_t tailAt = kIntelFwDataAt + sizeof(STORAGE_FIRMWARE_ACTIVATE);
    if (act.Version != STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION) {
        return Refuse(ERROR_INVALID_PARAMETER, "STORAGE_FIRMWARE_ACTIVATE Version must be 1");
    }
    if (act.Size != sizeof(STORAGE_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "STORAGE_FIRMWARE_ACTIVATE Size must be 12");
    }
    if (act.SlotToActivate != kIntelFwSlot) {
        return Refuse(ERROR_INVALID_PARAMETER, "SlotToActivate must be 1");
    }
    if (!Zero(act.Reserved0)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Reserved0 must be zero");
    }
    if (io.in.size() != kIntelFwActivateSize) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must be 4184 bytes");
    }
    if (GetLe32(p + tailAt) != 5 || GetLe32(p + tailAt + 4) != 7) {
        return Refuse(ERROR_INVALID_PARAMETER, "the dwords after the structure must be 5 and 7");
    }
    if (!ZeroBytes(io.in, tailAt + 8, io.in.size())) {
        return Refuse(ERROR_INVALID_PARAMETER, "the bytes after the dwords 5 and 7 must be zero");
    }
    return 0;
}

DWORD IntelFwActivate(Io& io, const FIRMWARE_REQUEST_BLOCK& frb, SimDisk& d) {
    if (frb.DataBufferLength != sizeof(STORAGE_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "DataBufferLength must be 12");
    }
    auto act = Read<STORAGE_FIRMWARE_ACTIVATE>(io.in, kIntelFwDataAt);
    io.trace.Num("fw_struct_version", act.Version);
    io.trace.Num("fw_struct_size", act.Size);
    io.trace.Num("slot", act.SlotToActivate);
    if (const DWORD refused = CheckIntelFwActivate(io, act)) {
        return refused;
    }
    // The miniport activates as the inbox driver does; its request has no output to tell a
    // power cycle that is still due, so that ends in success too.
    switch (ActivateFirmware(io.pc, d, act.SlotToActivate, false)) {
    case ActivateOutcome::Running:
    case ActivateOutcome::Reset:
    case ActivateOutcome::PowerCycleRequired:
        io.returned = 0;
        return 0;
    default:
        return ERROR_IO_DEVICE;
    }
}

DWORD IntelFw(Io& io, const SRB_IO_CONTROL& srb) {
    const size_t frbAt = 32;
    if (io.in.size() < kIntelFwDataAt) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold the 56-byte request");
    }
    const uint8_t* p = io.in.data();
    const uint8_t pathId = p[29];
    auto frb = Read<FIRMWARE_REQUEST_BLOCK>(io.in, frbAt);
    io.trace.Num("version", p[28]);
    io.trace.Num("path_id", pathId);
    io.trace.Num("function", frb.Function);
    io.trace.Num("fw_flags", frb.Flags);
    io.trace.Num("data_buffer_offset", frb.DataBufferOffset);
    io.trace.Num("data_buffer_length", frb.DataBufferLength);
    if (srb.ControlCode != kIntelFwControlCode) {
        return Refuse(ERROR_INVALID_FUNCTION, "IntelFw ControlCode must be 0xF0000040");
    }
    if (const DWORD refused = CheckIntelFw(io, srb, frb)) {
        return refused;
    }
    SimDisk* d = io.pc.DiskOnPort(io.handle.port, pathId, 0, 0);
    if (!d || d->kind != DiskKind::Rst || !d->nvme) {
        return Refuse(ERROR_INVALID_PARAMETER, "no RST NVMe disk at PathId");
    }
    if (frb.Function == FIRMWARE_FUNCTION_DOWNLOAD) {
        return IntelFwDownload(io, frb, *d);
    }
    if (frb.Function != FIRMWARE_FUNCTION_ACTIVATE) {
        return Refuse(ERROR_INVALID_FUNCTION, "Function must be download (2) or activate (3)");
    }
    return IntelFwActivate(io, frb, *d);
}

} // namespace

// --- IOCTL_SCSI_MINIPORT (Intel RST) -----------------------------------------------------

DWORD Miniport(Io& io) {
    if (io.in.size() < sizeof(SRB_IO_CONTROL)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold SRB_IO_CONTROL");
    }
    auto srb = Read<SRB_IO_CONTROL>(io.in);
    io.trace.Str("signature", std::string(reinterpret_cast<const char*>(srb.Signature), 8));
    io.trace.Num("header_length", srb.HeaderLength);
    io.trace.Num("timeout", srb.Timeout);
    io.trace.Num("control_code", srb.ControlCode);
    io.trace.Num("srb_length", srb.Length);
    if (io.handle.kind != DeviceHandle::Port) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "miniport requests go to the SCSI port");
    }
    if (srb.HeaderLength != sizeof(SRB_IO_CONTROL)) {
        return Refused("storport", ERROR_INVALID_PARAMETER, "HeaderLength must be 28");
    }
    if (uint64_t(srb.HeaderLength) + srb.Length > std::max<size_t>(io.in.size(), io.outSize)) {
        return Refused("storport", ERROR_INVALID_PARAMETER,
                       "HeaderLength + Length must lie inside the buffers");
    }
    if (srb.Timeout == 0) {
        return Refused("storport", ERROR_INVALID_PARAMETER, "Timeout must not be 0");
    }
    bool rst = false;
    for (const auto& d : io.pc.disks) {
        rst = rst || (!d->removed && d->scsiPort == io.handle.port && d->kind == DiskKind::Rst);
    }
    if (!rst) {
        return Refused("storport", ERROR_INVALID_FUNCTION,
                       "no miniport on the port knows the signature");
    }
    if (std::memcmp(srb.Signature, "IntelNvm", 8) == 0) {
        return IntelNvm(io, srb);
    }
    if (std::memcmp(srb.Signature, "IntelFw ", 8) == 0) {
        return IntelFw(io, srb);
    }
    return Refuse(ERROR_INVALID_FUNCTION, "Signature must be IntelNvm or IntelFw");
}

} // namespace sim
