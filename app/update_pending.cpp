// The update workers are not built yet. Each one sends nothing to the disk and ends at once with
// DISKLIB_ERR_UNSUPPORTED, the way every worker ends: WM_UPDATE_DONE posted, then the slot
// emptied and the rule traced. OnUpdateDone so far handles the failure: "Update FW Fail !",
// then RUN and the list are enabled again. The success branch (AfterMessage and PowerCtrl)
// comes with the workers.
#include "app/messages.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "app/update_flow.h"
#include "app/update_worker.h"
#include "disklib/disk_record.h"
#include "log/debug_log.h"

namespace {

DWORD EndWorkerNotBuilt(LPVOID slot, const WCHAR* name) {
    DebugPrint(L"%s is not built: nothing was sent to the disk", name);
    PostMessageW(GetAppState()->hDialog, WM_UPDATE_DONE, 0,
                 static_cast<LPARAM>(DISKLIB_ERR_UNSUPPORTED));
    HANDLE self = InterlockedExchangePointer(static_cast<PVOID volatile*>(slot), NULL);
    if (self != NULL) {
        CloseHandle(self);
    }
    DebugPrint(L"%s", WORKER_RULE_TEXT);
    return static_cast<DWORD>(DISKLIB_ERR_UNSUPPORTED);
}

} // namespace

DWORD WINAPI NvmeUpdateWorker(LPVOID slot) {
    return EndWorkerNotBuilt(slot, L"NvmeUpdateWorker");
}

DWORD WINAPI SataUpdateWorker(LPVOID slot) {
    return EndWorkerNotBuilt(slot, L"SataUpdateWorker");
}

void OnUpdateDone(HWND dialog, int result) {
    if (result != DISKLIB_OK) {
        MessageBoxW(dialog, UPDATE_FAILED_TEXT, GetAppState()->Title, MB_OK);
    }
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_DISK_LIST), TRUE);
}
