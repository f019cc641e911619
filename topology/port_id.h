// Port ids: where a disk is attached, stable across its resets, and the search for the
// present disk with a remembered port id.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// Native NVMe and RST: this offset plus 99 x (grandparent's bus) + (parent's bus).
#define PORT_ID_BUS_BASE 9000000000000000000LL
#define PORT_ID_BUS_MULTIPLIER 99

// The port id of the present disk with that drive number, by storage bus type: USB (7) the
// reversed USB path code of its USB device, RAID (8) and NVMe (17) the bus-number form, any
// other the PathId of its SCSI address. -1 when no present disk has the number.
int64_t GetDiskPortID(uint32_t busType, uint32_t driveNumber);
// The open handle of the first present disk with that bus type and port id (computed by the
// command type), or INVALID_HANDLE_VALUE. The caller closes it.
HANDLE GetPortDeviceHandle(int32_t cmdType, uint32_t busType, int64_t portId);
// The same for the match of that position (0 the first) in disk-interface order: several disks
// can share a port id (disks behind one Intel RST controller, SATA disks at the same PathId of
// different controllers), and the caller tells them apart by what they report.
HANDLE GetPortDeviceHandleAt(int32_t cmdType, uint32_t busType, int64_t portId, int position);
// The USB path code of a present USB device (not reversed); 0 when it is not present.
uint64_t GetUsbPathCode(const WCHAR* instanceId);
// The 1-based position of a USB host controller in its interface set; the number of
// controllers plus 1 when it is not there.
uint32_t GetUsbControllerIndex(const WCHAR* instanceId);
// Reverses the order of the pairs of decimal digits of a USB path code.
uint64_t ReverseDigitPairs(uint64_t value);
