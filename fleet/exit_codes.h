// The exit codes of the program. The interactive dialog ends with 0 (or the code of a refused
// start); an unattended run (/silent, /check) says with its code what happened, for the fleet
// tool that started it. Codes above 255 are Windows' own; a POSIX exit status keeps their low
// 8 bits (3010 is 194 there), while the report names the full code.
#pragma once

#define EXIT_PROGRAM_OK 0        // every updated disk runs the new firmware, or none needed it
#define EXIT_CHECK_UPDATE_DUE 1  // /check: at least one disk would be updated
#define EXIT_NO_ADMITTED_DISK 10 // no disk that the package admits (and /disk selects)
#define EXIT_ALL_REFUSED 11      // every admitted disk was refused by the checks
#define EXIT_DOWNLOAD_FAILED 12  // a download failed: the drive runs its old firmware
#define EXIT_COMMIT_FAILED 13    // the commit failed: the drive runs its old firmware
#define EXIT_NOT_BACK 14         // a drive did not come back after its reset
#define EXIT_NOT_VERIFIED                                                                          \
    15                             // committed, but the drive's firmware or version text is not
                                   // what the image carries
#define EXIT_PACKAGE_UNUSABLE 16   // the embedded package could not be prepared or unpacked
#define EXIT_OUTPUT_UNWRITABLE 17  // the report or the log cannot be written: nothing was done
#define EXIT_INVALID_SWITCH 87     // ERROR_INVALID_PARAMETER: an unknown or incomplete switch
#define EXIT_ANOTHER_INSTANCE 1618 // ERROR_INSTALL_ALREADY_RUNNING
#define EXIT_SHUTDOWN_STARTED                                                                      \
    1641                             // ERROR_SUCCESS_REBOOT_INITIATED: the program restarts or
                                     // powers the PC off itself (/restart, /poweroff)
#define EXIT_RESTART_NEEDED 3010     // ERROR_SUCCESS_REBOOT_REQUIRED: a restart activates it
#define EXIT_POWER_CYCLE_NEEDED 3020 // a power-off, or unplugging the enclosure, activates it
