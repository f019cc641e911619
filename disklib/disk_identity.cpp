#include "disklib/disk_identity.h"

#include <wchar.h>

BOOL IsSameDisk(const DiskRecord* a, const DiskRecord* b) {
    if (a->Model[0] == 0 && a->SerialNumber[0] == 0) {
        return FALSE;
    }
    return wcscmp(a->Model, b->Model) == 0 && wcscmp(a->SerialNumber, b->SerialNumber) == 0;
}

BOOL AnsweredZeltarixCommands(const DiskRecord* disk) {
    return disk->bDrvInfoValid != 0 || disk->iSocId != 0;
}
