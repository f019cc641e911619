#include "disklib/physical_drives.h"

#include "common/text.h"
#include "common/wformat.h"
#include "devquery/device_queries.h"
#include "disklib/disk_identity.h"
#include "disklib/progress.h"
#include "topology/port_id.h"

#include <string.h>
#include <wchar.h>

namespace {

void FormatDrivePath(WCHAR* path, size_t capacity, uint32_t number) {
    WFormat(path, capacity, L"\\\\.\\PhysicalDrive%d", number);
}

} // namespace

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
    const DiskRecord wanted = *record;
    // A record that names no drive (never probed) takes the first disk at the port.
    const bool anyDisk = wanted.Model[0] == 0 && wanted.SerialNumber[0] == 0;
    bool sawOtherDisk = false;
    for (int i = 0; i < tries; ++i) {
        sawOtherDisk = false;
        bool probeFailed = false;
        for (int position = 0;; ++position) {
            HANDLE h =
                GetPortDeviceHandleAt(wanted.iCmdType, wanted.iBusType, wanted.iPort, position);
            if (h == INVALID_HANDLE_VALUE) {
                break;
            }
            STORAGE_DEVICE_NUMBER number;
            bool ok = IO_GetDeviceNumber(h, &number);
            CloseHandle(h);
            if (!ok) {
                return 0;
            }
            WCHAR path[DISK_TEXT_CHARS];
            FormatDrivePath(path, DISK_TEXT_CHARS, number.DeviceNumber);
            DiskRecord found;
            if (probe(path, &found) != DISKLIB_OK) {
                probeFailed = true;
                continue;
            }
            if (anyDisk || IsSameDisk(&wanted, &found)) {
                *record = found;
                return 1;
            }
            sawOtherDisk = true;
        }
        if (probeFailed) {
            // The disk at the port did not answer its probe: the record is left zeroed, as a
            // failed probe leaves it, and nothing claims it is the disk asked for.
            memset(record, 0, sizeof(*record));
            return 0;
        }
        Sleep(1000);
        DISKLIB_ReportProgress(100 * (i + 1) / tries);
    }
    return sawOtherDisk ? DISKLIB_ERR_OTHER_DISK : 0;
}
