// The disk list: a rescan fills it with every disk the NVMe discovery finds, "<model> (RAW)" or
// "<model> [<volume letters>]", selects the first entry when the program is idle, and clears the
// details panel and disables RUN. A SATA package lists no disk. Refreshing the selection zeroes
// the selected disk when the list has no current entry.
#include "app/disk_list.h"
#include "app/state/app_state.h"
#include "app/resource_ids.h"
#include "common/wformat.h"
#include "disklib/nvme_discovery.h"

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
    if (state->bIsSATA != 0) {
        memset(state->Disks, 0, sizeof(state->Disks));
        state->DiskCount = 0;
    } else {
        state->DiskCount = DISKLIB_NVME_ScanDisks(state->Disks, DISK_TABLE_CAPACITY);
    }
    SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_RESETCONTENT, 0, 0);
    for (uint32_t i = 0; i < state->DiskCount; ++i) {
        const DiskRecord* disk = &state->Disks[i];
        WCHAR text[APP_PATH_CHARS];
        if (disk->bRaw == 1) {
            WFormat(text, APP_PATH_CHARS, L"%s (RAW)", disk->Model);
        } else {
            WFormat(text, APP_PATH_CHARS, L"%s [%s]", disk->Model, disk->VolumeLetters);
        }
        LRESULT entry = SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_ADDSTRING, 0,
                                            reinterpret_cast<LPARAM>(text));
        SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_SETITEMDATA, static_cast<WPARAM>(entry),
                            static_cast<LPARAM>(i));
    }
    if (state->DiskCount > 0 && !IsBusy()) {
        SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_SETCURSEL, 0, 0);
    }
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
