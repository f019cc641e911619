#include "app/update_verify.h"

#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "common/text.h"
#include "disklib/nvme_discovery.h"
#include "disklib/nvme_firmware.h"
#include "disklib/nvme_identify.h"
#include "disklib/nvme_transport.h"
#include "log/debug_log.h"
#include "app/progress.h"

#include <string.h>
#include <wchar.h>

namespace {

const DWORD kPollMs = 1000;
const DWORD kMtfaUnitMs = 100;

// The longest wait for the drive: DRIVE_RETURN_WAIT_MS, or the drive's MTFA when longer.
DWORD ReturnWaitMs(const NvmeFirmwareCaps* caps) {
    const DWORD mtfa = caps != NULL ? static_cast<DWORD>(caps->Mtfa) * kMtfaUnitMs : 0;
    return mtfa > DRIVE_RETURN_WAIT_MS ? mtfa : DRIVE_RETURN_WAIT_MS;
}

bool IsBridge(int32_t cmdType) {
    return cmdType == CMD_USB_ASM || cmdType == CMD_USB_JMI || cmdType == CMD_USB_RTK;
}

// What brings a committed image up, when the drive still runs the old one.
int PendingKind(const UpdateOutcome* outcome) {
    if (IsBridge(outcome->Disk.iCmdType)) {
        return OUTCOME_PENDING_REPLUG;
    }
    return outcome->iActivation == FW_ACTIVATION_NEEDS_RESET ? OUTCOME_PENDING_RESTART
                                                             : OUTCOME_PENDING_POWER_OFF;
}

} // namespace

BOOL ReadDiskFirmwareSlots(const DiskRecord* disk, NvmeFirmwareSlots* slots) {
    CommandContext context;
    memset(&context, 0, sizeof(context));
    HANDLE device = DISKLIB_NVME_OpenDisk(disk->DevicePath, &context);
    if (device == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    const int result = DISKLIB_NVME_GetFirmwareSlots(&context, device, slots);
    CloseHandle(device);
    if (context.hScsiPort != INVALID_HANDLE_VALUE) {
        CloseHandle(context.hScsiPort);
    }
    return result == DISKLIB_OK ? TRUE : FALSE;
}

namespace {

// Finds the selected disk again; true when it is back. The reason and kind of a drive that did
// not come back are set here.
bool Refind(UpdateOutcome* outcome, int tries) {
    SetProgressRange(80, 100, 0);
    const ULONGLONG start = BeginStep(STEP_REFIND);
    const int found = RereadSelectedDisk(tries);
    NoteStep(outcome, STEP_REFIND, found == 1 ? DISKLIB_OK : DISKLIB_ERR_IO, start);
    if (found != 1) {
        outcome->iKind = OUTCOME_NOT_BACK;
        outcome->iResult = DISKLIB_ERR_IO;
        outcome->iFailedStep = STEP_REFIND;
        return false;
    }
    DiskRecord now;
    ReadSelectedDisk(&now);
    CopyText(outcome->FirmwareAfter, DISK_TEXT_CHARS, now.FirmwareRev);
    return true;
}

// A version text that did not go in turns a good end into "committed, but".
void Conclude(UpdateOutcome* outcome, int kind) {
    const bool versionFailed = outcome->iFailedStep == STEP_VERSION_AFTER;
    if (kind == OUTCOME_ACTIVE) {
        outcome->bRunsNew = 1;
    }
    if (versionFailed && kind != OUTCOME_NOT_VERIFIED) {
        outcome->iKind = OUTCOME_FAILED_AFTER_COMMIT;
        return;
    }
    outcome->iKind = kind;
    if (kind == OUTCOME_NOT_VERIFIED) {
        outcome->iResult = DISKLIB_ERR_IO;
        outcome->iFailedStep = STEP_VERIFY;
    } else {
        outcome->iResult = DISKLIB_OK;
    }
}

} // namespace

int WaitForDriveAfterCommit(const CommandContext* context, HANDLE device,
                            const NvmeFirmwareCaps* caps) {
    if (context->iCmdType != CMD_NVME && context->iCmdType != CMD_RST) {
        return 1;
    }
    // The RST pass-through sends the buffer with its request: it must hold nothing of ours.
    BYTE controller[NVME_IDENTIFY_BYTES];
    memset(controller, 0, sizeof(controller));
    if (DISKLIB_NVME_Identify(context, device, NVME_CNS_CONTROLLER, 0, controller,
                              NVME_IDENTIFY_BYTES) == DISKLIB_OK) {
        return 1;
    }
    // Still away after the pause: wait, in the bar's step after the commit, until it answers.
    ReportStep(STEP_REFIND);
    SetProgressRange(60, 80, 0);
    // The bar follows the time gone, not the polls made: an identify may itself take a while.
    const DWORD limit = ReturnWaitMs(caps);
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        Sleep(kPollMs);
        const ULONGLONG waited = GetTickCount64() - start;
        PostDiskProgress(static_cast<int>(waited >= limit ? 100u : waited * 100u / limit));
        if (DISKLIB_NVME_Identify(context, device, NVME_CNS_CONTROLLER, 0, controller,
                                  NVME_IDENTIFY_BYTES) == DISKLIB_OK) {
            return 1;
        }
        if (waited >= limit) {
            DebugPrint(L"The drive did not answer %u ms after the commit", limit);
            return 0;
        }
    }
}

