// The storage stacks of the simulated PC: device paths, handles and every I/O control a disk,
// a volume or a SCSI port answers, checked the way the platform's drivers check them.
#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/pc.h"
#include "sim/trace.h"
#include "sim/windows_api.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <vector>

namespace sim {
namespace {

constexpr uint32_t kIntelNvmControlCode = 0xF0002808;
constexpr uint32_t kIntelFwControlCode = 0xF0000040;
constexpr uint32_t kIntelNvmDataOffset = 164;
constexpr uint32_t kMaxScsiTransfer = 2u << 20;

struct DeviceHandle : HandleObject {
    enum Kind { Disk, Volume, Port } kind = Disk;
    int disk = -1;      // Disk, Volume
    uint64_t epoch = 0; // the PC the handle was opened on
    uint64_t generation = 0;
    wchar_t letter = 0; // Volume
    uint32_t port = 0;  // Port
    std::wstring path;
    DWORD access = 0;
    DWORD share = 0;
};

std::vector<std::weak_ptr<DeviceHandle>>& OpenHandles() {
    static std::vector<std::weak_ptr<DeviceHandle>> handles;
    return handles;
}

bool SameTarget(const DeviceHandle& a, const DeviceHandle& b) {
    if (a.kind != b.kind || a.epoch != b.epoch) {
        return false;
    }
    switch (a.kind) {
    case DeviceHandle::Disk:
        return a.disk == b.disk;
    case DeviceHandle::Volume:
        return a.letter == b.letter;
    default:
        return a.port == b.port;
    }
}

// What a handle may do, by the access it was opened with: FILE_READ_DATA or FILE_WRITE_DATA
// (the generic rights map to them, GENERIC_ALL to both).
constexpr DWORD kMayRead = FILE_READ_ACCESS;
constexpr DWORD kMayWrite = FILE_WRITE_ACCESS;

DWORD GrantedAccess(DWORD access) {
    DWORD granted = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) {
        granted |= kMayRead;
    }
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) {
        granted |= kMayWrite;
    }
    return granted;
}

// The I/O manager refuses a control code whose RequiredAccess bits (14-15) name a right the
// handle was not opened with, before any driver sees the request.
bool AccessAllows(const DeviceHandle& handle, DWORD code) {
    const DWORD required = (code >> 14) & 3;
    return (GrantedAccess(handle.access) & required) == required;
}

// The sharing rule of CreateFileW: each side must share what the other one uses.
bool SharingConflict(const DeviceHandle& opening) {
    auto& list = OpenHandles();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<DeviceHandle>& w) { return w.expired(); }),
               list.end());
    for (const auto& w : list) {
        auto other = w.lock();
        if (!other || !SameTarget(*other, opening)) {
            continue;
        }
        auto uses = [](DWORD access, DWORD right) { return (GrantedAccess(access) & right) != 0; };
        if ((uses(opening.access, kMayRead) && !(other->share & FILE_SHARE_READ)) ||
            (uses(opening.access, kMayWrite) && !(other->share & FILE_SHARE_WRITE)) ||
            (uses(other->access, kMayRead) && !(opening.share & FILE_SHARE_READ)) ||
            (uses(other->access, kMayWrite) && !(opening.share & FILE_SHARE_WRITE))) {
            return true;
        }
    }
    return false;
}

std::wstring Lower(const wchar_t* s) {
    std::wstring out;
    for (; *s; ++s) {
        out += wchar_t(std::towlower(wint_t(*s)));
    }
    return out;
}

bool ParseNumberSuffix(const std::wstring& text, size_t start, size_t end, uint32_t& out) {
    if (start >= end || end - start > 3) {
        return false;
    }
    out = 0;
    for (size_t i = start; i < end; ++i) {
        if (!std::iswdigit(wint_t(text[i]))) {
            return false;
        }
        out = out * 10 + uint32_t(text[i] - L'0');
    }
    return true;
}

