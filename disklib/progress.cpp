#include "disklib/progress.h"

#include <stddef.h>

namespace {
// Written once at start-up, before the threads that report exist.
DiskProgressSink g_progressSink = NULL;
} // namespace

void DISKLIB_SetProgressSink(DiskProgressSink sink) {
    g_progressSink = sink;
}

void DISKLIB_ReportProgress(int percent) {
    if (g_progressSink != NULL) {
        g_progressSink(percent);
    }
}
