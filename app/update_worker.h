// The update workers: thread routines that StartWorker runs with the address of the Application
// state's worker slot. Each works on the selected disk (app/disk_table.h), reports progress
// through WM_UPDATE_PROGRESS, and ends through FinishWorker, which posts WM_UPDATE_DONE with its
// result once and then empties the slot.
#pragma once

#include "app/update_outcome.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"

// Updates an NVMe disk. Its exit code is the result it posts.
DWORD WINAPI NvmeUpdateWorker(LPVOID workerSlot);

// Updates a SATA disk (packages with bIsSATA set).
DWORD WINAPI SataUpdateWorker(LPVOID workerSlot);
