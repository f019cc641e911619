// The progress operations of the update workers, and the disk library's progress sink. The
// range lives in the Application state; the dialog maps each percentage into it when it handles
// WM_UPDATE_PROGRESS. The worker writes the range while the dialog's thread may still be
// mapping an earlier posted percentage, so both ends are read and written atomically (a late
// percentage is mapped into the new range).
#include "app/state/app_state.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/progress.h"

namespace {

// The highest bar position shown since the update started, or -1 outside an update. Dialog
// thread only.
int g_barFloor = -1;

int16_t LoadRangeEnd(int16_t* end) {
    return InterlockedCompareExchange16(reinterpret_cast<SHORT volatile*>(end), 0, 0);
}

void StoreRangeEnd(int16_t* end, int value) {
    SHORT want = static_cast<SHORT>(value);
    SHORT seen = LoadRangeEnd(end);
    for (;;) {
        SHORT before =
            InterlockedCompareExchange16(reinterpret_cast<SHORT volatile*>(end), want, seen);
        if (before == seen) {
            return;
        }
        seen = before;
    }
}

} // namespace

void SetProgressRange(int low, int high, int percent) {
    AppState* state = GetAppState();
    StoreRangeEnd(&state->ProgressLow, low);
    StoreRangeEnd(&state->ProgressHigh, high);
    if (state->hDialog != NULL) {
        SendMessageW(state->hDialog, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>(percent));
    }
}

void WaitWithProgress(DWORD total) {
    HWND dialog = GetAppState()->hDialog;
    DWORD remaining = total;
    while (remaining > 1000) {
        Sleep(1000);
        remaining -= 1000;
        // 64-bit product: the share stays right for waits beyond 42 949 seconds
        DWORD share = static_cast<DWORD>(static_cast<uint64_t>(total - remaining) * 100u / total);
        if (dialog != NULL) {
            PostMessageW(dialog, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>(share));
        }
    }
    if (remaining > 0) {
        Sleep(remaining);
        if (dialog != NULL) {
            SendMessageW(dialog, WM_UPDATE_PROGRESS, 0, 100);
        }
    }
}

int MapProgress(int percent) {
    AppState* state = GetAppState();
    int low = LoadRangeEnd(&state->ProgressLow);
    if (percent == 0) {
        return low;
    }
    // a high end of 0 (never set) becomes 100
    InterlockedCompareExchange16(reinterpret_cast<SHORT volatile*>(&state->ProgressHigh), 100, 0);
    int high = LoadRangeEnd(&state->ProgressHigh);
    return low + (high - low) * percent / 100;
}

// Without a dialog (an unattended run) progress and steps go nowhere.
void PostDiskProgress(int percent) {
    if (GetAppState()->hDialog != NULL) {
        PostMessageW(GetAppState()->hDialog, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>(percent));
    }
}

void ReportStep(int step) {
    if (GetAppState()->hDialog != NULL) {
        PostMessageW(GetAppState()->hDialog, WM_UPDATE_STEP, 0, static_cast<LPARAM>(step));
    }
}

void BeginBarUpdate() {
    g_barFloor = 0;
}

void EndBarUpdate() {
    g_barFloor = -1;
}

int ForwardBarPosition(int position) {
    if (g_barFloor < 0) {
        return position;
    }
    if (position < g_barFloor) {
        return g_barFloor;
    }
    g_barFloor = position;
    return position;
}
