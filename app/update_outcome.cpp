#include "app/update_outcome.h"

#include "app/main_dialog.h"
#include "app/outcome_texts.h"
#include "common/text.h"
#include "common/wformat.h"
#include "app/progress.h"

#include <string.h>

namespace {

CRITICAL_SECTION* OutcomeLock() {
    static CRITICAL_SECTION section;
    static const bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

UpdateOutcome g_last; // under the lock
int g_ended = 0;      // under the lock
int g_failed = 0;     // under the lock

} // namespace

const char* StepName(int step) {
    static const char* const kNames[STEP_COUNT] = {
        "open",          "check",   "config_read", "version_before", "download", "commit",
        "version_after", "restore", "power_cycle", "refind",         "verify"};
    return step >= 0 && step < STEP_COUNT ? kNames[step] : "none";
}

void BeginOutcome(UpdateOutcome* outcome, const DiskRecord* disk) {
    memset(outcome, 0, sizeof(*outcome));
    outcome->iFailedStep = -1;
    outcome->Disk = *disk;
}

ULONGLONG BeginStep(int step) {
    ReportStep(step);
    return GetTickCount64();
}

void NoteStep(UpdateOutcome* outcome, int step, int result, ULONGLONG startTick) {
    if (step < 0 || step >= STEP_COUNT) {
        return;
    }
    UpdateStepRecord* record = &outcome->Steps[step];
    const ULONGLONG elapsed = GetTickCount64() - startTick;
    record->bRan = 1;
    record->iResult = result;
    record->iMilliseconds = elapsed > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(elapsed);
}

void FailOutcome(UpdateOutcome* outcome, int step, int result, const WCHAR* reason) {
    outcome->iKind = OUTCOME_FAILED;
    outcome->iResult = result;
    outcome->iFailedStep = step;
    CopyText(outcome->Reason, OUTCOME_TEXT_CHARS, reason);
}

void RefuseOutcome(UpdateOutcome* outcome, int step, int result, const WCHAR* reason) {
    outcome->iKind = OUTCOME_REFUSED;
    outcome->iResult = result;
    outcome->iFailedStep = step;
    CopyText(outcome->Reason, OUTCOME_TEXT_CHARS, reason);
}

void FailAfterCommit(UpdateOutcome* outcome, int step, int result, const WCHAR* version) {
    outcome->iResult = result;
    outcome->iFailedStep = step;
    WFormat(outcome->Reason, OUTCOME_TEXT_CHARS, FAILED_VERSION_AFTER_TEXT, version);
}

void StoreLastOutcome(const UpdateOutcome* outcome) {
    EnterCriticalSection(OutcomeLock());
    g_last = *outcome;
    LeaveCriticalSection(OutcomeLock());
}

void ReadLastOutcome(UpdateOutcome* outcome) {
    EnterCriticalSection(OutcomeLock());
    *outcome = g_last;
    LeaveCriticalSection(OutcomeLock());
}

int IsFailedOutcome(int kind) {
    switch (kind) {
    case OUTCOME_ACTIVE:
    case OUTCOME_PENDING_RESTART:
    case OUTCOME_PENDING_POWER_OFF:
    case OUTCOME_PENDING_REPLUG:
        return 0;
    default:
        return 1;
    }
}

void NoteEndedOutcome(int kind) {
    EnterCriticalSection(OutcomeLock());
    g_ended++;
    g_failed += IsFailedOutcome(kind);
    LeaveCriticalSection(OutcomeLock());
}

void CountOutcomes(int* ended, int* failed) {
    EnterCriticalSection(OutcomeLock());
    *ended = g_ended;
    *failed = g_failed;
    LeaveCriticalSection(OutcomeLock());
}
