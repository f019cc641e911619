#include "disklib/request_buffer.h"

#include <stddef.h>

BYTE* DISKLIB_AllocRequest(DWORD size) {
    return (BYTE*)VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void DISKLIB_FreeRequest(void* request) {
    if (request != NULL) {
        VirtualFree(request, 0, MEM_RELEASE);
    }
}
