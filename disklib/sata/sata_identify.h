// What a SATA disk tells about itself: IDENTIFY DEVICE and where its fields lie (byte offsets of
// the ATA words the system reads), the ATA string order of its texts, and the two vendor reads
// that fill a Disk record's vendor fields.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stddef.h>
#include <stdint.h>

#define ATA_IDENTIFY_BYTES 512

// IDENTIFY DEVICE data: byte offset = 2 x word number.
#define ATA_ID_SERIAL 20 // words 10-19, serial number, ATA string
#define ATA_ID_SERIAL_BYTES 20
#define ATA_ID_FIRMWARE 46 // words 23-26, firmware revision, ATA string
#define ATA_ID_FIRMWARE_BYTES 8
#define ATA_ID_MODEL 54 // words 27-46, model number, ATA string
#define ATA_ID_MODEL_BYTES 40
#define ATA_ID_SATA_CAPABILITIES2 154     // word 77; bits 3-1: current negotiated signal speed
#define ATA_ID_MAX_LBA48 200              // words 100-103, the 48-bit addressable sector count
#define ATA_ID_COMMAND_SET2 166           // word 83: commands and feature sets supported
#define ATA_W83_DOWNLOAD_MICROCODE 0x0001 // bit 0: DOWNLOAD MICROCODE is supported
#define ATA_ID_COMMAND_SET_EXT 238        // word 119: commands and feature sets supported
#define ATA_W119_DM_OFFSETS 0x0010        // bit 4: DOWNLOAD MICROCODE with mode 3 (offsets)
#define ATA_WORD_VALID_MASK 0xC000 // bits 15:14 of words 83 and 119: 01b when the word is valid
#define ATA_WORD_VALID 0x4000
#define ATA_ID_DM_MIN_BLOCKS 468 // word 234: least 512-byte blocks per DOWNLOAD MICROCODE
#define ATA_ID_DM_MAX_BLOCKS 470 // word 235: most of them; 0 or FFFFh in either: not given

// The format word (offset 280) of the MP information block that a SATA drive returns.
#define MPINFO_FORMAT_SATA 4096

// IDENTIFY DEVICE into a 512-byte buffer, which is zeroed first. 1 or 0.
int IdentifyDevice(int32_t cmdType, HANDLE hDisk, uint8_t* buffer);

// An ATA string field as trimmed wide text: the two bytes of every word swapped, the bytes taken
// as ANSI text up to the first zero byte, at most DISK_TEXT_CHARS - 1 characters.
void AtaStringToText(const uint8_t* field, size_t bytes, WCHAR* text);

// The identity fields of a record from IDENTIFY DEVICE data, converted as a probe converts them:
// Model, SerialNumber and FirmwareRev.
void SataIdentity(const uint8_t* identify, DiskRecord* record);

// Whether a drive can take DOWNLOAD MICROCODE mode 3 in pieces of pieceBlocks 512-byte blocks,
// as far as its IDENTIFY DEVICE data says (a word that is not valid says nothing).
enum {
    SATA_FW_CAN_TAKE = 1,
    SATA_FW_NO_DOWNLOAD_MICROCODE = -1, // word 83 bit 0 clear
    SATA_FW_NO_OFFSETS_MODE = -2,       // word 119 bit 4 clear
    SATA_FW_PIECE_SIZE = -3             // the pieces lie outside words 234..235
};
int SataCanTakeFirmware(const uint8_t* identify, uint32_t pieceBlocks);

// The vendor reads 3 (Drive information block: iSocId, NandId, DrvInfoVersion, iFtlBuildNum,
// bDrvInfoValid, when it starts with 0x5A) and 4 (MP information block: iLun, when its format
// word is 4096) into the record. Returns the result of the second read.
int ReadSataVendorInfo(int32_t cmdType, HANDLE hDisk, DiskRecord* disk);
