#include "app/run_checks.h"

#include "app/outcome_texts.h"
#include "app/state/app_state.h"
#include "common/wformat.h"
#include "disklib/disk_identity.h"
#include "log/debug_log.h"
#include "package/image.h"
#include "package/version_rules.h"

#include <string.h>
#include <wchar.h>

namespace {

// "|%s|" of a firmware revision.
const size_t kRevisionItemChars = DISK_TEXT_CHARS + 2;

// The file name part of an image path, for messages.
const WCHAR* FileName(const WCHAR* path) {
    const WCHAR* slash = wcsrchr(path, L'\\');
    return slash != nullptr ? slash + 1 : path;
}

// Loads the image and checks it is sound; RUN_CHECK_PASSED with the image filled, else the
// refusal text.
int LoadSoundImage(const WCHAR* path, CheckedImage* image, WCHAR* text, size_t capacity) {
    memset(image, 0, sizeof(*image));
    image->pBytes = LoadImageFile(path, &image->dwSize);
    const int verdict = image->pBytes == nullptr
                            ? IMAGE_NOT_CMFG
                            : CheckImageSound(image->pBytes, image->dwSize, &image->iChecksumKind);
    if (verdict != IMAGE_SOUND) {
        WFormat(text, capacity, REFUSE_IMAGE_TEXT, FileName(path),
                image->pBytes == nullptr ? L"it cannot be read" : ImageVerdictText(verdict));
        ReleaseCheckedImage(image);
        return RUN_REFUSED_UNSAFE;
    }
    ReadImageVersionFromBuffer(image->pBytes, image->dwSize, image->Revision,
                               sizeof(image->Revision) / sizeof(image->Revision[0]));
    return RUN_CHECK_PASSED;
}

int CheckRules(const DiskRecord* disk, CheckedImage* image, WCHAR* text, size_t capacity) {
    const AppState* state = GetAppState();
    if (state->FWVersion[0] != 0 && !IsInList(state->FWVersion, disk->FirmwareRev)) {
        WCHAR item[kRevisionItemChars];
        WFormat(item, kRevisionItemChars, L"|%s|", disk->FirmwareRev);
        WFormat(text, capacity, L"Limit FW Versoin : %s (Disk Version : %s)", state->FWVersion,
                item);
        return RUN_REFUSED_BY_RULE;
    }
    WCHAR imagePath[APP_PATH_CHARS];
    if (!FindNandMapImage(disk, imagePath, APP_PATH_CHARS)) {
        WFormat(text, capacity, L"No this fw, Lun=%d, NAND=%02X %02X %02X %02X %02X %02X",
                static_cast<int>(disk->iLun), disk->NandId[0], disk->NandId[1], disk->NandId[2],
                disk->NandId[3], disk->NandId[4], disk->NandId[5]);
        return RUN_REFUSED_BY_RULE;
    }
    // From here on the image is read from this one buffer, which the worker gets.
    const int loaded = LoadSoundImage(imagePath, image, text, capacity);
    if (loaded != RUN_CHECK_PASSED) {
        return loaded;
    }
    if (disk->DrvInfoVersion[0] != 0 && state->iInternalFWVersionCheckPart != 0) {
        WCHAR imageVersion[VERSION_TEXT_CHARS];
        ReadImageVersionFromBuffer(image->pBytes, image->dwSize, imageVersion, VERSION_TEXT_CHARS);
        if (!CompareDrvInfoVersion(disk->DrvInfoVersion, state->iInternalFWVersionCheckPart,
                                   imageVersion)) {
            WFormat(text, capacity, L"Limit Drv FW Version : %s, BinFileVer : %s, Compare %d Part",
                    disk->DrvInfoVersion, imageVersion, state->iInternalFWVersionCheckPart);
            return RUN_REFUSED_BY_RULE;
        }
    }
    if (disk->bDrvInfoValid != 0) {
        if (state->bRemoveFtlBuildNumCheck != 0) {
            DebugPrint(L"Remove FTL Build Num Check");
        } else {
            uint32_t imageBuild = ReadImageFtlBuildNumberFromBuffer(image->pBytes, image->dwSize);
            if (imageBuild != disk->iFtlBuildNum) {
                WFormat(text, capacity, L"Limit iFtlBuildNum : 0x%08X, 0x%08X", disk->iFtlBuildNum,
                        imageBuild);
                return RUN_REFUSED_BY_RULE;
            }
        }
    }
    return RUN_CHECK_PASSED;
}

} // namespace

