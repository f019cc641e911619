// The inbox NVMe driver of the simulated PC (stornvme): the protocol-specific queries of
// IOCTL_STORAGE_QUERY_PROPERTY, NVMe admin commands through IOCTL_STORAGE_PROTOCOL_COMMAND, and
// the native firmware download and activate requests, each checked the way the driver checks it
// and translated to the drive's admin commands. Each refusal says why (sim/refusal.h).
#include "sim/stack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr DWORD kProtocolCommandTimeout = 10; // seconds

DWORD Refuse(DWORD error, const char* reason) {
    return Refused("stornvme", error, reason);
}

} // namespace

// --- IOCTL_STORAGE_QUERY_PROPERTY, protocol-specific data ---------------------------------

namespace {

// The admin command a protocol-specific query asks for, with its data buffer sized; 0 when the
// query is one the driver takes, or the refusal.
DWORD QueryCommand(const STORAGE_PROTOCOL_SPECIFIC_DATA& psd, NvmeCommand& cmd,
                   std::vector<uint8_t>& data) {
    data.assign(psd.ProtocolDataLength, 0);
    if (psd.DataType == NVMeDataTypeIdentify) {
        if (psd.ProtocolDataLength < kNvmeIdentifySize) {
            return Refuse(ERROR_INVALID_PARAMETER,
                          "ProtocolDataLength must hold 4096 bytes of Identify data");
        }
        data.resize(kNvmeIdentifySize);
        cmd = IdentifyCommand(psd.ProtocolDataRequestValue, psd.ProtocolDataRequestSubValue);
        return 0;
    }
    if (psd.DataType == NVMeDataTypeLogPage) {
        if (psd.ProtocolDataLength % 4 != 0) {
            return Refuse(ERROR_INVALID_PARAMETER, "ProtocolDataLength must be whole dwords");
        }
        // The sub-values are the log page offset, low and high.
        cmd = GetLogPageCommand(psd.ProtocolDataRequestValue, psd.ProtocolDataLength,
                                uint64_t(psd.ProtocolDataRequestSubValue2) << 32 |
                                    psd.ProtocolDataRequestSubValue);
        return 0;
    }
    return Refuse(ERROR_NOT_SUPPORTED, "DataType must be Identify (1) or a log page (2)");
}

// The checks of a protocol-specific query before the driver builds its command.
DWORD CheckQuery(const Io& io, const SimDisk& d, const STORAGE_PROPERTY_QUERY& q,
                 const STORAGE_PROTOCOL_SPECIFIC_DATA& psd, uint64_t dataAt) {
    if (d.kind != DiskKind::Nvme || !d.nvme) {
        // Only the NVMe driver knows protocol-specific queries.
        return Refused("disk", ERROR_NOT_SUPPORTED,
                       "protocol-specific queries need the NVMe driver");
    }
    if (q.QueryType != PropertyStandardQuery) {
        return Refuse(ERROR_INVALID_PARAMETER, "QueryType must be PropertyStandardQuery");
    }
    if (psd.ProtocolType != ProtocolTypeNvme) {
        return Refuse(ERROR_INVALID_PARAMETER, "ProtocolType must be ProtocolTypeNvme (3)");
    }
    if (psd.ProtocolDataOffset < sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "ProtocolDataOffset must be past the structure (40)");
    }
    if (psd.ProtocolDataLength == 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "ProtocolDataLength must not be 0");
    }
    if (dataAt + psd.ProtocolDataLength > io.outSize) {
        return Refuse(ERROR_INSUFFICIENT_BUFFER, "the output buffer must hold the data area");
    }
    // Identify data is the adapter's, log pages the device's; a query that asks the other
    // property for them is refused (docs/scenario.md: the strict reading).
    if (psd.DataType == NVMeDataTypeIdentify &&
        q.PropertyId != StorageAdapterProtocolSpecificProperty) {
        return Refuse(ERROR_INVALID_PARAMETER, "Identify data is the adapter's property (49)");
    }
    if (psd.DataType == NVMeDataTypeLogPage &&
        q.PropertyId != StorageDeviceProtocolSpecificProperty) {
        return Refuse(ERROR_INVALID_PARAMETER, "a log page is the device's property (50)");
    }
    return 0;
}

} // namespace

