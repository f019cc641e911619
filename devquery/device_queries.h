// Small queries of an open device that the topology and the disk library share: its device
// number, its SCSI address and its storage bus type. They sit below both, so the device-tree
// lookup never needs the disk library.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// IOCTL_STORAGE_GET_DEVICE_NUMBER into number (12 bytes out, no input). False on failure.
bool IO_GetDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER* number);

// IOCTL_SCSI_GET_ADDRESS with a SCSI_ADDRESS whose Length is 8, as input and output. False on
// failure.
bool IO_GetScsiAddress(HANDLE device, SCSI_ADDRESS* address);

// The STORAGE_BUS_TYPE of an open device from IOCTL_STORAGE_QUERY_PROPERTY (StorageDeviceProperty,
// PropertyStandardQuery); 0 when the query fails or the answer stops before BusType.
uint32_t IO_GetBusType(HANDLE device);
