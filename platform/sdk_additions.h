// Declarations the Windows SDK has and the mingw-w64 headers lack, with the SDK's names and
// layouts, each behind a guard so that a fuller SDK wins. Written once for both platforms:
// platform/win32.h includes it after the SDK headers (winioctl.h, ntddscsi.h) on Windows and
// after platform/posix/storage.h elsewhere, which declares only what those SDK headers have.
#pragma once

// --- Status codes of the firmware requests (winerror.h) ---------------------------------------

#ifndef STG_S_POWER_CYCLE_REQUIRED
#define STG_S_POWER_CYCLE_REQUIRED _HRESULT_TYPEDEF_(0x00030207L)
#endif
#ifndef STG_E_FIRMWARE_SLOT_INVALID
#define STG_E_FIRMWARE_SLOT_INVALID _HRESULT_TYPEDEF_(0x80030208L)
#endif
#ifndef STG_E_FIRMWARE_IMAGE_INVALID
#define STG_E_FIRMWARE_IMAGE_INVALID _HRESULT_TYPEDEF_(0x80030209L)
#endif
// A device that has gone (winerror.h).
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

// --- IOCTL_ATA_PASS_THROUGH_DIRECT flags (ntddscsi.h) -----------------------------------------

#ifndef ATA_FLAGS_NO_MULTIPLE
#define ATA_FLAGS_NO_MULTIPLE (1 << 5)
#endif

// --- IOCTL_STORAGE_PROTOCOL_COMMAND (winioctl.h) ------------------------------------------------

#ifndef STORAGE_PROTOCOL_STRUCTURE_VERSION
#define STORAGE_PROTOCOL_STRUCTURE_VERSION 0x1

#define STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST 0x80000000

#define STORAGE_PROTOCOL_STATUS_PENDING 0x0
#define STORAGE_PROTOCOL_STATUS_SUCCESS 0x1
#define STORAGE_PROTOCOL_STATUS_ERROR 0x2
#define STORAGE_PROTOCOL_STATUS_INVALID_REQUEST 0x3
#define STORAGE_PROTOCOL_STATUS_NO_DEVICE 0x4
#define STORAGE_PROTOCOL_STATUS_BUSY 0x5
#define STORAGE_PROTOCOL_STATUS_DATA_OVERRUN 0x6
#define STORAGE_PROTOCOL_STATUS_INSUFFICIENT_RESOURCES 0x7
#define STORAGE_PROTOCOL_STATUS_NOT_SUPPORTED 0xFF

#define STORAGE_PROTOCOL_COMMAND_LENGTH_NVME 0x40

#define STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND 0x01
#define STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND 0x02

typedef struct _STORAGE_PROTOCOL_COMMAND {
    DWORD Version; // STORAGE_PROTOCOL_STRUCTURE_VERSION
    DWORD Length;  // sizeof(STORAGE_PROTOCOL_COMMAND) without the command
    STORAGE_PROTOCOL_TYPE ProtocolType;
    DWORD Flags;
    DWORD ReturnStatus;
    DWORD ErrorCode;
    DWORD CommandLength;
    DWORD ErrorInfoLength;
    DWORD DataToDeviceTransferLength;
    DWORD DataFromDeviceTransferLength;
    DWORD TimeOutValue; // seconds
    DWORD ErrorInfoOffset;
    DWORD DataToDeviceBufferOffset;
    DWORD DataFromDeviceBufferOffset;
    DWORD CommandSpecific;
    DWORD Reserved0;
    DWORD FixedProtocolReturnData;
    DWORD FixedProtocolReturnData2;
    DWORD Reserved1[2];
    BYTE Command[ANYSIZE_ARRAY];
} STORAGE_PROTOCOL_COMMAND, *PSTORAGE_PROTOCOL_COMMAND;
#endif

// --- IOCTL_STORAGE_FIRMWARE_DOWNLOAD / IOCTL_STORAGE_FIRMWARE_ACTIVATE (winioctl.h) -------------

#ifndef STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER 0x00000001
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT 0x00000002
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_FIRST_SEGMENT 0x00000004
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE 0x80000000

typedef struct _STORAGE_HW_FIRMWARE_DOWNLOAD {
    DWORD Version; // sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD)
    DWORD Size;    // the whole buffer, image included
    DWORD Flags;
    BYTE Slot;
    BYTE Reserved[3];
    DWORDLONG Offset;
    DWORDLONG BufferSize;
    BYTE ImageBuffer[ANYSIZE_ARRAY];
} STORAGE_HW_FIRMWARE_DOWNLOAD, *PSTORAGE_HW_FIRMWARE_DOWNLOAD;

typedef struct _STORAGE_HW_FIRMWARE_ACTIVATE {
    DWORD Version;
    DWORD Size;
    DWORD Flags;
    BYTE Slot;
    BYTE Reserved0[3];
} STORAGE_HW_FIRMWARE_ACTIVATE, *PSTORAGE_HW_FIRMWARE_ACTIVATE;
#endif

// --- IOCTL_SCSI_MINIPORT firmware requests (ntddscsi.h) -----------------------------------------

#ifndef FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION
#define FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION 0x1

#define FIRMWARE_FUNCTION_GET_INFO 0x01
#define FIRMWARE_FUNCTION_DOWNLOAD 0x02
#define FIRMWARE_FUNCTION_ACTIVATE 0x03

#define FIRMWARE_REQUEST_FLAG_CONTROLLER 0x00000001
#define FIRMWARE_REQUEST_FLAG_LAST_SEGMENT 0x00000002
#define FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE 0x80000000

typedef struct _FIRMWARE_REQUEST_BLOCK {
    ULONG Version;
    ULONG Size;
    ULONG Function;
    ULONG Flags;
    ULONG DataBufferOffset; // from the start of the SRB_IO_CONTROL header
    ULONG DataBufferLength;
} FIRMWARE_REQUEST_BLOCK, *PFIRMWARE_REQUEST_BLOCK;
#endif

#ifndef STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2
#define STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION_V2 0x2

typedef struct _STORAGE_FIRMWARE_DOWNLOAD_V2 {
    ULONG Version;
    ULONG Size;
    ULONGLONG Offset;
    ULONGLONG BufferSize;
    UCHAR Slot;
    UCHAR Reserved[3];
    ULONG ImageSize;
    UCHAR ImageBuffer[ANYSIZE_ARRAY];
} STORAGE_FIRMWARE_DOWNLOAD_V2, *PSTORAGE_FIRMWARE_DOWNLOAD_V2;
#endif

#ifndef STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION
#define STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION 0x1

typedef struct _STORAGE_FIRMWARE_ACTIVATE {
    ULONG Version;
    ULONG Size;
    UCHAR SlotToActivate;
    UCHAR Reserved0[3];
} STORAGE_FIRMWARE_ACTIVATE, *PSTORAGE_FIRMWARE_ACTIVATE;
#endif
