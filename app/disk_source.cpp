// The NVMe or the SATA discovery and re-read, as the package's bIsSATA says.
#include "app/disk_source.h"
#include "app/state/app_state.h"
#include "disklib/nvme_discovery.h"

#include <string.h>

namespace {

// The SATA path (disklib/sata/) is not built yet: a SATA package finds no disk. These two are
// where EnumerateSataDisks and the SATA GetDiskInfoByPortID take over.
uint32_t SataDiscoveryNotBuilt(DiskRecord* table, uint32_t capacity) {
    memset(table, 0, capacity * sizeof(DiskRecord));
    return 0;
}

int SataRereadNotBuilt(DiskRecord* record, int tries) {
    (void)record;
    (void)tries;
    return 0;
}

} // namespace

uint32_t DiscoverDisks(DiskRecord* table) {
    if (GetAppState()->bIsSATA != 0) {
        return SataDiscoveryNotBuilt(table, DISK_TABLE_CAPACITY);
    }
    uint32_t count = DISKLIB_NVME_ScanDisks(table, DISK_TABLE_CAPACITY);
    return count > DISK_TABLE_CAPACITY ? DISK_TABLE_CAPACITY : count;
}

int RereadDisk(DiskRecord* record, int tries) {
    if (GetAppState()->bIsSATA != 0) {
        return SataRereadNotBuilt(record, tries);
    }
    return GetDiskInfoByPortID(record, tries);
}
