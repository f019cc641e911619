#include "disklib/nvme_transport.h"
#include "disklib/nvme_command.h"
#include "disklib/nvme_identify.h"
#include "disklib/request_buffer.h"
#include "disklib/rst_srb.h"
#include "disklib/usb/usb_bridge.h"

#include "log/debug_log.h"

#include <stddef.h>
#include <string.h>

namespace {

const DWORD kProtocolCommandTimeout = 10; // seconds
const ULONG kRstTimeout = 40;             // seconds
const ULONG kRstNvmControlCode = 0xF0002808;
const uint32_t kRstTrailer = 3; // zero bytes after the data

// The Intel RST NVMe pass-through request ("IntelNvm"); the data follows it.
struct RST_NVME_PASS_THROUGH {
    SRB_IO_CONTROL SrbIoCtrl;
    UCHAR Version;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR Command[64];    // the NVMe command block
    UCHAR Completion[16]; // the completion entry, returned
    ULONG QueueId;        // 0: the admin queue
    ULONG ParameterLength;
    ULONG ReturnBufferLength;
    UCHAR Reserved[40];
};
static_assert(offsetof(RST_NVME_PASS_THROUGH, Version) == 28, "IntelNvm layout");
static_assert(offsetof(RST_NVME_PASS_THROUGH, Command) == 32, "IntelNvm layout");
static_assert(offsetof(RST_NVME_PASS_THROUGH, QueueId) == 112, "IntelNvm layout");
static_assert(sizeof(RST_NVME_PASS_THROUGH) == 164, "IntelNvm data offset");

// Where the command and the data sit in a protocol command request.
const DWORD kProtocolCommandAt = offsetof(STORAGE_PROTOCOL_COMMAND, Command);
const DWORD kProtocolDataAt = kProtocolCommandAt + STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
static_assert(kProtocolDataAt == 144, "protocol command data offset");

// Where the protocol data sits in a property query: the query's header, then
// STORAGE_PROTOCOL_SPECIFIC_DATA, then the data.
const DWORD kQuerySpecificAt = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
const DWORD kQueryDataAt = kQuerySpecificAt + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
static_assert(kQueryDataAt == 48, "protocol query data offset");

// Identify and Get Log Page through IOCTL_STORAGE_QUERY_PROPERTY.
int QueryProtocolData(HANDLE device, STORAGE_PROPERTY_ID propertyId, DWORD dataType,
                      DWORD requestValue, DWORD requestSubValue, void* buffer, uint32_t length) {
    const DWORD size = kQueryDataAt + length;
    BYTE* request = DISKLIB_AllocRequest(size);
    if (request == NULL) {
        return DISKLIB_ERR_IO;
    }
    STORAGE_PROPERTY_QUERY* query = (STORAGE_PROPERTY_QUERY*)request;
    query->PropertyId = propertyId;
    query->QueryType = PropertyStandardQuery;
    STORAGE_PROTOCOL_SPECIFIC_DATA* specific =
        (STORAGE_PROTOCOL_SPECIFIC_DATA*)(request + kQuerySpecificAt);
    specific->ProtocolType = ProtocolTypeNvme;
    specific->DataType = dataType;
    specific->ProtocolDataRequestValue = requestValue;
    specific->ProtocolDataRequestSubValue = requestSubValue;
    specific->ProtocolDataOffset = sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
    specific->ProtocolDataLength = length;
    DWORD returned = 0;
    int result = DISKLIB_ERR_IO;
    if (DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, request, size, request, size,
                        &returned, NULL)) {
        if (length != 0) {
            memcpy(buffer, request + kQueryDataAt, length);
        }
        result = DISKLIB_OK;
    }
    DISKLIB_FreeRequest(request);
    return result;
}

} // namespace

int DISKLIB_NVME_Dispatch(const CommandContext* context, HANDLE device, int request, int direction,
                          NvmeCommandBlock* command, void* buffer, uint32_t length) {
    switch (context->iCmdType) {
    case CMD_NVME:
        if (request == NVME_REQUEST_IDENTIFY) {
            return IO_NVME_QueryIdentify(device, command->CDW10, command->CDW1, buffer, length);
        }
        if (request == NVME_REQUEST_LOG_PAGE) {
            return IO_NVME_QueryLogPage(device, command->CDW10 & 0xFF, buffer, length);
        }
        return IO_NVME_ProtocolCommand(device, direction, (uint8_t)(command->CDW0 & 0xFF),
                                       command->CDW12, command->CDW13, command->CDW14,
                                       command->CDW15, buffer, length);
    case CMD_RST:
        return IO_RST_NvmePassThrough(context->hScsiPort, context->iScsiPathId, command, buffer,
                                      length);
    case CMD_USB_ASM:
        // ASMedia answers Identify with its one-request command.
        if (request == NVME_REQUEST_IDENTIFY) {
            return IO_USB_ASM_Identify(device, direction, command, buffer, length);
        }
        return IO_USB_ASM_NvmePassThrough(device, direction, command, buffer, length);
    case CMD_USB_JMI:
        return IO_USB_JMI_NvmePassThrough(device, direction, command, buffer, length);
    case CMD_USB_RTK:
        return IO_USB_RTK_NvmePassThrough(device, direction, command, buffer, length);
    default:
        return DISKLIB_ERR_UNSUPPORTED;
    }
}

int DISKLIB_NVME_Identify(const CommandContext* context, HANDLE device, uint32_t cns, uint32_t nsid,
                          void* buffer, uint32_t length) {
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = NVME_ADMIN_IDENTIFY;
    command.CDW1 = nsid;
    command.CDW10 = cns;
    return DISKLIB_NVME_Dispatch(context, device, NVME_REQUEST_IDENTIFY, XFER_IN, &command, buffer,
                                 length);
}

