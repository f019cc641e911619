// The NVMe update worker: opens the selected disk, loads the image its NAND identity names,
// carries the drive's FW configuration block and the package's version text into the image (or
// writes the version into the MP information block on a drive without Drive information),
// downloads and commits the image, power-cycles an ASMedia or JMicron bridge, finds the disk
// again by its port and rescans the list.
//
// The image buffer is owned by the run record below and released through ReleaseImage only,
// which forgets it: the download step releases it whatever the download gave, and every end
// before that step releases it on the way out, so it is freed exactly once on every path.
#include "app/disk_list.h"
#include "app/disk_table.h"
#include "app/main_dialog.h"
#include "app/state/app_state.h"
#include "app/update_worker.h"
#include "disklib/nvme_discovery.h"
#include "disklib/nvme_firmware.h"
#include "disklib/nvme_vsc.h"
#include "disklib/usb/usb_power.h"
#include "package/image.h"
#include "package/version_rules.h"

#include <string.h>

namespace {

// The pauses of the update, in milliseconds, and the attempts of the final re-read.
const DWORD kSettleAfterDownloadMs = 3000;
const DWORD kSettleAfterActivateMs = 3000;
const DWORD kSettleAfterPowerCycleMs = 3000;
const int kReturnTries = 10;

// The committed image goes into firmware slot 1 and runs at the next controller reset.
const uint32_t kFirmwareSlot = 1;
const uint32_t kCommitAction = 1;

// The bridges' power values.
const uint8_t kAsmediaPowerCycle = 1;
const uint8_t kJmicronPowerCycle = 5;

// Everything one update holds while it runs.
struct UpdateRun {
    LPVOID slot;
    DiskRecord disk; // the selected disk as the worker started on it
    CommandContext context;
    HANDLE device;
    BYTE* image; // null once released
    DWORD imageSize;
};

void ReleaseImage(UpdateRun* run) {
    if (run->image != NULL) {
        FreeImageFile(run->image);
        run->image = NULL;
        run->imageSize = 0;
    }
}

// The end of every path: the image (when still held) is released, the handles closed and the
// result posted.
int EndUpdate(UpdateRun* run, int result) {
    ReleaseImage(run);
    return FinishWorker(run->slot, &run->context, run->device, result);
}

// Download into 0..30, the settle wait into 30..40, the commit and its settle wait into 40..60.
// The image is released after the download whatever it gave.
int DownloadAndActivate(UpdateRun* run) {
    SetProgressRange(0, 30, 0);
    int result = DISKLIB_NVME_DownloadFW(&run->context, run->device, run->image, run->imageSize);
    ReleaseImage(run);
    if (result != DISKLIB_OK) {
        return result;
    }
    SetProgressRange(30, 40, 0);
    WaitWithProgress(kSettleAfterDownloadMs);
    SetProgressRange(40, 60, 0);
    result = DISKLIB_NVME_FWActive(&run->context, run->device, kFirmwareSlot, kCommitAction);
    if (result != DISKLIB_OK) {
        return result;
    }
    WaitWithProgress(kSettleAfterActivateMs);
    return DISKLIB_OK;
}

int ReadConfig(UpdateRun* run, BYTE* block) {
    memset(block, 0, FWCONFIG_BLOCK_BYTES);
    return DISKLIB_NVME_GetFWConfig(&run->context, run->device, block);
}

// Writes NEWVERSION into the block and the block to the drive, when that changes it. checkKind
// is the image's checksum kind, which the block's check value uses too.
int WriteConfigVersion(UpdateRun* run, BYTE* block, int checkKind) {
    uint32_t checkValue = 0;
    if (!SetConfigVersion(block, GetAppState()->NEWVERSION, checkKind, &checkValue)) {
        return DISKLIB_OK;
    }
    return DISKLIB_NVME_SetFWConfig(&run->context, run->device, block, checkValue);
}

// The drive reported a Drive information block: its FW configuration block goes into the image,
// and the version into that block before the download or after the commit.
int UpdateWithDriveInfo(UpdateRun* run) {
    const AppState* state = GetAppState();
    const int before = state->bSetVersionBeforeReflash;
    const int checkKind = DetectImageChecksumKind(run->image, run->imageSize);
    BYTE block[FWCONFIG_BLOCK_BYTES];
    int result = ReadConfig(run, block);
    if (result == DISKLIB_OK && before != 0) {
        result = WriteConfigVersion(run, block, checkKind);
    }
    if (result != DISKLIB_OK) {
        return result;
    }
    PatchImageConfig(run->image, run->imageSize, block, state->NEWVERSION);
    result = DownloadAndActivate(run);
    if (result != DISKLIB_OK || before != 0) {
        return result;
    }
    // The commit may have reset the controller, which locks the vendor commands again.
    DISKLIB_NVME_UnlockVSC(&run->context, run->device);
    result = ReadConfig(run, block);
    return result != DISKLIB_OK ? result : WriteConfigVersion(run, block, checkKind);
}

// The version goes into the MP information block, unless it is "KEEP": that text would replace
// the drive's version instead of keeping it.
int WriteMpInfoVersion(UpdateRun* run) {
    const WCHAR* version = GetAppState()->NEWVERSION;
    if (IsKeepVersion(version)) {
        return DISKLIB_OK;
    }
    return DISKLIB_NVME_SetFWVersionByMpInfo(&run->context, run->device, version, NULL);
}

// No Drive information block: the image goes as the package carries it, and the version into
// the MP information block before the download or after the commit.
int UpdateWithoutDriveInfo(UpdateRun* run) {
    const int before = GetAppState()->bSetVersionBeforeReflash;
    if (before != 0) {
        int result = WriteMpInfoVersion(run);
        if (result != DISKLIB_OK) {
            return result;
        }
    }
    int result = DownloadAndActivate(run);
    if (result != DISKLIB_OK || before != 0) {
        return result;
    }
    return WriteMpInfoVersion(run);
}

// The bridges that have a power request power-cycle the drive so that it starts the new
// firmware; their results do not count.
void PowerCycleBridge(const UpdateRun* run) {
    SetProgressRange(60, 80, 0);
    if (run->context.iCmdType == CMD_USB_ASM) {
        IO_USB_ASM_PowerCtrl(run->device, kAsmediaPowerCycle);
        WaitWithProgress(kSettleAfterPowerCycleMs);
    } else if (run->context.iCmdType == CMD_USB_JMI) {
        IO_USB_JMI_PowerCtrl(run->device, kJmicronPowerCycle);
        WaitWithProgress(kSettleAfterPowerCycleMs);
    }
}

} // namespace

