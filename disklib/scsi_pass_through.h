// The envelope of every SCSI pass-through exchange of the disk library (the USB bridges' tunnels
// and the SAT form of ATA commands): the platform's SCSI_PASS_THROUGH_DIRECT, a filler dword and
// the sense area, sent as input and output of one IOCTL_SCSI_PASS_THROUGH_DIRECT.
#pragma once

#include "platform/win32.h"

#include <stddef.h>

#define PASS_THROUGH_SENSE_BYTES 64

// With 32-bit pointers the structure is 44 bytes and the request 112, the sense area at 48; with
// 64-bit pointers the structure is 56 bytes and the request 128, the sense area following the
// filler at 60.
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT Sptd;
    ULONG Filler;
    UCHAR SenseBuffer[PASS_THROUGH_SENSE_BYTES];
};
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "32- or 64-bit pointers");
static_assert(sizeof(PassThroughRequest) == (sizeof(void*) == 4 ? 112 : 128),
              "the pass-through request is 112 bytes (32-bit) or 128 bytes (64-bit)");
static_assert(offsetof(PassThroughRequest, SenseBuffer) == (sizeof(void*) == 4 ? 48 : 60),
              "the sense area is at 48 (32-bit) or 60 (64-bit)");

// Fills a zeroed envelope for one exchange on path, target and LUN 0: the CDB of cdbLength bytes
// (at most 16), the data buffer exactly as given with its direction (SCSI_IOCTL_DATA_IN, _OUT or
// _UNSPECIFIED) and length, senseLength bytes of the sense area after the filler, the time-out.
void BuildPassThroughRequest(PassThroughRequest* request, const UCHAR* cdb, UCHAR cdbLength,
                             UCHAR dataIn, void* data, ULONG length, UCHAR senseLength,
                             ULONG timeoutSeconds);
// Sends the envelope synchronously with IOCTL_SCSI_PASS_THROUGH_DIRECT, serving as input and
// output; the call's result (ScsiStatus and the sense area come back in the envelope).
BOOL SendPassThroughRequest(HANDLE hDisk, PassThroughRequest* request);
