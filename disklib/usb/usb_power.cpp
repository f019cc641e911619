#include "disklib/usb/usb_power.h"

#include "disklib/disk_record.h"
#include "disklib/usb/usb_requests.h"
#include "log/debug_log.h"

#include <string.h>

int32_t IO_USB_ASM_PowerCtrl(HANDLE hDisk, uint8_t value) {
    DebugPrint(L"IO_USB_ASM_PowerCtrl IN %d", (int)value);
    // EA 5A value, thirteen zero bytes.
    UCHAR cdb[USB_CDB_BYTES];
    memset(cdb, 0, sizeof(cdb));
    cdb[0] = USB_ASM_TO_DEVICE;
    cdb[1] = USB_ASM_SIGNATURE;
    cdb[2] = value;
    const UsbPhaseOutcome outcome = UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_OUT, NULL, 0,
                                                       USB_ASM_SENSE_LENGTH, USB_ASM_TIMEOUT);
    if (!outcome.callOk) {
        return DISKLIB_ERR_IO;
    }
    DebugPrint(L"IO_USB_ASM_PowerCtrl Success OUT");
    return DISKLIB_OK;
}

int32_t IO_USB_JMI_PowerCtrl(HANDLE hDisk, uint8_t value) {
    DebugPrint(L"IO_USB_JMI_PowerCtrl IN %d", (int)value);
    UCHAR block[USB_JMI_BLOCK_BYTES];
    UCHAR cdb[USB_CDB_BYTES];

    // Command phase: "NVME", an all-zero NVMe command, the value in byte 72.
    UsbBuildJmiBlock(block, NULL);
    block[USB_JMI_BLOCK_POWER_OFFSET] = value;
    UsbBuildJmiCdb(cdb, USB_JMI_PHASE_COMMAND, USB_JMI_BLOCK_BYTES);
    UsbPhaseOutcome outcome =
        UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_OUT, block, USB_JMI_BLOCK_BYTES,
                           USB_JMI_SENSE_LENGTH, USB_JMI_TIMEOUT);
    if (!outcome.callOk) {
        return DISKLIB_ERR_IO;
    }

    // Non-data phase: DataIn IN with length 0, the zeroed block as its buffer.
    memset(block, 0, sizeof(block));
    UsbBuildJmiCdb(cdb, USB_JMI_PHASE_NO_DATA, 0);
    outcome = UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, block, 0, USB_JMI_SENSE_LENGTH,
                                 USB_JMI_TIMEOUT);
    if (!outcome.callOk) {
        return DISKLIB_ERR_IO;
    }

    // Response phase: its outcome is not examined.
    memset(block, 0, sizeof(block));
    UsbBuildJmiCdb(cdb, USB_JMI_PHASE_RESPONSE, USB_JMI_BLOCK_BYTES);
    UsbSendPassThrough(hDisk, cdb, SCSI_IOCTL_DATA_IN, block, USB_JMI_BLOCK_BYTES,
                       USB_JMI_SENSE_LENGTH, USB_JMI_TIMEOUT);

    DebugPrint(L"IO_USB_JMI_PowerCtrl Success OUT");
    return DISKLIB_OK;
}
