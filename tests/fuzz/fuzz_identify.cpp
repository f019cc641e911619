// Identify data and the rest of a disk's probe: DISKLIB_NVME_GetDiskInfo on a device whose every
// answer (bus type, SCSI address, Identify Controller and Namespace, the vendor blocks, bridge
// replies) comes from the input. Whatever it answers, the probe closes every handle it opened,
// and a disk it accepts has its path, a power-of-two sector size, a capacity and terminated,
// trimmed texts.
#include "app/state/app_state.h"
#include "disklib/nvme_discovery.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <wchar.h>

namespace {

bool Terminated(const WCHAR* text) {
    return wcsnlen(text, DISK_TEXT_CHARS) < DISK_TEXT_CHARS;
}

bool Trimmed(const WCHAR* text) {
    size_t n = wcsnlen(text, DISK_TEXT_CHARS);
    return n == 0 || (text[0] != L' ' && text[n - 1] != L' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitAppState("");
    fuzz::ScriptDevice(data, size);
    DiskRecord record;
    std::memset(&record, 0xA5, sizeof(record));
    int result = DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive3", &record);
    fuzz::Require(fuzz::Script().opened == 0, "every handle is closed");
    fuzz::Require(result == DISKLIB_OK || result == DISKLIB_ERR_OPEN || result == DISKLIB_ERR_IO ||
                      result == DISKLIB_ERR_UNSUPPORTED,
                  "result");
    if (result != DISKLIB_OK) {
        return 0;
    }
    fuzz::Require(wcscmp(record.DevicePath, L"\\\\.\\PhysicalDrive3") == 0, "path");
    fuzz::Require(record.iDriveNumber == 3, "drive number");
    fuzz::Require(record.iSectorSize != 0 && (record.iSectorSize & (record.iSectorSize - 1)) == 0,
                  "sector size");
    fuzz::Require(record.iCapacityGB != 0, "capacity");
    fuzz::Require(Terminated(record.Model) && Terminated(record.FirmwareRev) &&
                      Terminated(record.SerialNumber) && Terminated(record.DrvInfoVersion),
                  "terminators");
    fuzz::Require(Trimmed(record.Model) && Trimmed(record.FirmwareRev), "trimmed");
    return 0;
}