DWORD ProtocolSpecific(Io& io, SimDisk& d, const STORAGE_PROPERTY_QUERY& q) {
    const size_t psdAt = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    if (io.in.size() < psdAt + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "the input must hold STORAGE_PROTOCOL_SPECIFIC_DATA");
    }
    auto psd = Read<STORAGE_PROTOCOL_SPECIFIC_DATA>(io.in, psdAt);
    io.trace.Num("protocol_type", psd.ProtocolType);
    io.trace.Num("data_type", psd.DataType);
    io.trace.Num("request_value", psd.ProtocolDataRequestValue);
    io.trace.Num("request_subvalue", psd.ProtocolDataRequestSubValue);
    io.trace.Num("data_off", psd.ProtocolDataOffset);
    io.trace.Num("data_len", psd.ProtocolDataLength);
    // The data follows the STORAGE_PROTOCOL_SPECIFIC_DATA; its offset counts from that
    // structure's start, which sits 8 bytes into the returned descriptor.
    const uint64_t dataAt = psdAt + uint64_t(psd.ProtocolDataOffset);
    NvmeCommand cmd;
    std::vector<uint8_t> data;
    if (const DWORD refused = CheckQuery(io, d, q, psd, dataAt)) {
        return refused;
    }
    if (const DWORD refused = QueryCommand(psd, cmd, data)) {
        return refused;
    }
    const NvmeCompletion c = RunAdmin(*d.nvme, cmd, NvmeXfer::FromDevice, data);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    STORAGE_PROTOCOL_DATA_DESCRIPTOR desc = {};
    desc.Version = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    desc.Size = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    desc.ProtocolSpecificData = psd;
    desc.ProtocolSpecificData.FixedProtocolReturnData = c.dw0;
    std::memcpy(io.out, &desc, std::min<size_t>(sizeof(desc), io.outSize));
    // The whole data area is returned: the drive's bytes, then zeros (an Identify area larger
    // than the 4096 bytes of the structure). The trace's data describes these same
    // ProtocolDataLength bytes.
    data.resize(psd.ProtocolDataLength, 0);
    std::memcpy(io.out + dataAt, data.data(), data.size());
    io.returned = DWORD(dataAt + psd.ProtocolDataLength);
    io.trace.Data(data.data(), data.size(), true);
    return 0;
}

// --- IOCTL_STORAGE_PROTOCOL_COMMAND ------------------------------------------------------

namespace {

constexpr size_t kCommandAt = offsetof(STORAGE_PROTOCOL_COMMAND, Command);

void TraceProtocolCommand(Io& io, const STORAGE_PROTOCOL_COMMAND& request) {
    io.trace.Num("version", request.Version);
    io.trace.Num("length", request.Length);
    io.trace.Num("protocol_type", request.ProtocolType);
    io.trace.Num("flags", request.Flags);
    io.trace.Num("command_length", request.CommandLength);
    io.trace.Num("timeout", request.TimeOutValue);
    io.trace.Num("to_dev_len", request.DataToDeviceTransferLength);
    io.trace.Num("from_dev_len", request.DataFromDeviceTransferLength);
    io.trace.Num("to_dev_off", request.DataToDeviceBufferOffset);
    io.trace.Num("from_dev_off", request.DataFromDeviceBufferOffset);
    io.trace.Num("command_specific", request.CommandSpecific);
}

// The header's fixed values: an NVMe admin command for the adapter, with the timeout the
// program's requests carry (docs/scenario.md: the strict reading of both).
DWORD CheckCommandHeader(const Io& io, const STORAGE_PROTOCOL_COMMAND& request, uint64_t cmdEnd) {
    if (request.Version != STORAGE_PROTOCOL_STRUCTURE_VERSION) {
        return Refuse(ERROR_INVALID_PARAMETER, "Version must be 1");
    }
    if (request.Length != sizeof(STORAGE_PROTOCOL_COMMAND)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Length must be 84");
    }
    if (request.ProtocolType != ProtocolTypeNvme) {
        return Refuse(ERROR_INVALID_PARAMETER, "ProtocolType must be ProtocolTypeNvme (3)");
    }
    if (request.CommandLength != STORAGE_PROTOCOL_COMMAND_LENGTH_NVME) {
        return Refuse(ERROR_INVALID_PARAMETER, "CommandLength must be 64");
    }
    if (io.in.size() < cmdEnd) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold the 64-byte command");
    }
    if (request.CommandSpecific != STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND) {
        return Refuse(ERROR_NOT_SUPPORTED, "CommandSpecific must be an admin command (1)");
    }
    if (request.Flags != STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST) {
        return Refuse(ERROR_INVALID_PARAMETER, "Flags must be 0x80000000");
    }
    if (request.TimeOutValue != kProtocolCommandTimeout) {
        return Refuse(ERROR_INVALID_PARAMETER, "TimeOutValue must be 10");
    }
    return 0;
}