DWORD WINAPI NvmeUpdateWorker(LPVOID slot) {
    UpdateRun run;
    memset(&run, 0, sizeof(run));
    run.slot = slot;
    run.context.iCmdType = CMD_NONE;
    run.context.hScsiPort = INVALID_HANDLE_VALUE;
    ReadSelectedDisk(&run.disk);
    run.device = DISKLIB_NVME_OpenDisk(run.disk.DevicePath, &run.context);
    if (run.device == INVALID_HANDLE_VALUE) {
        return static_cast<DWORD>(EndUpdate(&run, DISKLIB_ERR_OPEN));
    }
    WCHAR imagePath[APP_PATH_CHARS];
    if (FindNandMapImage(&run.disk, imagePath, APP_PATH_CHARS)) {
        run.image = LoadImageFile(imagePath, &run.imageSize);
    }
    if (run.image == NULL) {
        // The working folder lost the image since the RUN check: nothing of the update was sent.
        return static_cast<DWORD>(EndUpdate(&run, DISKLIB_ERR_IO));
    }
    int result =
        run.disk.bDrvInfoValid != 0 ? UpdateWithDriveInfo(&run) : UpdateWithoutDriveInfo(&run);
    if (result != DISKLIB_OK) {
        return static_cast<DWORD>(EndUpdate(&run, result));
    }
    PowerCycleBridge(&run);
    SetProgressRange(80, 100, 0);
    RereadSelectedDisk(kReturnTries);
    SetProgressRange(100, 100, 0);
    Rescan(GetAppState()->hDialog, 0);
    return static_cast<DWORD>(EndUpdate(&run, DISKLIB_OK));
}
