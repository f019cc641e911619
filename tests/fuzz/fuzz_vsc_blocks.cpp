// The vendor blocks: a Disk record's vendor fields filled from the Drive information and MP
// information blocks as a scripted device returns them, over each transport. The first input
// byte picks the command type and the command set generation; the rest scripts the device.
// The record's other fields stay as they were, its texts stay terminated, and no handle is
// opened or left.
#include "app/state/app_state.h"
#include "disklib/nvme_vsc.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <wchar.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const int32_t kTypes[] = {CMD_NVME, CMD_RST, CMD_USB_ASM, CMD_USB_JMI, CMD_USB_RTK};
    InitAppState("");
    fuzz::ScriptDevice(data + 1, size - 1);
    HANDLE disk = CreateFileW(L"\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE port = CreateFileW(L"\\\\.\\scsi0:", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    fuzz::Require(disk != INVALID_HANDLE_VALUE && port != INVALID_HANDLE_VALUE, "opens");

    CommandContext context;
    std::memset(&context, 0, sizeof(context));
    context.iCmdType = kTypes[(data[0] & 0x7F) % (sizeof(kTypes) / sizeof(kTypes[0]))];
    context.hScsiPort = port;
    context.iVSCType = data[0] >> 7;
    DiskRecord record;
    std::memset(&record, 0, sizeof(record));
    wcscpy(record.DevicePath, L"\\\\.\\PhysicalDrive0");
    wcscpy(record.Model, L"MODEL");
    record.iVendorId = 0x1234;
    const int held = fuzz::Script().opened;

    int result = DISKLIB_NVME_VSC_FillDiskRecord(&context, disk, &record);
    fuzz::Require(result == DISKLIB_OK || result <= 0, "result");
    fuzz::Require(wcsnlen(record.DrvInfoVersion, DISK_TEXT_CHARS) < DISK_TEXT_CHARS,
                  "version terminator");
    fuzz::Require(wcscmp(record.DevicePath, L"\\\\.\\PhysicalDrive0") == 0 &&
                      wcscmp(record.Model, L"MODEL") == 0 && record.iVendorId == 0x1234,
                  "fields outside the vendor fields unchanged");
    fuzz::Require(record.bDrvInfoValid <= 1, "flag");
    fuzz::Require(fuzz::Script().opened == held, "no handle opened or left");
    CloseHandle(port);
    CloseHandle(disk);
    return 0;
}