// The data buffers: at most one direction moves data, inside the buffer and past the command;
// a direction without data names no buffer (its offset is 0 or lies past the command, inside
// the buffer, never inside the header or the command).
DWORD CheckCommandBuffers(const Io& io, const STORAGE_PROTOCOL_COMMAND& request, uint64_t cmdEnd) {
    const uint32_t toLen = request.DataToDeviceTransferLength;
    const uint32_t fromLen = request.DataFromDeviceTransferLength;
    const uint32_t toOff = request.DataToDeviceBufferOffset;
    const uint32_t fromOff = request.DataFromDeviceBufferOffset;
    const auto unusedOffsetOk = [cmdEnd](uint32_t offset, uint64_t size) {
        return offset == 0 || (offset >= cmdEnd && offset <= size);
    };
    if (toLen == 0 && !unusedOffsetOk(toOff, io.in.size())) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "DataToDeviceBufferOffset without data must be 0 or past the command");
    }
    if (fromLen == 0 && !unusedOffsetOk(fromOff, io.outSize)) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "DataFromDeviceBufferOffset without data must be 0 or past the command");
    }
    if (toLen && fromLen) {
        return Refuse(ERROR_INVALID_PARAMETER, "data must move one way only");
    }
    if (toLen && (toOff < cmdEnd || uint64_t(toOff) + toLen > io.in.size())) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "the data to the device must lie past the command inside the input");
    }
    if (fromLen && (fromOff < cmdEnd || uint64_t(fromOff) + fromLen > io.outSize)) {
        return Refuse(ERROR_INVALID_PARAMETER,
                      "the data from the device must lie past the command inside the output");
    }
    if (request.ErrorInfoLength &&
        uint64_t(request.ErrorInfoOffset) + request.ErrorInfoLength > io.outSize) {
        return Refuse(ERROR_INVALID_PARAMETER, "the error information must lie inside the output");
    }
    if (io.outSize < kCommandAt) {
        return Refuse(ERROR_INSUFFICIENT_BUFFER, "the output must hold the 80-byte header");
    }
    return 0;
}

// Queue management belongs to the driver; every other opcode passes only when the drive's
// Commands Supported and Effects log lists it.
DWORD CheckOpcode(NvmeDrive& drive, uint8_t op) {
    if (op == kNvmeDeleteSq || op == kNvmeCreateSq || op == kNvmeDeleteCq || op == kNvmeCreateCq) {
        return Refuse(ERROR_INVALID_FUNCTION, "queue management is the driver's own");
    }
    if (!drive.Lists(op)) {
        return Refuse(ERROR_INVALID_FUNCTION,
                      "the opcode is not in the Commands Supported and Effects log");
    }
    return 0;
}

