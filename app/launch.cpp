// RUN: the chosen disk is re-read (by its port, and among the disks there by its serial number
// and model) and checked: that it is the disk picked and a ZELTARIX drive, then against the
// package in a fixed order (firmware revision list, image for its NAND identity, drive-information
// version, FTL build number), then the power supply; the first failed check refuses with one
// message box. Otherwise the system disk's question and the package's are asked, RUN and the list
// are locked, and the worker is started with the image the checks read.
#include "app/launch.h"
#include "app/disk_table.h"
#include "app/disk_source.h"
#include "app/handed_image.h"
#include "app/main_dialog.h"
#include "app/outcome_texts.h"
#include "app/resource_ids.h"
#include "app/run_checks.h"
#include "app/state/app_state.h"
#include "app/update_worker.h"
#include "common/text.h"
#include "common/wformat.h"
#include "disklib/physical_drives.h"
#include "log/debug_log.h"
#include "app/progress.h"
#include "app/update_done.h"

namespace {

// Attempts of the re-read when RUN is pressed, one second each.
const int kRunRereadTries = 30;

// A refusal is traced in full. A rule of the package is shown in full only with "/debug"; a
// refusal that keeps a write from the wrong disk or a harmed drive always says why.
void Refuse(HWND dialog, const WCHAR* text, int kind) {
    const AppState* state = GetAppState();
    DebugPrint(L"%s", text);
    if (kind == RUN_REFUSED_UNSAFE) {
        MessageBoxW(dialog, text, state->Title, MB_OK | MB_ICONWARNING);
        return;
    }
    MessageBoxW(dialog, state->DebugFlag == 1 ? text : NO_UPDATE_NEEDED_TEXT, state->Title, MB_OK);
}

// The system disk (the one holding C:, looked up now: a re-read record carries no volumes) gets
// a question of its own before the package's; both open on No, so that Enter pressed twice never
// starts an update.
bool UserConfirms(HWND dialog, const DiskRecord* disk) {
    const AppState* state = GetAppState();
    DiskRecord volumes = *disk;
    volumes.VolumeLetters[0] = 0;
    volumes.bSystemDisk = 0;
    MatchVolumeLetters(&volumes, 1);
    if (volumes.bSystemDisk != 0) {
        WCHAR letters[DISK_TEXT_CHARS];
        CopyText(letters, DISK_TEXT_CHARS, volumes.VolumeLetters);
        TrimBlanks(letters);
        WCHAR question[APP_MESSAGE_CHARS];
        WFormat(question, APP_MESSAGE_CHARS, SYSTEM_DISK_QUESTION_TEXT, disk->Model, letters);
        if (MessageBoxW(dialog, question, state->Title,
                        MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) {
            return false;
        }
    }
    return state->BeforeMessage[0] == 0 ||
           MessageBoxW(dialog, state->BeforeMessage, state->Title,
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

} // namespace

void LaunchUpdate(HWND dialog) {
    AppState* state = GetAppState();
    LRESULT entry = SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_GETCURSEL, 0, 0);
    LRESULT index = CB_ERR;
    if (entry != CB_ERR) {
        index = SendDlgItemMessageW(dialog, IDC_DISK_LIST, CB_GETITEMDATA,
                                    static_cast<WPARAM>(entry), 0);
    }
    // The Disconnect entry's item data is the disk count: it names no disk, so nothing is read
    // from the table and RUN is refused.
    DiskRecord listed;
    uint32_t generation = 0;
    if (!ReadListedDisk(index, &listed, &generation)) {
        DebugPrint(L"%s", DISK_NOT_CONNECTED_TEXT);
        MessageBoxW(dialog, DISK_NOT_CONNECTED_TEXT, state->Title, MB_OK);
        return;
    }
    // The re-read finds the disk by its port and, among the disks there, by its serial number
    // and model; when it is not found the record stays as listed.
    DiskRecord disk = listed;
    const int reread = RereadDisk(&disk, kRunRereadTries);
    StoreListedDisk(index, generation, &disk);
    DebugPrint(L"Press OK");
    WCHAR refusal[APP_MESSAGE_CHARS];
    int verdict = CheckPickedDisk(&listed, &disk, reread, refusal, APP_MESSAGE_CHARS);
    CheckedImage image;
    if (verdict == RUN_CHECK_PASSED) {
        verdict = CheckDiskAgainstPackage(&disk, &image, refusal, APP_MESSAGE_CHARS);
    }
    if (verdict == RUN_CHECK_PASSED) {
        verdict = CheckPowerSupply(refusal, APP_MESSAGE_CHARS);
        if (verdict != RUN_CHECK_PASSED) {
            ReleaseCheckedImage(&image);
        }
    }
    if (verdict != RUN_CHECK_PASSED) {
        Refuse(dialog, refusal, verdict);
        return;
    }
    if (!UserConfirms(dialog, &disk)) {
        ReleaseCheckedImage(&image);
        return;
    }
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_DISK_LIST), FALSE);
    DebugPrint(L"%s", WORKER_RULE_TEXT);
    BeginBarUpdate();
    SetUpdatingDisk(&disk);
    HandOverImage(&image);
    // The session may not end until the update has ended (OnUpdateDone gives it back).
    HoldSessionEnd(dialog);
    if (!StartWorker(&state->hWorker, state->bIsSATA != 0 ? SataUpdateWorker : NvmeUpdateWorker)) {
        // No worker will take the image.
        TakeHandedImage(&image);
        ReleaseCheckedImage(&image);
        ClearUpdatingDisk();
        ReleaseSessionEnd(dialog);
    }
}

int StartWorker(HANDLE* slot, LPTHREAD_START_ROUTINE routine) {
    PVOID volatile* shared = reinterpret_cast<PVOID volatile*>(slot);
    if (InterlockedCompareExchangePointer(shared, NULL, NULL) != NULL) {
        DebugPrint(L"Thread is Running");
        return 0;
    }
    HANDLE thread = CreateThread(NULL, 0, routine, slot, CREATE_SUSPENDED, NULL);
    if (thread == NULL) {
        return 0;
    }
    InterlockedExchangePointer(shared, thread);
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        // It never ran: the slot must not keep a thread that will never empty it.
        InterlockedExchangePointer(shared, NULL);
        CloseHandle(thread);
        return 0;
    }
    return 1;
}
