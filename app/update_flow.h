// The update: RUN starts it (LaunchUpdate), WM_UPDATE_DONE ends it (OnUpdateDone).
#pragma once

#include "platform/win32.h"

// RUN was pressed: checks the chosen disk against the package and starts the update worker.
void LaunchUpdate(HWND dialog);

// The worker has ended with result (1 success): tells the user and enables RUN and the list.
void OnUpdateDone(HWND dialog, int result);
