// Small queries of an open disk that discovery and the device topology share: its device
// number and its SCSI address.
#pragma once

#include "platform/win32.h"

// IOCTL_STORAGE_GET_DEVICE_NUMBER into number (12 bytes out, no input). False on failure.
bool IO_GetDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER* number);

// IOCTL_SCSI_GET_ADDRESS with a SCSI_ADDRESS whose Length is 8, as input and output. False on
// failure.
bool IO_GetScsiAddress(HANDLE device, SCSI_ADDRESS* address);
