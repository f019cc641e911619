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
