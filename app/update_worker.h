// The update workers: thread routines that StartWorker runs with the address of the Application
// state's worker slot. Each works on the selected disk (app/disk_table.h), reports progress
// through WM_UPDATE_PROGRESS, posts WM_UPDATE_DONE with its result once, and as its last act
// takes its handle out of the slot and closes it.
#pragma once

#include "platform/win32.h"

// Updates an NVMe disk. Its exit code is the result it posts.
DWORD WINAPI NvmeUpdateWorker(LPVOID slot);

// Updates a SATA disk (packages with bIsSATA set).
DWORD WINAPI SataUpdateWorker(LPVOID slot);
