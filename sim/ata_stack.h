// ATA commands in the storage stack of the simulated PC: the SAT translation of ATA PASS-THROUGH
// CDBs (storahci's for AHCI disks, the bridge's for USB-to-SATA enclosures, the adapter's for
// SATA disks on SAS), and the link that carries every ATA command of a disk to its drive.
// Internal to the storage stack's files.
#pragma once

#include "platform/win32.h"
#include "sim/ata_drive.h"
#include "sim/bridge_model.h"
#include "sim/pc.h"

namespace sim {

// True for an ATA PASS-THROUGH (12) or (16) operation code.
bool IsAtaPassThroughCdb(const ScsiRequest& request);

// Translates an ATA PASS-THROUGH CDB to the disk's ATA drive and its answer back (sim/
// sat_translation.cpp). A malformed CDB, or one whose transfer does not fit the request, is
// refused with CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN CDB; a command the drive
// aborts ends in CHECK CONDITION, ABORTED COMMAND, ATA PASS-THROUGH INFORMATION AVAILABLE with
// the ATA registers in fixed-format sense data (as does a good one with CK_COND set, under
// RECOVERED ERROR).
ScsiReply SatPassThrough(Pc& pc, SimDisk& disk, const ScsiRequest& request);

// Runs one ATA command on the disk's drive, after the disk's ATA faults (sim/ata_link.cpp).
// Returns 0, or the error of a request that cannot complete (ERROR_NO_SUCH_DEVICE when the disk
// left the PC during the command).
DWORD RunAtaCommand(Pc& pc, SimDisk& disk, const AtaRequest& request, AtaResult& result);

} // namespace sim