int DISKLIB_NVME_GetLogPage(const CommandContext* context, HANDLE device, uint32_t logId,
                            void* buffer, uint32_t length) {
    DebugPrint(L"DISKLIB_NVME_GetLogPage IN");
    NvmeCommandBlock command;
    memset(&command, 0, sizeof(command));
    command.CDW0 = NVME_ADMIN_GET_LOG_PAGE;
    command.CDW1 = NVME_NSID_ALL;
    command.CDW10 = NvmeGetLogPageCdw10(logId, length);
    int result = DISKLIB_NVME_Dispatch(context, device, NVME_REQUEST_LOG_PAGE, XFER_IN, &command,
                                       buffer, length);
    if (result == DISKLIB_OK) {
        DebugPrint(L"DISKLIB_NVME_GetLogPage Success OUT ");
    }
    return result;
}

int IO_NVME_ProtocolCommand(HANDLE device, int direction, uint8_t opcode, uint32_t cdw12,
                            uint32_t cdw13, uint32_t cdw14, uint32_t cdw15, void* buffer,
                            uint32_t length) {
    const DWORD size = kProtocolDataAt + (direction == XFER_NONE ? 0 : length);
    BYTE* request = DISKLIB_AllocRequest(size);
    if (request == NULL) {
        return DISKLIB_ERR_IO;
    }
    STORAGE_PROTOCOL_COMMAND* header = (STORAGE_PROTOCOL_COMMAND*)request;
    header->Version = STORAGE_PROTOCOL_STRUCTURE_VERSION;
    header->Length = sizeof(STORAGE_PROTOCOL_COMMAND);
    header->ProtocolType = ProtocolTypeNvme;
    header->Flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST;
    header->CommandLength = STORAGE_PROTOCOL_COMMAND_LENGTH_NVME;
    header->ErrorInfoLength = 0;
    header->ErrorInfoOffset = 0;
    header->TimeOutValue = kProtocolCommandTimeout;
    header->DataToDeviceBufferOffset = kProtocolDataAt;
    header->DataFromDeviceBufferOffset = kProtocolDataAt;
    header->CommandSpecific = STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND;
    header->DataToDeviceTransferLength = direction == XFER_OUT ? length : 0;
    header->DataFromDeviceTransferLength = direction == XFER_IN ? length : 0;

    NvmeCommandBlock* command = (NvmeCommandBlock*)(request + kProtocolCommandAt);
    command->CDW0 = opcode;
    command->CDW1 = NVME_NSID_ALL;
    command->CDW10 = NvmeVendorCdw10(length);
    command->CDW12 = cdw12;
    command->CDW13 = cdw13;
    command->CDW14 = cdw14;
    command->CDW15 = cdw15;
    if (direction == XFER_OUT && length != 0) {
        memcpy(request + kProtocolDataAt, buffer, length);
    }
    DWORD returned = 0;
    int result = DISKLIB_ERR_IO;
    if (DeviceIoControl(device, IOCTL_STORAGE_PROTOCOL_COMMAND, request, size, request, size,
                        &returned, NULL)) {
        if (direction == XFER_IN && length != 0) {
            memcpy(buffer, request + kProtocolDataAt, length);
        }
        result = DISKLIB_OK;
    }
    DISKLIB_FreeRequest(request);
    return result;
}

int IO_NVME_QueryIdentify(HANDLE device, uint32_t cns, uint32_t nsid, void* buffer,
                          uint32_t length) {
    return QueryProtocolData(device, StorageAdapterProtocolSpecificProperty, NVMeDataTypeIdentify,
                             cns, nsid, buffer, length);
}

int IO_NVME_QueryLogPage(HANDLE device, uint32_t logId, void* buffer, uint32_t length) {
    return QueryProtocolData(device, StorageDeviceProtocolSpecificProperty, NVMeDataTypeLogPage,
                             logId, 0, buffer, length);
}

int IO_RST_NvmePassThrough(HANDLE scsiPort, uint32_t pathId, const NvmeCommandBlock* command,
                           void* buffer, uint32_t length) {
    const DWORD size = sizeof(RST_NVME_PASS_THROUGH) + length + kRstTrailer;
    BYTE* input = DISKLIB_AllocRequest(size);
    BYTE* output = DISKLIB_AllocRequest(size);
    if (input == NULL || output == NULL) {
        DISKLIB_FreeRequest(input);
        DISKLIB_FreeRequest(output);
        return DISKLIB_ERR_IO;
    }
    RST_NVME_PASS_THROUGH* request = (RST_NVME_PASS_THROUGH*)input;
    DISKLIB_FillSrbIoControl(&request->SrbIoCtrl, "IntelNvm", kRstTimeout, kRstNvmControlCode,
                             size);
    request->Version = 1;
    request->PathId = (UCHAR)pathId;
    request->TargetId = 0;
    request->Lun = 0;
    memcpy(request->Command, command, sizeof(request->Command));
    request->QueueId = 0;
    request->ParameterLength = sizeof(RST_NVME_PASS_THROUGH);
    request->ReturnBufferLength = length;
    if (buffer != NULL && length != 0) {
        memcpy(input + sizeof(RST_NVME_PASS_THROUGH), buffer, length);
    }
    DWORD returned = 0;
    int result = DISKLIB_ERR_IO;
    if (DeviceIoControl(scsiPort, IOCTL_SCSI_MINIPORT, input, size, output, size, &returned,
                        NULL)) {
        if (buffer != NULL && length != 0) {
            memcpy(buffer, output + sizeof(RST_NVME_PASS_THROUGH), length);
        }
        result = DISKLIB_OK;
    }
    DISKLIB_FreeRequest(input);
    DISKLIB_FreeRequest(output);
    return result;
}
