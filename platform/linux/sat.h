// The SCSI / ATA Translation forms the Linux backend needs: an ATA command of Windows' ATA
// pass-through as an ATA PASS-THROUGH (16) CDB, the ATA registers a SATL returns in sense data,
// and the kernel's usb-storage quirk that keeps ATA PASS-THROUGH CDBs from a USB device.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ATA_PASS_THROUGH_DIRECT.AtaFlags.
enum {
    LX_ATA_DRDY_REQUIRED = 0x01,
    LX_ATA_DATA_IN = 0x02,
    LX_ATA_DATA_OUT = 0x04,
    LX_ATA_48BIT = 0x08,
    LX_ATA_USE_DMA = 0x10,
};

// Builds the ATA PASS-THROUGH (16) CDB of one command: the registers of the task files (bytes
// 0 FEATURES, 1 COUNT, 2..4 LBA, 5 DEVICE, 6 COMMAND; the previous file holds the upper bytes
// of a 48-bit command), the protocol from the flags (PIO data-in, PIO data-out, DMA or
// non-data), the transfer length in COUNT as 512-byte blocks; CK_COND is set for a command
// without data, so that its registers come back (a command with data returns them only when it
// fails). Returns 1, or -1 for flags that ask for data both ways, data without a direction or
// the other way round, or a length that is no whole number of blocks.
int LxSatBuildCdb(const uint8_t previous[8], const uint8_t current[8], uint32_t ataFlags,
                  uint32_t length, uint8_t cdb[16]);

// Reads the ATA registers out of sense data: the ATA Status Return descriptor (09h) of
// descriptor-format sense, or fixed-format sense with ATA PASS-THROUGH INFORMATION AVAILABLE
// (ASC 00h, ASCQ 1Dh). current receives ERROR, COUNT, LBA 7..0, 15..8, 23..16, DEVICE, STATUS
// and 0; previous (48-bit) COUNT 15..8 and LBA 31..24, 39..32, 47..40. Returns 1, or 0 when the
// sense holds no registers (both left as they were).
int LxSatReadRegisters(const uint8_t* sense, size_t length, uint8_t previous[8],
                       uint8_t current[8]);

// Whether usb-storage's quirks parameter (the text of
// /sys/module/usb_storage/parameters/quirks: "VID:PID:FLAGS" entries separated by commas)
// gives the device the flag t (NO_ATA_1X): then the kernel answers every ATA PASS-THROUGH (12)
// and (16) CDB itself, with ILLEGAL REQUEST, and never sends it. 1 or 0.
int LxQuirkBlocksAtaPassThrough(const char* quirks, uint32_t vendor, uint32_t product);
