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

// The worker has ended with result (1 success). Tells the user what the drive runs now, from the
// outcome the worker left: when it runs the new firmware, the package's AfterMessage, if any,
// with the power-off or restart offer of PowerCtrl; when the new firmware waits for a restart,
// a power-off or a replug, that, with the offer the drive needs; otherwise what failed
// ("Update FW Fail !" first when the drive still runs its old firmware). The status line says
// it in one line. Then RUN and the list are enabled again.
void OnUpdateDone(HWND dialog, int result);

// Enables the shutdown privilege of the process and asks the system to power off or restart
// (EWX_POWEROFF, EWX_REBOOT). Nothing is examined or reported.
void RequestShutdown(UINT flags);

// From the worker's start to its outcome told, the session may not end (log-off, shutdown, and
// on POSIX Ctrl-C): the hold names the update as the reason. On the dialog's thread only.
void HoldSessionEnd(HWND dialog);
void ReleaseSessionEnd(HWND dialog);
int IsSessionEndHeld();