int CheckPickedDisk(const DiskRecord* listed, const DiskRecord* disk, int rereadResult, WCHAR* text,
                    size_t capacity) {
    if (rereadResult == DISKLIB_ERR_OTHER_DISK) {
        WFormat(text, capacity, REFUSE_OTHER_DISK_TEXT, listed->Model, listed->SerialNumber);
        return RUN_REFUSED_UNSAFE;
    }
    if (!IsSameDisk(listed, disk)) {
        WFormat(text, capacity, REFUSE_NOT_ANSWERING_TEXT, listed->Model, listed->SerialNumber);
        return RUN_REFUSED_UNSAFE;
    }
    // A drive that answered when listed and does not now would lose the checks (and the image
    // patch) that its information carries: it is refused, not taken for a drive without it.
    if ((listed->bDrvInfoValid != 0 && disk->bDrvInfoValid == 0) ||
        (AnsweredZeltarixCommands(listed) && !AnsweredZeltarixCommands(disk))) {
        WFormat(text, capacity, REFUSE_NO_DRIVE_INFO_TEXT, disk->Model, disk->SerialNumber);
        return RUN_REFUSED_UNSAFE;
    }
    if (!AnsweredZeltarixCommands(disk)) {
        WFormat(text, capacity, REFUSE_FOREIGN_DISK_TEXT, disk->Model, disk->SerialNumber);
        return RUN_REFUSED_UNSAFE;
    }
    return RUN_CHECK_PASSED;
}

int CheckDiskAgainstPackage(const DiskRecord* disk, CheckedImage* image, WCHAR* text,
                            size_t capacity) {
    memset(image, 0, sizeof(*image));
    const int result = CheckRules(disk, image, text, capacity);
    if (result != RUN_CHECK_PASSED) {
        ReleaseCheckedImage(image);
    }
    return result;
}

int CheckPowerSupply(WCHAR* text, size_t capacity) {
    SYSTEM_POWER_STATUS status;
    memset(&status, 0, sizeof(status));
    if (!GetSystemPowerStatus(&status)) {
        return RUN_CHECK_PASSED; // nothing known about the supply: nothing to refuse on
    }
    const bool noBattery = status.BatteryFlag == BATTERY_FLAG_UNKNOWN ||
                           (status.BatteryFlag & BATTERY_FLAG_NO_BATTERY) != 0;
    if (noBattery) {
        return RUN_CHECK_PASSED;
    }
    const bool onAc = status.ACLineStatus == AC_LINE_ONLINE;
    const int percent = status.BatteryLifePercent;
    if (percent != BATTERY_PERCENTAGE_UNKNOWN) {
        const int least = onAc ? BATTERY_LEAST_ON_AC : BATTERY_LEAST_ON_BATTERY;
        if (percent < least) {
            WFormat(text, capacity, REFUSE_BATTERY_TEXT, percent, BATTERY_LEAST_ON_BATTERY,
                    BATTERY_LEAST_ON_AC);
            return RUN_REFUSED_UNSAFE;
        }
        return RUN_CHECK_PASSED;
    }
    // Only the battery's own flags say how charged it is.
    if (!onAc && (status.BatteryFlag & (BATTERY_FLAG_LOW | BATTERY_FLAG_CRITICAL)) != 0) {
        WFormat(text, capacity, REFUSE_BATTERY_LOW_TEXT);
        return RUN_REFUSED_UNSAFE;
    }
    return RUN_CHECK_PASSED;
}
