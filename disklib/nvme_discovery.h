// Discovery of NVMe disks: the scan over physical drives and volume letters, the probe of one
// drive, the open with command-type detection, the re-finding of a disk by its port id, and
// the capacity rule.
#pragma once

#include "disklib/disk_record.h"

#include <stdint.h>

// Fills the table from its start with the NVMe disks found on PhysicalDrive0..19 (at most
// capacity of them), then matches the volume letters C: to Z: to them. Returns the count.
uint32_t DISKLIB_NVME_ScanDisks(DiskRecord* table, uint32_t capacity);

// Probes one "\\.\PhysicalDrive%d" path into the record: 1 when filled, -1 when the path
// cannot be opened, -5 without a transport or below 16 GB, or the failing Identify result.
int DISKLIB_NVME_GetDiskInfo(const WCHAR* path, DiskRecord* record);

// Opens the disk for commands and fills the Command context; returns the device handle or
// INVALID_HANDLE_VALUE (the context's SCSI port handle is then invalid too).
HANDLE DISKLIB_NVME_OpenDisk(const WCHAR* path, CommandContext* context);

// Finds the disk of the record again by iCmdType, iBusType and iPort and probes it into the
// same record: the disk at that port with the record's serial number and model. Each attempt
// that does not find it waits one second and reports 100 x (attempt) / tries through the
// progress sink. Returns 1, 0, or DISKLIB_ERR_OTHER_DISK when only other disks answer at the
// port (physical_drives.h says which outcome leaves the record how).
int GetDiskInfoByPortID(DiskRecord* record, int tries);

// The identity fields of a record from Identify Controller data, converted as a probe converts
// them: iVendorId, iSubsystemVendorId, Model and FirmwareRev (trimmed), SerialNumber (as given).
void NvmeControllerIdentity(const BYTE* controller, DiskRecord* record);

// Decimal gigabytes by the IDEMA rule for 512- and 4096-byte sectors; 0 below 10^9 bytes.
uint32_t CalcCapacityGB(uint32_t sectorSize, uint64_t totalBytes);
