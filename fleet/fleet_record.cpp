#include "fleet/fleet_record.h"
#include "fleet/exit_codes.h"

#include <stdio.h>

const char* FleetOutcomeName(int outcome) {
    static const char* const kNames[] = {
        "not-admitted",   "not-selected", "refused",         "current",
        "update-due",     "active",       "pending-restart", "pending-power-off",
        "pending-replug", "not-back",     "failed"};
    const int count = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
    return outcome >= 0 && outcome < count ? kNames[outcome] : "unknown";
}

const char* FleetPathName(int cmdType) {
    switch (cmdType) {
    case CMD_NVME:
        return "nvme";
    case CMD_RST:
        return "rst";
    case CMD_USB_ASM:
        return "asmedia";
    case CMD_USB_JMI:
        return "jmicron";
    case CMD_USB_RTK:
        return "realtek";
    case CMD_SATA:
        return "sata";
    case CMD_SATA_USB:
        return "sata-usb";
    case CMD_SATA_SCSI:
        return "sata-scsi";
    default:
        return "none";
    }
}

const char* FleetCheckName(int check) {
    static const char* const kNames[FLEET_CHECK_COUNT] = {"same-drive", "package", "power"};
    return check >= 0 && check < FLEET_CHECK_COUNT ? kNames[check] : "unknown";
}

const char* FleetCheckResultName(int result) {
    return result == CHECK_PASSED ? "passed" : result == CHECK_REFUSED ? "refused" : "not-run";
}

void FormatIsoTime(const SYSTEMTIME* t, char* text, size_t capacity) {
    snprintf(text, capacity, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t->wYear, t->wMonth, t->wDay,
             t->wHour, t->wMinute, t->wSecond, t->wMilliseconds);
}

namespace {

// How bad an exit code is: a failure of a drive first (the one that leaves the drive worst),
// then what the user must still do, then success.
int Severity(int code) {
    switch (code) {
    case EXIT_NOT_BACK:
        return 7;
    case EXIT_COMMIT_FAILED:
        return 6;
    case EXIT_NOT_VERIFIED:
        return 5;
    case EXIT_DOWNLOAD_FAILED:
        return 4;
    case EXIT_POWER_CYCLE_NEEDED:
        return 3;
    case EXIT_RESTART_NEEDED:
        return 2;
    default:
        return 1;
    }
}

int DiskExitCode(const FleetDisk* d) {
    switch (d->iOutcome) {
    case FLEET_PENDING_RESTART:
        return EXIT_RESTART_NEEDED;
    case FLEET_PENDING_POWER_OFF:
    case FLEET_PENDING_REPLUG:
        return EXIT_POWER_CYCLE_NEEDED;
    case FLEET_NOT_BACK:
        return EXIT_NOT_BACK;
    case FLEET_FAILED:
        if (d->Update.bCommitted) {
            return EXIT_NOT_VERIFIED;
        }
        return d->Update.iFailedStep == STEP_COMMIT ? EXIT_COMMIT_FAILED : EXIT_DOWNLOAD_FAILED;
    default:
        return EXIT_PROGRAM_OK;
    }
}

} // namespace

int FleetExitCode(const FleetRun* run, int checkOnly) {
    int admitted = 0;
    int refused = 0;
    int code = EXIT_PROGRAM_OK;
    for (uint32_t i = 0; i < run->iDiskCount; ++i) {
        const FleetDisk* d = &run->Disks[i];
        if (d->iOutcome == FLEET_NOT_ADMITTED || d->iOutcome == FLEET_NOT_SELECTED) {
            continue;
        }
        ++admitted;
        if (d->iOutcome == FLEET_REFUSED) {
            ++refused;
        }
        if (checkOnly) {
            if (d->iOutcome == FLEET_UPDATE_DUE) {
                code = EXIT_CHECK_UPDATE_DUE;
            }
            continue;
        }
        const int disk = DiskExitCode(d);
        if (Severity(disk) > Severity(code)) {
            code = disk;
        }
    }
    if (checkOnly) {
        return code;
    }
    if (admitted == 0) {
        return EXIT_NO_ADMITTED_DISK;
    }
    if (refused == admitted) {
        return EXIT_ALL_REFUSED;
    }
    return code;
}
