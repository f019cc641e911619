// Disk discovery is not built yet: Rescan finds no disks, so the list stays empty.
#include "app/disk_list.h"
#include "app/app_state.h"
#include "app/resource_ids.h"

#include <string.h>

namespace {
// 0 = free, 1 = a rescan is in progress; a rescan that finds it taken is dropped.
LONG volatile g_rescanGuard = 0;
} // namespace

void Rescan(HWND dialog, int initial) {
    (void)initial;
    if (InterlockedCompareExchange(&g_rescanGuard, 1, 0) != 0) {
        return;
    }
    AppState* state = GetAppState();
    state->DiskCount = 0;
    SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_RESETCONTENT, 0, 0);
    if (!IsBusy()) {
        SetDlgItemTextW(dialog, IDC_MODEL, L"");
        SetDlgItemTextW(dialog, IDC_SERIAL, L"");
        SetDlgItemTextW(dialog, IDC_INTERFACE, L"");
        SetDlgItemTextW(dialog, IDC_FIRMWARE, L"");
        SetDlgItemTextW(dialog, IDC_CAPACITY, L"");
        SetDlgItemTextW(dialog, IDC_STATUS, L"");
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    }
    InterlockedExchange(&g_rescanGuard, 0);
}

void RefreshSelection(HWND dialog) {
    LRESULT entry = SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_GETCURSEL, 0, 0);
    if (entry == CB_ERR) {
        memset(&GetAppState()->SelectedDisk, 0, sizeof(DiskRecord));
        return;
    }
}