// The header goes back with the request's status, the data from the device behind it.
DWORD ReturnCommand(Io& io, const STORAGE_PROTOCOL_COMMAND& request, const NvmeCompletion& c,
                    const std::vector<uint8_t>& data) {
    std::memcpy(io.out, io.in.data(), std::min<size_t>(io.outSize, io.in.size()));
    STORAGE_PROTOCOL_COMMAND outHeader = request;
    outHeader.ReturnStatus =
        c.Ok() ? STORAGE_PROTOCOL_STATUS_SUCCESS : STORAGE_PROTOCOL_STATUS_ERROR;
    outHeader.ErrorCode = uint32_t(c.status.sct) << 8 | c.status.sc;
    outHeader.FixedProtocolReturnData = c.dw0;
    std::memcpy(io.out, &outHeader, kCommandAt);
    io.trace.Num("return_status", outHeader.ReturnStatus);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    if (request.DataFromDeviceTransferLength) {
        std::memcpy(io.out + request.DataFromDeviceBufferOffset, data.data(),
                    request.DataFromDeviceTransferLength);
    }
    io.returned = io.outSize;
    return 0;
}

// Where the NVMe command ends in the input: the header, then CommandLength bytes.
uint64_t CommandEnd(const STORAGE_PROTOCOL_COMMAND& request) {
    return kCommandAt + uint64_t(request.CommandLength);
}

// What the request carries, recorded before any check: the header, the command's dwords when
// the input holds a 64-byte command, and the data to the device as given (also when the request
// is refused). Returns the command, all zero when the input holds none.
NvmeCommand TraceRequest(Io& io, const STORAGE_PROTOCOL_COMMAND& request) {
    TraceProtocolCommand(io, request);
    NvmeCommand cmd;
    if (request.CommandLength == STORAGE_PROTOCOL_COMMAND_LENGTH_NVME &&
        io.in.size() >= CommandEnd(request)) {
        cmd = NvmeCommand::FromBytes(io.in.data() + kCommandAt);
        io.trace.Nums("cdw", cmd.cdw, 16);
    }
    const uint32_t toLen = request.DataToDeviceTransferLength;
    const uint32_t toOff = request.DataToDeviceBufferOffset;
    if (toLen && uint64_t(toOff) + toLen <= io.in.size()) {
        io.trace.Data(io.in.data() + toOff, toLen);
    }
    return cmd;
}

// The checks the driver makes before the drive sees the command: that the disk is its own, the
// header, the data buffers, the opcode; 0 when the request passes, or the refusal.
DWORD CheckCommand(const Io& io, const STORAGE_PROTOCOL_COMMAND& request, const NvmeCommand& cmd) {
    if (!io.disk || io.handle.kind != DeviceHandle::Disk || io.disk->kind != DiskKind::Nvme ||
        !io.disk->nvme) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "protocol commands need the NVMe driver");
    }
    const uint64_t cmdEnd = CommandEnd(request);
    if (const DWORD refused = CheckCommandHeader(io, request, cmdEnd)) {
        return refused;
    }
    if (const DWORD refused = CheckCommandBuffers(io, request, cmdEnd)) {
        return refused;
    }
    return CheckOpcode(*io.disk->nvme, cmd.Opcode());
}

// Runs a checked command on the drive and returns its header, status and data. The data to the
// device is in the trace already (the checks put it inside the input); the data from the device
// is recorded once the drive has run.
DWORD RunCommand(Io& io, const STORAGE_PROTOCOL_COMMAND& request, const NvmeCommand& cmd) {
    const uint32_t toLen = request.DataToDeviceTransferLength;
    const uint32_t toOff = request.DataToDeviceBufferOffset;
    std::vector<uint8_t> data;
    NvmeXfer dir = NvmeXfer::None;
    if (toLen) {
        dir = NvmeXfer::ToDevice;
        data.assign(io.in.data() + toOff, io.in.data() + toOff + toLen);
    } else if (request.DataFromDeviceTransferLength) {
        dir = NvmeXfer::FromDevice;
        data.assign(request.DataFromDeviceTransferLength, 0);
    }
    const NvmeCompletion c = RunAdmin(*io.disk->nvme, cmd, dir, data);
    if (!toLen) {
        io.trace.Data(data.data(), data.size());
    }
    return ReturnCommand(io, request, c, data);
}

} // namespace

