// The storage stack of the simulated PC: IoControl (DeviceIoControl on a device handle) with the
// checks made before any driver sees a request, the dispatch to the drivers, and what every disk
// answers itself (its device descriptor, device number and SCSI address).
#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/pc.h"
#include "sim/control.h"
#include "sim/stack.h"
#include "sim/trace.h"
#include "sim/windows_api.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <vector>

namespace sim {
namespace {

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
        return Refused("disk", ERROR_INSUFFICIENT_BUFFER, "the output must hold 8 bytes");
    }
    // A short buffer receives the start of the descriptor; Size tells the whole.
    io.returned = std::min<DWORD>(io.outSize, DWORD(reply.size()));
    std::memcpy(io.out, reply.data(), io.returned);
    io.trace.Num("bus_type", d.busType);
    return 0;
}

DWORD QueryProperty(Io& io) {
    if (io.in.size() < sizeof(STORAGE_PROPERTY_QUERY)) {
        return Refused("disk", ERROR_BAD_LENGTH, "the input must hold STORAGE_PROPERTY_QUERY");
    }
    auto q = Read<STORAGE_PROPERTY_QUERY>(io.in);
    io.trace.Num("property_id", q.PropertyId);
    io.trace.Num("query_type", q.QueryType);
    if (!io.disk) {
        return Refused("storport", ERROR_INVALID_FUNCTION, "a SCSI port has no properties");
    }
    switch (q.PropertyId) {
    case StorageDeviceProperty:
        if (q.QueryType == PropertyExistsQuery) {
            return 0;
        }
        if (q.QueryType != PropertyStandardQuery) {
            return Refused("disk", ERROR_INVALID_PARAMETER,
                           "QueryType must be a standard or an exists query");
        }
        return DeviceDescriptor(io, *io.disk);
    case StorageAdapterProtocolSpecificProperty:
    case StorageDeviceProtocolSpecificProperty:
        if (io.handle.kind != DeviceHandle::Disk) {
            return Refused("volume", ERROR_INVALID_FUNCTION,
                           "protocol-specific queries go to the disk, not a volume");
        }
        return ProtocolSpecific(io, *io.disk, q);
    default:
        return Refused("disk", ERROR_NOT_SUPPORTED, "the PropertyId is not one the disk answers");
    }
}

// --- IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_SCSI_GET_ADDRESS ------------------------------

DWORD GetDeviceNumber(Io& io) {
    if (!io.disk) {
        return Refused("storport", ERROR_INVALID_FUNCTION, "a SCSI port has no device number");
    }
    if (io.pc.TakeFault(*io.disk, "no_device_number")) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "fault no_device_number");
    }
    if (io.outSize < sizeof(STORAGE_DEVICE_NUMBER)) {
        return Refused("disk", ERROR_INSUFFICIENT_BUFFER,
                       "the output must hold STORAGE_DEVICE_NUMBER");
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
    io.trace.Num("device_type", n.DeviceType);
    io.trace.Num("device_number", n.DeviceNumber);
    io.trace.Num("partition_number", n.PartitionNumber);
    return 0;
}

DWORD GetScsiAddress(Io& io) {
    if (!io.disk) {
        return Refused("storport", ERROR_INVALID_FUNCTION, "a SCSI port has no SCSI address");
    }
    if (io.pc.TakeFault(*io.disk, "no_scsi_address")) {
        return Refused("disk", ERROR_INVALID_FUNCTION, "fault no_scsi_address");
    }
    if (io.outSize < sizeof(SCSI_ADDRESS)) {
        return Refused("disk", ERROR_INSUFFICIENT_BUFFER, "the output must hold SCSI_ADDRESS");
    }
    SCSI_ADDRESS a = {};
    a.Length = sizeof(SCSI_ADDRESS);
    a.PortNumber = io.disk->scsiPort;
    a.PathId = io.disk->scsiPath;
    a.TargetId = io.disk->scsiTarget;
    a.Lun = io.disk->scsiLun;
    std::memcpy(io.out, &a, sizeof(a));
    io.returned = sizeof(a);
    io.trace.Num("length", a.Length);
    io.trace.Num("port_number", a.PortNumber);
    io.trace.Num("path_id", a.PathId);
    io.trace.Num("target_id", a.TargetId);
    io.trace.Num("lun", a.Lun);
    return 0;
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
        return Refused("disk", ERROR_INVALID_FUNCTION, "no driver of the stack knows the code");
    }
}

} // namespace

namespace {

std::mutex g_observerLock;
AdminObserver g_observer;

} // namespace

void SetAdminObserver(AdminObserver observer) {
    std::lock_guard<std::mutex> guard(g_observerLock);
    g_observer = std::move(observer);
}

NvmeCompletion RunAdmin(NvmeDrive& drive, const NvmeCommand& cmd, NvmeXfer dir,
                        std::vector<uint8_t>& data) {
    NvmeAdminRequest rq;
    rq.cmd = cmd;
    rq.dir = data.empty() ? NvmeXfer::None : dir;
    rq.data = data.empty() ? nullptr : data.data();
    rq.length = uint32_t(data.size());
    const NvmeCompletion done = drive.Admin(rq);
    std::lock_guard<std::mutex> guard(g_observerLock);
    if (g_observer) {
        g_observer(drive, rq, done);
    }
    return done;
}

