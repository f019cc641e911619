// The objects behind the Linux backend's handles, and the roots it was installed with.
#pragma once

#include "platform/device_backend.h"
#include "platform/linux/sysfs.h"
#include "platform/win32.h"

#include <stdint.h>
#include <string.h>

enum LxObjectKind { LX_OBJECT_DISK = 0x4C584431, LX_OBJECT_SET = 0x4C585331 };

// An open disk: for an NVMe namespace the controller's character device, for a SCSI disk its
// SCSI generic node once a pass-through needs it (it is described from sysfs otherwise).
struct LxDiskHandle {
    uint32_t kind; // LX_OBJECT_DISK
    int fd;
    uint32_t driveNumber;
    LxDisk disk;
    // The controller's Commands Supported and Effects log (admin half), read at the first
    // protocol command: which opcodes the driver lets through, as Windows' does.
    int effectsRead; // 0 not yet, 1 read, -1 could not be read
    uint32_t adminEffects[256];
    // A SCSI disk's SCSI generic node (/dev/sgN), opened at its first pass-through; -1 before.
    int sgFd;
};

// Sets the last error and fails, as the Windows calls do.
inline BOOL LxFail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The object of a handle the backend made when it is of that kind; null otherwise.
template <class T> T* LxObjectOf(HANDLE handle, uint32_t kind) {
    void* object = BackendHandleObject(handle);
    if (object == NULL) {
        return NULL;
    }
    uint32_t k = 0;
    memcpy(&k, object, sizeof(k));
    return k == kind ? (T*)object : NULL;
}

// The roots given at installation, resolved.
const char* LxSysRoot();
const char* LxDevRoot();

// DeviceIoControl on a disk handle (platform/linux/storage_requests.cpp). Returns 0 or the
// Windows error; returned receives the bytes written to out.
DWORD LxDiskIoControl(LxDiskHandle* handle, DWORD code, const BYTE* in, DWORD inSize, BYTE* out,
                      DWORD outSize, DWORD* returned);

// IOCTL_SCSI_PASS_THROUGH_DIRECT and IOCTL_ATA_PASS_THROUGH_DIRECT of a SCSI disk
// (platform/linux/pass_through.cpp), with the results of LxDiskIoControl.
DWORD LxScsiPassThrough(LxDiskHandle* handle, const BYTE* in, DWORD inSize, BYTE* out,
                        DWORD outSize, DWORD* returned);
DWORD LxAtaPassThrough(LxDiskHandle* handle, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                       DWORD* returned);
