// The update launch and the update workers are not built yet: RUN and WM_UPDATE_DONE arrive
// here and do nothing. This file goes away when they land.
#include "app/update_flow.h"

void LaunchUpdate(HWND dialog) {
    (void)dialog;
}

void OnUpdateDone(HWND dialog, int result) {
    (void)dialog;
    (void)result;
}