std::string IoctlName(DWORD code) {
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return "IOCTL_STORAGE_QUERY_PROPERTY";
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return "IOCTL_STORAGE_GET_DEVICE_NUMBER";
    case IOCTL_STORAGE_PROTOCOL_COMMAND:
        return "IOCTL_STORAGE_PROTOCOL_COMMAND";
    case IOCTL_STORAGE_FIRMWARE_GET_INFO:
        return "IOCTL_STORAGE_FIRMWARE_GET_INFO";
    case IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
        return "IOCTL_STORAGE_FIRMWARE_DOWNLOAD";
    case IOCTL_STORAGE_FIRMWARE_ACTIVATE:
        return "IOCTL_STORAGE_FIRMWARE_ACTIVATE";
    case IOCTL_SCSI_GET_ADDRESS:
        return "IOCTL_SCSI_GET_ADDRESS";
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return "IOCTL_SCSI_PASS_THROUGH_DIRECT";
    case IOCTL_ATA_PASS_THROUGH_DIRECT:
        return "IOCTL_ATA_PASS_THROUGH_DIRECT";
    case IOCTL_SCSI_MINIPORT:
        return "IOCTL_SCSI_MINIPORT";
    default:
        return "unknown";
    }
}

template <class T> T Read(const std::vector<uint8_t>& in, size_t offset = 0) {
    T v;
    std::memcpy(&v, in.data() + offset, sizeof(T));
    return v;
}

