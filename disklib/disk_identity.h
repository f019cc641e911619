// Which physical disk a record describes: its serial number and model, which stay the same across
// resets and firmware updates, while its drive number and port id can be shared or reused.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

// True when both records name the same drive: the same model and serial number, compared
// exactly. A record with neither (never probed) names no drive and matches nothing.
BOOL IsSameDisk(const DiskRecord* a, const DiskRecord* b);

// True when the drive answered the ZELTARIX vendor command set when it was probed: a valid
// Drive information block, or a SOC id from the MP information block. Only such a drive is ever
// written to, whatever a package's rules admit.
BOOL AnsweredZeltarixCommands(const DiskRecord* disk);
