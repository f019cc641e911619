// The NVMe update worker: opens the selected disk and checks, on that handle, that it is the
// disk the user picked and that it can take the update; carries the drive's FW configuration
// block and the package's version text into the image RUN checked (or writes the version into
// the MP information block on a drive without Drive information); downloads and commits the
// image; power-cycles an ASMedia or JMicron bridge; finds the disk again by its port and says
// what it runs now (app/update_verify.h); and rescans the list.
//
// A version text written before the download is put back when the download or the commit fails,
// so that the drive never names a version it does not run. The image buffer is released once,
// after the download or on the way out.
#include "app/disk_list.h"
#include "app/disk_table.h"
#include "app/drive_on_handle.h"
#include "app/handed_image.h"
#include "app/main_dialog.h"
#include "app/outcome_texts.h"
#include "app/state/app_state.h"
#include "app/update_verify.h"
#include "app/update_worker.h"
#include "common/text.h"
#include "common/wformat.h"
#include "disklib/nvme_discovery.h"
#include "disklib/nvme_firmware.h"
#include "disklib/nvme_vsc.h"
#include "disklib/usb/usb_power.h"
#include "package/image.h"
#include "package/version_rules.h"
#include "app/progress.h"
#include "app/update_done.h"

#include <string.h>

namespace {

// The pauses of the update, in milliseconds.
const DWORD kSettleAfterDownloadMs = 3000;
const DWORD kSettleAfterActivateMs = 3000;
const DWORD kSettleAfterPowerCycleMs = 3000;

// The bridges' power values.
const uint8_t kAsmediaPowerCycle = 1;
const uint8_t kJmicronPowerCycle = 5;

// What a failed download or commit puts back.
enum { RESTORE_NONE, RESTORE_FWCONFIG, RESTORE_MPINFO };

// Everything one update holds while it runs.
struct UpdateRun {
    LPVOID workerSlot;
    DiskRecord disk; // the selected disk as the worker started on it
    CommandContext context;
    HANDLE device;
    CheckedImage image; // released after the download
    NvmeDriveView view;
    UpdateOutcome outcome;
    int restore; // RESTORE_*: the block written before the download, kept in saved
    BYTE saved[VSC_BLOCK_BYTES];
    int checkKind; // the image's checksum kind, which the FW configuration check value uses
    bool driveGoneAfterCommit; // the wait for the drive after its commit ran out
};

// Waits for the drive after the commit; when it does not come back, the version text cannot go
// in and the outcome says so.
bool DriveBackAfterCommit(UpdateRun* run) {
    if (WaitForDriveAfterCommit(&run->context, run->device, &run->view.Caps)) {
        return true;
    }
    run->driveGoneAfterCommit = true;
    FailAfterCommit(&run->outcome, STEP_VERSION_AFTER, DISKLIB_ERR_IO, GetAppState()->NEWVERSION);
    return false;
}

// The end of every path: the image (when still held) is released, the outcome stored and the
// result posted.
int EndUpdate(UpdateRun* run) {
    ReleaseCheckedImage(&run->image);
    return FinishUpdate(run->workerSlot, &run->context, run->device, &run->outcome);
}

// A step that failed before the image was committed.
int Fail(UpdateRun* run, int step, int result, const WCHAR* reason) {
    FailOutcome(&run->outcome, step, result, reason);
    return result;
}

int ReadConfig(UpdateRun* run, BYTE* block) {
    memset(block, 0, FWCONFIG_BLOCK_BYTES);
    return DISKLIB_NVME_GetFWConfig(&run->context, run->device, block);
}

// Writes NEWVERSION into the block and the block to the drive, when that changes it. The check
// value takes the image's checksum kind.
int WriteConfigVersion(UpdateRun* run, BYTE* block, bool* written) {
    uint32_t checkValue = 0;
    *written = false;
    if (!SetConfigVersion(block, GetAppState()->NEWVERSION, run->checkKind, &checkValue)) {
        return DISKLIB_OK;
    }
    *written = true;
    return DISKLIB_NVME_SetFWConfig(&run->context, run->device, block, checkValue);
}

// The version text goes into the MP information block, unless it is "KEEP": that text would
// replace the drive's version instead of keeping it. original receives the block as it was.
int WriteMpInfoVersion(UpdateRun* run, BYTE* original) {
    const WCHAR* version = GetAppState()->NEWVERSION;
    if (IsKeepVersion(version)) {
        return DISKLIB_OK;
    }
    return DISKLIB_NVME_SetFWVersionByMpInfo(&run->context, run->device, version, original);
}

// Puts back the block written before a download or commit that then failed, and says so in
// the reason.
void PutBackVersion(UpdateRun* run) {
    if (run->restore == RESTORE_NONE) {
        return;
    }
    const ULONGLONG start = BeginStep(STEP_RESTORE);
    int result;
    if (run->restore == RESTORE_FWCONFIG) {
        const uint32_t check = CrcUpdate(run->saved, VSC_BLOCK_BYTES, 0, run->checkKind);
        result = DISKLIB_NVME_SetFWConfig(&run->context, run->device, run->saved, check);
    } else {
        result = DISKLIB_NVME_VSC_SetMPInfo(&run->context, run->device, run->saved);
    }
    NoteStep(&run->outcome, STEP_RESTORE, result, start);
    AppendText(run->outcome.Reason, OUTCOME_TEXT_CHARS,
               result == DISKLIB_OK ? RESTORED_TEXT : NOT_RESTORED_TEXT);
}

// Download into 0..30, the settle wait into 30..40, the commit and its settle wait into 40..60.
// The image is released after the download whatever it gave. A failure puts back a version
// written before.
int DownloadAndCommit(UpdateRun* run) {
    SetProgressRange(0, 30, 0);
    ULONGLONG start = BeginStep(STEP_DOWNLOAD);
    uint32_t refusedAt = 0;
    int result = DISKLIB_NVME_DownloadFWAt(&run->context, run->device, run->image.pBytes,
                                           run->image.dwSize, &refusedAt);
    NoteStep(&run->outcome, STEP_DOWNLOAD, result, start);
    const DWORD imageSize = run->image.dwSize;
    ReleaseCheckedImage(&run->image);
    if (result != DISKLIB_OK) {
        WCHAR reason[OUTCOME_TEXT_CHARS];
        WFormat(reason, OUTCOME_TEXT_CHARS, FAILED_DOWNLOAD_TEXT, refusedAt, imageSize);
        Fail(run, STEP_DOWNLOAD, result, reason);
        PutBackVersion(run);
        return result;
    }
    SetProgressRange(30, 40, 0);
    WaitWithProgress(kSettleAfterDownloadMs);
    SetProgressRange(40, 60, 0);
    start = BeginStep(STEP_COMMIT);
    result = DISKLIB_NVME_FWActiveAndSay(&run->context, run->device, UPDATE_FIRMWARE_SLOT,
                                         UPDATE_COMMIT_ACTION, &run->outcome.iActivation);
    NoteStep(&run->outcome, STEP_COMMIT, result, start);
    if (result != DISKLIB_OK) {
        Fail(run, STEP_COMMIT, result, FAILED_COMMIT_TEXT);
        PutBackVersion(run);
        return result;
    }
    run->outcome.bCommitted = 1;
    WaitWithProgress(kSettleAfterActivateMs);
    return DISKLIB_OK;
}

// The drive reported a Drive information block: its FW configuration block goes into the image,
// and the version into that block before the download or after the commit.
int UpdateWithDriveInfo(UpdateRun* run) {
    const AppState* state = GetAppState();
    const int before = state->bSetVersionBeforeReflash;
    BYTE block[FWCONFIG_BLOCK_BYTES];
    ULONGLONG start = BeginStep(STEP_CONFIG_READ);
    int result = ReadConfig(run, block);
    NoteStep(&run->outcome, STEP_CONFIG_READ, result, start);
    if (result != DISKLIB_OK) {
        return Fail(run, STEP_CONFIG_READ, result, FAILED_CONFIG_READ_TEXT);
    }
    if (before != 0) {
        memcpy(run->saved, block, sizeof(block));
        bool written = false;
        start = BeginStep(STEP_VERSION_BEFORE);
        result = WriteConfigVersion(run, block, &written);
        NoteStep(&run->outcome, STEP_VERSION_BEFORE, result, start);
        if (result != DISKLIB_OK) {
            return Fail(run, STEP_VERSION_BEFORE, result, FAILED_VERSION_BEFORE_TEXT);
        }
        run->restore = written ? RESTORE_FWCONFIG : RESTORE_NONE;
    }
    PatchImageConfig(run->image.pBytes, run->image.dwSize, block, state->NEWVERSION);
    result = DownloadAndCommit(run);
    if (result != DISKLIB_OK || before != 0) {
        return result;
    }
    if (!DriveBackAfterCommit(run)) {
        return DISKLIB_OK;
    }
    // The commit may have reset the controller, which locks the vendor commands again.
    DISKLIB_NVME_UnlockVSC(&run->context, run->device);
    start = BeginStep(STEP_VERSION_AFTER);
    bool written = false;
    result = ReadConfig(run, block);
    if (result == DISKLIB_OK) {
        result = WriteConfigVersion(run, block, &written);
    }
    NoteStep(&run->outcome, STEP_VERSION_AFTER, result, start);
    if (result != DISKLIB_OK) {
        FailAfterCommit(&run->outcome, STEP_VERSION_AFTER, result, state->NEWVERSION);
    }
    return DISKLIB_OK;
}

// No Drive information block: the image goes as the package carries it, and the version into
// the MP information block before the download or after the commit.
int UpdateWithoutDriveInfo(UpdateRun* run) {
    const WCHAR* version = GetAppState()->NEWVERSION;
    const int before = GetAppState()->bSetVersionBeforeReflash;
    if (before != 0) {
        const ULONGLONG start = BeginStep(STEP_VERSION_BEFORE);
        int result = WriteMpInfoVersion(run, run->saved);
        NoteStep(&run->outcome, STEP_VERSION_BEFORE, result, start);
        if (result != DISKLIB_OK) {
            return Fail(run, STEP_VERSION_BEFORE, result, FAILED_VERSION_BEFORE_TEXT);
        }
        run->restore = IsKeepVersion(version) ? RESTORE_NONE : RESTORE_MPINFO;
    }
    int result = DownloadAndCommit(run);
    if (result != DISKLIB_OK || before != 0) {
        return result;
    }
    if (!DriveBackAfterCommit(run)) {
        return DISKLIB_OK;
    }
    const ULONGLONG start = BeginStep(STEP_VERSION_AFTER);
    result = WriteMpInfoVersion(run, NULL);
    NoteStep(&run->outcome, STEP_VERSION_AFTER, result, start);
    if (result != DISKLIB_OK) {
        FailAfterCommit(&run->outcome, STEP_VERSION_AFTER, result, version);
    }
    return DISKLIB_OK;
}

// The bridges that have a power request power-cycle the drive so that it starts the new
// firmware; their results do not count.
void PowerCycleBridge(UpdateRun* run) {
    SetProgressRange(60, 80, 0);
    const int32_t type = run->context.iCmdType;
    if (type != CMD_USB_ASM && type != CMD_USB_JMI) {
        return;
    }
    const ULONGLONG start = BeginStep(STEP_POWER_CYCLE);
    const int result = type == CMD_USB_ASM ? IO_USB_ASM_PowerCtrl(run->device, kAsmediaPowerCycle)
                                           : IO_USB_JMI_PowerCtrl(run->device, kJmicronPowerCycle);
    WaitWithProgress(kSettleAfterPowerCycleMs);
    NoteStep(&run->outcome, STEP_POWER_CYCLE, result, start);
}

// Opens the disk and checks the drive behind the handle; DISKLIB_OK when the update may write.
int OpenAndCheck(UpdateRun* run) {
    ULONGLONG start = BeginStep(STEP_OPEN);
    run->device = DISKLIB_NVME_OpenDisk(run->disk.DevicePath, &run->context);
    if (run->device == INVALID_HANDLE_VALUE) {
        NoteStep(&run->outcome, STEP_OPEN, DISKLIB_ERR_OPEN, start);
        WCHAR reason[OUTCOME_TEXT_CHARS];
        WFormat(reason, OUTCOME_TEXT_CHARS, FAILED_OPEN_TEXT, run->disk.DevicePath);
        return Fail(run, STEP_OPEN, DISKLIB_ERR_OPEN, reason);
    }
    NoteStep(&run->outcome, STEP_OPEN, DISKLIB_OK, start);
    if (run->image.pBytes == NULL) {
        return Fail(run, STEP_CHECK, DISKLIB_ERR_IO, FAILED_NO_IMAGE_TEXT);
    }
    start = BeginStep(STEP_CHECK);
    WCHAR refusal[OUTCOME_TEXT_CHARS];
    const int result = CheckNvmeDriveOnHandle(&run->context, run->device, &run->disk, &run->view,
                                              refusal, OUTCOME_TEXT_CHARS);
    NoteStep(&run->outcome, STEP_CHECK, result, start);
    if (result == DISKLIB_ERR_OTHER_DISK || result == DISKLIB_ERR_UNSUPPORTED) {
        RefuseOutcome(&run->outcome, STEP_CHECK, result, refusal);
        return result;
    }
    if (result != DISKLIB_OK) {
        return Fail(run, STEP_CHECK, result, FAILED_IDENTIFY_TEXT);
    }
    return DISKLIB_OK;
}

} // namespace

