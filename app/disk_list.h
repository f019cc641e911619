// The disk list (control 500) and the details panel (controls 501 to 505).
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#define DISK_ENTRY_CHARS 260
#define DISK_DETAIL_CHARS 260

// Rediscovers the disks and rebuilds the list with the disks the package admits, keeping the
// selected disk selected by its port; RESCAN_AT_START only for dialog initialisation. A rescan that
// finds another one running returns at once and the running one runs once more when it ends, so
// that the last rescan asked for always reads the disks after it was asked. Safe on the update
// worker's thread: it reaches the controls by sent messages only.
enum { RESCAN_AFTER_CHANGE = 0, RESCAN_AT_START = 1 };
void Rescan(HWND dialog, int when);

// Re-reads the disk of the current list entry (30 attempts), makes it the selected disk and
// shows it. No current entry zeroes the selected disk; the Disconnect entry names no disk and
// changes nothing.
void RefreshSelection(HWND dialog);

// Writes the record into the details panel: model, serial number, firmware, capacity and the
// interface text of its command type.
void ShowDiskDetails(HWND dialog, const DiskRecord* disk);

// The list's text for a disk: "<model> (RAW)" without a drive letter, else
// "<model> [<letters>]". text holds capacity characters.
void FormatDiskEntry(const DiskRecord* disk, WCHAR* text, size_t capacity);

// After an update: the selection stays on the updated disk. While that disk is not found, a
// rescan shows its Disconnect entry rather than selecting another disk; the hold ends when the
// disk is found again or the user picks another entry.
void HoldSelection();
