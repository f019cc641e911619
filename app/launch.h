// The update: RUN starts it (LaunchUpdate, StartWorker), WM_UPDATE_DONE ends it (OnUpdateDone).
#pragma once

#include "platform/win32.h"

// The refusal every failed RUN check shows without "/debug".
#define NO_UPDATE_NEEDED_TEXT L"Do not need to update."
// RUN on an entry that names no disk of the last discovery (the Disconnect entry).
#define DISK_NOT_CONNECTED_TEXT L"The selected disk is not connected."
#define UPDATE_FAILED_TEXT L"Update FW Fail !"
// Traced just before a worker starts and as its very last action: 52 minus signs.
#define WORKER_RULE_TEXT L"----------------------------------------------------"

// RUN was pressed: re-reads the chosen disk, checks it against the package in a fixed order,
// asks the package's question and starts the update worker.
void LaunchUpdate(HWND dialog);

// Starts routine on a new thread with the slot's address as its argument, unless the slot holds
// a thread already ("Thread is Running", 0). The thread is created suspended and its handle
// stored in the slot before it runs, so a routine that ends at once still finds its handle
// there; the routine's last act is to empty the slot. Returns 1 when the thread was started, 0
// otherwise.
int StartWorker(HANDLE* slot, LPTHREAD_START_ROUTINE routine);
