// An unattended run (/silent or /check): every disk judged as RUN judges it, the admitted ones
// updated one after another with the answers a user would give, a log, a report and an exit code
// that says what happened.
#pragma once

#include "fleet/program_options.h"

// The named mutex that keeps one zxflash at a time on a PC.
#define PROGRAM_INSTANCE_MUTEX L"Global\\ZELTARIX-zxflash"

// Runs the unattended program; returns its exit code (fleet/exit_codes.h).
int FleetMain(const ProgramOptions* options, const WCHAR* commandLine, const char* programVersion);
