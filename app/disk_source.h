// Where the disks come from: the NVMe discovery and re-read, or their SATA forms when the
// package is for SATA disks (bIsSATA).
#pragma once

#include "disklib/disk_record.h"

#include <stdint.h>

// Fills the table (capacity 26) from its start and returns the number of disks found; the
// entries past it are zero. While an update runs on a disk behind a USB bridge, that disk is not
// probed but listed as the update found it, so that no command of the rescan comes between the
// phases of the worker's tunnelled commands.
uint32_t DiscoverDisks(DiskRecord* table);

// Finds the disk of the record again by its location and re-reads it into the record, allowing
// tries one-second attempts. Returns 1 when it was found and read.
int RereadDisk(DiskRecord* record, int tries);
