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

// The rescan guard: free, a rescan running, or a rescan running that must run once more because
// another was asked for meanwhile (its disks may have changed after the running one read them).
enum { RESCAN_FREE = 0, RESCAN_RUNNING = 1, RESCAN_AGAIN = 2 };
LONG volatile g_rescanGuard = RESCAN_FREE;

// 1 while the selection must stay on the selected disk: after an update, and while the list
// shows its Disconnect entry. A rescan that does not find the disk shows (or keeps) its
// Disconnect entry instead of moving the selection to another disk, where RUN would update a
// drive the user did not choose; the hold ends when the disk is found again or the user picks
// another entry.
LONG volatile g_holdSelection = 0;

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
    InterlockedExchange(&g_holdSelection, 1);
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

namespace {

// One pass of the rescan, under the guard.
void RescanOnce(HWND dialog, bool initial) {
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
    // A disk that left (during an update, or since) stays as its Disconnect entry while idle.
    if (initial || match >= 0) {
        InterlockedExchange(&g_holdSelection, 0);
    }
    const bool keepDisconnect =
        !busy && match < 0 && InterlockedCompareExchange(&g_holdSelection, 0, 0) != 0;
    if (keepDisconnect) {
        AddDisconnectEntry(dialog, previousText, count);
        EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    } else if (listedCount > 0 && !busy) {
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
}

} // namespace

void Rescan(HWND dialog, int when) {
    if (dialog == NULL) {
        return; // an unattended run: no list to fill, and its disks were judged already
    }
    for (;;) {
        const LONG seen = InterlockedCompareExchange(&g_rescanGuard, RESCAN_RUNNING, RESCAN_FREE);
        if (seen == RESCAN_FREE) {
            break;
        }
        // Another rescan runs: it runs once more, after this request, in its own thread.
        if (seen == RESCAN_AGAIN || InterlockedCompareExchange(&g_rescanGuard, RESCAN_AGAIN,
                                                               RESCAN_RUNNING) != RESCAN_FREE) {
            return;
        }
    }
    RescanOnce(dialog, when == RESCAN_AT_START);
    // Only the running rescan leaves RESCAN_AGAIN, so the exchange cannot lose a request.
    while (InterlockedCompareExchange(&g_rescanGuard, RESCAN_FREE, RESCAN_RUNNING) ==
           RESCAN_AGAIN) {
        InterlockedExchange(&g_rescanGuard, RESCAN_RUNNING);
        RescanOnce(dialog, false);
    }
}

void HoldSelection() {
    InterlockedExchange(&g_holdSelection, 1);
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
    InterlockedExchange(&g_holdSelection, 0); // the user chose another disk
    RereadDisk(&disk, kPickRereadTries);
    StoreListedDisk(index, generation, &disk);
    ShowDiskDetails(dialog, &disk);
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}
