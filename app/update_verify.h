// The end of an update that reached the drive: waiting for the drive after its reset (for the
// drive, not the clock), finding it again by its port, and reading what it runs now, which
// decides the outcome: active, pending (and what brings the new firmware up), not back, or not
// verified.
#pragma once

#include "app/drive_on_handle.h"
#include "app/update_outcome.h"
#include "disklib/disk_record.h"
#include "disklib/nvme_firmware_slots.h"
#include "platform/win32.h"

// The longest the program waits for a drive to answer after its commit or its bridge's power
// cycle, unless the drive's own maximum activation time (Identify MTFA) is longer.
#define DRIVE_RETURN_WAIT_MS 60000

// After a commit that the driver carries out with a controller reset (the platform's NVMe driver
// and Intel RST): the drive may be away past the pause that followed. Asks Identify on the handle,
// then, while the drive does not answer, each second (the bar moving in the step 60..80) for at
// most the longer of DRIVE_RETURN_WAIT_MS and MTFA. Returns 1 when it answered. Other command
// types answer at once without a request.
int WaitForDriveAfterCommit(const CommandContext* context, HANDLE device,
                            const NvmeFirmwareCaps* caps);

// The attempts of the re-find after a wait for the drive that ran out already.
#define UPDATE_SHORT_REFIND_TRIES 10

// In the range 80..100: finds the selected disk again by its port (one attempt a second, for as
// long as the drive may take to return, or UPDATE_SHORT_REFIND_TRIES when waitedAlready) so that
// it shows what it reports now, then decides the outcome of an NVMe update from its firmware
// revision and its Firmware Slot Information log.
void RefindAndVerifyNvme(UpdateOutcome* outcome, const NvmeDriveView* before, bool waitedAlready);

// The drive's Firmware Slot Information log, read on a fresh handle of the disk; FALSE when it
// cannot be read.
BOOL ReadDiskFirmwareSlots(const DiskRecord* disk, NvmeFirmwareSlots* slots);

// The same for a SATA drive, which runs a downloaded image at once: its revision decides.
void RefindAndVerifySata(UpdateOutcome* outcome);
