// The storage I/O controls of a disk handle, served from sysfs and the kernel's NVMe driver the
// way the Windows storage stack answers them: the device number and SCSI address, the device
// descriptor, the NVMe protocol-specific queries and protocol command, and the firmware download
// and activate requests.
#include "platform/linux/nvme_admin.h"
#include "platform/linux/objects.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

namespace {

const uint32_t kMaxTransfer = 1u << 20;     // the largest data a request may carry here
const uint32_t kAdminTimeoutMs = 10000;     // Identify, logs, firmware pieces
const uint32_t kActivateTimeoutMs = 120000; // a commit may take the drive a while

// Admin opcodes.
enum {
    kGetLogPage = 0x02,
    kIdentify = 0x06,
    kFirmwareCommit = 0x10,
    kFirmwareDownload = 0x11,
};

// Firmware Commit CDW10: the slot in bits 0..2, the commit action from bit 3.
uint32_t CommitCdw10(uint32_t slot, uint32_t action) {
    return (slot & 7u) | (action & 7u) << 3;
}
// Get Log Page CDW10: the log id in bits 0..7, the low 16 bits of the zero-based dword count in
// bits 16..31 (the high 16 go to CDW11).
uint32_t LogPageCdw10(uint32_t logId, uint32_t dwordsMinusOne) {
    return (logId & 0xFFu) | (dwordsMinusOne & 0xFFFFu) << 16;
}

DWORD ErrorOfErrno(int negativeErrno) {
    switch (-negativeErrno) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENODEV:
    case ENXIO:
    case ENOENT:
    case ENETRESET:
        return ERROR_NO_SUCH_DEVICE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION;
    default:
        return ERROR_IO_DEVICE;
    }
}

// A zero-filled, page-aligned buffer for the data of one command.
uint8_t* NewData(uint32_t length) {
    if (length == 0 || length > kMaxTransfer) {
        return NULL;
    }
    void* p = NULL;
    if (posix_memalign(&p, 4096, length) != 0) {
        return NULL;
    }
    memset(p, 0, length);
    return (uint8_t*)p;
}

