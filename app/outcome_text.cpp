#include "app/outcome_text.h"
#include "app/outcome_texts.h"
#include "app/launch.h"
#include "common/wformat.h"

namespace {

const WCHAR* PendingAfter(int kind) {
    return kind == OUTCOME_PENDING_RESTART     ? PENDING_AFTER_RESTART
           : kind == OUTCOME_PENDING_POWER_OFF ? PENDING_AFTER_POWER_OFF
                                               : PENDING_AFTER_REPLUG;
}

} // namespace

void FormatOutcomeStatus(const UpdateOutcome* o, WCHAR* text, size_t capacity) {
    switch (o->iKind) {
    case OUTCOME_ACTIVE:
        WFormat(text, capacity, STATUS_ACTIVE_TEXT, o->Disk.Model, o->FirmwareAfter);
        break;
    case OUTCOME_PENDING_RESTART:
    case OUTCOME_PENDING_POWER_OFF:
    case OUTCOME_PENDING_REPLUG:
        WFormat(text, capacity, STATUS_PENDING_TEXT, o->FirmwareExpected, PendingAfter(o->iKind));
        break;
    case OUTCOME_NOT_BACK:
        WFormat(text, capacity, L"%s", STATUS_NOT_BACK_TEXT);
        break;
    case OUTCOME_FAILED_AFTER_COMMIT:
        WFormat(text, capacity, L"%s", STATUS_AFTER_COMMIT_TEXT);
        break;
    case OUTCOME_NOT_VERIFIED:
        WFormat(text, capacity, L"%s", STATUS_NOT_VERIFIED_TEXT);
        break;
    case OUTCOME_REFUSED:
        WFormat(text, capacity, L"%s", STATUS_REFUSED_TEXT);
        break;
    default:
        WFormat(text, capacity, L"%s", STATUS_FAILED_TEXT);
        break;
    }
}

void FormatOutcomeDetails(const UpdateOutcome* o, WCHAR* text, size_t capacity) {
    switch (o->iKind) {
    case OUTCOME_ACTIVE:
        FormatOutcomeStatus(o, text, capacity);
        break;
    case OUTCOME_PENDING_RESTART:
    case OUTCOME_PENDING_POWER_OFF:
    case OUTCOME_PENDING_REPLUG:
        WFormat(text, capacity, OUTCOME_PENDING_TEXT, o->FirmwareExpected, o->Disk.Model,
                PendingAfter(o->iKind), o->FirmwareAfter);
        break;
    case OUTCOME_NOT_BACK:
        WFormat(text, capacity, OUTCOME_NOT_BACK_TEXT, o->FirmwareExpected, o->Disk.Model);
        break;
    case OUTCOME_FAILED_AFTER_COMMIT:
        WFormat(text, capacity, OUTCOME_AFTER_COMMIT_TEXT, o->FirmwareExpected, o->Disk.Model,
                o->bRunsNew ? RUNS_NOW : RUNS_AFTER_POWER_CYCLE, o->Reason);
        break;
    case OUTCOME_NOT_VERIFIED:
        WFormat(text, capacity, OUTCOME_NOT_VERIFIED_TEXT, o->Disk.Model, o->FirmwareAfter,
                o->FirmwareExpected);
        break;
    case OUTCOME_REFUSED:
        WFormat(text, capacity, L"%s", o->Reason);
        break;
    default: // failed before the commit
        WFormat(text, capacity, OUTCOME_FAILED_TEXT, UPDATE_FAILED_TEXT, o->Reason,
                o->Disk.FirmwareRev);
        break;
    }
}
