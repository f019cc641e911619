#include "app/state/app_state.h"
#include "common/text.h"

#include <string.h>

namespace {
AppState g_appState;
}

AppState* GetAppState() {
    return &g_appState;
}

// The worker slot is written by the worker's thread and read by the dialog's: read it atomically.
int IsBusy() {
    PVOID worker = InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&g_appState.hWorker), nullptr, nullptr);
    return worker != nullptr ? 1 : 0;
}

void InitAppState(const char* commandLine) {
    memset(&g_appState, 0, sizeof(g_appState));
    WCHAR wide[APP_COMMAND_LINE_CHARS];
    wide[0] = 0;
    if (commandLine != nullptr && commandLine[0] != 0) {
        int n = MultiByteToWideChar(CP_ACP, 0, commandLine, -1, wide, APP_COMMAND_LINE_CHARS);
        if (n == 0) {
            wide[0] = 0; // did not fit: the switch stays off
        }
    }
    if (FindNoCase(wide, L"/debug") != nullptr) {
        g_appState.DebugFlag = 1;
    }
}
