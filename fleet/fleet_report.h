// The JSON report of an unattended run (docs/fleet-report.schema.json): written to FILE.partial,
// then renamed over FILE, so that a reader finds the whole report or none.
#pragma once

#include "fleet/fleet_record.h"

// Whether FILE.partial can be made in the report's folder; tried before anything is done, so
// that an unwritable report ends the run with nothing written.
BOOL CanWriteFleetReport(const WCHAR* path);
BOOL WriteFleetReport(const WCHAR* path, const FleetRun* run, const char* programVersion);
