// The progress operations of the update workers. The range lives in the Application state; the
// dialog maps each percentage into it when it handles WM_UPDATE_PROGRESS.
#include "app/app_state.h"
#include "app/main_dialog.h"
#include "app/messages.h"

void SetProgressRange(int low, int high, int percent) {
    AppState* state = GetAppState();
    state->ProgressLow = static_cast<int16_t>(low);
    state->ProgressHigh = static_cast<int16_t>(high);
    SendMessageW(state->hDialog, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>(percent));
}

void WaitWithProgress(DWORD total) {
    HWND dialog = GetAppState()->hDialog;
    DWORD remaining = total;
    while (remaining > 1000) {
        Sleep(1000);
        remaining -= 1000;
        // 64-bit product: the share stays right for waits beyond 42 949 seconds
        DWORD share = static_cast<DWORD>(static_cast<uint64_t>(total - remaining) * 100u / total);
        PostMessageW(dialog, WM_UPDATE_PROGRESS, 0, static_cast<LPARAM>(share));
    }
    if (remaining > 0) {
        Sleep(remaining);
        SendMessageW(dialog, WM_UPDATE_PROGRESS, 0, 100);
    }
}

int MapProgress(int percent) {
    AppState* state = GetAppState();
    if (percent == 0) {
        return state->ProgressLow;
    }
    if (state->ProgressHigh == 0) {
        state->ProgressHigh = 100;
    }
    int low = state->ProgressLow;
    int high = state->ProgressHigh;
    return low + (high - low) * percent / 100;
}
