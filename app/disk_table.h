// The Disk table, the disk count and the selected disk of the Application state, as the dialog
// thread and the update worker share them. Every read and write of the three goes through these
// functions; no other code touches those fields once the dialog runs.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

// A rescan's result, stored in one step: the table and count it found and whether the selected
// disk came up among the listed disks. listed[i] is 1 for the disks the list offers. When one of
// them has the selected disk's iPort and names the same drive (serial number and model), the
// last such disk is copied into the selected disk and its index returned; otherwise -1 and the
// selected disk stays.
int StoreRescan(const DiskRecord* found, uint32_t count, const uint8_t* listed,
                DiskRecord* selected);

// Copies the table record that a list entry's item data names, with the table's generation
// (it changes with every rescan). FALSE when the index names no disk of the last discovery (the
// Disconnect entry, whose item data is the disk count, or no entry at all).
BOOL ReadListedDisk(LONG_PTR index, DiskRecord* disk, uint32_t* generation);

// Stores a record re-read from a listed disk: into the table slot, unless a rescan has rewritten
// the table since ReadListedDisk gave out generation, and into the selected disk.
void StoreListedDisk(LONG_PTR index, uint32_t generation, const DiskRecord* disk);

// The selected disk, whole. For the update worker: read it, work on the copy, and store back
// what a re-read found.
void ReadSelectedDisk(DiskRecord* disk);
void StoreSelectedDisk(const DiskRecord* disk);

// Fills the selected disk with zeros (the list has no current entry).
void ClearSelectedDisk();

// Re-reads the selected disk by its port, allowing tries attempts (the SATA re-read when the
// package is for SATA), and stores what the re-read left in the record, as an in-place re-read
// would. The disk I/O runs on a copy, outside the lock. Returns the re-read's result.
int RereadSelectedDisk(int tries);

// The disk an update runs on, as RUN checked it: set before the worker starts, cleared when the
// update has ended. A rescan meanwhile must not send this disk a bridge's tunnelled commands
// between the phases of the worker's (app/disk_source.h). ReadUpdatingDisk is FALSE when no
// update runs.
void SetUpdatingDisk(const DiskRecord* disk);
void ClearUpdatingDisk();
BOOL ReadUpdatingDisk(DiskRecord* disk);
