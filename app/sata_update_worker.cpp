// The SATA update worker: downloads the image unchanged with DOWNLOAD MICROCODE (the drive runs
// it at once, so no activation follows), then writes NEWVERSION into the drive's FW
// configuration block, finds the disk again and rescans. It never patches the image, ignores
// bSetVersionBeforeReflash and never power-cycles a bridge.
#include "app/disk_list.h"
#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "app/state/app_state.h"
#include "app/update_worker.h"
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_fwconfig.h"
#include "disklib/sata/sata_reflash.h"
#include "package/image.h"
#include "package/version_rules.h"

#include <string.h>

namespace {

const int kRereadTries = 10;
const DWORD kSettleMs = 3000;

// Writes NEWVERSION into the drive's FW configuration block, unless it is "KEEP" or the block
// holds it already. The block carries no check value on SATA drives (checksum kind 0, none
// asked for). 1, or the failing vendor command's result.
int WriteConfigVersion(const CommandContext* context, HANDLE device, const WCHAR* newVersion) {
    if (IsKeepVersion(newVersion)) {
        return DISKLIB_OK;
    }
    uint8_t block[SATA_FWCONFIG_BYTES];
    memset(block, 0, sizeof(block));
    int result = DISKLIB_SATA_GetFWConfig(context, device, block);
    if (result != DISKLIB_OK) {
        return result;
    }
    if (SetConfigVersion(block, newVersion, 0, NULL)) {
        result = DISKLIB_SATA_SetFWConfig(context, device, block);
    }
    return result;
}

} // namespace

DWORD WINAPI SataUpdateWorker(LPVOID slot) {
    AppState* state = GetAppState();
    DiskRecord disk;
    ReadSelectedDisk(&disk);
    CommandContext context;
    memset(&context, 0, sizeof(context));
    context.hScsiPort = INVALID_HANDLE_VALUE;
    HANDLE device = OpenDiskForCommands(disk.DevicePath, &context);
    if (device == INVALID_HANDLE_VALUE) {
        return static_cast<DWORD>(FinishWorker(slot, &context, INVALID_HANDLE_VALUE, -1));
    }

    // The RUN check has just found the image; a working folder changed since then fails here.
    WCHAR imagePath[APP_PATH_CHARS];
    DWORD imageSize = 0;
    BYTE* image = NULL;
    if (FindNandMapImage(&disk, imagePath, APP_PATH_CHARS)) {
        image = LoadImageFile(imagePath, &imageSize);
    }
    if (image == NULL) {
        return static_cast<DWORD>(FinishWorker(slot, &context, device, DISKLIB_ERR_IO));
    }

    SetProgressRange(0, 40, 0);
    int result = DISKLIB_SATA_Reflash(&context, device, image, imageSize);
    FreeImageFile(image);
    if (result != DISKLIB_OK) {
        return static_cast<DWORD>(FinishWorker(slot, &context, device, result));
    }
    SetProgressRange(40, 60, 0);
    WaitWithProgress(kSettleMs);

    result = WriteConfigVersion(&context, device, state->NEWVERSION);
    if (result != DISKLIB_OK) {
        return static_cast<DWORD>(FinishWorker(slot, &context, device, result));
    }

    // The selected disk is re-read so that it shows the new firmware; the result does not count.
    SetProgressRange(80, 100, 0);
    RereadSelectedDisk(kRereadTries);
    SetProgressRange(100, 100, 0);
    Rescan(state->hDialog, 0);
    return static_cast<DWORD>(FinishWorker(slot, &context, device, DISKLIB_OK));
}
