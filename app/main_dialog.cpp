// The main dialog: initialisation and layout, the commands, the device-change debounce and the
// two private messages of the update workers.
#include "app/main_dialog.h"
#include "app/state/app_state.h"
#include "app/disk_list.h"
#include "app/messages.h"
#include "app/outcome_texts.h"
#include "app/resource_ids.h"
#include "app/launch.h"
#include "app/update_outcome.h"
#include "log/debug_log.h"
#include "package/package_config.h"
#include "package/package_files.h"
#include "app/progress.h"
#include "app/update_done.h"

namespace {

// The dialog's bottom edge goes one status-line height plus 5 pixels below the status line;
// left, top and width stay.
void FitHeight(HWND dialog) {
    RECT status;
    RECT window;
    GetWindowRect(GetDlgItem(dialog, IDC_STATUS), &status);
    GetWindowRect(dialog, &window);
    int height = 2 * status.bottom - status.top + 5 - window.top;
    MoveWindow(dialog, window.left, window.top, window.right - window.left, height, TRUE);
}

// A 5-pixel bar along the bottom of the client area, across its whole width.
void PlaceProgressBar(HWND dialog) {
    RECT client;
    GetClientRect(dialog, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    MoveWindow(GetDlgItem(dialog, IDC_PROGRESS), 0, height - 5, width, 5, TRUE);
}

void ShowProgramIcon(HWND dialog) {
    HANDLE icon = LoadImageW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, 64, 64,
                             LR_DEFAULTCOLOR);
    SendDlgItemMessageW(dialog, IDC_PROGRAM_ICON, STM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(icon));
    SetClassLongPtrW(dialog, GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
}

INT_PTR OnInitDialog(HWND dialog) {
    AppState* state = GetAppState();
    state->hDialog = dialog;
    SetDlgItemTextW(dialog, IDC_MODEL, L"");
    SetDlgItemTextW(dialog, IDC_SERIAL, L"");
    SetDlgItemTextW(dialog, IDC_INTERFACE, L"");
    SetDlgItemTextW(dialog, IDC_FIRMWARE, L"");
    SetDlgItemTextW(dialog, IDC_CAPACITY, L"");
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    FitHeight(dialog);
    PlaceProgressBar(dialog);
    CenterWindow(dialog);
    ShowProgramIcon(dialog);
    // Without a working folder of its own the program writes nothing and ends. Other failures
    // are not detected: a missing configuration leaves the defaults.
    if (!PreparePackage()) {
        MessageBoxW(dialog, PACKAGE_START_ERROR_TEXT, PACKAGE_START_ERROR_CAPTION,
                    MB_OK | MB_ICONERROR);
        EndDialog(dialog, 0);
        return 0;
    }
    LoadPackageConfig(state->ConfigPath);
    SetWindowTextW(dialog, state->Title);
    Rescan(dialog, RESCAN_AT_START);
    RefreshSelection(dialog);
    return 0;
}

INT_PTR OnClose(HWND dialog) {
    AppState* state = GetAppState();
    if (IsBusy()) {
        MessageBoxW(dialog, BUSY_CLOSE_TEXT, state->Title, MB_OK);
        return 0;
    }
    CleanUpWorkingFolder(state->WorkingFolder);
    EndDialog(dialog, 0);
    return 1;
}

// Log-off, shutdown or (on POSIX) Ctrl-C: refused while an update runs, since the process would
// end between the download and the commit; the reason was given when the update started.
INT_PTR OnQueryEndSession(HWND dialog) {
    if (!IsSessionEndHeld()) {
        return 0; // the default: the session may end
    }
    DebugPrint(L"%s", SESSION_BLOCK_TEXT);
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
    return 1;
}

// The session ends now; the process ends after this message, so the working folder goes first.
INT_PTR OnEndSession(BOOL ending) {
    if (ending && !IsSessionEndHeld()) {
        CleanUpWorkingFolder(GetAppState()->WorkingFolder);
    }
    return 0;
}

// What the status line says while a step runs.
const WCHAR* StepStatusText(int step) {
    switch (step) {
    case STEP_OPEN:
    case STEP_CHECK:
    case STEP_CONFIG_READ:
        return STATUS_STEP_CHECK;
    case STEP_VERSION_BEFORE:
    case STEP_VERSION_AFTER:
    case STEP_RESTORE:
        return STATUS_STEP_VERSION;
    case STEP_DOWNLOAD:
        return STATUS_STEP_DOWNLOAD;
    case STEP_COMMIT:
        return STATUS_STEP_COMMIT;
    case STEP_POWER_CYCLE:
        return STATUS_STEP_POWER_CYCLE;
    case STEP_REFIND:
        return STATUS_STEP_WAIT;
    case STEP_VERIFY:
        return STATUS_STEP_VERIFY;
    default:
        return L"";
    }
}

INT_PTR OnCommand(HWND dialog, int id, int notification) {
    switch (id) {
    case IDOK:
        LaunchUpdate(dialog);
        return 0;
    case IDCANCEL:
        return OnClose(dialog);
    case IDC_DISK_LIST:
        if (notification == CBN_SELENDOK) {
            RefreshSelection(dialog);
        }
        return 0;
    default:
        return 0;
    }
}

} // namespace

void CenterWindow(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x;
    int y;
    HWND parent = GetParent(window);
    RECT area;
    if (parent != NULL && GetWindowRect(parent, &area)) {
        x = area.left + (area.right - area.left - width) / 2;
        y = area.top + (area.bottom - area.top - height) / 2;
    } else {
        x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    }
    MoveWindow(window, x, y, width, height, TRUE);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
    case WM_QUERYENDSESSION:
        return OnQueryEndSession(dialog);
    case WM_ENDSESSION:
        return OnEndSession(static_cast<BOOL>(wParam));
    case WM_DEVICECHANGE:
        // Setting the timer again restarts its delay: a burst gives one rescan.
        SetTimer(dialog, DEVICE_CHANGE_TIMER_ID, DEVICE_CHANGE_DELAY_MS, NULL);
        return 0;
    case WM_TIMER:
        KillTimer(dialog, DEVICE_CHANGE_TIMER_ID);
        Rescan(dialog, RESCAN_AFTER_CHANGE);
        return 0;
    case WM_UPDATE_DONE:
        OnUpdateDone(dialog, static_cast<int>(lParam));
        return 0;
    case WM_UPDATE_PROGRESS: {
        // A percentage posted under one step and handled under the next one can map below what
        // the bar shows; during an update the bar never moves back.
        const int position = ForwardBarPosition(MapProgress(static_cast<int>(lParam)));
        SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
        return 0;
    }
    case WM_UPDATE_STEP:
        SetDlgItemTextW(dialog, IDC_STATUS, StepStatusText(static_cast<int>(lParam)));
        return 0;
    default:
        return 0;
    }
}
