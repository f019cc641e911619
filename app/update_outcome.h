// How an update ended, as the drive shows it afterwards: the worker fills one record while it
// runs (which disk, each step with its time and result, what the drive reported before and
// after) and leaves it here before it posts WM_UPDATE_DONE; the dialog tells the user from it,
// and fleet reports are written from it.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

#define OUTCOME_TEXT_CHARS 1024

// What the drive runs at the end, and what the user must do.
enum {
    OUTCOME_NONE = 0,              // no update has ended
    OUTCOME_ACTIVE = 1,            // the drive runs the new firmware
    OUTCOME_PENDING_RESTART = 2,   // committed; runs after the PC restarts
    OUTCOME_PENDING_POWER_OFF = 3, // committed; runs after the PC is shut down and started again
    OUTCOME_PENDING_REPLUG = 4, // committed; runs after the enclosure is unplugged and plugged in
    OUTCOME_NOT_BACK = 5,       // committed; the drive did not come back after its reset
    OUTCOME_FAILED = 6,         // failed before the commit: the drive runs its old firmware
    OUTCOME_FAILED_AFTER_COMMIT = 7, // committed; a later step (the version text) did not complete
    OUTCOME_NOT_VERIFIED = 8,        // committed, but the drive reports neither the new revision
                                     // nor a pending one
    OUTCOME_REFUSED = 9              // refused before anything was written
};

// The steps of an update, in the order they run.
enum {
    STEP_OPEN = 0,       // open the disk
    STEP_CHECK,          // the drive on the opened handle: identity, what it can take
    STEP_CONFIG_READ,    // the drive's FW configuration block (drives with Drive information)
    STEP_VERSION_BEFORE, // the version text, when written before the download
    STEP_DOWNLOAD,       // the image, piece by piece
    STEP_COMMIT,         // Firmware Commit (NVMe)
    STEP_VERSION_AFTER,  // the version text, when written after the commit
    STEP_RESTORE,        // the block changed before a failed download, put back
    STEP_POWER_CYCLE,    // the bridge's power request
    STEP_REFIND,         // waiting for the drive and finding it again by its port
    STEP_VERIFY,         // what the drive runs now
    STEP_COUNT
};

// The name of a step in reports and logs ("download", "commit", ...).
const char* StepName(int step);

struct UpdateStepRecord {
    uint8_t bRan;
    int32_t iResult; // 1 success, else the step's failing result
    uint32_t iMilliseconds;
};

struct UpdateOutcome {
    int32_t iKind;       // OUTCOME_*
    int32_t iResult;     // posted with WM_UPDATE_DONE: 1 for an update that took, else the failure
    int32_t iFailedStep; // STEP_* that failed or refused, -1 for none
    uint8_t bCommitted;  // the drive has taken the image (it runs now or after a reset)
    uint8_t bRunsNew;    // the drive was seen running the new revision
    int32_t iActivation; // what the commit said the image needs (FW_ACTIVATION_*)
    DiskRecord Disk;     // the disk as the update started on it
    WCHAR FirmwareExpected[DISK_TEXT_CHARS]; // the revision the image carries
    WCHAR FirmwareAfter[DISK_TEXT_CHARS];    // what the drive reported at the end ("" not read)
    WCHAR Reason[OUTCOME_TEXT_CHARS];        // what failed or why it was refused, in words
    UpdateStepRecord Steps[STEP_COUNT];
};

// Starts a record for an update of the disk: no step ran, nothing failed.
void BeginOutcome(UpdateOutcome* outcome, const DiskRecord* disk);
// A step starts: the status line names it. Returns the tick (GetTickCount64) NoteStep times it
// from.
ULONGLONG BeginStep(int step);
// Notes a step's result and the time it took since startTick (GetTickCount64).
void NoteStep(UpdateOutcome* outcome, int step, int result, ULONGLONG startTick);

// The update failed at step, before its image was committed: the drive runs its old firmware.
void FailOutcome(UpdateOutcome* outcome, int step, int result, const WCHAR* reason);
// The update was refused at step before anything was written.
void RefuseOutcome(UpdateOutcome* outcome, int step, int result, const WCHAR* reason);
// The version text could not be written after the commit; the outcome's kind follows from what
// the drive runs at the end.
void FailAfterCommit(UpdateOutcome* outcome, int step, int result, const WCHAR* version);

// The record of the last update that ended (OUTCOME_NONE before the first). Stored by the worker
// before it posts WM_UPDATE_DONE, read on the dialog's thread; each copied whole.
void StoreLastOutcome(const UpdateOutcome* outcome);
void ReadLastOutcome(UpdateOutcome* outcome);

// Whether an outcome is a failure: the update did not end as the user was told it would (the
// drive did not come back, the update failed before or after its commit, the new firmware was
// not seen, or the drive refused it). The new firmware running, or waiting for the restart,
// power-off or replug the user was told of, is no failure.
int IsFailedOutcome(int kind);
// Counts an update that ended, as the dialog showed it (OnUpdateDone); CountOutcomes gives the
// updates ended since the process started and how many of them failed, for the exit code of the
// POSIX program and of `zxsim run`.
void NoteEndedOutcome(int kind);
void CountOutcomes(int* ended, int* failed);
