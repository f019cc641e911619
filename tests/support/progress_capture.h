// The progress the disk library reports, captured for a test: the sink records every percentage
// in order.
#pragma once

#include "disklib/progress.h"

#include <vector>

namespace testsupport {

inline std::vector<int>& Reported() {
    static std::vector<int> reported;
    return reported;
}

inline void RecordProgress(int percent) {
    Reported().push_back(percent);
}

// Installs the sink with nothing recorded yet.
inline void StartProgressCapture() {
    Reported().clear();
    DISKLIB_SetProgressSink(RecordProgress);
}

inline void StopProgressCapture() {
    DISKLIB_SetProgressSink(nullptr);
}

} // namespace testsupport