void RefindAndVerifyNvme(UpdateOutcome* outcome, const NvmeDriveView* before, bool waitedAlready) {
    // After a wait for the drive that ran out, a few attempts only.
    const int tries = waitedAlready ? UPDATE_SHORT_REFIND_TRIES
                                    : static_cast<int>(ReturnWaitMs(&before->Caps) / kPollMs);
    if (!Refind(outcome, tries)) {
        return;
    }
    const ULONGLONG start = BeginStep(STEP_VERIFY);
    DiskRecord now;
    ReadSelectedDisk(&now);
    NvmeFirmwareSlots slots;
    memset(&slots, 0, sizeof(slots));
    const bool haveSlots = ReadDiskFirmwareSlots(&now, &slots) != FALSE;
    const WCHAR* expected = outcome->FirmwareExpected;
    int kind;
    if (wcscmp(now.FirmwareRev, expected) == 0) {
        kind = OUTCOME_ACTIVE;
    } else if (haveSlots && slots.NextSlot == UPDATE_FIRMWARE_SLOT &&
               wcscmp(slots.Revision[UPDATE_FIRMWARE_SLOT], expected) == 0) {
        kind = PendingKind(outcome);
    } else {
        kind = OUTCOME_NOT_VERIFIED;
    }
    NoteStep(outcome, STEP_VERIFY, kind == OUTCOME_NOT_VERIFIED ? DISKLIB_ERR_IO : DISKLIB_OK,
             start);
    DebugPrint(L"Verify: expected %s, drive runs %s, slot 1 %s, next slot %d", expected,
               now.FirmwareRev, haveSlots ? slots.Revision[UPDATE_FIRMWARE_SLOT] : L"(unread)",
               static_cast<int>(slots.NextSlot));
    Conclude(outcome, kind);
}

void RefindAndVerifySata(UpdateOutcome* outcome) {
    if (!Refind(outcome, static_cast<int>(DRIVE_RETURN_WAIT_MS / kPollMs))) {
        return;
    }
    const ULONGLONG start = BeginStep(STEP_VERIFY);
    const bool runsNew = wcscmp(outcome->FirmwareAfter, outcome->FirmwareExpected) == 0;
    NoteStep(outcome, STEP_VERIFY, runsNew ? DISKLIB_OK : DISKLIB_ERR_IO, start);
    DebugPrint(L"Verify: expected %s, drive runs %s", outcome->FirmwareExpected,
               outcome->FirmwareAfter);
    Conclude(outcome, runsNew ? OUTCOME_ACTIVE : OUTCOME_NOT_VERIFIED);
}