DWORD ProtocolCommand(Io& io) {
    if (io.in.size() < sizeof(STORAGE_PROTOCOL_COMMAND)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold STORAGE_PROTOCOL_COMMAND");
    }
    const auto request = Read<STORAGE_PROTOCOL_COMMAND>(io.in);
    const NvmeCommand cmd = TraceRequest(io, request);
    if (const DWORD refused = CheckCommand(io, request, cmd)) {
        return refused;
    }
    return RunCommand(io, request, cmd);
}

// --- firmware activation, as the Windows storage drivers carry it out --------------------

ActivateOutcome ActivateFirmware(Pc& pc, SimDisk& disk, int slot, bool existing) {
    NvmeDrive& drive = *disk.nvme;
    std::vector<uint8_t> none;
    // Commit the downloaded image into the slot (or the image already there), to run at the
    // next reset ...
    const NvmeCommand commit = FirmwareCommitCommand(
        uint32_t(slot), existing ? kCommitActivateAtReset : kCommitReplaceActivateAtReset);
    NvmeCompletion c = RunAdmin(drive, commit, NvmeXfer::None, none);
    if (!c.Ok()) {
        if (c.status.sct == 1 && c.status.sc == nvme_status::kInvalidFirmwareSlot.sc) {
            return ActivateOutcome::SlotInvalid;
        }
        if (c.status.sct == 1 && c.status.sc == nvme_status::kInvalidFirmwareImage.sc) {
            return ActivateOutcome::ImageInvalid;
        }
        return ActivateOutcome::Failed;
    }
    // ... then ask the drive to run it now. It does, or it says which reset it needs: the
    // driver resets the controller itself, but cannot power the drive off.
    const NvmeCommand activate = FirmwareCommitCommand(uint32_t(slot), kCommitActivateNow);
    c = RunAdmin(drive, activate, NvmeXfer::None, none);
    if (c.Ok()) {
        return ActivateOutcome::Running;
    }
    if (c.status.sct == 1 && c.status.sc == nvme_status::kFirmwareNeedsControllerReset.sc) {
        pc.ResetController(disk);
        return ActivateOutcome::Reset;
    }
    if (c.status.sct == 1 && (c.status.sc == nvme_status::kFirmwareNeedsSubsystemReset.sc ||
                              c.status.sc == nvme_status::kFirmwareNeedsReset.sc)) {
        return ActivateOutcome::PowerCycleRequired;
    }
    return ActivateOutcome::Failed;
}

// --- native firmware requests ------------------------------------------------------------

namespace {

// The download is the whole 40-byte structure (the image starts 32 bytes in) and the rest of
// the piece: Size and the input length are both 40 + BufferSize. The piece is whole dwords at a
// dword offset; the request is for the controller, with no other flag.
DWORD CheckDownload(const Io& io, const STORAGE_HW_FIRMWARE_DOWNLOAD& fw) {
    const uint64_t size = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
    if (io.in.size() < size) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold the 40-byte structure");
    }
    if (fw.Version != size) {
        return Refuse(ERROR_INVALID_PARAMETER, "Version must be 40");
    }
    if (fw.Size != io.in.size()) {
        return Refuse(ERROR_INVALID_PARAMETER, "Size must be the input length");
    }
    if (fw.BufferSize == 0) {
        return Refuse(ERROR_INVALID_PARAMETER, "BufferSize must not be 0");
    }
    if (fw.Size != size + fw.BufferSize) {
        return Refuse(ERROR_INVALID_PARAMETER, "Size must be 40 + BufferSize");
    }
    if (fw.BufferSize % 4) {
        return Refuse(ERROR_INVALID_PARAMETER, "BufferSize must be whole dwords");
    }
    if (fw.Offset % 4 || fw.Offset / 4 > 0xFFFFFFFFu) {
        return Refuse(ERROR_INVALID_PARAMETER, "Offset must be a dword offset below 16 GiB");
    }
    if (fw.Flags != STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) {
        return Refuse(ERROR_INVALID_PARAMETER, "Flags must be 0x00000001");
    }
    if (!Zero(fw.Reserved)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Reserved must be zero");
    }
    if (fw.Slot == 0 || fw.Slot > kNvmeFirmwareSlots) {
        return Refuse(DWORD(STG_E_FIRMWARE_SLOT_INVALID), "Slot must be 1 to 3");
    }
    return 0;
}

