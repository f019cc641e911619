#include "app/progress.h"
#include "fleet/fleet_run.h"
#include "app/disk_source.h"
#include "app/disk_table.h"
#include "app/handed_image.h"
#include "app/main_dialog.h"
#include "app/outcome_text.h"
#include "app/run_checks.h"
#include "app/state/app_state.h"
#include "app/launch.h"
#include "app/outcome_texts.h"
#include "app/update_outcome.h"
#include "app/update_verify.h"
#include "app/update_worker.h"
#include "common/text.h"
#include "common/wformat.h"
#include "disklib/progress.h"
#include "fleet/exit_codes.h"
#include "fleet/fleet_record.h"
#include "fleet/fleet_report.h"
#include "fleet/run_log.h"
#include "log/debug_log.h"
#include "package/image.h"
#include "package/package_config.h"
#include "package/package_files.h"
#include "package/version_rules.h"
#include "app/update_done.h"

#include <string.h>
#include <wchar.h>

namespace {

// Attempts of the re-read of a disk before its checks, one second each, as RUN makes them.
const int kRereadTries = 30;

FleetRun g_run; // large: kept out of the stack

// Whether /disk names the disk (its serial number, trailing blanks aside: some drives pad it).
bool Selected(const ProgramOptions* options, const DiskRecord* disk) {
    if (options->iDiskCount == 0) {
        return true;
    }
    WCHAR serial[DISK_TEXT_CHARS];
    CopyText(serial, DISK_TEXT_CHARS, disk->SerialNumber);
    TrimBlanks(serial);
    for (int i = 0; i < options->iDiskCount; ++i) {
        if (wcscmp(options->Disks[i], serial) == 0) {
            return true;
        }
    }
    return false;
}

void Refused(FleetDisk* d, int check, const WCHAR* text) {
    d->Checks[check].iResult = CHECK_REFUSED;
    CopyText(d->Checks[check].Text, APP_MESSAGE_CHARS, text);
    CopyText(d->Reason, APP_MESSAGE_CHARS, text);
    d->iOutcome = FLEET_REFUSED;
}

// The revision that the package's image for the disk's NAND carries; false when there is none.
bool PackageRevisionFor(const DiskRecord* disk, WCHAR* revision) {
    WCHAR path[MAX_PATH];
    if (!FindNandMapImage(disk, path, MAX_PATH)) {
        return false;
    }
    DWORD size = 0;
    BYTE* bytes = LoadImageFile(path, &size);
    if (bytes == NULL) {
        return false;
    }
    const BOOL read = ReadImageVersionFromBuffer(bytes, size, revision, DISK_TEXT_CHARS);
    FreeImageFile(bytes);
    return read && revision[0] != 0;
}

// An NVMe drive whose update slot holds the package's image as the next one to run: installed,
// and waiting for what brings it up (a replug of a USB enclosure, else a power cycle).
int PendingOutcome(const DiskRecord* disk, const WCHAR* revision) {
    NvmeFirmwareSlots slots;
    memset(&slots, 0, sizeof(slots));
    if (GetAppState()->bIsSATA != 0 || !ReadDiskFirmwareSlots(disk, &slots) ||
        slots.NextSlot != UPDATE_FIRMWARE_SLOT ||
        wcscmp(slots.Revision[UPDATE_FIRMWARE_SLOT], revision) != 0) {
        return -1;
    }
    const int bridged = disk->iCmdType == CMD_USB_ASM || disk->iCmdType == CMD_USB_JMI ||
                        disk->iCmdType == CMD_USB_RTK;
    return bridged ? FLEET_PENDING_REPLUG : FLEET_PENDING_POWER_OFF;
}

// The checks of RUN on the disk, read again first. Returns true with the image loaded when an
// update is due; otherwise the disk's outcome says why not.
bool JudgeDisk(FleetDisk* d, DiskRecord* disk, CheckedImage* image) {
    *disk = d->Disk;
    const int reread = RereadDisk(disk, kRereadTries);
    WCHAR text[APP_MESSAGE_CHARS];
    text[0] = 0;
    if (CheckPickedDisk(&d->Disk, disk, reread, text, APP_MESSAGE_CHARS) != RUN_CHECK_PASSED) {
        Refused(d, FLEET_CHECK_SAME_DRIVE, text);
        return false;
    }
    d->Checks[FLEET_CHECK_SAME_DRIVE].iResult = CHECK_PASSED;
    // A drive that runs the package's firmware is current, whatever the package's rules would
    // say of it now (its revision list names the revisions to update from); one that has it
    // installed and waiting is not updated again.
    WCHAR revision[DISK_TEXT_CHARS];
    if (PackageRevisionFor(disk, revision)) {
        CopyText(d->FirmwareAfter, DISK_TEXT_CHARS, disk->FirmwareRev);
        if (wcscmp(revision, disk->FirmwareRev) == 0) {
            d->iOutcome = FLEET_CURRENT;
            CopyText(d->Reason, APP_MESSAGE_CHARS,
                     L"The drive runs the package's firmware already.");
            return false;
        }
        const int pending = PendingOutcome(disk, revision);
        if (pending >= 0) {
            d->iOutcome = pending;
            WFormat(d->Reason, APP_MESSAGE_CHARS,
                    L"The firmware %s is installed already and starts after %s.", revision,
                    pending == FLEET_PENDING_REPLUG ? PENDING_AFTER_REPLUG
                                                    : PENDING_AFTER_POWER_OFF);
            return false;
        }
    }
    const int verdict = CheckDiskAgainstPackage(disk, image, text, APP_MESSAGE_CHARS);
    if (verdict != RUN_CHECK_PASSED) {
        Refused(d, FLEET_CHECK_PACKAGE, text);
        return false;
    }
    d->Checks[FLEET_CHECK_PACKAGE].iResult = CHECK_PASSED;
    if (CheckPowerSupply(text, APP_MESSAGE_CHARS) != RUN_CHECK_PASSED) {
        ReleaseCheckedImage(image);
        Refused(d, FLEET_CHECK_POWER, text);
        return false;
    }
    d->Checks[FLEET_CHECK_POWER].iResult = CHECK_PASSED;
    return true;
}

int OutcomeOfUpdate(const UpdateOutcome* o) {
    switch (o->iKind) {
    case OUTCOME_ACTIVE:
        return FLEET_ACTIVE;
    case OUTCOME_PENDING_RESTART:
        return FLEET_PENDING_RESTART;
    case OUTCOME_PENDING_POWER_OFF:
        return FLEET_PENDING_POWER_OFF;
    case OUTCOME_PENDING_REPLUG:
        return FLEET_PENDING_REPLUG;
    case OUTCOME_NOT_BACK:
        return FLEET_NOT_BACK;
    case OUTCOME_REFUSED:
        return FLEET_REFUSED;
    default:
        return FLEET_FAILED;
    }
}

// Updates the disk as RUN and Yes would, with the worker on this thread.
void UpdateDisk(FleetDisk* d, const DiskRecord* disk, CheckedImage* image) {
    AppState* state = GetAppState();
    RunLogLine(L"Answer implied: Yes to \"%s\" for %s (%s)", state->BeforeMessage, disk->Model,
               disk->SerialNumber);
    StoreSelectedDisk(disk);
    SetUpdatingDisk(disk);
    HandOverImage(image);
    HANDLE slot = NULL; // the worker's slot: no thread handle to close
    const DWORD result = state->bIsSATA != 0 ? SataUpdateWorker(&slot) : NvmeUpdateWorker(&slot);
    ClearUpdatingDisk();
    ReadLastOutcome(&d->Update);
    if (d->Update.iKind == OUTCOME_NONE) {
        d->Update.iKind = result == DISKLIB_OK ? OUTCOME_ACTIVE : OUTCOME_FAILED;
    }
    d->bUpdated = 1;
    d->iOutcome = OutcomeOfUpdate(&d->Update);
    CopyText(d->FirmwareAfter, DISK_TEXT_CHARS, d->Update.FirmwareAfter);
    FormatOutcomeDetails(&d->Update, d->Reason, APP_MESSAGE_CHARS);
}

void JudgeAndUpdate(const ProgramOptions* options) {
    DiskRecord found[DISK_TABLE_CAPACITY];
    memset(found, 0, sizeof(found));
    const AppState* state = GetAppState();
    const uint32_t count = DiscoverDisks(found);
    uint8_t listed[DISK_TABLE_CAPACITY];
    for (uint32_t i = 0; i < count; ++i) {
        listed[i] = IsDiskEligible(&found[i], state->ModelName, state->SOCID) ? 1 : 0;
    }
    DiskRecord selected;
    StoreRescan(found, count, listed, &selected);
    g_run.iDiskCount = count;
    for (uint32_t i = 0; i < count; ++i) {
        FleetDisk* d = &g_run.Disks[i];
        d->Disk = found[i];
        d->bAdmitted = listed[i];
        if (!listed[i]) {
            d->iOutcome = FLEET_NOT_ADMITTED;
        } else if (!Selected(options, &found[i])) {
            d->iOutcome = FLEET_NOT_SELECTED;
        } else {
            DiskRecord disk;
            CheckedImage image;
            memset(&image, 0, sizeof(image));
            if (JudgeDisk(d, &disk, &image)) {
                if (options->bCheck) {
                    d->iOutcome = FLEET_UPDATE_DUE;
                    ReleaseCheckedImage(&image);
                } else {
                    UpdateDisk(d, &disk, &image);
                }
            }
        }
        RunLogLine(L"Disk %s (%s, %S): %S. %s", d->Disk.Model, d->Disk.SerialNumber,
                   FleetPathName(d->Disk.iCmdType), FleetOutcomeName(d->iOutcome), d->Reason);
    }
}

// The restart or power-off an outcome needs, when the switches allow it: EWX_* or 0.
UINT AllowedShutdown(const ProgramOptions* options, int exitCode) {
    if (exitCode == EXIT_RESTART_NEEDED && options->bRestart) {
        return EWX_REBOOT;
    }
    bool powerOff = false;
    for (uint32_t i = 0; i < g_run.iDiskCount; ++i) {
        powerOff = powerOff || g_run.Disks[i].iOutcome == FLEET_PENDING_POWER_OFF;
    }
    if (exitCode == EXIT_POWER_CYCLE_NEEDED && powerOff && options->bPowerOff) {
        return EWX_POWEROFF; // an enclosure that needs a replug is not helped by it
    }
    return 0;
}

int Finish(const ProgramOptions* options, int exitCode, const char* version) {
    g_run.iExitCode = exitCode;
    GetSystemTime(&g_run.Ended);
    if (options->ReportPath[0] != 0 && !WriteFleetReport(options->ReportPath, &g_run, version)) {
        RunLogLine(L"The report %s cannot be written", options->ReportPath);
        exitCode = EXIT_OUTPUT_UNWRITABLE;
    }
    RunLogLine(L"Exit code %d", exitCode);
    return exitCode;
}

} // namespace

