// The firmware image RUN checked, handed to the update worker: loaded once at the RUN checks
// and never read from the working folder again, so that a file replaced while the question is
// open cannot reach the drive. Whoever holds the image releases it, once.
#pragma once

#include "platform/win32.h"

#include <stdint.h>

// An image loaded by LoadImageFile and found sound, with what the checks read from it.
struct CheckedImage {
    BYTE* pBytes; // null when none
    DWORD dwSize;
    int iChecksumKind;
    WCHAR Revision[64]; // the version text the image carries (what the drive reports once it runs)
};

// Releases the image's buffer (when there is one) and empties the record.
void ReleaseCheckedImage(CheckedImage* image);

// RUN hands the image over just before it starts the worker; the record it gave is emptied.
void HandOverImage(CheckedImage* image);
// The worker takes what was handed over (empty when nothing was); it then owns the buffer.
void TakeHandedImage(CheckedImage* image);
