#include "disklib/device_queries.h"

#include <string.h>

bool IO_GetDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER* number) {
    memset(number, 0, sizeof(*number));
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, number,
                           sizeof(*number), &returned, NULL) != FALSE;
}

bool IO_GetScsiAddress(HANDLE device, SCSI_ADDRESS* address) {
    memset(address, 0, sizeof(*address));
    address->Length = sizeof(SCSI_ADDRESS);
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, address, sizeof(*address), address,
                           sizeof(*address), &returned, NULL) != FALSE;
}
