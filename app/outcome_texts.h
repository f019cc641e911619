// The texts the program shows for what an update check refused and for how an update ended,
// beyond the package's own messages. Formats take their arguments in the order of their
// comments; %s is wide text.
#pragma once

// ---- RUN refuses: nothing is written; shown whether or not "/debug" is on -----------------

// model, serial number
#define REFUSE_OTHER_DISK_TEXT                                                                     \
    L"The disk you picked (%s, serial number %s) is not where it was: another disk answers at "    \
    L"its port. Nothing was written. Pick the disk in the list again."
// model, serial number
#define REFUSE_NOT_ANSWERING_TEXT                                                                  \
    L"The disk you picked (%s, serial number %s) did not answer when it was read again. Nothing "  \
    L"was written. Check its connection and pick it in the list again."
// model, serial number
#define REFUSE_NO_DRIVE_INFO_TEXT                                                                  \
    L"The program cannot read the drive's information from %s (serial number %s), which it "       \
    L"reported when it was listed. Nothing was written. Reconnect the drive and try again."
// model, serial number
#define REFUSE_FOREIGN_DISK_TEXT                                                                   \
    L"%s (serial number %s) is not a ZELTARIX drive: it does not answer the ZELTARIX vendor "      \
    L"commands. This program writes only to ZELTARIX drives; nothing was written."
// image file name, the reason (package/image.h)
#define REFUSE_IMAGE_TEXT                                                                          \
    L"The firmware image %s of this package cannot be written: %s. Nothing was written."
// battery percent, least percent on battery, least percent on AC
#define REFUSE_BATTERY_TEXT                                                                        \
    L"The battery is at %d%%. A PC that loses power during a firmware update can leave the "       \
    L"drive unusable: connect it to AC power and update when the battery holds at least %d%% "     \
    L"(%d%% on AC power). Nothing was written."
#define REFUSE_BATTERY_LOW_TEXT                                                                    \
    L"The PC runs on a battery that reports a low charge. A PC that loses power during a "         \
    L"firmware update can leave the drive unusable: connect it to AC power first. Nothing was "    \
    L"written."

// ---- The question before the package's own question on the system disk --------------------

// model, volume letters
#define SYSTEM_DISK_QUESTION_TEXT                                                                  \
    L"%s holds the Windows system volume (%s). If the update fails, Windows may not start "        \
    L"from this disk again. Back up your data before you go on.\r\n\r\nUpdate the system disk?"

// ---- The worker refuses on the handle it opened, before its first write --------------------

// path, model, serial number
#define REFUSE_HANDLE_OTHER_DISK_TEXT                                                              \
    L"%s is no longer the disk you picked (%s, serial number %s). Nothing was written."
// model, the reason
#define REFUSE_CANNOT_TAKE_TEXT L"%s cannot take this update: %s. Nothing was written."

#define CANNOT_TAKE_NO_FIRMWARE_COMMANDS                                                           \
    L"it does not support the firmware download and commit commands"
#define CANNOT_TAKE_NO_SLOT L"it reports no firmware slot 1"
#define CANNOT_TAKE_SLOT_READ_ONLY L"its firmware slot 1 is read-only"
// granularity in 4 KiB units
#define CANNOT_TAKE_GRANULARITY                                                                    \
    L"it takes firmware only in pieces of %u x 4 KiB, and this program sends 4 KiB pieces"
// slot
#define CANNOT_TAKE_PENDING                                                                        \
    L"a firmware update is already waiting to be activated (slot %d); power the drive off and "    \
    L"on (or unplug and plug in its enclosure) first"
#define CANNOT_TAKE_NO_MICROCODE L"it does not support DOWNLOAD MICROCODE"
#define CANNOT_TAKE_NO_OFFSETS L"it does not support DOWNLOAD MICROCODE with offsets (mode 3)"
#define CANNOT_TAKE_PIECES L"it does not take DOWNLOAD MICROCODE pieces of 8 blocks (4 KiB)"

// ---- What failed, as the worker notes it (the first sentence of a failure's message) ---------

