// What an unattended run found and did, disk by disk: the record the log, the exit code and the
// report are made from.
#pragma once

#include "app/state/app_state.h"
#include "app/update_outcome.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

// The checks of RUN, each with its result and, for a refusal, its text.
enum { FLEET_CHECK_SAME_DRIVE = 0, FLEET_CHECK_PACKAGE, FLEET_CHECK_POWER, FLEET_CHECK_COUNT };
enum { CHECK_NOT_RUN = 0, CHECK_PASSED = 1, CHECK_REFUSED = 2 };

// What became of a disk.
enum {
    FLEET_NOT_ADMITTED = 0,  // the package does not admit it (model or SOC rule)
    FLEET_NOT_SELECTED,      // /disk named other disks
    FLEET_REFUSED,           // a check of RUN refused it: nothing written
    FLEET_CURRENT,           // it runs the package's firmware already
    FLEET_UPDATE_DUE,        // /check: it would be updated
    FLEET_ACTIVE,            // updated; runs the new firmware
    FLEET_PENDING_RESTART,   // updated; a restart activates it
    FLEET_PENDING_POWER_OFF, // updated; a power-off activates it
    FLEET_PENDING_REPLUG,    // updated; unplugging the enclosure activates it
    FLEET_NOT_BACK,          // committed; the drive did not come back
    FLEET_FAILED             // the update failed (before or after the commit)
};

struct FleetCheck {
    int32_t iResult; // CHECK_*
    WCHAR Text[APP_MESSAGE_CHARS];
};

struct FleetDisk {
    DiskRecord Disk; // as discovery listed it
    uint8_t bAdmitted;
    uint8_t bUpdated; // an update ran: Update holds its record
    int32_t iOutcome; // FLEET_*
    WCHAR FirmwareAfter[DISK_TEXT_CHARS];
    WCHAR Reason[APP_MESSAGE_CHARS];
    FleetCheck Checks[FLEET_CHECK_COUNT];
    UpdateOutcome Update;
};

struct FleetRun {
    SYSTEMTIME Started;
    SYSTEMTIME Ended;
    int32_t iExitCode;
    uint32_t iDiskCount;
    FleetDisk Disks[DISK_TABLE_CAPACITY];
};

// The names the report and the log use: "active", "pending-restart", ...; "sata-usb", ...;
// "same-drive", ...; "passed", ...
const char* FleetOutcomeName(int outcome);
const char* FleetPathName(int cmdType);
const char* FleetCheckName(int check);
const char* FleetCheckResultName(int result);

// ISO 8601 in UTC with milliseconds: "2026-12-09T21:40:00.123Z".
void FormatIsoTime(const SYSTEMTIME* time, char* text, size_t capacity);

// The exit code the run's disks call for (the worst outcome wins); /check asks only whether an
// update is due.
int FleetExitCode(const FleetRun* run, int checkOnly);