DWORD WINAPI NvmeUpdateWorker(LPVOID workerSlot) {
    UpdateRun state;
    UpdateRun* run = &state;
    memset(run, 0, sizeof(*run));
    run->workerSlot = workerSlot;
    run->context.iCmdType = CMD_NONE;
    run->context.hScsiPort = INVALID_HANDLE_VALUE;
    run->device = INVALID_HANDLE_VALUE;
    TakeHandedImage(&run->image);
    ReadSelectedDisk(&run->disk);
    BeginOutcome(&run->outcome, &run->disk);
    CopyText(run->outcome.FirmwareExpected, DISK_TEXT_CHARS, run->image.Revision);
    run->checkKind = run->image.iChecksumKind;

    int result = OpenAndCheck(run);
    if (result == DISKLIB_OK) {
        result =
            run->disk.bDrvInfoValid != 0 ? UpdateWithDriveInfo(run) : UpdateWithoutDriveInfo(run);
    }
    if (run->outcome.bCommitted) {
        // Also after a failure past the commit: the bridge's power cycle starts the new
        // firmware now rather than at some later power-on.
        PowerCycleBridge(run);
        RefindAndVerifyNvme(&run->outcome, &run->view, run->driveGoneAfterCommit);
        SetProgressRange(100, 100, 0);
        // The worker sends the disk nothing more: its own rescan may probe it.
        ClearUpdatingDisk();
        Rescan(GetAppState()->hDialog, RESCAN_AFTER_CHANGE);
    }
    return static_cast<DWORD>(EndUpdate(run));
}
