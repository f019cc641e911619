// The NVMe admin commands the disk library sends, named once: their opcodes, the NSID that names
// every namespace, and the fields of their command dwords as builders, so that no call site
// shifts a field by hand. Every transport (the native driver, Intel RST, the USB bridges' tunnels)
// builds its submission entry from these.
#pragma once

#include <stdint.h>

// Admin opcodes.
#define NVME_ADMIN_GET_LOG_PAGE 0x02
#define NVME_ADMIN_IDENTIFY 0x06
#define NVME_ADMIN_FIRMWARE_COMMIT 0x10
#define NVME_ADMIN_FIRMWARE_DOWNLOAD 0x11

#define NVME_NSID_ALL 0xFFFFFFFFu // every namespace (and the controller)

// Identify CDW10: CNS in bits 7..0.
#define NVME_CNS_NAMESPACE 0x00  // the Identify Namespace data of the NSID
#define NVME_CNS_CONTROLLER 0x01 // the Identify Controller data

// Get Log Page CDW10: the log identifier in bits 7..0, NUMDL (the low 16 bits of the zero-based
// dword count) in bits 31..16; the pages read here fit NUMDL, so NUMDU (CDW11) stays 0.
inline uint32_t NvmeGetLogPageCdw10(uint32_t logId, uint32_t bytes) {
    return (logId & 0xFFu) | (((bytes / 4 - 1) & 0xFFFFu) << 16);
}

// Firmware Commit CDW10: the firmware slot in bits 2..0, the commit action in bits 5..3.
#define NVME_COMMIT_ACTION_REPLACE 0          // replace the slot's image
#define NVME_COMMIT_ACTION_REPLACE_ACTIVATE 1 // ... and activate it at the next reset
#define NVME_COMMIT_ACTION_ACTIVATE 2         // activate the slot's image at the next reset
inline uint32_t NvmeFirmwareCommitCdw10(uint32_t slot, uint32_t action) {
    return (slot & 0x7u) | ((action & 0x7u) << 3);
}

// Firmware Image Download: NUMD (CDW10) the zero-based dword count of the piece, OFST (CDW11) its
// offset in dwords.
inline uint32_t NvmeFirmwareDownloadNumd(uint32_t bytes) {
    return (bytes - 1) >> 2;
}
inline uint32_t NvmeFirmwareDownloadOfst(uint32_t offset) {
    return offset >> 2;
}

// The ZELTARIX vendor commands' CDW10: the dword count of the block, not zero-based.
inline uint32_t NvmeVendorCdw10(uint32_t bytes) {
    return bytes / 4;
}
