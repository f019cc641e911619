// The NVMe or the SATA discovery and re-read, as the package's bIsSATA says.
#include "app/disk_source.h"
#include "app/state/app_state.h"
#include "disklib/nvme_discovery.h"
#include "disklib/sata/sata_discovery.h"

uint32_t DiscoverDisks(DiskRecord* table) {
    uint32_t count = GetAppState()->bIsSATA != 0
                         ? EnumerateSataDisks(table, DISK_TABLE_CAPACITY)
                         : DISKLIB_NVME_ScanDisks(table, DISK_TABLE_CAPACITY);
    return count > DISK_TABLE_CAPACITY ? DISK_TABLE_CAPACITY : count;
}

int RereadDisk(DiskRecord* record, int tries) {
    if (GetAppState()->bIsSATA != 0) {
        return DISKLIB_SATA_GetDiskInfoByPortID(record, tries);
    }
    return GetDiskInfoByPortID(record, tries);
}