// The activation is exactly the 16-byte structure, for the controller, switching to the
// downloaded image or to the one already in the slot.
constexpr uint32_t kSwitchToExisting = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER |
                                       STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;

DWORD CheckActivate(const Io& io, const STORAGE_HW_FIRMWARE_ACTIVATE& fa) {
    if (io.in.size() != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must be the 16-byte structure");
    }
    if (fa.Version != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Version must be 16");
    }
    if (fa.Size != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Size must be 16");
    }
    if (fa.Flags != STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER && fa.Flags != kSwitchToExisting) {
        return Refuse(ERROR_INVALID_PARAMETER, "Flags must be 0x00000001 or 0x80000001");
    }
    if (!Zero(fa.Reserved0)) {
        return Refuse(ERROR_INVALID_PARAMETER, "Reserved0 must be zero");
    }
    if (fa.Slot == 0 || fa.Slot > kNvmeFirmwareSlots) {
        return Refuse(DWORD(STG_E_FIRMWARE_SLOT_INVALID), "Slot must be 1 to 3");
    }
    return 0;
}

bool NativeNvmeDisk(const Io& io) {
    return io.disk && io.handle.kind == DeviceHandle::Disk && io.disk->kind == DiskKind::Nvme;
}

} // namespace

DWORD FirmwareDownload(Io& io) {
    const size_t imageAt = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
    if (io.in.size() < imageAt) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must hold the structure's header");
    }
    auto fw = ReadHead<STORAGE_HW_FIRMWARE_DOWNLOAD>(io.in, 0, imageAt);
    io.trace.Num("version", fw.Version);
    io.trace.Num("size", fw.Size);
    io.trace.Num("flags", fw.Flags);
    io.trace.Num("slot", fw.Slot);
    io.trace.Num("offset", fw.Offset);
    io.trace.Num("buffer_size", fw.BufferSize);
    const uint64_t avail = io.in.size() - imageAt;
    io.trace.Data(io.in.data() + imageAt, size_t(std::min<uint64_t>(avail, fw.BufferSize)));
    if (!NativeNvmeDisk(io)) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "firmware requests need the NVMe driver");
    }
    if (const DWORD refused = CheckDownload(io, fw)) {
        return refused;
    }
    const NvmeCommand cmd = FirmwareDownloadCommand(fw.BufferSize, fw.Offset);
    std::vector<uint8_t> data(io.in.begin() + long(imageAt),
                              io.in.begin() + long(imageAt + fw.BufferSize));
    return RunAdmin(*io.disk->nvme, cmd, NvmeXfer::ToDevice, data).Ok() ? 0 : ERROR_IO_DEVICE;
}

DWORD FirmwareActivate(Io& io) {
    if (io.in.size() < sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return Refuse(ERROR_INVALID_PARAMETER, "the input must be the 16-byte structure");
    }
    auto fa = Read<STORAGE_HW_FIRMWARE_ACTIVATE>(io.in);
    io.trace.Num("version", fa.Version);
    io.trace.Num("size", fa.Size);
    io.trace.Num("slot", fa.Slot);
    io.trace.Num("flags", fa.Flags);
    if (!NativeNvmeDisk(io)) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "firmware requests need the NVMe driver");
    }
    if (const DWORD refused = CheckActivate(io, fa)) {
        return refused;
    }
    switch (ActivateFirmware(io.pc, *io.disk, fa.Slot, fa.Flags == kSwitchToExisting)) {
    case ActivateOutcome::Running:
    case ActivateOutcome::Reset:
        return 0;
    case ActivateOutcome::PowerCycleRequired:
        // The drive took the image; it runs after the next power-on.
        return DWORD(STG_S_POWER_CYCLE_REQUIRED);
    case ActivateOutcome::SlotInvalid:
        return DWORD(STG_E_FIRMWARE_SLOT_INVALID);
    case ActivateOutcome::ImageInvalid:
        return DWORD(STG_E_FIRMWARE_IMAGE_INVALID);
    default:
        return ERROR_IO_DEVICE;
    }
}

} // namespace sim
