// The main dialog (template 102): its dialog procedure, the window placement done at start, and
// the progress operations the update workers report through.
#pragma once

#include "platform/win32.h"

// Timer of the device-change debounce: every WM_DEVICECHANGE (re)sets it, its WM_TIMER rescans.
#define DEVICE_CHANGE_TIMER_ID 1000
#define DEVICE_CHANGE_DELAY_MS 2000

#define BUSY_CLOSE_TEXT L"Update FW Now!\nCan't Exit Program."
// Shown by Windows beside the program while it refuses to let the session end: an update runs.
#define SESSION_BLOCK_TEXT                                                                         \
    L"A drive's firmware is being updated. Ending the session now could leave the drive unusable."

// Dialog procedure of template 102. Returns 0 for every message except a completed close (1).
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Centres the window over its parent window, or over the primary screen when it has none.
void CenterWindow(HWND window);

// Stores the progress step (low..high on the 0..100 bar) in the Application state, then sends
// WM_UPDATE_PROGRESS with percent to the dialog.
void SetProgressRange(int low, int high, int percent);

// Blocks the calling thread for total milliseconds, posting the share of the time passed after
// each whole second and sending 100 after the last part.
void WaitWithProgress(DWORD total);

// Maps a percentage of the current step into its range: 0 gives low; a high end of 0 is stored
// as 100 first.
int MapProgress(int percent);

// The disk library's progress sink, installed at start-up: posts WM_UPDATE_PROGRESS with
// percent to the dialog and returns without waiting for it.
void PostDiskProgress(int percent);

// Posts WM_UPDATE_STEP: the status line names the step that starts (STEP_*).
void ReportStep(int step);

// The bar during an update only moves forward: positions below the highest one shown since the
// update started are not shown. BeginBarUpdate starts it at 0, EndBarUpdate lets any position
// through again. Dialog thread only.
void BeginBarUpdate();
void EndBarUpdate();
// The position to show for a mapped position.
int ForwardBarPosition(int position);
