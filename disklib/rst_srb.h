// The SRB_IO_CONTROL header that every Intel RST miniport request (IOCTL_SCSI_MINIPORT to the
// disk's SCSI port) starts with.
#pragma once

#include "platform/win32.h"

// Fills the header of a request of total bytes: HeaderLength 28, the eight-byte signature
// ("IntelNvm", "IntelFw "), the timeout in seconds, the control code, ReturnCode 0 and Length,
// the bytes after the header.
void DISKLIB_FillSrbIoControl(SRB_IO_CONTROL* header, const char signature[8], ULONG timeout,
                              ULONG controlCode, DWORD total);
