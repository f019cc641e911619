// The Disk table, the disk count and the selected disk, kept apart between the dialog thread and
// the update worker.
//
// Scheme: one lock around every read and write of the three, held only while records are
// copied. Discovery and re-reads run on local copies with the lock free: a re-read can take 30
// seconds, and a rescan on the worker's thread drives the list by messages sent to the dialog
// thread, so a lock held across either would stall the dialog or deadlock it against the
// worker. Each thread therefore sees whole records, never a half-written one; a rescan and a
// re-read of the same disk may finish in either order, and the later one's record stands.
// A re-read record goes back into the table only when no rescan has rewritten the table since
// it was taken (the generation below), so a stale record never lands in a slot that now holds
// another disk.
#include "app/disk_table.h"
#include "app/disk_source.h"
#include "app/state/app_state.h"
#include "disklib/disk_identity.h"

#include <string.h>

namespace {

CRITICAL_SECTION* DiskLock() {
    static CRITICAL_SECTION section;
    static const bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

uint32_t g_generation = 0; // bumped by every stored rescan; under the lock

DiskRecord g_updating; // the disk an update runs on; under the lock
bool g_updatingSet = false;

} // namespace

int StoreRescan(const DiskRecord* found, uint32_t count, const uint8_t* listed,
                DiskRecord* selected) {
    AppState* state = GetAppState();
    if (count > DISK_TABLE_CAPACITY) {
        count = DISK_TABLE_CAPACITY;
    }
    int match = -1;
    EnterCriticalSection(DiskLock());
    memset(state->Disks, 0, sizeof(state->Disks));
    memcpy(state->Disks, found, count * sizeof(DiskRecord));
    state->DiskCount = count;
    ++g_generation;
    // The selected disk is the listed disk at its port that names the same drive: several disks
    // can share a port id. A selected disk that names no drive (nothing picked yet) takes the
    // port alone.
    const DiskRecord* selectedDisk = &state->SelectedDisk;
    const bool named = selectedDisk->Model[0] != 0 || selectedDisk->SerialNumber[0] != 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (listed[i] != 0 && found[i].iPort == selectedDisk->iPort &&
            (!named || IsSameDisk(selectedDisk, &found[i]))) {
            match = static_cast<int>(i);
        }
    }
    if (match >= 0) {
        state->SelectedDisk = found[match];
    }
    *selected = state->SelectedDisk;
    LeaveCriticalSection(DiskLock());
    return match;
}

BOOL ReadListedDisk(LONG_PTR index, DiskRecord* disk, uint32_t* generation) {
    AppState* state = GetAppState();
    BOOL ok = FALSE;
    EnterCriticalSection(DiskLock());
    if (index >= 0 && index < static_cast<LONG_PTR>(state->DiskCount)) {
        *disk = state->Disks[index];
        *generation = g_generation;
        ok = TRUE;
    }
    LeaveCriticalSection(DiskLock());
    return ok;
}

void StoreListedDisk(LONG_PTR index, uint32_t generation, const DiskRecord* disk) {
    AppState* state = GetAppState();
    EnterCriticalSection(DiskLock());
    if (generation == g_generation && index >= 0 &&
        index < static_cast<LONG_PTR>(state->DiskCount)) {
        state->Disks[index] = *disk;
    }
    state->SelectedDisk = *disk;
    LeaveCriticalSection(DiskLock());
}

void ReadSelectedDisk(DiskRecord* disk) {
    EnterCriticalSection(DiskLock());
    *disk = GetAppState()->SelectedDisk;
    LeaveCriticalSection(DiskLock());
}

void StoreSelectedDisk(const DiskRecord* disk) {
    EnterCriticalSection(DiskLock());
    GetAppState()->SelectedDisk = *disk;
    LeaveCriticalSection(DiskLock());
}

void ClearSelectedDisk() {
    EnterCriticalSection(DiskLock());
    memset(&GetAppState()->SelectedDisk, 0, sizeof(DiskRecord));
    LeaveCriticalSection(DiskLock());
}

int RereadSelectedDisk(int tries) {
    DiskRecord disk;
    ReadSelectedDisk(&disk);
    int result = RereadDisk(&disk, tries);
    StoreSelectedDisk(&disk);
    return result;
}

void SetUpdatingDisk(const DiskRecord* disk) {
    EnterCriticalSection(DiskLock());
    g_updating = *disk;
    g_updatingSet = true;
    LeaveCriticalSection(DiskLock());
}

void ClearUpdatingDisk() {
    EnterCriticalSection(DiskLock());
    g_updatingSet = false;
    LeaveCriticalSection(DiskLock());
}

BOOL ReadUpdatingDisk(DiskRecord* disk) {
    EnterCriticalSection(DiskLock());
    const bool set = g_updatingSet;
    if (set) {
        *disk = g_updating;
    }
    LeaveCriticalSection(DiskLock());
    return set ? TRUE : FALSE;
}
