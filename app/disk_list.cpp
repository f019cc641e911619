// The disk list: a rescan lists the disks the package admits, each entry's item data being the
// disk's index in the Disk table, and keeps the user's disk selected across device changes by
// its port id. During an update a disk that has gone is shown as a Disconnect entry. Picking an
// entry re-reads that disk and shows it in the details panel.
#include "app/disk_list.h"
#include "app/disk_source.h"
#include "app/disk_table.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "common/wformat.h"
#include "package/version_rules.h"

#include <string.h>

namespace {

// 0 = free, 1 = a rescan is in progress; a rescan that finds it taken is dropped.
LONG volatile g_rescanGuard = 0;

// Attempts of the re-read when the user picks a disk, one second each.
const int kPickRereadTries = 30;

LRESULT ListMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageW(dialog, IDC_DISK_LIST, message, wParam, lParam);
}

LRESULT AddEntry(HWND dialog, const WCHAR* text, uint32_t itemData) {
    LRESULT position = ListMessage(dialog, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    ListMessage(dialog, CB_SETITEMDATA, static_cast<WPARAM>(position),
                static_cast<LPARAM>(itemData));
    return position;
}

// The entry of the disk that has gone: its old entry text and " - Disconnect", with the disk
// count as item data, selected. The panel keeps what it showed.
void AddDisconnectEntry(HWND dialog, const WCHAR* previousText, uint32_t count) {
    WCHAR text[DISK_ENTRY_CHARS];
    WFormat(text, DISK_ENTRY_CHARS, L"%s - Disconnect", previousText);
    LRESULT position = AddEntry(dialog, text, count);
    ListMessage(dialog, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

void ClearPanel(HWND dialog) {
    SetDlgItemTextW(dialog, IDC_MODEL, L"");
    SetDlgItemTextW(dialog, IDC_SERIAL, L"");
    SetDlgItemTextW(dialog, IDC_INTERFACE, L"");
    SetDlgItemTextW(dialog, IDC_FIRMWARE, L"");
    SetDlgItemTextW(dialog, IDC_CAPACITY, L"");
}

} // namespace

void FormatDiskEntry(const DiskRecord* disk, WCHAR* text, size_t capacity) {
    if (disk->bRaw == 1) {
        WFormat(text, capacity, L"%s (RAW)", disk->Model);
    } else {
        WFormat(text, capacity, L"%s [%s]", disk->Model, disk->VolumeLetters);
    }
}

void Rescan(HWND dialog, int initial) {
    if (InterlockedCompareExchange(&g_rescanGuard, 1, 0) != 0) {
        return;
    }
    const AppState* state = GetAppState();
    WCHAR previousText[DISK_ENTRY_CHARS];
    previousText[0] = 0;
    if (!initial) {
        DiskRecord previous;
        ReadSelectedDisk(&previous);
        FormatDiskEntry(&previous, previousText, DISK_ENTRY_CHARS);
    }
    // Discovery and the model and SOC rules run on a table of this rescan's own; the shared
    // table, the count and the selected disk are written in one locked step.
    DiskRecord found[DISK_TABLE_CAPACITY];
    memset(found, 0, sizeof(found));
    uint32_t count = DiscoverDisks(found);
    uint8_t listed[DISK_TABLE_CAPACITY];
    memset(listed, 0, sizeof(listed));
    for (uint32_t i = 0; i < count; ++i) {
        listed[i] = IsDiskEligible(&found[i], state->ModelName, state->SOCID) ? 1 : 0;
    }
    DiskRecord selected;
    int match = StoreRescan(found, count, listed, &selected);

    ListMessage(dialog, CB_RESETCONTENT, 0, 0);
    uint32_t listedCount = 0;
    LRESULT matchPosition = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (listed[i] == 0) {
            continue;
        }
        WCHAR text[DISK_ENTRY_CHARS];
        FormatDiskEntry(&found[i], text, DISK_ENTRY_CHARS);
        LRESULT position = AddEntry(dialog, text, i);
        if (static_cast<int>(i) == match) {
            matchPosition = position;
        }
        ++listedCount;
    }

    const int busy = IsBusy();
    if (listedCount > 0 && !busy) {
        LRESULT position = match >= 0 ? matchPosition : 0;
        ListMessage(dialog, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
        LRESULT index = ListMessage(dialog, CB_GETITEMDATA, static_cast<WPARAM>(position), 0);
        if (index >= 0 && index < static_cast<LRESULT>(count)) {
            ShowDiskDetails(dialog, &found[index]);
        }
        if (match < 0) {
            SetDlgItemTextW(dialog, IDC_STATUS, L"");
        }
        EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    } else if (listedCount > 0 && match >= 0) {
        ListMessage(dialog, CB_SETCURSEL, static_cast<WPARAM>(matchPosition), 0);
        ShowDiskDetails(dialog, &selected);
    } else if (busy) {
        AddDisconnectEntry(dialog, previousText, count);
    } else {
        ClearPanel(dialog);
        SetDlgItemTextW(dialog, IDC_STATUS, L"");
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    }
    InterlockedExchange(&g_rescanGuard, 0);
}

void RefreshSelection(HWND dialog) {
    LRESULT entry = ListMessage(dialog, CB_GETCURSEL, 0, 0);
    if (entry == CB_ERR) {
        ClearSelectedDisk();
        return;
    }
    LRESULT index = ListMessage(dialog, CB_GETITEMDATA, static_cast<WPARAM>(entry), 0);
    DiskRecord disk;
    uint32_t generation = 0;
    if (!ReadListedDisk(index, &disk, &generation)) {
        return; // the Disconnect entry: there is no disk to re-read or show
    }
    RereadDisk(&disk, kPickRereadTries);
    StoreListedDisk(index, generation, &disk);
    ShowDiskDetails(dialog, &disk);
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}
