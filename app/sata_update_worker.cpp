// The SATA update worker is not built yet: it sends nothing to the disk and ends at once with
// DISKLIB_ERR_UNSUPPORTED through the common end.
#include "app/update_worker.h"
#include "log/debug_log.h"

DWORD WINAPI SataUpdateWorker(LPVOID slot) {
    DebugPrint(L"SataUpdateWorker is not built: nothing was sent to the disk");
    return static_cast<DWORD>(
        FinishWorker(slot, NULL, INVALID_HANDLE_VALUE, DISKLIB_ERR_UNSUPPORTED));
}
