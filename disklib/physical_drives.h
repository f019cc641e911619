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

// Appends "%c: " of each volume letter C: to Z: to the first of the count records with the
// volume's device number, clearing its bRaw; the disk holding C: is the system disk (bSystemDisk).
void MatchVolumeLetters(DiskRecord* table, uint32_t count);

// The N of "\\.\PhysicalDrive%d", read from the upper-cased path; 0 when it has no number.
uint32_t DriveNumberOfPath(const WCHAR* path);

// Zeroes the table's capacity records, probes PhysicalDrive0..19 in order into the next free
// record (a result other than 1 leaves it free) until the table is full, then matches the volume
// letters C: to Z: to the disks found. Returns the count.
uint32_t ScanPhysicalDrives(DiskRecord* table, uint32_t capacity, DiskProbe probe);

// Finds the disk of the record again by iCmdType, iBusType and iPort and probes it: among the
// present disks with that port id, the one with the record's serial number and model (several
// disks can share a port id) goes into the record. Each attempt that finds it nowhere waits one
// second and reports 100 x (attempt) / tries through the progress sink. Returns 1 when found; 0
// when it was not found, when a disk's device number cannot be read, or when a disk at the port
// fails its probe (the record is then zeroed); DISKLIB_ERR_OTHER_DISK when after the last
// attempt only other disks answer at the port (the record is kept). The caller writes the log
// lines.
int ReprobeByPortID(DiskRecord* record, int tries, DiskProbe probe);
