// The buffers of the disk library's platform requests: page-granular, zero-filled allocations,
// obtained and released inside each request.
#pragma once

#include "platform/win32.h"

// A zero-filled buffer of size bytes (VirtualAlloc, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE),
// or null.
BYTE* DISKLIB_AllocRequest(DWORD size);

// Releases a buffer of DISKLIB_AllocRequest; null is ignored.
void DISKLIB_FreeRequest(void* request);
