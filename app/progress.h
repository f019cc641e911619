// The progress of an update as the dialog shows it: the bar's range per step, the waits that move
// it, the disk library's and the steps' messages to the dialog, and the bar that only moves
// forward. Without a dialog (an unattended run) nothing is posted.
#pragma once

#include "platform/win32.h"

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