namespace {

// The disk (or port) a handle names on the current PC, or the error of a handle whose device
// is gone: the PC it was opened on was replaced, the disk left, or the port has no disk.
DWORD HandleTarget(Pc& pc, const DeviceHandle& handle, SimDisk*& disk) {
    disk = nullptr;
    if (handle.epoch != pc.epoch) {
        return ERROR_NO_SUCH_DEVICE; // opened on a PC that has been replaced
    }
    if (handle.kind == DeviceHandle::Port) {
        return pc.PortExists(handle.port) ? 0 : ERROR_NO_SUCH_DEVICE;
    }
    if (handle.disk < 0 || size_t(handle.disk) >= pc.disks.size()) {
        return ERROR_NO_SUCH_DEVICE;
    }
    SimDisk* d = pc.disks[size_t(handle.disk)].get();
    if (d->removed || d->generation != handle.generation) {
        return ERROR_NO_SUCH_DEVICE; // the device went away under the handle
    }
    disk = d;
    return 0;
}

// How long a slow disk makes this request wait (program ms), 0 for none.
DWORD SlowWait(const DeviceHandle& handle) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* disk = nullptr;
    if (HandleTarget(pc, handle, disk) != 0 || disk == nullptr) {
        return 0;
    }
    const Fault* slow = pc.StrikeFault(*disk, "slow");
    return slow ? DWORD(std::strtoul(slow->arg.c_str(), nullptr, 10)) : 0;
}

} // namespace

namespace {

// What the I/O manager checks before any driver sees the request: the handle's rights, that
// its device is still there, the call's form and the buffers; 0 when it passes.
DWORD CheckCall(Pc& pc, const DeviceHandle& handle, DWORD code, const void* in, DWORD inSize,
                const void* out, DWORD outSize, const DWORD* returned, const void* overlapped,
                SimDisk*& disk) {
    disk = nullptr;
    if (!AccessAllows(handle, code)) {
        return Refused("I/O manager", ERROR_ACCESS_DENIED,
                       "the handle lacks the access the control code requires");
    }
    if (const DWORD error = HandleTarget(pc, handle, disk)) {
        return Refused("I/O manager", error, "the handle's device is gone");
    }
    if (overlapped) {
        return Refused("I/O manager", ERROR_INVALID_PARAMETER,
                       "the handle was not opened for overlapped I/O");
    }
    if (!returned) {
        return Refused("I/O manager", ERROR_INVALID_PARAMETER,
                       "lpBytesReturned must be given without an OVERLAPPED");
    }
    if ((inSize && !in) || (outSize && !out)) {
        return Refused("I/O manager", ERROR_INVALID_USER_BUFFER,
                       "a buffer with a size has no address");
    }
    return 0;
}

void TraceCall(const DeviceHandle& handle, const Io& io, DWORD inSize, DWORD outSize,
               const std::string& inHex, DWORD error, const std::string& refused) {
    TraceFields head;
    head.Str("path", Narrow(handle.path));
    head.Str("ioctl", IoctlName(io.code));
    head.Num("code", io.code);
    head.Num("in_len", inSize);
    head.Num("out_len", outSize);
    head.Str("in", inHex);
    head.Bool("ok", error == 0);
    head.Num("error", error);
    if (!refused.empty()) {
        head.Str("refused", refused);
    }
    TraceWrite("DeviceIoControl", head.Text(), io.trace);
}

} // namespace

BOOL IoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
               LPDWORD returned, LPOVERLAPPED overlapped) {
    auto handle = GetHandleAs<DeviceHandle>(device);
    if (!handle) {
        SetLastError(GetHandleObject(device) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A slow disk takes its time before it answers. The wait runs without the PC's lock, so
    // the PC may change meanwhile (even be replaced): everything is looked up afresh after it.
    if (const DWORD ms = AccessAllows(*handle, code) ? SlowWait(*handle) : 0) {
        WaitForSlowDisk(ms);
    }
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    TakeRefusal(); // what an earlier request of this thread left unread
    SimDisk* disk = nullptr;
    DWORD error =
        CheckCall(pc, *handle, code, in, inSize, out, outSize, returned, overlapped, disk);
    const uint8_t* inBytes = static_cast<const uint8_t*>(in);
    Io io{pc, *handle, disk, code, std::vector<uint8_t>(), static_cast<uint8_t*>(out), outSize};
    if (in) {
        io.in.assign(inBytes, inBytes + inSize);
    }
    const std::string inHex = TraceOn() ? HexText(io.in.data(), io.in.size()) : std::string();
    if (!error && disk && pc.TakeFault(*disk, "ioctl_fail", IoctlName(code))) {
        error = Refused("disk", ERROR_IO_DEVICE, "fault ioctl_fail");
    }
    if (!error) {
        error = Dispatch(io);
    }
    if (returned) {
        *returned = error ? 0 : io.returned;
    }
    const std::string refused = TakeRefusal();
    if (TraceOn()) {
        TraceCall(*handle, io, inSize, outSize, inHex, error, refused);
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

} // namespace sim
