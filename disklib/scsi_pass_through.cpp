#include "disklib/scsi_pass_through.h"

#include <string.h>

void BuildPassThroughRequest(PassThroughRequest* request, const UCHAR* cdb, UCHAR cdbLength,
                             UCHAR dataIn, void* data, ULONG length, UCHAR senseLength,
                             ULONG timeoutSeconds) {
    memset(request, 0, sizeof(*request));
    request->Sptd.Length = (USHORT)sizeof(SCSI_PASS_THROUGH_DIRECT);
    request->Sptd.PathId = 0;
    request->Sptd.TargetId = 0;
    request->Sptd.Lun = 0;
    request->Sptd.CdbLength = cdbLength;
    request->Sptd.SenseInfoLength = senseLength;
    request->Sptd.DataIn = dataIn;
    request->Sptd.DataTransferLength = length;
    request->Sptd.TimeOutValue = timeoutSeconds;
    request->Sptd.DataBuffer = data;
    request->Sptd.SenseInfoOffset = (ULONG)offsetof(PassThroughRequest, SenseBuffer);
    memcpy(request->Sptd.Cdb, cdb, cdbLength);
}

BOOL SendPassThroughRequest(HANDLE hDisk, PassThroughRequest* request) {
    DWORD returned = 0;
    return DeviceIoControl(hDisk, IOCTL_SCSI_PASS_THROUGH_DIRECT, request, sizeof(*request),
                           request, sizeof(*request), &returned, NULL);
}