uint32_t Dword(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One request as the handlers see it. `in` is a copy of the input buffer as given, so that
// handlers may write the output buffer even when the caller passed the same one.
struct Io {
    Pc& pc;
    DeviceHandle& handle;
    SimDisk* disk; // null for a port handle
    DWORD code;
    std::vector<uint8_t> in;
    uint8_t* out;
    DWORD outSize;
    DWORD returned = 0;
    TraceFields f;
};

// Runs one admin command on the drive, with a temporary buffer for the data.
NvmeCompletion RunAdmin(NvmeDrive& drive, const NvmeCommand& cmd, NvmeXfer dir,
                        std::vector<uint8_t>& data) {
    NvmeAdminRequest rq;
    rq.cmd = cmd;
    rq.dir = data.empty() ? NvmeXfer::None : dir;
    rq.data = data.empty() ? nullptr : data.data();
    rq.length = uint32_t(data.size());
    return drive.Admin(rq);
}

// --- IOCTL_STORAGE_QUERY_PROPERTY --------------------------------------------------------

DWORD DeviceDescriptor(Io& io, SimDisk& d) {
    const std::string texts[] = {d.vendor, d.product, d.revision, d.serial};
    std::vector<uint8_t> reply(sizeof(STORAGE_DEVICE_DESCRIPTOR), 0);
    DWORD offsets[4];
    for (int i = 0; i < 4; ++i) {
        offsets[i] = DWORD(reply.size());
        reply.insert(reply.end(), texts[i].begin(), texts[i].end());
        reply.push_back(0);
    }
    STORAGE_DEVICE_DESCRIPTOR desc = {};
    desc.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    desc.Size = DWORD(reply.size());
    desc.DeviceType = 0; // direct-access block device
    desc.RemovableMedia = d.kind == DiskKind::Usb;
    desc.CommandQueueing = d.kind != DiskKind::Usb;
    desc.VendorIdOffset = offsets[0];
    desc.ProductIdOffset = offsets[1];
    desc.ProductRevisionOffset = offsets[2];
    desc.SerialNumberOffset = offsets[3];
    desc.BusType = STORAGE_BUS_TYPE(d.busType);
    std::memcpy(reply.data(), &desc, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
    if (io.outSize < 8) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    // A short buffer receives the start of the descriptor; Size tells the whole.
    io.returned = std::min<DWORD>(io.outSize, DWORD(reply.size()));
    std::memcpy(io.out, reply.data(), io.returned);
    io.f.Num("bus_type", d.busType);
    return 0;
}

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
        if (q.PropertyId != StorageDeviceProtocolSpecificProperty &&
            q.PropertyId != StorageAdapterProtocolSpecificProperty) {
            return ERROR_INVALID_PARAMETER;
        }
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

DWORD QueryProperty(Io& io) {
    if (io.in.size() < sizeof(STORAGE_PROPERTY_QUERY)) {
        return ERROR_BAD_LENGTH;
    }
    auto q = Read<STORAGE_PROPERTY_QUERY>(io.in);
    io.f.Num("property_id", q.PropertyId);
    io.f.Num("query_type", q.QueryType);
    if (!io.disk) {
        return ERROR_INVALID_FUNCTION;
    }
    switch (q.PropertyId) {
    case StorageDeviceProperty:
        if (q.QueryType == PropertyExistsQuery) {
            return 0;
        }
        if (q.QueryType != PropertyStandardQuery) {
            return ERROR_INVALID_PARAMETER;
        }
        return DeviceDescriptor(io, *io.disk);
    case StorageAdapterProtocolSpecificProperty:
    case StorageDeviceProtocolSpecificProperty:
        if (io.handle.kind != DeviceHandle::Disk) {
            return ERROR_INVALID_FUNCTION;
        }
        return ProtocolSpecific(io, *io.disk, q);
    default:
        return ERROR_NOT_SUPPORTED;
    }
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
    auto* outHeader = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(io.out);
    outHeader->ReturnStatus =
        c.Ok() ? STORAGE_PROTOCOL_STATUS_SUCCESS : STORAGE_PROTOCOL_STATUS_ERROR;
    outHeader->ErrorCode = uint32_t(c.status.sct) << 8 | c.status.sc;
    outHeader->FixedProtocolReturnData = c.dw0;
    io.f.Num("return_status", outHeader->ReturnStatus);
    if (!c.Ok()) {
        return ERROR_IO_DEVICE;
    }
    if (fromLen) {
        std::memcpy(io.out + pc.DataFromDeviceBufferOffset, data.data(), fromLen);
    }
    io.returned = io.outSize;
    return 0;
}

// --- IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_SCSI_GET_ADDRESS ------------------------------

DWORD GetDeviceNumber(Io& io) {
    if (!io.disk) {
        return ERROR_INVALID_FUNCTION;
    }
    if (io.pc.TakeFault(*io.disk, "no_device_number")) {
        return ERROR_INVALID_FUNCTION;
    }
    if (io.outSize < sizeof(STORAGE_DEVICE_NUMBER)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    STORAGE_DEVICE_NUMBER n = {};
    n.DeviceType = FILE_DEVICE_DISK;
    n.DeviceNumber = io.disk->driveNumber;
    n.PartitionNumber = 0;
    if (io.handle.kind == DeviceHandle::Volume) {
        n.PartitionNumber =
            DWORD(io.disk->volumes.find(char(std::towupper(wint_t(io.handle.letter)))) + 1);
    }
    std::memcpy(io.out, &n, sizeof(n));
    io.returned = sizeof(n);
    io.f.Num("device_type", n.DeviceType);
    io.f.Num("device_number", n.DeviceNumber);
    io.f.Num("partition_number", n.PartitionNumber);
    return 0;
}

DWORD GetScsiAddress(Io& io) {
    if (!io.disk) {
        return ERROR_INVALID_FUNCTION;
    }
    if (io.pc.TakeFault(*io.disk, "no_scsi_address")) {
        return ERROR_INVALID_FUNCTION;
    }
    if (io.outSize < sizeof(SCSI_ADDRESS)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    SCSI_ADDRESS a = {};
    a.Length = sizeof(SCSI_ADDRESS);
    a.PortNumber = io.disk->scsiPort;
    a.PathId = io.disk->scsiPath;
    a.TargetId = io.disk->scsiTarget;
    a.Lun = io.disk->scsiLun;
    std::memcpy(io.out, &a, sizeof(a));
    io.returned = sizeof(a);
    io.f.Num("length", a.Length);
    io.f.Num("port_number", a.PortNumber);
    io.f.Num("path_id", a.PathId);
    io.f.Num("target_id", a.TargetId);
    io.f.Num("lun", a.Lun);
    return 0;
}

// --- IOCTL_SCSI_PASS_THROUGH_DIRECT, IOCTL_ATA_PASS_THROUGH_DIRECT -----------------------

// ATA commands of SATA disks, through ATA pass-through or the SAT CDBs. The SATA drive model
// joins here; until then every ATA command is refused.
DWORD AtaCommand(Io& io, SimDisk& d) {
    (void)io;
    (void)d;
    return ERROR_INVALID_FUNCTION;
}

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
    if (rq.dir == ScsiDir::Out) {
        io.f.Data(rq.data, rq.length);
    }
    ScsiReply reply;
    SimDisk& d = *io.disk;
    if (d.kind == DiskKind::Usb) {
        reply = d.bridge->Execute(*d.host, rq);
    } else if (d.kind == DiskKind::Sata && (rq.cdb[0] == 0x85 || rq.cdb[0] == 0xA1)) {
        const DWORD error = AtaCommand(io, d);
        reply = error ? ScsiReply::Check(0x05, 0x20, 0x00) : ScsiReply::Good(rq.length);
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
    auto* outSp = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(io.out);
    std::memcpy(io.out, io.in.data(), sizeof(sp));
    outSp->ScsiStatus = reply.status;
    outSp->DataTransferLength = std::min(reply.transferred, rq.length);
    const uint8_t senseLen = std::min<uint8_t>(sp.SenseInfoLength, reply.senseLength);
    if (senseLen) {
        std::memcpy(io.out + sp.SenseInfoOffset, reply.sense, senseLen);
    }
    outSp->SenseInfoLength = senseLen;
    io.f.Num("scsi_status", reply.status);
    if (rq.dir == ScsiDir::In) {
        io.f.Data(rq.data, outSp->DataTransferLength);
    } else if (rq.dir == ScsiDir::Unspecified) {
        io.f.Data(rq.data, 0);
    }
    io.returned = std::max<DWORD>(sizeof(sp), sp.SenseInfoOffset + senseLen);
    return 0;
}

DWORD AtaPassThrough(Io& io) {
    if (io.in.size() < sizeof(ATA_PASS_THROUGH_DIRECT)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto ap = Read<ATA_PASS_THROUGH_DIRECT>(io.in);
    io.f.Num("length", ap.Length);
    io.f.Num("ata_flags", ap.AtaFlags);
    io.f.Num("transfer_len", ap.DataTransferLength);
    io.f.Num("timeout", ap.TimeOutValue);
    io.f.Hex("prev_tf", ap.PreviousTaskFile, 8);
    io.f.Hex("cur_tf", ap.CurrentTaskFile, 8);
    if (!io.disk || io.handle.kind != DeviceHandle::Disk) {
        return ERROR_INVALID_FUNCTION;
    }
    if (ap.Length != sizeof(ATA_PASS_THROUGH_DIRECT) || io.outSize < sizeof(ap) ||
        ap.TimeOutValue == 0 || (ap.DataTransferLength && ap.DataBuffer == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (io.disk->kind != DiskKind::Sata) {
        return ERROR_INVALID_FUNCTION;
    }
    return AtaCommand(io, *io.disk);
}

// --- IOCTL_SCSI_MINIPORT (Intel RST) -----------------------------------------------------

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
    reinterpret_cast<SRB_IO_CONTROL*>(io.out)->ReturnCode = c.Ok() ? 0 : 1;
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
        auto dl = Read<STORAGE_FIRMWARE_DOWNLOAD_V2>(io.in, frb.DataBufferOffset);
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

// --- native firmware requests ------------------------------------------------------------

DWORD FirmwareDownload(Io& io) {
    const size_t imageAt = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
    if (io.in.size() < imageAt) {
        return ERROR_INVALID_PARAMETER;
    }
    auto fw = Read<STORAGE_HW_FIRMWARE_DOWNLOAD>(io.in);
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
    if (fw.Version != sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) || fw.BufferSize == 0 ||
        fw.BufferSize > avail || fw.Size < imageAt + fw.BufferSize || fw.Size > io.in.size() ||
        fw.BufferSize % 4 || fw.Offset % 4 ||
        !(fw.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER)) {
        return ERROR_INVALID_PARAMETER;
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
    if (fa.Version != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        fa.Size != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        !(fa.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) || fa.Slot == 0 ||
        fa.Slot > kNvmeFirmwareSlots) {
        return ERROR_INVALID_PARAMETER;
    }
    // The drive cannot activate without a reset: the image goes into the slot (or the slot is
    // chosen) to run after the next reset, and the request reports that a power cycle is due.
    const bool existing = fa.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;
    NvmeCommand cmd;
    cmd.cdw[0] = kNvmeFirmwareCommit;
    cmd.cdw[10] = fa.Slot | (existing ? 2u : 1u) << 3;
    std::vector<uint8_t> none;
    const NvmeCompletion c = RunAdmin(*io.disk->nvme, cmd, NvmeXfer::None, none);
    if (!c.Ok()) {
        if (c.status.sct == 1 && c.status.sc == nvme_status::kInvalidFirmwareSlot.sc) {
            return DWORD(STG_E_FIRMWARE_SLOT_INVALID);
        }
        if (c.status.sct == 1 && c.status.sc == nvme_status::kInvalidFirmwareImage.sc) {
            return DWORD(STG_E_FIRMWARE_IMAGE_INVALID);
        }
        return ERROR_IO_DEVICE;
    }
    return DWORD(STG_S_POWER_CYCLE_REQUIRED);
}

DWORD Dispatch(Io& io) {
    switch (io.code) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(io);
    case IOCTL_STORAGE_PROTOCOL_COMMAND:
        return ProtocolCommand(io);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return GetDeviceNumber(io);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetScsiAddress(io);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return ScsiPassThrough(io);
    case IOCTL_ATA_PASS_THROUGH_DIRECT:
        return AtaPassThrough(io);
    case IOCTL_SCSI_MINIPORT:
        return Miniport(io);
    case IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
        return FirmwareDownload(io);
    case IOCTL_STORAGE_FIRMWARE_ACTIVATE:
        return FirmwareActivate(io);
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

} // namespace

HANDLE OpenDevice(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    (void)flags;
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    auto h = std::make_shared<DeviceHandle>();
    h->path = path ? path : L"";
    h->access = access;
    h->share = share;
    DWORD error = 0;
    const std::wstring lower = path ? Lower(path) : std::wstring();
    const std::wstring prefix = L"\\\\.\\";
    SimDisk* disk = nullptr;
    uint32_t n = 0;
    if (lower.compare(0, prefix.size(), prefix) != 0) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (lower.compare(4, 13, L"physicaldrive") == 0 &&
               ParseNumberSuffix(lower, 17, lower.size(), n)) {
        disk = pc.DiskByDrive(n);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    } else if (lower.size() == 6 && std::iswalpha(wint_t(lower[4])) && lower[5] == L':') {
        h->kind = DeviceHandle::Volume;
        h->letter = wchar_t(std::towupper(wint_t(lower[4])));
        disk = pc.DiskByVolume(h->letter);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    } else if (lower.compare(4, 4, L"scsi") == 0 && lower.back() == L':' &&
               ParseNumberSuffix(lower, 8, lower.size() - 1, n)) {
        h->kind = DeviceHandle::Port;
        h->port = n;
        error = pc.PortExists(n) ? 0 : ERROR_FILE_NOT_FOUND;
    } else {
        disk = pc.DiskByInterface(lower);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    }
    if (!error && disposition != OPEN_EXISTING) {
        error = ERROR_INVALID_PARAMETER;
    }
    h->epoch = pc.epoch;
    if (disk) {
        h->disk = disk->index;
        h->generation = disk->generation;
    }
    if (!error && disk && pc.TakeFault(*disk, "open_fail")) {
        error = ERROR_ACCESS_DENIED;
    }
    if (!error && SharingConflict(*h)) {
        error = ERROR_SHARING_VIOLATION;
    }
    HANDLE result = INVALID_HANDLE_VALUE;
    if (!error) {
        OpenHandles().push_back(h);
        result = NewHandle(h);
    }
    if (TraceOn()) {
        TraceFields f;
        f.Num("access", access);
        f.Num("share", share);
        f.Num("disposition", disposition);
        f.Bool("ok", error == 0);
        f.Num("error", error);
        if (disk) {
            f.Str("disk", disk->name);
        }
        TraceWrite("CreateFileW", ",\"path\":" + JsonString(Narrow(h->path)), f);
    }
    if (error) {
        SetLastError(error);
    }
    return result;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
    auto handle = GetHandleAs<DeviceHandle>(device);
    if (!handle) {
        SetLastError(GetHandleObject(device) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::unique_lock<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* disk = nullptr;
    DWORD error = 0;
    if (!AccessAllows(*handle, code)) {
        error = ERROR_ACCESS_DENIED;
    } else if (handle->epoch != pc.epoch) {
        error = ERROR_NO_SUCH_DEVICE; // opened on a PC that has been replaced
    } else if (handle->kind == DeviceHandle::Port) {
        if (!pc.PortExists(handle->port)) {
            error = ERROR_NO_SUCH_DEVICE;
        }
    } else if (handle->disk >= 0 && size_t(handle->disk) < pc.disks.size()) {
        disk = pc.disks[size_t(handle->disk)].get();
        if (disk->removed || disk->generation != handle->generation) {
            error = ERROR_NO_SUCH_DEVICE; // the device went away under the handle
            disk = nullptr;
        }
    } else {
        error = ERROR_NO_SUCH_DEVICE;
    }
    if (!error && (overlapped || !returned)) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (!error && ((inSize && !in) || (outSize && !out))) {
        error = ERROR_INVALID_USER_BUFFER;
    }
    const uint8_t* inBytes = static_cast<const uint8_t*>(in);
    Io io{pc, *handle, disk, code, std::vector<uint8_t>(), static_cast<uint8_t*>(out), outSize};
    if (in) {
        io.in.assign(inBytes, inBytes + inSize);
    }
    const std::string inHex = TraceOn() ? HexText(io.in.data(), io.in.size()) : std::string();
    if (!error && disk) {
        for (const auto& fault : disk->faults) {
            if (fault.kind == "slow" && fault.count != 0) {
                const DWORD ms = DWORD(std::strtoul(fault.arg.c_str(), nullptr, 10));
                guard.unlock();
                Sleep(ms);
                guard.lock();
                break;
            }
        }
        if (disk->removed || disk->generation != handle->generation) {
            error = ERROR_NO_SUCH_DEVICE;
        } else if (pc.TakeFault(*disk, "ioctl_fail", IoctlName(code))) {
            error = ERROR_IO_DEVICE;
        }
    }
    if (!error) {
        error = Dispatch(io);
    }
    if (returned) {
        *returned = error ? 0 : io.returned;
    }
    if (TraceOn()) {
        TraceFields head;
        head.Str("path", Narrow(handle->path));
        head.Str("ioctl", IoctlName(code));
        head.Num("code", code);
        head.Num("in_len", inSize);
        head.Num("out_len", outSize);
        head.Str("in", inHex);
        head.Bool("ok", error == 0);
        head.Num("error", error);
        TraceWrite("DeviceIoControl", head.Text(), io.f);
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

} // namespace sim
