// The Identify command as the disk library uses it (its opcode and CNS values are in
// disklib/nvme_command.h): the size of its data, and where the fields it reads lie in the NVMe
// Identify Controller and Identify Namespace data structures (byte offsets and lengths, with the
// standard's field names).
#pragma once

#include "disklib/nvme_command.h" // NVME_ADMIN_IDENTIFY, NVME_CNS_*

#define NVME_IDENTIFY_BYTES 4096

// Identify Controller.
#define NVME_IDCTRL_VID 0   // PCI Vendor ID, 2 bytes
#define NVME_IDCTRL_SSVID 2 // PCI Subsystem Vendor ID, 2 bytes
#define NVME_IDCTRL_SN 4    // Serial Number, ASCII
#define NVME_IDCTRL_SN_BYTES 20
#define NVME_IDCTRL_MN 24 // Model Number, ASCII
#define NVME_IDCTRL_MN_BYTES 40
#define NVME_IDCTRL_FR 64 // Firmware Revision, ASCII
#define NVME_IDCTRL_FR_BYTES 8

// Identify Namespace.
#define NVME_IDNS_NSZE 0    // Namespace Size in logical blocks, 8 bytes
#define NVME_IDNS_LBAF0 128 // LBA Format 0 Support, 4 bytes
#define NVME_LBAF_LBADS 2   // LBA Data Size (a power of two) in byte 2 of an LBA Format entry
