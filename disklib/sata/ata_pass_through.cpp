// One ATA command with IOCTL_ATA_PASS_THROUGH_DIRECT: the two task files and the page-granular
// data buffer of its own, copied back to the caller only when the command succeeded.
#include "disklib/sata/ata_command.h"

#include "disklib/request_buffer.h"

#include <stdint.h>
#include <string.h>

namespace {

// Task file registers, by byte index, as ATA_PASS_THROUGH_DIRECT carries them.
const size_t kTfFeatures = 0;
const size_t kTfSectorCount = 1;
const size_t kTfLbaLow = 2;
const size_t kTfLbaMid = 3;
const size_t kTfLbaHigh = 4;
const size_t kTfDevice = 5;
const size_t kTfCommand = 6; // the command on the way in, the status register on the way back
const size_t kTfStatus = 6;

const UCHAR kDeviceLba = 0x40; // the LBA bit of the device register
const size_t kBufferAlignment = 16;

UCHAR ByteOf(uint32_t value, unsigned shift) {
    return (UCHAR)((value >> shift) & 0xFF);
}

// CurrentTaskFile: FEATURES, SECTOR COUNT, LBA bits 0-23, device, opcode. A 28-bit opcode puts
// LBA bits 24-27 into the device register and leaves PreviousTaskFile zero; a 48-bit opcode puts
// LBA bits 24-47 into PreviousTaskFile bytes 2-4.
void BuildTaskFiles(ATA_PASS_THROUGH_DIRECT* pass, bool lba48, uint8_t opcode, uint8_t features,
                    uint8_t sectorCount, uint32_t lbaLow, uint32_t lbaHigh) {
    UCHAR* current = pass->CurrentTaskFile;
    UCHAR* previous = pass->PreviousTaskFile;
    memset(current, 0, sizeof(pass->CurrentTaskFile));
    memset(previous, 0, sizeof(pass->PreviousTaskFile));
    current[kTfFeatures] = features;
    current[kTfSectorCount] = sectorCount;
    current[kTfLbaLow] = ByteOf(lbaLow, 0);
    current[kTfLbaMid] = ByteOf(lbaLow, 8);
    current[kTfLbaHigh] = ByteOf(lbaLow, 16);
    current[kTfCommand] = opcode;
    if (lba48) {
        current[kTfDevice] = kDeviceLba;
        previous[kTfLbaLow] = ByteOf(lbaLow, 24);
        previous[kTfLbaMid] = ByteOf(lbaHigh, 0);
        previous[kTfLbaHigh] = ByteOf(lbaHigh, 8);
    } else {
        current[kTfDevice] = (UCHAR)(kDeviceLba | ByteOf(lbaLow, 24));
    }
}

} // namespace

int AtaPassThroughCommand(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                          uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    return AtaPassThroughAnswered(hDisk, opcode, features, flags, lbaLow, lbaHigh, buffer, length,
                                  NULL);
}

int AtaPassThroughAnswered(HANDLE hDisk, uint8_t opcode, uint8_t features, uint16_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length,
                           int* answered) {
    if (answered != NULL) {
        *answered = ATA_NOT_ANSWERED;
    }
    // A request the task file cannot carry is refused rather than sent cut.
    if (!AtaRequestFits(opcode, lbaLow, lbaHigh, length) || (length != 0 && buffer == NULL)) {
        return 0;
    }
    const bool lba48 = IsAta48BitCommand(opcode);
    BYTE* allocation = DISKLIB_AllocRequest(length + (DWORD)kBufferAlignment);
    if (allocation == NULL) {
        return 0;
    }
    const uintptr_t aligned =
        ((uintptr_t)allocation + kBufferAlignment) & ~(uintptr_t)(kBufferAlignment - 1);
    BYTE* data = (BYTE*)aligned;
    if ((flags & ATA_FLAGS_DATA_OUT) != 0 && length != 0) {
        memcpy(data, buffer, length);
    }

    ATA_PASS_THROUGH_DIRECT pass;
    memset(&pass, 0, sizeof(pass));
    pass.Length = (USHORT)sizeof(ATA_PASS_THROUGH_DIRECT);
    pass.AtaFlags = (USHORT)(flags | (lba48 ? ATA_FLAGS_48BIT_COMMAND : 0));
    pass.PathId = 0;
    pass.TargetId = 0;
    pass.Lun = 0;
    pass.DataTransferLength = length;
    pass.TimeOutValue = ATA_TIMEOUT_SECONDS;
    pass.DataBuffer = data;
    BuildTaskFiles(&pass, lba48, opcode, features, AtaSectorCount(length), lbaLow, lbaHigh);

    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(hDisk, IOCTL_ATA_PASS_THROUGH_DIRECT, &pass, sizeof(pass),
                                    &pass, sizeof(pass), &returned, NULL);
    const UCHAR status = pass.CurrentTaskFile[kTfStatus];
    if (ok && answered != NULL) {
        *answered = (status & ATA_STATUS_ERR) != 0   ? ATA_ANSWERED_ERROR
                    : (status & ATA_STATUS_DRQ) != 0 ? ATA_ANSWERED_DRQ
                                                     : ATA_ANSWERED_GOOD;
    }
    if (!ok || (status & (ATA_STATUS_ERR | ATA_STATUS_DRQ)) != 0) {
        DISKLIB_FreeRequest(allocation);
        return 0;
    }
    if ((flags & ATA_FLAGS_DATA_IN) != 0 && length != 0) {
        memcpy(buffer, data, length);
    }
    DISKLIB_FreeRequest(allocation);
    return 1;
}
