// RUN and WM_UPDATE_DONE: the program starts no update, so both return without acting.
#include "app/update_flow.h"

void LaunchUpdate(HWND dialog) {
    (void)dialog;
}

void OnUpdateDone(HWND dialog, int result) {
    (void)dialog;
    (void)result;
}
