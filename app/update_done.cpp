// The end of an update: the workers' common end on their thread (FinishWorker), the outcome shown
// on the dialog thread (OnUpdateDone) and the power-off or restart the user may choose.
#include "app/messages.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "app/update_flow.h"
#include "app/update_worker.h"
#include "log/debug_log.h"

int FinishWorker(LPVOID slot, CommandContext* context, HANDLE device, int result) {
    if (device != INVALID_HANDLE_VALUE && device != NULL) {
        CloseHandle(device);
    }
    if (context != NULL && context->hScsiPort != INVALID_HANDLE_VALUE &&
        context->hScsiPort != NULL) {
        CloseHandle(context->hScsiPort);
        context->hScsiPort = INVALID_HANDLE_VALUE;
    }
    // The dialog hears of the end before the slot is emptied, so a RUN pressed between the two
    // meets "Thread is Running" rather than a second worker on the same disk.
    PostMessageW(GetAppState()->hDialog, WM_UPDATE_DONE, 0, static_cast<LPARAM>(result));
    // The thread is not joined: it needs nothing after this, so its handle is closed here.
    HANDLE self = InterlockedExchangePointer(static_cast<PVOID volatile*>(slot), NULL);
    if (self != NULL) {
        CloseHandle(self);
    }
    DebugPrint(L"%s", WORKER_RULE_TEXT);
    return result;
}

void RequestShutdown(UINT flags) {
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges = {};
        LookupPrivilegeValueW(NULL, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
    }
    ExitWindowsEx(flags, 0);
}

void OnUpdateDone(HWND dialog, int result) {
    const AppState* state = GetAppState();
    if (result != DISKLIB_OK) {
        MessageBoxW(dialog, UPDATE_FAILED_TEXT, state->Title, MB_OK);
    } else if (state->AfterMessage[0] != L'\0') {
        switch (state->PowerCtrl) {
        case 0:
            MessageBoxW(dialog, state->AfterMessage, state->Title, MB_OK);
            break;
        case 1:
        case 2:
            if (MessageBoxW(dialog, state->AfterMessage, state->Title,
                            MB_OKCANCEL | MB_ICONINFORMATION) == IDOK) {
                RequestShutdown(state->PowerCtrl == 1 ? EWX_POWEROFF : EWX_REBOOT);
            }
            break;
        default:
            break;
        }
    }
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_DISK_LIST), TRUE);
}
