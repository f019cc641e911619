// The end of an update: the workers' common end on their thread (FinishUpdate, FinishWorker),
// the outcome shown on the dialog thread (OnUpdateDone) and the power-off or restart the user
// may choose.
#include "app/disk_list.h"
#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/outcome_text.h"
#include "app/outcome_texts.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "app/launch.h"
#include "app/update_worker.h"
#include "common/text.h"
#include "common/wformat.h"
#include "log/debug_log.h"
#include "app/progress.h"
#include "app/update_done.h"

int FinishWorker(LPVOID workerSlot, CommandContext* context, HANDLE device, int result) {
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
    if (GetAppState()->hDialog != NULL) {
        PostMessageW(GetAppState()->hDialog, WM_UPDATE_DONE, 0, static_cast<LPARAM>(result));
    }
    // The thread is not joined: it needs nothing after this, so its handle is closed here.
    HANDLE self = InterlockedExchangePointer(static_cast<PVOID volatile*>(workerSlot), NULL);
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

namespace {
int g_sessionEndHeld = 0;
} // namespace

void HoldSessionEnd(HWND dialog) {
    g_sessionEndHeld = 1;
    ShutdownBlockReasonCreate(dialog, SESSION_BLOCK_TEXT);
}

void ReleaseSessionEnd(HWND dialog) {
    if (g_sessionEndHeld) {
        g_sessionEndHeld = 0;
        ShutdownBlockReasonDestroy(dialog);
    }
}

int IsSessionEndHeld() {
    return g_sessionEndHeld;
}

int FinishUpdate(LPVOID workerSlot, CommandContext* context, HANDLE device,
                 const UpdateOutcome* outcome) {
    StoreLastOutcome(outcome);
    return FinishWorker(workerSlot, context, device, outcome->iResult);
}

namespace {

// OK and Cancel, Cancel first: Enter pressed to acknowledge never powers the PC off.
void OfferShutdown(HWND dialog, const WCHAR* text, UINT flags) {
    if (MessageBoxW(dialog, text, GetAppState()->Title,
                    MB_OKCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON2) == IDOK) {
        RequestShutdown(flags);
    }
}

// The package's own closing message, as its PowerCtrl asks.
void ShowAfterMessage(HWND dialog) {
    const AppState* state = GetAppState();
    if (state->AfterMessage[0] == L'\0') {
        return;
    }
    switch (state->PowerCtrl) {
    case 0:
        MessageBoxW(dialog, state->AfterMessage, state->Title, MB_OK);
        break;
    case 1:
    case 2:
        OfferShutdown(dialog, state->AfterMessage,
                      state->PowerCtrl == 1 ? EWX_POWEROFF : EWX_REBOOT);
        break;
    default:
        break;
    }
}

// The image waits for what the drive needs; the offer follows it, not PowerCtrl.
void ShowPending(HWND dialog, const UpdateOutcome* o) {
    WCHAR text[APP_MESSAGE_CHARS];
    FormatOutcomeDetails(o, text, APP_MESSAGE_CHARS);
    if (o->iKind == OUTCOME_PENDING_RESTART) {
        AppendText(text, APP_MESSAGE_CHARS, OUTCOME_RESTART_QUESTION);
        OfferShutdown(dialog, text, EWX_REBOOT);
    } else if (o->iKind == OUTCOME_PENDING_POWER_OFF) {
        AppendText(text, APP_MESSAGE_CHARS, OUTCOME_POWER_OFF_QUESTION);
        OfferShutdown(dialog, text, EWX_POWEROFF);
    } else {
        MessageBoxW(dialog, text, GetAppState()->Title, MB_OK | MB_ICONINFORMATION);
    }
}

void ShowProblem(HWND dialog, const UpdateOutcome* o) {
    WCHAR text[APP_MESSAGE_CHARS];
    FormatOutcomeDetails(o, text, APP_MESSAGE_CHARS);
    MessageBoxW(dialog, text, GetAppState()->Title, MB_OK | MB_ICONWARNING);
}

// One line on what the drive runs now, so that an update ends with a word even when the package
// has no closing message.
void SetOutcomeStatus(HWND dialog, const UpdateOutcome* o) {
    WCHAR text[APP_MESSAGE_CHARS];
    FormatOutcomeStatus(o, text, APP_MESSAGE_CHARS);
    SetDlgItemTextW(dialog, IDC_STATUS, text);
}

} // namespace

void OnUpdateDone(HWND dialog, int result) {
    EndBarUpdate();
    ClearUpdatingDisk();
    HoldSelection();
    UpdateOutcome outcome;
    ReadLastOutcome(&outcome);
    if (outcome.iKind == OUTCOME_NONE) {
        // No record of how it ended: the result alone speaks.
        outcome.iKind = result == DISKLIB_OK ? OUTCOME_ACTIVE : OUTCOME_FAILED;
    }
    NoteEndedOutcome(outcome.iKind);
    SetOutcomeStatus(dialog, &outcome);
    switch (outcome.iKind) {
    case OUTCOME_ACTIVE:
        ShowAfterMessage(dialog);
        break;
    case OUTCOME_PENDING_RESTART:
    case OUTCOME_PENDING_POWER_OFF:
    case OUTCOME_PENDING_REPLUG:
        ShowPending(dialog, &outcome);
        break;
    default:
        ShowProblem(dialog, &outcome);
        break;
    }
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_DISK_LIST), TRUE);
    // The outcome has been told: a session end held back by the update may go on now.
    ReleaseSessionEnd(dialog);
}
