// What the NVMe and the SATA discovery share: the walk over the physical drives with a probe of
// each, the matching of volume letters to the disks found, the drive number of a path, and the
// re-probe of a disk found again by its port id.
#pragma once

#include "disklib/disk_record.h"

#include <stddef.h>
#include <stdint.h>

#define PHYSICAL_DRIVE_COUNT 20 // PhysicalDrive0..19 are probed

// Fills a record from one "\\.\PhysicalDrive%d" path; 1 when the disk is usable.
typedef int (*DiskProbe)(const WCHAR* path, DiskRecord* record);

// The N of "\\.\PhysicalDrive%d", read from the upper-cased path; 0 when it has no number.
uint32_t DriveNumberOfPath(const WCHAR* path);

// Zeroes the table's capacity records, probes PhysicalDrive0..19 in order into the next free
// record (a result other than 1 leaves it free) until the table is full, then matches the volume
// letters C: to Z: to the disks found. Returns the count.
uint32_t ScanPhysicalDrives(DiskRecord* table, uint32_t capacity, DiskProbe probe);

// Finds the disk of the record again by iCmdType, iBusType and iPort and probes its new path
// into the same record. Each attempt that finds no disk waits one second and reports
// 100 x (attempt) / tries through the progress sink; a disk found whose device number cannot be
// read, or whose probe fails, ends the search with 0. 1 when the probe succeeded; the caller
// writes the log lines.
int ReprobeByPortID(DiskRecord* record, int tries, DiskProbe probe);
