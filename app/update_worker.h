// The update workers: thread routines that StartWorker runs with the address of the Application
// state's worker slot. Each works on the selected disk (app/disk_table.h), reports progress
// through WM_UPDATE_PROGRESS, and ends through FinishWorker, which posts WM_UPDATE_DONE with its
// result once and then empties the slot.
#pragma once

#include "app/update_outcome.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"

// Updates an NVMe disk. Its exit code is the result it posts.
DWORD WINAPI NvmeUpdateWorker(LPVOID slot);

// Updates a SATA disk (packages with bIsSATA set).
DWORD WINAPI SataUpdateWorker(LPVOID slot);

// The common end of both workers: closes the device handle and the context's SCSI port handle
// (each only when valid; context may be null), posts WM_UPDATE_DONE with result, empties the
// slot and closes the thread handle it held, traces the rule of 52 minus signs. Returns result.
int FinishWorker(LPVOID slot, CommandContext* context, HANDLE device, int result);

// The end of an update: stores its outcome for the dialog, then FinishWorker with the outcome's
// result.
int FinishUpdate(LPVOID slot, CommandContext* context, HANDLE device, const UpdateOutcome* outcome);
