#include "devquery/device_queries.h"

#include <stddef.h>
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

uint32_t IO_GetBusType(HANDLE device) {
    // Both buffers are page-granular, zero-filled allocations.
    STORAGE_PROPERTY_QUERY* query = (STORAGE_PROPERTY_QUERY*)VirtualAlloc(
        NULL, sizeof(STORAGE_PROPERTY_QUERY), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    STORAGE_DEVICE_DESCRIPTOR* descriptor = (STORAGE_DEVICE_DESCRIPTOR*)VirtualAlloc(
        NULL, sizeof(STORAGE_DEVICE_DESCRIPTOR), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    uint32_t busType = 0;
    if (query != NULL && descriptor != NULL) {
        query->PropertyId = StorageDeviceProperty;
        query->QueryType = PropertyStandardQuery;
        DWORD returned = 0;
        if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, query,
                            sizeof(STORAGE_PROPERTY_QUERY), descriptor,
                            sizeof(STORAGE_DEVICE_DESCRIPTOR), &returned, NULL) &&
            returned >=
                offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(descriptor->BusType)) {
            // Read as the dword it is on the wire: a driver may return a value outside the
            // enumeration, which the enumeration type cannot hold.
            memcpy(&busType, (const BYTE*)descriptor + offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType),
                   sizeof(busType));
        }
    }
    if (query != NULL) {
        VirtualFree(query, 0, MEM_RELEASE);
    }
    if (descriptor != NULL) {
        VirtualFree(descriptor, 0, MEM_RELEASE);
    }
    return busType;
}
