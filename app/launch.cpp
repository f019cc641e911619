// RUN: the chosen disk is re-read and checked against the package in a fixed order (firmware
// revision list, image for its NAND identity, drive-information version, FTL build number); the
// first failed check refuses with one message box, detailed only with "/debug". Otherwise the
// package's question is asked, RUN and the list are locked and the update worker is started.
#include "app/update_flow.h"
#include "app/disk_table.h"
#include "app/disk_source.h"
#include "app/resource_ids.h"
#include "app/state/app_state.h"
#include "app/update_worker.h"
#include "common/wformat.h"
#include "log/debug_log.h"
#include "package/image.h"
#include "package/version_rules.h"

namespace {

// Attempts of the re-read when RUN is pressed, one second each.
const int kRunRereadTries = 30;

// "|%s|" of a firmware revision.
const size_t kRevisionItemChars = DISK_TEXT_CHARS + 2;

// Runs the checks on the disk. TRUE when it may be updated; otherwise FALSE with the detailed
// refusal in text (capacity characters).
BOOL CheckDiskAgainstPackage(const DiskRecord* disk, WCHAR* text, size_t capacity) {
    const AppState* state = GetAppState();
    if (state->FWVersion[0] != 0 && !IsInList(state->FWVersion, disk->FirmwareRev)) {
        WCHAR item[kRevisionItemChars];
        WFormat(item, kRevisionItemChars, L"|%s|", disk->FirmwareRev);
        WFormat(text, capacity, L"Limit FW Versoin : %s (Disk Version : %s)", state->FWVersion,
                item);
        return FALSE;
    }
    WCHAR imagePath[APP_PATH_CHARS];
    if (!FindNandMapImage(disk, imagePath, APP_PATH_CHARS)) {
        WFormat(text, capacity, L"No this fw, Lun=%d, NAND=%02X %02X %02X %02X %02X %02X",
                static_cast<int>(disk->iLun), disk->NandId[0], disk->NandId[1], disk->NandId[2],
                disk->NandId[3], disk->NandId[4], disk->NandId[5]);
        return FALSE;
    }
    if (disk->DrvInfoVersion[0] != 0 && state->iInternalFWVersionCheckPart != 0) {
        WCHAR imageVersion[VERSION_TEXT_CHARS];
        imageVersion[0] = 0;
        if (!CheckDrvInfoVersion(disk->DrvInfoVersion, state->iInternalFWVersionCheckPart,
                                 imagePath, imageVersion, VERSION_TEXT_CHARS)) {
            WFormat(text, capacity, L"Limit Drv FW Version : %s, BinFileVer : %s, Compare %d Part",
                    disk->DrvInfoVersion, imageVersion, state->iInternalFWVersionCheckPart);
            return FALSE;
        }
    }
    if (disk->bDrvInfoValid != 0) {
        if (state->bRemoveFtlBuildNumCheck != 0) {
            DebugPrint(L"Remove FTL Build Num Check");
        } else {
            uint32_t imageBuild = ReadImageFtlBuildNumber(imagePath);
            if (imageBuild != disk->iFtlBuildNum) {
                WFormat(text, capacity, L"Limit iFtlBuildNum : 0x%08X, 0x%08X", disk->iFtlBuildNum,
                        imageBuild);
                return FALSE;
            }
        }
    }
    return TRUE;
}

// The refusal is traced in full; the user sees it in full only with "/debug".
void Refuse(HWND dialog, const WCHAR* text) {
    const AppState* state = GetAppState();
    DebugPrint(L"%s", text);
    MessageBoxW(dialog, state->DebugFlag == 1 ? text : NO_UPDATE_NEEDED_TEXT, state->Title, MB_OK);
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
    DiskRecord disk;
    uint32_t generation = 0;
    if (!ReadListedDisk(index, &disk, &generation)) {
        DebugPrint(L"%s", DISK_NOT_CONNECTED_TEXT);
        MessageBoxW(dialog, DISK_NOT_CONNECTED_TEXT, state->Title, MB_OK);
        return;
    }
    RereadDisk(&disk, kRunRereadTries); // on failure the checks run on what the record holds
    StoreListedDisk(index, generation, &disk);
    DebugPrint(L"Press OK");
    WCHAR refusal[APP_MESSAGE_CHARS];
    if (!CheckDiskAgainstPackage(&disk, refusal, APP_MESSAGE_CHARS)) {
        Refuse(dialog, refusal);
        return;
    }
    if (state->BeforeMessage[0] != 0 && MessageBoxW(dialog, state->BeforeMessage, state->Title,
                                                    MB_YESNO | MB_ICONWARNING) != IDYES) {
        return;
    }
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_DISK_LIST), FALSE);
    DebugPrint(L"%s", WORKER_RULE_TEXT);
    StartWorker(&state->hWorker, state->bIsSATA != 0 ? SataUpdateWorker : NvmeUpdateWorker);
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
