// NVMe admin commands tunnelled through the vendor SCSI commands of three USB bridge families
// (ASMedia, JMicron, Realtek RTL9210B), and the detection of which family fronts a USB disk.
// Every exchange is one synchronous IOCTL_SCSI_PASS_THROUGH_DIRECT on the disk's handle.
// Results: DISKLIB_OK (1) or DISKLIB_ERR_IO (-4). The NVMe completion's status is examined for
// firmware chunks (a chunk the drive refused fails) and given to the caller of
// IO_USB_NvmePassThroughStatus; a bridge may answer GOOD and carry the drive's error only there.
#pragma once

#include "disklib/disk_record.h"
#include "disklib/scsi_pass_through.h"
#include "platform/win32.h"

#include <stddef.h>
#include <stdint.h>

#define USB_SCSI_STATUS_CHECK_CONDITION 2
// The NVMe status of a completion that was not read.
#define USB_COMPLETION_UNREAD 0xFFFF

// JMicron request block: the data of the JMicron command phase.
#define USB_JMI_BLOCK_BYTES 512
#define USB_JMI_BLOCK_COMMAND_OFFSET 8 // the NVMe command block, 64 bytes
#define USB_JMI_BLOCK_POWER_OFFSET 72  // the power value of a power request
// Realtek request block: bytes 0..63 carry the NVMe command block.
#define USB_RTK_BLOCK_BYTES 512

// Which bridge fronts a USB-attached disk: CMD_USB_ASM, CMD_USB_JMI, CMD_USB_RTK, or CMD_NONE.
int32_t IO_USB_GetBridgeType(HANDLE hDisk);

// ASMedia one-request command (used for Identify): CDB E6 with opcode, CNS and NSID.
int32_t IO_USB_ASM_Identify(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command, void* data,
                            uint32_t length);

// Three-phase commands: command, data, completion. The ASMedia one leaves the 16-byte
// completion in the first 16 bytes of the caller's command block.
int32_t IO_USB_ASM_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length);
int32_t IO_USB_JMI_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length);
int32_t IO_USB_RTK_NvmePassThrough(HANDLE hDisk, int32_t direction, NvmeCommandBlock* command,
                                   void* data, uint32_t length);

// The three-phase command of the bridge of cmdType (CMD_USB_ASM, CMD_USB_JMI, CMD_USB_RTK), with
// the NVMe status field of the completion it read (SCT << 8 | SC; 0 success) in *status, or
// USB_COMPLETION_UNREAD when none was read. After a data phase that answered CHECK CONDITION the
// completion is read too (its status says why) and the result is DISKLIB_ERR_IO.
// DISKLIB_ERR_UNSUPPORTED for another command type.
int32_t IO_USB_NvmePassThroughStatus(int32_t cmdType, HANDLE hDisk, int32_t direction,
                                     NvmeCommandBlock* command, void* data, uint32_t length,
                                     uint16_t* status);

// One Firmware Image Download chunk at the given byte offset of the image: phases 1 and 2 fail on
// a failed call or CHECK CONDITION, the completion on CHECK CONDITION or a status the drive
// reports there.
int32_t IO_USB_ASM_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length);
int32_t IO_USB_JMI_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length);
int32_t IO_USB_RTK_FirmwareDownload(HANDLE hDisk, uint32_t offset, const void* chunk,
                                    uint32_t length);
