// The inbox NVMe driver of the simulated PC (stornvme): the protocol-specific queries of
// IOCTL_STORAGE_QUERY_PROPERTY, NVMe admin commands through IOCTL_STORAGE_PROTOCOL_COMMAND, and
// the native firmware download and activate requests, each checked the way the driver checks it
// and translated to the drive's admin commands.
#include "sim/stack.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace sim {
namespace {

constexpr DWORD kProtocolCommandTimeout = 10; // seconds

} // namespace

// --- IOCTL_STORAGE_QUERY_PROPERTY, protocol-specific data ---------------------------------

DWORD ProtocolSpecific(Io& io, SimDisk& d, const STORAGE_PROPERTY_QUERY& q) {
    const size_t psdAt = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    if (io.in.size() < psdAt + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto psd = Read<STORAGE_PROTOCOL_SPECIFIC_DATA>(io.in, psdAt);
    io.f.Num("protocol_type", psd.ProtocolType);
    io.f.Num("data_type", psd.DataType);
    io.f.Num("request_value", psd.ProtocolDataRequestValue);
    io.f.Num("request_subvalue", psd.ProtocolDataRequestSubValue);
    io.f.Num("data_off", psd.ProtocolDataOffset);
    io.f.Num("data_len", psd.ProtocolDataLength);
    if (d.kind != DiskKind::Nvme || !d.nvme) {
        return ERROR_NOT_SUPPORTED; // only the NVMe driver knows protocol-specific queries
    }
    if (q.QueryType != PropertyStandardQuery || psd.ProtocolType != ProtocolTypeNvme) {
        return ERROR_INVALID_PARAMETER;
    }
    // The data follows the STORAGE_PROTOCOL_SPECIFIC_DATA; its offset counts from that
    // structure's start, which sits 8 bytes into the returned descriptor.
    const uint64_t dataAt = psdAt + uint64_t(psd.ProtocolDataOffset);
    if (psd.ProtocolDataOffset < sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) ||
        psd.ProtocolDataLength == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (dataAt + psd.ProtocolDataLength > io.outSize) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    // Identify data is the adapter's, log pages the device's; a query that asks the other
    // property for them is refused (docs/scenario.md: the strict reading).
    if ((psd.DataType == NVMeDataTypeIdentify &&
         q.PropertyId != StorageAdapterProtocolSpecificProperty) ||
        (psd.DataType == NVMeDataTypeLogPage &&
         q.PropertyId != StorageDeviceProtocolSpecificProperty)) {
        return ERROR_INVALID_PARAMETER;
    }
    NvmeCommand cmd;
    std::vector<uint8_t> data(psd.ProtocolDataLength, 0);
    if (psd.DataType == NVMeDataTypeIdentify) {
        if (psd.ProtocolDataLength < kNvmeIdentifySize) {
            return ERROR_INVALID_PARAMETER;
        }
        data.resize(kNvmeIdentifySize);
        cmd.cdw[0] = kNvmeIdentify;
        cmd.cdw[1] = psd.ProtocolDataRequestSubValue;
        cmd.cdw[10] = psd.ProtocolDataRequestValue & 0xFF;
    } else if (psd.DataType == NVMeDataTypeLogPage) {
        if (psd.ProtocolDataLength % 4 != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        const uint32_t numd = psd.ProtocolDataLength / 4 - 1;
        cmd.cdw[0] = kNvmeGetLogPage;
        cmd.cdw[1] = 0xFFFFFFFF;
        cmd.cdw[10] = (psd.ProtocolDataRequestValue & 0xFF) | (numd & 0xFFFF) << 16;
        cmd.cdw[11] = numd >> 16;
        cmd.cdw[12] = psd.ProtocolDataRequestSubValue;  // log page offset, low
        cmd.cdw[13] = psd.ProtocolDataRequestSubValue2; // log page offset, high
    } else {
        return ERROR_NOT_SUPPORTED;
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
    io.f.Data(data.data(), data.size(), true);
    return 0;
}

// --- IOCTL_STORAGE_PROTOCOL_COMMAND ------------------------------------------------------

DWORD ProtocolCommand(Io& io) {
    if (io.in.size() < sizeof(STORAGE_PROTOCOL_COMMAND)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto pc = Read<STORAGE_PROTOCOL_COMMAND>(io.in);
    io.f.Num("version", pc.Version);
    io.f.Num("length", pc.Length);
    io.f.Num("protocol_type", pc.ProtocolType);
    io.f.Num("flags", pc.Flags);
    io.f.Num("command_length", pc.CommandLength);
    io.f.Num("timeout", pc.TimeOutValue);
    io.f.Num("to_dev_len", pc.DataToDeviceTransferLength);
    io.f.Num("from_dev_len", pc.DataFromDeviceTransferLength);
    io.f.Num("to_dev_off", pc.DataToDeviceBufferOffset);
    io.f.Num("from_dev_off", pc.DataFromDeviceBufferOffset);
    io.f.Num("command_specific", pc.CommandSpecific);
    const size_t cmdAt = offsetof(STORAGE_PROTOCOL_COMMAND, Command);
    const uint64_t cmdEnd = cmdAt + uint64_t(pc.CommandLength);
    NvmeCommand cmd;
    if (pc.CommandLength == STORAGE_PROTOCOL_COMMAND_LENGTH_NVME && io.in.size() >= cmdEnd) {
        cmd = NvmeCommand::FromBytes(io.in.data() + cmdAt);
        io.f.Nums("cdw", cmd.cdw, 16);
    }
    // Data to the device is recorded as given, also when the request is refused; data from the
    // device only once the drive has run.
    const uint32_t toLen = pc.DataToDeviceTransferLength;
    const uint32_t fromLen = pc.DataFromDeviceTransferLength;
    const bool toDataGiven = toLen && uint64_t(pc.DataToDeviceBufferOffset) + toLen <= io.in.size();
    if (toDataGiven) {
        io.f.Data(io.in.data() + pc.DataToDeviceBufferOffset, toLen);
    }
    if (!io.disk || io.handle.kind != DeviceHandle::Disk || io.disk->kind != DiskKind::Nvme ||
        !io.disk->nvme) {
        return ERROR_INVALID_FUNCTION;
    }
    if (pc.Version != STORAGE_PROTOCOL_STRUCTURE_VERSION ||
        pc.Length != sizeof(STORAGE_PROTOCOL_COMMAND) || pc.ProtocolType != ProtocolTypeNvme ||
        pc.CommandLength != STORAGE_PROTOCOL_COMMAND_LENGTH_NVME || io.in.size() < cmdEnd) {
        return ERROR_INVALID_PARAMETER;
    }
    if (pc.CommandSpecific != STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND) {
        return ERROR_NOT_SUPPORTED;
    }
    // Admin commands go to the adapter, with the timeout the program's requests carry
    // (docs/scenario.md: the strict reading of both).
    if (pc.Flags != STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST ||
        pc.TimeOutValue != kProtocolCommandTimeout) {
        return ERROR_INVALID_PARAMETER;
    }
    // A direction without data names no buffer: its offset is 0 or lies past the command,
    // inside the buffer, never inside the header or the command.
    const auto unusedOffsetOk = [cmdEnd](uint32_t length, uint32_t offset, uint64_t size) {
        return length != 0 || offset == 0 || (offset >= cmdEnd && offset <= size);
    };
    if (!unusedOffsetOk(toLen, pc.DataToDeviceBufferOffset, io.in.size()) ||
        !unusedOffsetOk(fromLen, pc.DataFromDeviceBufferOffset, io.outSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((toLen && fromLen) ||
        (toLen && (pc.DataToDeviceBufferOffset < cmdEnd ||
                   uint64_t(pc.DataToDeviceBufferOffset) + toLen > io.in.size())) ||
        (fromLen && (pc.DataFromDeviceBufferOffset < cmdEnd ||
                     uint64_t(pc.DataFromDeviceBufferOffset) + fromLen > io.outSize)) ||
        (pc.ErrorInfoLength && uint64_t(pc.ErrorInfoOffset) + pc.ErrorInfoLength > io.outSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (io.outSize < cmdAt) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    const uint8_t op = cmd.Opcode();
    // Queue management belongs to the driver; every other opcode passes only when the drive's
    // Commands Supported and Effects log lists it.
    if (op == 0x00 || op == 0x01 || op == 0x04 || op == 0x05 || !io.disk->nvme->Lists(op)) {
        return ERROR_INVALID_FUNCTION;
    }
    std::vector<uint8_t> data;
    NvmeXfer dir = NvmeXfer::None;
    if (toLen) {
        dir = NvmeXfer::ToDevice;
        data.assign(io.in.begin() + pc.DataToDeviceBufferOffset,
                    io.in.begin() + pc.DataToDeviceBufferOffset + toLen);
    } else if (fromLen) {
        dir = NvmeXfer::FromDevice;
        data.assign(fromLen, 0);
    }
    const NvmeCompletion c = RunAdmin(*io.disk->nvme, cmd, dir, data);
    if (!toDataGiven) {
        io.f.Data(data.data(), data.size());
    }
    // The header goes back with the request's status.
    std::memcpy(io.out, io.in.data(), std::min<size_t>(io.outSize, io.in.size()));
    STORAGE_PROTOCOL_COMMAND outHeader = pc;
    outHeader.ReturnStatus =
        c.Ok() ? STORAGE_PROTOCOL_STATUS_SUCCESS : STORAGE_PROTOCOL_STATUS_ERROR;
    outHeader.ErrorCode = uint32_t(c.status.sct) << 8 | c.status.sc;
    outHeader.FixedProtocolReturnData = c.dw0;
    std::memcpy(io.out, &outHeader, cmdAt);
    io.f.Num("return_status", outHeader.ReturnStatus);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    if (fromLen) {
        std::memcpy(io.out + pc.DataFromDeviceBufferOffset, data.data(), fromLen);
    }
    io.returned = io.outSize;
    return 0;
}

// --- firmware activation, as the Windows storage drivers carry it out --------------------

ActivateOutcome ActivateFirmware(Pc& pc, SimDisk& disk, int slot, bool existing) {
    NvmeDrive& drive = *disk.nvme;
    std::vector<uint8_t> none;
    // Commit the downloaded image into the slot (or the image already there), to run at the
    // next reset ...
    NvmeCommand commit;
    commit.cdw[0] = kNvmeFirmwareCommit;
    commit.cdw[10] = uint32_t(slot) | (existing ? 2u : 1u) << 3;
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
    NvmeCommand activate;
    activate.cdw[0] = kNvmeFirmwareCommit;
    activate.cdw[10] = uint32_t(slot) | 3u << 3;
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

DWORD FirmwareDownload(Io& io) {
    const size_t imageAt = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
    if (io.in.size() < imageAt) {
        return ERROR_INVALID_PARAMETER;
    }
    auto fw = ReadHead<STORAGE_HW_FIRMWARE_DOWNLOAD>(io.in, 0, imageAt);
    io.f.Num("version", fw.Version);
    io.f.Num("size", fw.Size);
    io.f.Num("flags", fw.Flags);
    io.f.Num("slot", fw.Slot);
    io.f.Num("offset", fw.Offset);
    io.f.Num("buffer_size", fw.BufferSize);
    const uint64_t avail = io.in.size() - imageAt;
    io.f.Data(io.in.data() + imageAt, size_t(std::min<uint64_t>(avail, fw.BufferSize)));
    if (!io.disk || io.handle.kind != DeviceHandle::Disk || io.disk->kind != DiskKind::Nvme) {
        return ERROR_INVALID_FUNCTION;
    }
    // The input is the whole 40-byte structure (the image starts 32 bytes in) and the rest of
    // the piece: Size and the input length are both 40 + BufferSize. The piece is whole
    // dwords at a dword offset; the request is for the controller, with no other flag.
    const uint64_t size = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
    if (io.in.size() < size || fw.Version != size || fw.Size != io.in.size() ||
        fw.BufferSize == 0 || fw.Size != size + fw.BufferSize || fw.BufferSize % 4 ||
        fw.Offset % 4 || fw.Offset / 4 > 0xFFFFFFFFu ||
        fw.Flags != STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER || !Zero(fw.Reserved)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (fw.Slot == 0 || fw.Slot > kNvmeFirmwareSlots) {
        return DWORD(STG_E_FIRMWARE_SLOT_INVALID);
    }
    NvmeCommand cmd;
    cmd.cdw[0] = kNvmeFirmwareDownload;
    cmd.cdw[10] = uint32_t(fw.BufferSize / 4 - 1);
    cmd.cdw[11] = uint32_t(fw.Offset / 4);
    std::vector<uint8_t> data(io.in.begin() + long(imageAt),
                              io.in.begin() + long(imageAt + fw.BufferSize));
    return RunAdmin(*io.disk->nvme, cmd, NvmeXfer::ToDevice, data).Ok() ? 0 : ERROR_IO_DEVICE;
}

DWORD FirmwareActivate(Io& io) {
    if (io.in.size() < sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto fa = Read<STORAGE_HW_FIRMWARE_ACTIVATE>(io.in);
    io.f.Num("version", fa.Version);
    io.f.Num("size", fa.Size);
    io.f.Num("slot", fa.Slot);
    io.f.Num("flags", fa.Flags);
    if (!io.disk || io.handle.kind != DeviceHandle::Disk || io.disk->kind != DiskKind::Nvme) {
        return ERROR_INVALID_FUNCTION;
    }
    // Exactly the 16-byte structure, for the controller, switching to the downloaded image or
    // to the one already in the slot.
    const uint32_t existingFlags = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER |
                                   STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;
    if (io.in.size() != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        fa.Version != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        fa.Size != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        (fa.Flags != STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER && fa.Flags != existingFlags) ||
        !Zero(fa.Reserved0)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (fa.Slot == 0 || fa.Slot > kNvmeFirmwareSlots) {
        return DWORD(STG_E_FIRMWARE_SLOT_INVALID);
    }
    switch (ActivateFirmware(io.pc, *io.disk, fa.Slot, fa.Flags == existingFlags)) {
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
