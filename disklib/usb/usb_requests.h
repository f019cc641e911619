// The pieces the bridges' requests are built from, shared by the NVMe tunnels (usb_bridge.cpp)
// and the power requests (usb_power.cpp): the sending of one pass-through envelope, each
// family's sense length and timeout, the ASMedia and JMicron CDBs and the JMicron request block.
#pragma once

#include "disklib/disk_record.h"
#include "disklib/usb/usb_bridge.h"
#include "platform/win32.h"

#include <stdint.h>

#define USB_CDB_BYTES 16

// Sense length and timeout (seconds) of each family's requests.
#define USB_ASM_SENSE_LENGTH 24
#define USB_ASM_TIMEOUT 10
#define USB_JMI_SENSE_LENGTH 24
#define USB_JMI_TIMEOUT 10
#define USB_RTK_SENSE_LENGTH 64
#define USB_RTK_TIMEOUT 60

// ASMedia: byte 0 of every CDB says which way the request moves data; byte 1 is the signature.
#define USB_ASM_TO_DEVICE 0xEA
#define USB_ASM_FROM_DEVICE 0xEB
#define USB_ASM_SIGNATURE 0x5A

// JMicron: operation A1, byte 1 the protocol code of the phase.
#define USB_JMI_OPERATION 0xA1
#define USB_JMI_PHASE_COMMAND 0x80
#define USB_JMI_PHASE_NO_DATA 0x81
#define USB_JMI_PHASE_DATA_IN 0x82
#define USB_JMI_PHASE_DATA_OUT 0x83
#define USB_JMI_PHASE_RESPONSE 0x8F

// What one pass-through call gave: whether DeviceIoControl succeeded, and the ScsiStatus the
// envelope carried back.
struct UsbPhaseOutcome {
    bool callOk;
    UCHAR scsiStatus;
};

// Builds one pass-through request from a zero-filled envelope (Length, CdbLength 16, the sense
// area after the filler) and sends it synchronously, the envelope serving as input and output.
// DataBuffer is data exactly as given: a request that moves nothing may still name a buffer.
UsbPhaseOutcome UsbSendPassThrough(HANDLE hDisk, const UCHAR cdb[USB_CDB_BYTES], UCHAR dataIn,
                                   void* data, ULONG length, UCHAR senseLength,
                                   ULONG timeoutSeconds);

// ASMedia CDB: [0] EA/EB, [1] 5A, [2] phase, [4] transfer kind, [10..13] length big-endian.
void UsbBuildAsmCdb(UCHAR cdb[USB_CDB_BYTES], UCHAR operation, UCHAR phase, UCHAR kind,
                    ULONG length);

// JMicron CDB: [0] A1, [1] protocol code, [3..5] length big-endian 24-bit.
void UsbBuildJmiCdb(UCHAR cdb[USB_CDB_BYTES], UCHAR protocol, ULONG length);

// JMicron request block: "NVME", four zero bytes, the NVMe command block (all zero when command
// is null), zeros to 512.
void UsbBuildJmiBlock(UCHAR block[USB_JMI_BLOCK_BYTES], const NvmeCommandBlock* command);
