// NVMe command transports: Identify and Get Log Page over the dispatch by command type, the
// platform NVMe driver's protocol command and property queries, and the Intel RST pass-through.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stdint.h>

// Which column of the dispatch a command takes.
enum {
    NVME_REQUEST_COMMAND = 0,  // a vendor command
    NVME_REQUEST_IDENTIFY = 1, // Identify
    NVME_REQUEST_LOG_PAGE = 2  // Get Log Page
};

// Sends one command block to the transport of context->iCmdType. For CMD_NVME the Identify
// and Get Log Page columns use the property queries and the command column the protocol
// command (which carries CDW0, CDW12..CDW15 of the block only). Returns the transport's
// result, or DISKLIB_ERR_UNSUPPORTED for a command type without transport. The firmware
// download and commit have requests of their own (disklib/nvme_firmware.h).
int DISKLIB_NVME_Dispatch(const CommandContext* context, HANDLE device, int request, int direction,
                          NvmeCommandBlock* command, void* buffer, uint32_t length);

int DISKLIB_NVME_Identify(const CommandContext* context, HANDLE device, uint32_t cns, uint32_t nsid,
                          void* buffer, uint32_t length);
int DISKLIB_NVME_GetLogPage(const CommandContext* context, HANDLE device, uint32_t logId,
                            void* buffer, uint32_t length);

int IO_NVME_ProtocolCommand(HANDLE device, int direction, uint8_t opcode, uint32_t cdw12,
                            uint32_t cdw13, uint32_t cdw14, uint32_t cdw15, void* buffer,
                            uint32_t length);
int IO_NVME_QueryIdentify(HANDLE device, uint32_t cns, uint32_t nsid, void* buffer,
                          uint32_t length);
int IO_NVME_QueryLogPage(HANDLE device, uint32_t logId, void* buffer, uint32_t length);
int IO_RST_NvmePassThrough(HANDLE scsiPort, uint32_t pathId, const NvmeCommandBlock* command,
                           void* buffer, uint32_t length);
