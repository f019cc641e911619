#include "disklib/physical_drives.h"

#include "common/text.h"
#include "common/wformat.h"
#include "devquery/device_queries.h"
#include "disklib/progress.h"
#include "topology/port_id.h"

#include <string.h>
#include <wchar.h>

namespace {

void FormatDrivePath(WCHAR* path, size_t capacity, uint32_t number) {
    WFormat(path, capacity, L"\\\\.\\PhysicalDrive%d", number);
}

// Appends "%c: " of each volume letter C: to Z: to the first disk found with the volume's device
// number; the disk holding C: is the system disk.
void MatchVolumeLetters(DiskRecord* table, uint32_t count) {
    for (WCHAR letter = L'C'; letter <= L'Z'; ++letter) {
        WCHAR volume[8];
        WFormat(volume, 8, L"\\\\.\\%c:", letter);
        HANDLE h =
            CreateFileW(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            continue;
        }
        STORAGE_DEVICE_NUMBER number;
        if (IO_GetDeviceNumber(h, &number) && number.DeviceType == FILE_DEVICE_DISK) {
            for (uint32_t i = 0; i < count; ++i) {
                DiskRecord* disk = &table[i];
                if (disk->iDriveNumber != number.DeviceNumber) {
                    continue;
                }
                disk->bRaw = 0;
                // Each letter takes three characters; a letter that no longer fits is left
                // out rather than written past the text.
                size_t used = wcslen(disk->VolumeLetters);
                if (used + 3 < DISK_TEXT_CHARS) {
                    WFormat(disk->VolumeLetters + used, DISK_TEXT_CHARS - used, L"%c: ", letter);
                }
                if (letter == L'C') {
                    disk->bSystemDisk = 1;
                }
                break;
            }
        }
        CloseHandle(h);
    }
}

} // namespace

uint32_t DriveNumberOfPath(const WCHAR* path) {
    WCHAR upper[DISK_TEXT_CHARS];
    CopyText(upper, DISK_TEXT_CHARS, path);
    CharUpperW(upper);
    int number = 0;
    if (swscanf(upper, L"\\\\.\\PHYSICALDRIVE%d", &number) != 1) {
        number = 0;
    }
    return static_cast<uint32_t>(number);
}

uint32_t ScanPhysicalDrives(DiskRecord* table, uint32_t capacity, DiskProbe probe) {
    memset(table, 0, sizeof(DiskRecord) * capacity);
    uint32_t found = 0;
    for (uint32_t n = 0; n < PHYSICAL_DRIVE_COUNT && found < capacity; ++n) {
        WCHAR path[DISK_TEXT_CHARS];
        FormatDrivePath(path, DISK_TEXT_CHARS, n);
        if (probe(path, &table[found]) == DISKLIB_OK) {
            ++found;
        }
    }
    MatchVolumeLetters(table, found);
    return found;
}

int ReprobeByPortID(DiskRecord* record, int tries, DiskProbe probe) {
    const int32_t cmdType = record->iCmdType;
    const uint32_t busType = record->iBusType;
    const int64_t port = record->iPort;
    for (int i = 0; i < tries; ++i) {
        HANDLE h = GetPortDeviceHandle(cmdType, busType, port);
        if (h == INVALID_HANDLE_VALUE) {
            Sleep(1000);
            DISKLIB_ReportProgress(100 * (i + 1) / tries);
            continue;
        }
        STORAGE_DEVICE_NUMBER number;
        bool ok = IO_GetDeviceNumber(h, &number);
        CloseHandle(h);
        if (!ok) {
            return 0;
        }
        WCHAR path[DISK_TEXT_CHARS];
        FormatDrivePath(path, DISK_TEXT_CHARS, number.DeviceNumber);
        return probe(path, record) == DISKLIB_OK ? 1 : 0;
    }
    return 0;
}
