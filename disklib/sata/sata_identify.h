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
#define ATA_ID_SATA_CAPABILITIES2 154 // word 77; bits 3-1: current negotiated signal speed
#define ATA_ID_MAX_LBA48 200          // words 100-103, the 48-bit addressable sector count

// The format word (offset 280) of the MP information block that a SATA drive returns.
#define MPINFO_FORMAT_SATA 4096

// IDENTIFY DEVICE into a 512-byte buffer, which is zeroed first. 1 or 0.
int IdentifyDevice(int32_t cmdType, HANDLE hDisk, uint8_t* buffer);

// An ATA string field as trimmed wide text: the two bytes of every word swapped, the bytes taken
// as ANSI text up to the first zero byte, at most DISK_TEXT_CHARS - 1 characters.
void AtaStringToText(const uint8_t* field, size_t bytes, WCHAR* text);

// The vendor reads 3 (Drive information block: iSocId, NandId, DrvInfoVersion, iFtlBuildNum,
// bDrvInfoValid, when it starts with 0x5A) and 4 (MP information block: iLun, when its format
// word is 4096) into the record. Returns the result of the second read.
int ReadSataVendorInfo(int32_t cmdType, HANDLE hDisk, DiskRecord* disk);
