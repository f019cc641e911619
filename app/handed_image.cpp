#include "app/handed_image.h"

#include "package/image.h"

#include <string.h>

namespace {

CRITICAL_SECTION* HandLock() {
    static CRITICAL_SECTION section;
    static const bool ready = (InitializeCriticalSection(&section), true);
    (void)ready;
    return &section;
}

CheckedImage g_handed; // under the lock

} // namespace

void ReleaseCheckedImage(CheckedImage* image) {
    FreeImageFile(image->pBytes);
    memset(image, 0, sizeof(*image));
}

void HandOverImage(CheckedImage* image) {
    EnterCriticalSection(HandLock());
    // An image handed over before and never taken (its worker did not start) goes now.
    ReleaseCheckedImage(&g_handed);
    g_handed = *image;
    LeaveCriticalSection(HandLock());
    memset(image, 0, sizeof(*image));
}

void TakeHandedImage(CheckedImage* image) {
    EnterCriticalSection(HandLock());
    *image = g_handed;
    memset(&g_handed, 0, sizeof(g_handed));
    LeaveCriticalSection(HandLock());
}