int FleetMain(const ProgramOptions* options, const WCHAR* commandLine, const char* version) {
    memset(&g_run, 0, sizeof(g_run));
    GetSystemTime(&g_run.Started);
    WCHAR logPath[MAX_PATH];
    CopyText(logPath, MAX_PATH, options->LogPath);
    if (logPath[0] == 0 && options->bSilent && !DefaultRunLogPath(logPath, MAX_PATH)) {
        return EXIT_OUTPUT_UNWRITABLE;
    }
    if (logPath[0] != 0 && !OpenRunLog(logPath, commandLine, version)) {
        return EXIT_OUTPUT_UNWRITABLE;
    }
    if (options->ReportPath[0] != 0 && !CanWriteFleetReport(options->ReportPath)) {
        RunLogLine(L"The report %s cannot be written: nothing done", options->ReportPath);
        CloseRunLog();
        return EXIT_OUTPUT_UNWRITABLE;
    }
    HANDLE instance = CreateMutexW(NULL, TRUE, PROGRAM_INSTANCE_MUTEX);
    if (instance == NULL || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (instance != NULL) {
            CloseHandle(instance);
        }
        RunLogLine(L"Another zxflash is running: nothing done. Exit code %d",
                   EXIT_ANOTHER_INSTANCE);
        CloseRunLog();
        return EXIT_ANOTHER_INSTANCE;
    }
    SetDebugLogSink(RunLogDebugSink);
    DISKLIB_SetProgressSink(PostDiskProgress);
    int exitCode;
    if (!PreparePackage()) {
        RunLogLine(L"The embedded package cannot be prepared: nothing done");
        exitCode = Finish(options, EXIT_PACKAGE_UNUSABLE, version);
    } else if (!PathExists(GetAppState()->ConfigPath)) {
        // Nothing of the package reached the working folder (its archive could not be written
        // or read back): without its configuration and images every disk would look foreign,
        // and /check would call the PC done. No disk is judged.
        RunLogLine(L"The embedded package could not be unpacked: nothing done");
        exitCode = Finish(options, EXIT_PACKAGE_UNUSABLE, version);
        CleanUpWorkingFolder(GetAppState()->WorkingFolder);
    } else {
        AppState* state = GetAppState();
        LoadPackageConfig(state->ConfigPath);
        RunLogLine(L"Package \"%s\", NEWVERSION %s", state->Title, state->NEWVERSION);
        JudgeAndUpdate(options);
        exitCode = FleetExitCode(&g_run, options->bCheck);
        const UINT shutdown = options->bCheck ? 0 : AllowedShutdown(options, exitCode);
        if (shutdown != 0) {
            exitCode = EXIT_SHUTDOWN_STARTED;
        }
        exitCode = Finish(options, exitCode, version);
        CleanUpWorkingFolder(state->WorkingFolder);
        if (shutdown != 0 && exitCode == EXIT_SHUTDOWN_STARTED) {
            RunLogLine(shutdown == EWX_REBOOT ? L"Restarting the PC" : L"Powering the PC off");
            CloseRunLog();
            RequestShutdown(shutdown);
        }
    }
    SetDebugLogSink(NULL);
    CloseRunLog();
    ReleaseMutex(instance);
    CloseHandle(instance);
    return exitCode;
}
