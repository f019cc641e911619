// The dialog's private window messages. Both carry 0 in wParam.
#pragma once

#include "platform/win32.h"

// lParam: the update's result (1 success, anything else failure). Posted once by the ending
// update worker.
#define WM_UPDATE_DONE (WM_APP + 37)
// lParam: percentage 0..100 of the current progress step. Posted or sent by workers; posted for
// the disk library by its progress sink, PostDiskProgress.
#define WM_UPDATE_PROGRESS (WM_APP + 48)
// lParam: the step of the update that starts now (STEP_*, app/update_outcome.h). Posted by the
// workers; the dialog names the step in its status line.
#define WM_UPDATE_STEP (WM_APP + 49)
