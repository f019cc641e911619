// The program's command line: the switches of an unattended run, and "/debug".
#pragma once

#include "platform/win32.h"

#include <stddef.h>

#define OPTION_PATH_CHARS 520
#define OPTION_MAX_DISKS 16
#define OPTION_SERIAL_CHARS 64
#define OPTION_ERROR_CHARS 200

struct ProgramOptions {
    int bSilent;   // /silent: no window, every admitted disk that passes the checks is updated
    int bCheck;    // /check: nothing is written; the exit code says whether an update is due
    int bRestart;  // /restart: may restart the PC when an outcome needs it
    int bPowerOff; // /poweroff: may power the PC off when an outcome needs it
    int bHelp;     // /? or /help
    int bVersion;  // /version
    int bDebug;    // /debug
    int iDiskCount;
    WCHAR Disks[OPTION_MAX_DISKS][OPTION_SERIAL_CHARS]; // /disk SERIAL, repeatable
    WCHAR ReportPath[OPTION_PATH_CHARS];                // /report FILE ("" none)
    WCHAR LogPath[OPTION_PATH_CHARS];                   // /log FILE ("" none)
    WCHAR Error[OPTION_ERROR_CHARS];                    // why the line was refused
};

enum {
    OPTIONS_INTERACTIVE = 0, // no switch of an unattended run: the dialog, as always
    OPTIONS_UNATTENDED = 1,  // /silent or /check (with what goes with them)
    OPTIONS_INFORMATION = 2, // /?, /help or /version
    OPTIONS_INVALID = -1     // an unknown switch, a switch without its value, or a value too long
};

// Splits the line into words as the C runtime does (blanks separate, double quotes group, \"
// is a quote) and reads the switches: '/' or '-' then the name, in any letter case. A word that
// is not a switch is refused when the line holds a switch of an unattended run; alone it is
// ignored as the dialog always ignored it. Returns one of OPTIONS_*.
int ParseProgramOptions(const WCHAR* commandLine, ProgramOptions* options);

// The usage, with the exit codes (CR LF line ends).
const WCHAR* ProgramUsageText();
