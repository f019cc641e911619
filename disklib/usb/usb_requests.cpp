#include "disklib/usb/usb_requests.h"

#include "common/byte_order.h"

#include <string.h>

UsbPhaseOutcome UsbSendPassThrough(HANDLE hDisk, const UCHAR cdb[USB_CDB_BYTES], UCHAR dataIn,
                                   void* data, ULONG length, UCHAR senseLength,
                                   ULONG timeoutSeconds) {
    PassThroughRequest request;
    BuildPassThroughRequest(&request, cdb, USB_CDB_BYTES, dataIn, data, length, senseLength,
                            timeoutSeconds);
    const BOOL ok = SendPassThroughRequest(hDisk, &request);
    UsbPhaseOutcome outcome;
    outcome.callOk = ok != FALSE;
    outcome.scsiStatus = request.Sptd.ScsiStatus;
    return outcome;
}

void UsbBuildAsmCdb(UCHAR cdb[USB_CDB_BYTES], UCHAR operation, UCHAR phase, UCHAR kind,
                    ULONG length) {
    memset(cdb, 0, USB_CDB_BYTES);
    cdb[0] = operation;
    cdb[1] = USB_ASM_SIGNATURE;
    cdb[2] = phase;
    cdb[4] = kind;
    put_be32(cdb + 10, length);
}

void UsbBuildJmiCdb(UCHAR cdb[USB_CDB_BYTES], UCHAR protocol, ULONG length) {
    memset(cdb, 0, USB_CDB_BYTES);
    cdb[0] = USB_JMI_OPERATION;
    cdb[1] = protocol;
    put_be24(cdb + 3, length);
}

void UsbBuildJmiBlock(UCHAR block[USB_JMI_BLOCK_BYTES], const NvmeCommandBlock* command) {
    memset(block, 0, USB_JMI_BLOCK_BYTES);
    block[0] = 'N';
    block[1] = 'V';
    block[2] = 'M';
    block[3] = 'E';
    if (command != NULL) {
        memcpy(block + USB_JMI_BLOCK_COMMAND_OFFSET, command, sizeof(NvmeCommandBlock));
    }
}
