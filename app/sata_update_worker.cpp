// The SATA update worker: opens the selected disk and checks, on that handle, that it is the disk
// the user picked and that it takes DOWNLOAD MICROCODE as the program sends it; downloads the
// image RUN checked, unchanged (the drive runs it at once, so no activation follows); writes
// NEWVERSION into the drive's FW configuration block; finds the disk again, says what it runs
// now (app/update_verify.h) and rescans. It never patches the image, ignores
// bSetVersionBeforeReflash and never power-cycles a bridge.
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
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_fwconfig.h"
#include "disklib/sata/sata_reflash.h"
#include "package/image.h"
#include "package/version_rules.h"
#include "app/progress.h"
#include "app/update_done.h"

#include <string.h>

namespace {

const DWORD kSettleMs = 3000;

// Writes NEWVERSION into the drive's FW configuration block, unless it is "KEEP" or the block
// holds it already. The block carries no check value on SATA drives (checksum kind 0, none
// asked for). 1, or the failing vendor command's result.
int WriteConfigVersion(const CommandContext* context, HANDLE device, const WCHAR* newVersion) {
    if (IsKeepVersion(newVersion)) {
        return DISKLIB_OK;
    }
    uint8_t block[SATA_FWCONFIG_BYTES];
    memset(block, 0, sizeof(block));
    int result = DISKLIB_SATA_GetFWConfig(context, device, block);
    if (result != DISKLIB_OK) {
        return result;
    }
    if (SetConfigVersion(block, newVersion, 0, NULL)) {
        result = DISKLIB_SATA_SetFWConfig(context, device, block);
    }
    return result;
}

// Opens the disk and checks the drive behind the handle; DISKLIB_OK when the update may write.
int OpenAndCheck(const DiskRecord* disk, const CheckedImage* image, CommandContext* context,
                 HANDLE* device, UpdateOutcome* outcome) {
    ULONGLONG start = BeginStep(STEP_OPEN);
    *device = OpenDiskForCommands(disk->DevicePath, context);
    if (*device == INVALID_HANDLE_VALUE) {
        NoteStep(outcome, STEP_OPEN, DISKLIB_ERR_OPEN, start);
        WCHAR reason[OUTCOME_TEXT_CHARS];
        WFormat(reason, OUTCOME_TEXT_CHARS, FAILED_OPEN_TEXT, disk->DevicePath);
        FailOutcome(outcome, STEP_OPEN, DISKLIB_ERR_OPEN, reason);
        return DISKLIB_ERR_OPEN;
    }
    NoteStep(outcome, STEP_OPEN, DISKLIB_OK, start);
    if (image->pBytes == NULL) {
        FailOutcome(outcome, STEP_CHECK, DISKLIB_ERR_IO, FAILED_NO_IMAGE_TEXT);
        return DISKLIB_ERR_IO;
    }
    start = BeginStep(STEP_CHECK);
    WCHAR refusal[OUTCOME_TEXT_CHARS];
    const int result = CheckSataDriveOnHandle(context, *device, disk, refusal, OUTCOME_TEXT_CHARS);
    NoteStep(outcome, STEP_CHECK, result, start);
    if (result == DISKLIB_ERR_OTHER_DISK || result == DISKLIB_ERR_UNSUPPORTED) {
        RefuseOutcome(outcome, STEP_CHECK, result, refusal);
    } else if (result != DISKLIB_OK) {
        FailOutcome(outcome, STEP_CHECK, result, FAILED_IDENTIFY_TEXT);
    }
    return result;
}

} // namespace

DWORD WINAPI SataUpdateWorker(LPVOID workerSlot) {
    AppState* state = GetAppState();
    CheckedImage image;
    TakeHandedImage(&image);
    DiskRecord disk;
    ReadSelectedDisk(&disk);
    UpdateOutcome outcome;
    BeginOutcome(&outcome, &disk);
    CopyText(outcome.FirmwareExpected, DISK_TEXT_CHARS, image.Revision);
    CommandContext context;
    memset(&context, 0, sizeof(context));
    context.hScsiPort = INVALID_HANDLE_VALUE;
    HANDLE device = INVALID_HANDLE_VALUE;
    if (OpenAndCheck(&disk, &image, &context, &device, &outcome) != DISKLIB_OK) {
        ReleaseCheckedImage(&image);
        return static_cast<DWORD>(FinishUpdate(workerSlot, &context, device, &outcome));
    }

    SetProgressRange(0, 40, 0);
    ULONGLONG start = BeginStep(STEP_DOWNLOAD);
    const DWORD imageSize = image.dwSize;
    uint32_t refusedAt = 0;
    int result = DISKLIB_SATA_ReflashAt(&context, device, image.pBytes, imageSize, &refusedAt);
    NoteStep(&outcome, STEP_DOWNLOAD, result, start);
    ReleaseCheckedImage(&image);
    if (result != DISKLIB_OK) {
        WCHAR reason[OUTCOME_TEXT_CHARS];
        WFormat(reason, OUTCOME_TEXT_CHARS, FAILED_DOWNLOAD_TEXT, refusedAt, imageSize);
        FailOutcome(&outcome, STEP_DOWNLOAD, result, reason);
        return static_cast<DWORD>(FinishUpdate(workerSlot, &context, device, &outcome));
    }
    // The last piece taken, the drive runs the new image.
    outcome.bCommitted = 1;
    SetProgressRange(40, 60, 0);
    WaitWithProgress(kSettleMs);

    const bool writesVersion = !IsKeepVersion(state->NEWVERSION);
    start = writesVersion ? BeginStep(STEP_VERSION_AFTER) : GetTickCount64();
    result = WriteConfigVersion(&context, device, state->NEWVERSION);
    if (writesVersion) {
        NoteStep(&outcome, STEP_VERSION_AFTER, result, start);
    }
    if (result != DISKLIB_OK) {
        FailAfterCommit(&outcome, STEP_VERSION_AFTER, result, state->NEWVERSION);
    }

    RefindAndVerifySata(&outcome);
    SetProgressRange(100, 100, 0);
    ClearUpdatingDisk();
    Rescan(state->hDialog, RESCAN_AFTER_CHANGE);
    return static_cast<DWORD>(FinishUpdate(workerSlot, &context, device, &outcome));
}
