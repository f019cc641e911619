// The records and codes through which every subsystem speaks about disks: the Disk record, the
// Disk table's capacity, the command types, the Command context of an open disk, the result
// codes of the disk library, and the NVMe command block with its transfer directions.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// Results of the disk library.
enum {
    DISKLIB_OK = 1,
    DISKLIB_NEGATIVE = 0,         // a negative answer
    DISKLIB_ERR_OPEN = -1,        // the device path cannot be opened
    DISKLIB_ERR_IO = -4,          // a platform request or the device failed
    DISKLIB_ERR_UNSUPPORTED = -5, // no transport for the command type, or the disk is rejected
    DISKLIB_ERR_OTHER_DISK = -6   // another disk (serial number, model) answers where it was
};

// Which transport reaches a disk (iCmdType).
enum {
    CMD_USB_ASM = 0,    // NVMe behind an ASMedia USB bridge
    CMD_USB_JMI = 1,    // NVMe behind a JMicron USB bridge
    CMD_NVME = 2,       // NVMe on the platform's own NVMe driver
    CMD_RST = 3,        // NVMe behind the Intel RST driver
    CMD_USB_RTK = 4,    // NVMe behind a Realtek RTL9210B USB bridge
    CMD_SATA = 16,      // SATA disk on a SATA bus
    CMD_SATA_USB = 17,  // SATA disk behind USB
    CMD_SATA_SCSI = 18, // SATA disk on a SCSI, iSCSI or SAS bus
    CMD_NONE = 255      // nothing supported
};

// Transfer direction of an NVMe command.
enum {
    XFER_NONE = 0, // no data
    XFER_OUT = 1,  // host to device
    XFER_IN = 2    // device to host
};

#define DISK_TEXT_CHARS 64
#define DISK_TABLE_CAPACITY 26

// One physical disk. A plain value: zeroed before it is filled, copied whole.
struct DiskRecord {
    WCHAR DevicePath[DISK_TEXT_CHARS]; // "\\.\PhysicalDrive%d"
    int32_t iCmdType;
    int64_t iPort;        // where the disk is attached; stable across resets
    uint32_t iCapacityGB; // decimal gigabytes by the IDEMA rule
    uint32_t iSectorSize;
    uint64_t iTotalSectors;
    WCHAR Model[DISK_TEXT_CHARS];       // trimmed
    WCHAR FirmwareRev[DISK_TEXT_CHARS]; // trimmed
    WCHAR SerialNumber[DISK_TEXT_CHARS];
    WCHAR VolumeLetters[DISK_TEXT_CHARS]; // "%c: " per volume letter
    uint32_t iDriveNumber;
    uint8_t bRaw;             // 1 after a probe; 0 once a volume letter is found on the disk
    uint8_t bSystemDisk;      // volume C: lies on the disk
    uint8_t bKnownController; // the controller maker's hardware
    uint32_t iVendorId;
    uint32_t iSubsystemVendorId;
    uint32_t iSocId;
    int32_t iLinkSpeed;
    uint32_t iLinkWidth;
    uint32_t iMaxLinkSpeed;
    uint32_t iMaxLinkWidth;
    uint8_t bDrvInfoValid;
    uint8_t NandId[6];
    uint32_t iLun;
    WCHAR DrvInfoVersion[DISK_TEXT_CHARS];
    uint32_t iFtlBuildNum;
    uint32_t iBusType; // STORAGE_BUS_TYPE
};

// Accompanies an open device handle; filled when the disk is opened. The caller owns both
// handles and closes the device handle and, when valid, the SCSI port handle.
struct CommandContext {
    int32_t iCmdType;
    uint32_t iBusType;    // written only when the bus-type query succeeds
    HANDLE hScsiPort;     // "\\.\scsi%d:" of the disk's port, or INVALID_HANDLE_VALUE
    uint32_t iScsiPathId; // path id of the disk on that port (CMD_RST requests)
    uint32_t iVSCType;    // generation of the vendor command set, 0 or 1
};

// One NVMe admin command as a 64-byte submission queue entry of little-endian dwords.
struct NvmeCommandBlock {
    uint32_t CDW0; // opcode in byte 0
    uint32_t CDW1; // NSID
    uint32_t CDW2; // vendor commands: the marker
    uint32_t CDW3;
    uint32_t CDW4;
    uint32_t CDW5;
    uint32_t CDW6;
    uint32_t CDW7;
    uint32_t CDW8;
    uint32_t CDW9;
    uint32_t CDW10;
    uint32_t CDW11;
    uint32_t CDW12;
    uint32_t CDW13;
    uint32_t CDW14;
    uint32_t CDW15;
};
static_assert(sizeof(NvmeCommandBlock) == 64, "an NVMe submission entry is 64 bytes");
