// Discovery of SATA disks: the probe of one physical drive, the scan of PhysicalDrive0..19 with
// the matching of volume letters, and the re-finding of a disk by its port id.
#pragma once

#include "disklib/disk_record.h"

#include <stdint.h>

// Fills the table from its start with the SATA disks found on PhysicalDrive0..19 (at most
// capacity of them), then matches the volume letters C: to Z: to them. Returns the count.
uint32_t EnumerateSataDisks(DiskRecord* table, uint32_t capacity);

// Probes one "\\.\PhysicalDrive%d" path into the record, which is zeroed first: 1 when filled,
// -1 when the path cannot be opened, -5 without a transport or below 16 GB, 0 when IDENTIFY
// DEVICE failed.
int ProbeSataDisk(const WCHAR* path, DiskRecord* record);

// Finds the disk of the record again by iCmdType, iBusType and iPort and probes it into the same
// record: the disk at that port with the record's serial number and model. Each attempt that
// does not find it waits one second and reports 100 x (attempt) / tries through the progress
// sink. 1 when found and probed, DISKLIB_ERR_OTHER_DISK when only other disks answer there, else 0.
int DISKLIB_SATA_GetDiskInfoByPortID(DiskRecord* record, int tries);

// Decimal gigabytes of a count of 512-byte sectors by the IDEMA rule: (sectors - 21168) /
// 1953504 in signed 64-bit arithmetic; -1 for a count of 2^63 or more.
int64_t SataCapacityGB(uint64_t totalSectors);