// path
#define FAILED_OPEN_TEXT L"The disk %s could not be opened."
#define FAILED_IDENTIFY_TEXT L"The drive did not answer Identify on the opened disk."
#define FAILED_CONFIG_READ_TEXT L"The drive's FW configuration block could not be read."
#define FAILED_VERSION_BEFORE_TEXT                                                                 \
    L"The version text could not be written into the drive before the download."
// offset of the refused piece, image size
#define FAILED_DOWNLOAD_TEXT                                                                       \
    L"The drive did not take the firmware download (the piece at byte %u of %u)."
#define FAILED_COMMIT_TEXT L"The drive refused the firmware commit."
#define FAILED_NO_IMAGE_TEXT L"No checked firmware image was handed to the update."
#define RESTORED_TEXT L" The version text written before the download was put back."
#define NOT_RESTORED_TEXT                                                                          \
    L" The version text written before the download could not be put back: the drive names a "     \
    L"version it does not run."
// version text
#define FAILED_VERSION_AFTER_TEXT                                                                  \
    L"the version text %s could not be written into the drive's configuration"

// ---- How an update ended: the message box -----------------------------------------------------

// the Part's text, then what failed, then the revision the drive still runs
#define OUTCOME_FAILED_TEXT L"%s\r\n\r\n%s The drive still runs its old firmware %s."
// new revision, model, what brings it up, old revision
#define OUTCOME_PENDING_TEXT                                                                       \
    L"The new firmware %s is installed on %s and starts after %s. Until then the drive runs %s."
#define PENDING_AFTER_RESTART L"the PC restarts"
#define PENDING_AFTER_POWER_OFF L"the PC is shut down and started again"
#define PENDING_AFTER_REPLUG L"its enclosure is unplugged and plugged in again"
#define OUTCOME_RESTART_QUESTION L"\r\n\r\nRestart the PC now?"
#define OUTCOME_POWER_OFF_QUESTION L"\r\n\r\nShut the PC down now?"
// new revision, model
#define OUTCOME_NOT_BACK_TEXT                                                                      \
    L"The new firmware %s was committed to %s, but the drive did not come back after its "         \
    L"reset. Do not write to it: unplug its enclosure and plug it in again, or shut the PC down "  \
    L"and start it again, then run this program again to check the drive."
// new revision, model, runs now or later, what did not complete
#define OUTCOME_AFTER_COMMIT_TEXT L"The new firmware %s is committed to %s and %s, but %s."
#define RUNS_NOW L"runs now"
#define RUNS_AFTER_POWER_CYCLE L"runs after the drive is powered off and on"
// model, revision reported, revision expected
#define OUTCOME_NOT_VERIFIED_TEXT                                                                  \
    L"The firmware was committed to %s, but the drive reports firmware %s where the image "        \
    L"carries %s. The update could not be verified: shut the PC down, start it again and run "     \
    L"this program to check the drive."

// ---- How an update ended: the status line ----------------------------------------------------

// model, revision
#define STATUS_ACTIVE_TEXT L"Update finished: %s runs firmware %s."
// revision
#define STATUS_PENDING_TEXT L"Firmware %s installed; it starts after %s."
#define STATUS_NOT_BACK_TEXT L"Firmware committed; the drive did not come back."
#define STATUS_FAILED_TEXT L"Update failed; the drive runs its old firmware."
#define STATUS_AFTER_COMMIT_TEXT L"Firmware committed; the version text was not written."
#define STATUS_NOT_VERIFIED_TEXT L"Firmware committed; the drive's revision could not be verified."
#define STATUS_REFUSED_TEXT L"Update refused; nothing was written."

// ---- The status line while a step of the update runs -----------------------------------------

#define STATUS_STEP_CHECK L"Checking the drive..."
#define STATUS_STEP_VERSION L"Writing the version text..."
#define STATUS_STEP_DOWNLOAD L"Downloading the firmware..."
#define STATUS_STEP_COMMIT L"Activating the firmware..."
#define STATUS_STEP_POWER_CYCLE L"Power-cycling the enclosure..."
#define STATUS_STEP_WAIT L"Waiting for the drive..."
#define STATUS_STEP_VERIFY L"Verifying what the drive runs..."
