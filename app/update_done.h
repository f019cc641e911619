// The end of an update: the workers' common end on their thread, the outcome told on the
// dialog's thread, the power-off or restart the user may choose, and the hold on the session's
// end while an update runs.
#pragma once

#include "app/update_outcome.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"

// The common end of both workers: closes the device handle and the context's SCSI port handle
// (each only when valid; context may be null), posts WM_UPDATE_DONE with result, empties the
// worker slot and closes the thread handle it held, traces the rule of 52 minus signs. Returns
// result.
int FinishWorker(LPVOID workerSlot, CommandContext* context, HANDLE device, int result);

// The end of an update: stores its outcome for the dialog, then FinishWorker with the outcome's
// result.
int FinishUpdate(LPVOID workerSlot, CommandContext* context, HANDLE device,
                 const UpdateOutcome* outcome);

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