uint32_t Get32(const BYTE* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Whether the controller is live. One that is resetting or reconnecting holds every command
// until it is back or removed (for a fabrics controller: until its loss timeout, minutes); on
// Windows a disk that is away fails its requests at once, and so do they here.
bool ControllerLive(const LxDiskHandle* h) {
    char path[LX_PATH_CHARS];
    char state[LX_NAME_CHARS];
    return snprintf(path, sizeof(path), "%s/class/nvme/%s/state", LxSysRoot(), h->disk.controller) <
               (int)sizeof(path) &&
           LxReadText(path, state, sizeof(state)) > 0 && strcmp(state, "live") == 0;
}

// Sends one admin command of the program, or of the backend itself; -ENODEV, without sending it,
// when the controller is not live.
int Admin(LxDiskHandle* h, int origin, uint32_t cdw[16], int direction, uint8_t* data,
          uint32_t length, uint32_t timeoutMs, uint32_t* result) {
    *result = 0;
    if (!ControllerLive(h)) {
        return -ENODEV;
    }
    LxNvmeCommand command;
    memcpy(command.cdw, cdw, sizeof(command.cdw));
    command.direction = direction;
    command.data = data;
    command.length = length;
    command.timeoutMs = timeoutMs;
    return LxNvmeAdmin(h->fd, h->disk.controller, origin, &command, result);
}

DWORD GetDeviceNumber(LxDiskHandle* h, BYTE* out, DWORD outSize, DWORD* returned) {
    STORAGE_DEVICE_NUMBER number;
    if (outSize < sizeof(number)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memset(&number, 0, sizeof(number));
    number.DeviceType = FILE_DEVICE_DISK;
    number.DeviceNumber = h->driveNumber;
    number.PartitionNumber = 0;
    memcpy(out, &number, sizeof(number));
    *returned = sizeof(number);
    return 0;
}

// A SCSI disk's host, channel, target and LUN; an NVMe namespace has no SCSI address on Linux.
DWORD GetScsiAddress(LxDiskHandle* h, BYTE* out, DWORD outSize, DWORD* returned) {
    if (h->disk.kind != LX_DISK_SCSI || h->disk.scsi[0] > 0xFF || h->disk.scsi[1] > 0xFF ||
        h->disk.scsi[2] > 0xFF || h->disk.scsi[3] > 0xFF) {
        return ERROR_INVALID_FUNCTION;
    }
    SCSI_ADDRESS address;
    if (outSize < sizeof(address)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    address.Length = sizeof(address);
    address.PortNumber = (UCHAR)h->disk.scsi[0];
    address.PathId = (UCHAR)h->disk.scsi[1];
    address.TargetId = (UCHAR)h->disk.scsi[2];
    address.Lun = (UCHAR)h->disk.scsi[3];
    memcpy(out, &address, sizeof(address));
    *returned = sizeof(address);
    return 0;
}

// Appends a sysfs text to the descriptor's strings; its offset, or 0 when there is none.
DWORD AddDescriptorText(const char* folder, const char* file, BYTE* strings, DWORD* used,
                        DWORD capacity) {
    char path[LX_PATH_CHARS];
    char text[LX_TEXT_CHARS];
    int n =
        LxJoin(path, sizeof(path), folder, file) >= 0 ? LxReadText(path, text, sizeof(text)) : -1;
    if (n <= 0 || *used + (DWORD)n + 1 > capacity) {
        return 0;
    }
    DWORD at = *used;
    memcpy(strings + at, text, (size_t)n + 1);
    *used += (DWORD)n + 1;
    return (DWORD)sizeof(STORAGE_DEVICE_DESCRIPTOR) + at;
}

// The device descriptor: the fixed part, then as much of the texts (vendor, product, revision,
// serial number) as the buffer holds; Size is always the whole.
DWORD DeviceDescriptor(LxDiskHandle* h, BYTE* out, DWORD outSize, DWORD* returned) {
    if (outSize < 8) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    BYTE strings[4 * LX_TEXT_CHARS];
    DWORD used = 0;
    STORAGE_DEVICE_DESCRIPTOR d;
    memset(&d, 0, sizeof(d));
    char controller[LX_PATH_CHARS];
    const char* identity = h->disk.device; // the SCSI device's vendor, model, rev
    if (h->disk.kind == LX_DISK_NVME) {
        char link[LX_PATH_CHARS];
        if (LxJoin(link, sizeof(link), h->disk.node, "device") < 0 ||
            LxResolve(LxSysRoot(), link, controller, sizeof(controller)) < 0) {
            controller[0] = 0;
        }
        identity = controller;
        d.ProductIdOffset = AddDescriptorText(identity, "model", strings, &used, sizeof(strings));
        d.ProductRevisionOffset =
            AddDescriptorText(identity, "firmware_rev", strings, &used, sizeof(strings));
        d.SerialNumberOffset =
            AddDescriptorText(identity, "serial", strings, &used, sizeof(strings));
    } else {
        d.VendorIdOffset = AddDescriptorText(identity, "vendor", strings, &used, sizeof(strings));
        d.ProductIdOffset = AddDescriptorText(identity, "model", strings, &used, sizeof(strings));
        d.ProductRevisionOffset =
            AddDescriptorText(identity, "rev", strings, &used, sizeof(strings));
    }
    char path[LX_PATH_CHARS];
    char removable[8];
    d.RemovableMedia = LxJoin(path, sizeof(path), h->disk.node, "removable") >= 0 &&
                       LxReadText(path, removable, sizeof(removable)) == 1 && removable[0] == '1';
    d.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    d.Size = (DWORD)sizeof(STORAGE_DEVICE_DESCRIPTOR) + used;
    d.DeviceType = 0; // a direct-access device
    d.BusType = (STORAGE_BUS_TYPE)h->disk.busType;
    DWORD n = outSize < sizeof(d) ? outSize : (DWORD)sizeof(d);
    memcpy(out, &d, n);
    if (outSize > sizeof(d)) {
        DWORD more = outSize - (DWORD)sizeof(d) < used ? outSize - (DWORD)sizeof(d) : used;
        memcpy(out + sizeof(d), strings, more);
        n += more;
    }
    *returned = n;
    return 0;
}

// Identify and Get Log Page through the protocol-specific property queries.
DWORD ProtocolSpecific(LxDiskHandle* h, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                       DWORD* returned) {
    const size_t psdAt = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    if (inSize < psdAt + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (h->disk.kind != LX_DISK_NVME) {
        return ERROR_NOT_SUPPORTED;
    }
    STORAGE_PROTOCOL_SPECIFIC_DATA psd;
    memcpy(&psd, in + psdAt, sizeof(psd));
    if (Get32(in + offsetof(STORAGE_PROPERTY_QUERY, QueryType)) != PropertyStandardQuery ||
        psd.ProtocolType != ProtocolTypeNvme ||
        psd.ProtocolDataOffset < sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) ||
        psd.ProtocolDataLength == 0 || psd.ProtocolDataLength > kMaxTransfer ||
        psd.ProtocolDataOffset > kMaxTransfer) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint64_t dataAt = psdAt + (uint64_t)psd.ProtocolDataOffset;
    if (dataAt + psd.ProtocolDataLength > outSize) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    uint32_t cdw[16];
    memset(cdw, 0, sizeof(cdw));
    uint32_t length = psd.ProtocolDataLength;
    if (psd.DataType == NVMeDataTypeIdentify) {
        if (length < 4096) {
            return ERROR_INVALID_PARAMETER;
        }
        length = 4096; // an Identify structure; the rest of the area stays zero
        cdw[0] = kIdentify;
        cdw[1] = psd.ProtocolDataRequestSubValue;
        cdw[10] = psd.ProtocolDataRequestValue & 0xFF;
    } else if (psd.DataType == NVMeDataTypeLogPage) {
        if (length % 4 != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        const uint32_t dwordsMinusOne = length / 4 - 1;
        cdw[0] = kGetLogPage;
        cdw[1] = 0xFFFFFFFF;
        cdw[10] = LogPageCdw10(psd.ProtocolDataRequestValue, dwordsMinusOne);
        cdw[11] = dwordsMinusOne >> 16;
        cdw[12] = psd.ProtocolDataRequestSubValue;  // offset, low
        cdw[13] = psd.ProtocolDataRequestSubValue2; // offset, high
    } else {
        return ERROR_NOT_SUPPORTED;
    }
    uint8_t* data = NewData(length);
    if (data == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    uint32_t result = 0;
    int rc = Admin(h, LX_ORIGIN_PROGRAM, cdw, LX_DIR_FROM_DEVICE, data, length, kAdminTimeoutMs,
                   &result);
    if (rc != 0) {
        free(data);
        return rc > 0 ? ERROR_IO_DEVICE : ErrorOfErrno(rc);
    }
    STORAGE_PROTOCOL_DATA_DESCRIPTOR desc;
    memset(&desc, 0, sizeof(desc));
    desc.Version = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    desc.Size = sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR);
    desc.ProtocolSpecificData = psd;
    desc.ProtocolSpecificData.FixedProtocolReturnData = result;
    memset(out, 0, (size_t)(dataAt + psd.ProtocolDataLength));
    memcpy(out, &desc, outSize < sizeof(desc) ? outSize : sizeof(desc));
    memcpy(out + dataAt, data, length);
    free(data);
    *returned = (DWORD)(dataAt + psd.ProtocolDataLength);
    return 0;
}

DWORD QueryProperty(LxDiskHandle* h, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                    DWORD* returned) {
    if (inSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) || out == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    const uint32_t property = Get32(in + offsetof(STORAGE_PROPERTY_QUERY, PropertyId));
    const uint32_t query = Get32(in + offsetof(STORAGE_PROPERTY_QUERY, QueryType));
    switch (property) {
    case StorageDeviceProperty:
        if (query == PropertyExistsQuery) {
            return 0;
        }
        if (query != PropertyStandardQuery) {
            return ERROR_INVALID_PARAMETER;
        }
        return DeviceDescriptor(h, out, outSize, returned);
    case StorageAdapterProtocolSpecificProperty:
    case StorageDeviceProtocolSpecificProperty:
        return ProtocolSpecific(h, in, inSize, out, outSize, returned);
    default:
        return ERROR_NOT_SUPPORTED;
    }
}

// Whether the Windows driver would pass the opcode: not a queue-management command, and listed
// in the controller's Commands Supported and Effects log (read once per handle).
bool DriverPasses(LxDiskHandle* h, uint8_t opcode) {
    if (opcode == 0x00 || opcode == 0x01 || opcode == 0x04 || opcode == 0x05) {
        return false;
    }
    if (h->effectsRead == 0) {
        uint8_t* log = NewData(4096);
        if (log == NULL) {
            return false;
        }
        uint32_t cdw[16];
        memset(cdw, 0, sizeof(cdw));
        cdw[0] = kGetLogPage;
        cdw[1] = 0xFFFFFFFF;
        cdw[10] = LogPageCdw10(0x05, 4096 / 4 - 1);
        uint32_t result = 0;
        int rc = Admin(h, LX_ORIGIN_PLATFORM, cdw, LX_DIR_FROM_DEVICE, log, 4096, kAdminTimeoutMs,
                       &result);
        if (rc == 0) {
            for (int i = 0; i < 256; ++i) {
                h->adminEffects[i] = Get32(log + 4 * i);
            }
            h->effectsRead = 1;
        } else {
            h->effectsRead = -1;
        }
        free(log);
    }
    return h->effectsRead == 1 && (h->adminEffects[opcode] & 1u) != 0; // CSUPP
}

DWORD ProtocolCommand(LxDiskHandle* h, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                      DWORD* returned) {
    const size_t commandAt = offsetof(STORAGE_PROTOCOL_COMMAND, Command);
    if (inSize < commandAt + STORAGE_PROTOCOL_COMMAND_LENGTH_NVME) {
        return ERROR_INVALID_PARAMETER;
    }
    if (h->disk.kind != LX_DISK_NVME) {
        return ERROR_INVALID_FUNCTION;
    }
    STORAGE_PROTOCOL_COMMAND header;
    memcpy(&header, in, commandAt);
    if (header.Version != STORAGE_PROTOCOL_STRUCTURE_VERSION ||
        header.Length != sizeof(STORAGE_PROTOCOL_COMMAND) ||
        header.ProtocolType != ProtocolTypeNvme ||
        header.CommandLength != STORAGE_PROTOCOL_COMMAND_LENGTH_NVME) {
        return ERROR_INVALID_PARAMETER;
    }
    if (header.CommandSpecific != STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND) {
        return ERROR_NOT_SUPPORTED;
    }
    const uint64_t commandEnd = commandAt + STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
    const uint32_t toLength = header.DataToDeviceTransferLength;
    const uint32_t fromLength = header.DataFromDeviceTransferLength;
    if ((toLength != 0 && fromLength != 0) || toLength > kMaxTransfer ||
        fromLength > kMaxTransfer ||
        (toLength != 0 && (header.DataToDeviceBufferOffset < commandEnd ||
                           (uint64_t)header.DataToDeviceBufferOffset + toLength > inSize)) ||
        (fromLength != 0 && (header.DataFromDeviceBufferOffset < commandEnd ||
                             (uint64_t)header.DataFromDeviceBufferOffset + fromLength > outSize)) ||
        outSize < commandAt || out == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    uint32_t cdw[16];
    for (int i = 0; i < 16; ++i) {
        cdw[i] = Get32(in + commandAt + 4 * i);
    }
    if (!DriverPasses(h, (uint8_t)(cdw[0] & 0xFF))) {
        return ERROR_INVALID_FUNCTION;
    }
    const uint32_t length = toLength != 0 ? toLength : fromLength;
    const int direction = toLength != 0     ? LX_DIR_TO_DEVICE
                          : fromLength != 0 ? LX_DIR_FROM_DEVICE
                                            : LX_DIR_NONE;
    uint8_t* data = length != 0 ? NewData(length) : NULL;
    if (length != 0 && data == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (direction == LX_DIR_TO_DEVICE) {
        memcpy(data, in + header.DataToDeviceBufferOffset, length);
    }
    uint32_t result = 0;
    const uint32_t timeoutMs = header.TimeOutValue != 0 && header.TimeOutValue < 3600
                                   ? header.TimeOutValue * 1000u
                                   : kAdminTimeoutMs;
    int rc = Admin(h, LX_ORIGIN_PROGRAM, cdw, direction, data, length, timeoutMs, &result);
    // The header goes back with the command's status, as the driver returns it.
    memmove(out, in, commandAt);
    header.ReturnStatus = rc == 0 ? STORAGE_PROTOCOL_STATUS_SUCCESS : STORAGE_PROTOCOL_STATUS_ERROR;
    header.ErrorCode = rc > 0 ? (DWORD)rc : 0;
    header.FixedProtocolReturnData = result;
    memcpy(out, &header, commandAt);
    if (rc == 0 && direction == LX_DIR_FROM_DEVICE) {
        memcpy(out + header.DataFromDeviceBufferOffset, data, length);
    }
    free(data);
    if (rc != 0) {
        return rc > 0 ? ERROR_IO_DEVICE : ErrorOfErrno(rc);
    }
    *returned = outSize;
    return 0;
}

DWORD FirmwareDownload(LxDiskHandle* h, const BYTE* in, DWORD inSize) {
    const size_t imageAt = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
    if (inSize < sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (h->disk.kind != LX_DISK_NVME) {
        return ERROR_INVALID_FUNCTION;
    }
    STORAGE_HW_FIRMWARE_DOWNLOAD fw;
    memcpy(&fw, in, imageAt);
    if (fw.Version != sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) || fw.Size > inSize ||
        fw.BufferSize == 0 || fw.BufferSize > kMaxTransfer || fw.BufferSize % 4 != 0 ||
        fw.Offset % 4 != 0 || fw.Offset / 4 > 0xFFFFFFFFu || imageAt + fw.BufferSize > inSize ||
        (fw.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (fw.Slot == 0 || fw.Slot > 7) {
        return (DWORD)STG_E_FIRMWARE_SLOT_INVALID;
    }
    uint8_t* data = NewData((uint32_t)fw.BufferSize);
    if (data == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    memcpy(data, in + imageAt, (size_t)fw.BufferSize);
    uint32_t cdw[16];
    memset(cdw, 0, sizeof(cdw));
    cdw[0] = kFirmwareDownload;
    cdw[10] = (uint32_t)(fw.BufferSize / 4 - 1); // NUMD, zero-based
    cdw[11] = (uint32_t)(fw.Offset / 4);         // OFST, in dwords
    uint32_t result = 0;
    int rc = Admin(h, LX_ORIGIN_PROGRAM, cdw, LX_DIR_TO_DEVICE, data, (uint32_t)fw.BufferSize,
                   kAdminTimeoutMs, &result);
    free(data);
    if (rc != 0) {
        return rc > 0 ? ERROR_IO_DEVICE : ErrorOfErrno(rc);
    }
    return 0;
}

// Activation as the Windows driver carries it out: commit the downloaded image (or the one in
// the slot) to run at the next reset, then ask the controller to run it now; when it answers
// that a controller reset is needed, reset the controller; when it needs more than that, the
// image waits for a power cycle.
DWORD FirmwareActivate(LxDiskHandle* h, const BYTE* in, DWORD inSize) {
    if (inSize < sizeof(STORAGE_HW_FIRMWARE_ACTIVATE)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (h->disk.kind != LX_DISK_NVME) {
        return ERROR_INVALID_FUNCTION;
    }
    STORAGE_HW_FIRMWARE_ACTIVATE fa;
    memcpy(&fa, in, sizeof(fa));
    const DWORD existing = STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER |
                           STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE;
    if (fa.Version != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        fa.Size != sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) ||
        (fa.Flags != STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER && fa.Flags != existing)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (fa.Slot == 0 || fa.Slot > 7) {
        return (DWORD)STG_E_FIRMWARE_SLOT_INVALID;
    }
    uint32_t cdw[16];
    memset(cdw, 0, sizeof(cdw));
    cdw[0] = kFirmwareCommit;
    cdw[10] = CommitCdw10(fa.Slot, fa.Flags == existing ? 2 : 1);
    uint32_t result = 0;
    int rc = Admin(h, LX_ORIGIN_PROGRAM, cdw, LX_DIR_NONE, NULL, 0, kActivateTimeoutMs, &result);
    if (rc == LX_NVME_INVALID_FIRMWARE_SLOT) {
        return (DWORD)STG_E_FIRMWARE_SLOT_INVALID;
    }
    if (rc == LX_NVME_INVALID_FIRMWARE_IMAGE) {
        return (DWORD)STG_E_FIRMWARE_IMAGE_INVALID;
    }
    if (rc != 0) {
        return rc > 0 ? ERROR_IO_DEVICE : ErrorOfErrno(rc);
    }
    cdw[10] = CommitCdw10(fa.Slot, 3);
    rc = Admin(h, LX_ORIGIN_PROGRAM, cdw, LX_DIR_NONE, NULL, 0, kActivateTimeoutMs, &result);
    switch (rc) {
    case 0:
        return 0;
    case LX_NVME_NEEDS_CONTROLLER_RESET:
        // The reset's own outcome is the re-find's business: a controller that does not come
        // back is not found again.
        LxNvmeReset(h->fd, h->disk.controller);
        return 0;
    case LX_NVME_NEEDS_SUBSYSTEM_RESET:
    case LX_NVME_NEEDS_CONVENTIONAL_RESET:
        return (DWORD)STG_S_POWER_CYCLE_REQUIRED;
    default:
        return rc > 0 ? ERROR_IO_DEVICE : ErrorOfErrno(rc);
    }
}

} // namespace

DWORD LxDiskIoControl(LxDiskHandle* h, DWORD code, const BYTE* in, DWORD inSize, BYTE* out,
                      DWORD outSize, DWORD* returned) {
    *returned = 0;
    if ((inSize != 0 && in == NULL) || (outSize != 0 && out == NULL)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    switch (code) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
        return GetDeviceNumber(h, out, outSize, returned);
    case IOCTL_SCSI_GET_ADDRESS:
        return GetScsiAddress(h, out, outSize, returned);
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(h, in, inSize, out, outSize, returned);
    case IOCTL_STORAGE_PROTOCOL_COMMAND:
        return ProtocolCommand(h, in, inSize, out, outSize, returned);
    case IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
        return FirmwareDownload(h, in, inSize);
    case IOCTL_STORAGE_FIRMWARE_ACTIVATE:
        return FirmwareActivate(h, in, inSize);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return LxScsiPassThrough(h, in, inSize, out, outSize, returned);
    case IOCTL_ATA_PASS_THROUGH_DIRECT:
        return LxAtaPassThrough(h, in, inSize, out, outSize, returned);
    default:
        // The miniport requests (the RST path) have no Linux counterpart.
        return ERROR_NOT_SUPPORTED;
    }
}
