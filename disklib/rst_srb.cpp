#include "disklib/rst_srb.h"

#include <string.h>

void DISKLIB_FillSrbIoControl(SRB_IO_CONTROL* header, const char signature[8], ULONG timeout,
                              ULONG controlCode, DWORD total) {
    header->HeaderLength = sizeof(SRB_IO_CONTROL);
    memcpy(header->Signature, signature, sizeof(header->Signature));
    header->Timeout = timeout;
    header->ControlCode = controlCode;
    header->ReturnCode = 0;
    header->Length = total - (DWORD)sizeof(SRB_IO_CONTROL);
}
