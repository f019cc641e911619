// The storage stack of the simulated PC as its drivers share it: the object behind a device
// handle, one DeviceIoControl request as the drivers see it, and the entry of each driver that
// the dispatch in sim/stack.cpp calls. Internal to the storage stack's files: device_handles.cpp,
// stack.cpp, stornvme.cpp, scsi_ata.cpp and rst_miniport.cpp.
#pragma once

#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/nvme_drive.h"
#include "sim/pc.h"
#include "sim/refusal.h"
#include "sim/trace.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

// What a handle opened on a device path names (a disk, one of its volumes or a SCSI port of the
// PC it was opened on) and how it was opened.
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

// The I/O manager refuses a control code whose RequiredAccess bits (14-15) name a right the
// handle was not opened with, before any driver sees the request.
bool AccessAllows(const DeviceHandle& handle, DWORD code);

// A copy of the structure at `offset` of the input; the caller checks that sizeof(T) bytes are
// there.
template <class T> T Read(const std::vector<uint8_t>& in, size_t offset = 0) {
    T v;
    std::memcpy(&v, in.data() + offset, sizeof(T));
    return v;
}

// A copy of the fixed part of a structure that ends in a variable-length array (its first
// `bytes` bytes, the rest zero); the caller checks that those bytes are there.
template <class T> T ReadHead(const std::vector<uint8_t>& in, size_t offset, size_t bytes) {
    T v;
    std::memset(&v, 0, sizeof(T));
    std::memcpy(&v, in.data() + offset, bytes < sizeof(T) ? bytes : sizeof(T));
    return v;
}

// Copies a structure into the caller's output buffer, which need not be aligned for it.
template <class T> void Write(uint8_t* out, const T& value) {
    std::memcpy(out, &value, sizeof(T));
}

// One request as the handlers see it. `in` is a copy of the input buffer as given, so that
// handlers may write the output buffer even when the caller passed the same one. `trace` holds
// the fields the handlers add to the request's trace record, after the fixed ones.
struct Io {
    Pc& pc;
    DeviceHandle& handle;
    SimDisk* disk; // null for a port handle
    DWORD code;
    std::vector<uint8_t> in;
    uint8_t* out;
    DWORD outSize;
    DWORD returned = 0;
    TraceFields trace;
};

// A refusal of the request by a driver of the stack: the reason is noted (sim/refusal.h) and
// the error returned, so that the refusing check reads `return Refused(party, error, why);`.
inline DWORD Refused(const char* party, DWORD error, const std::string& reason) {
    NoteRefusal(party, reason);
    return error;
}

// True when every byte of a reserved field is zero.
template <size_t N> bool Zero(const uint8_t (&bytes)[N]) {
    for (uint8_t b : bytes) {
        if (b != 0) {
            return false;
        }
    }
    return true;
}

// Runs one admin command on the drive, with a temporary buffer for the data.
NvmeCompletion RunAdmin(NvmeDrive& drive, const NvmeCommand& cmd, NvmeXfer dir,
                        std::vector<uint8_t>& data);

// The inbox NVMe driver, stornvme (sim/stornvme.cpp): the protocol-specific data of
// IOCTL_STORAGE_QUERY_PROPERTY, IOCTL_STORAGE_PROTOCOL_COMMAND, and the native
// IOCTL_STORAGE_FIRMWARE_DOWNLOAD and IOCTL_STORAGE_FIRMWARE_ACTIVATE.
DWORD ProtocolSpecific(Io& io, SimDisk& d, const STORAGE_PROPERTY_QUERY& q);
DWORD ProtocolCommand(Io& io);
DWORD FirmwareDownload(Io& io);
DWORD FirmwareActivate(Io& io);

// How the Windows storage drivers (stornvme, the RST miniport) activate a firmware image in a
// slot: they commit it (the downloaded image, or the one already in the slot) and ask the drive
// to run it now; a drive that needs a controller reset gets one from the driver (the disk
// leaves and comes back), one that needs a power cycle runs it after the next power-on.
enum class ActivateOutcome {
    Running,
    Reset,
    PowerCycleRequired,
    SlotInvalid,
    ImageInvalid,
    Failed
};
ActivateOutcome ActivateFirmware(Pc& pc, SimDisk& disk, int slot, bool existing);

// SCSI and ATA pass-through (sim/scsi_ata.cpp): IOCTL_SCSI_PASS_THROUGH_DIRECT to a USB disk's
// bridge or the disk's port driver, IOCTL_ATA_PASS_THROUGH_DIRECT and the SAT CDBs to the ATA
// commands of SATA disks.
DWORD ScsiPassThrough(Io& io);
DWORD AtaPassThrough(Io& io);

// The Intel RST miniport (sim/rst_miniport.cpp): IOCTL_SCSI_MINIPORT on a SCSI port with the
// "IntelNvm" pass-through and the "IntelFw " firmware requests.
DWORD Miniport(Io& io);

} // namespace sim
