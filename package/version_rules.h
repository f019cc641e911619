// Which disks the package may update and which version text they carry afterwards: the model
// and SOC rules of the disk list, the drive-information version and FTL rules of RUN, and the
// writing of NEWVERSION into the FW configuration block and into the image.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stddef.h>
#include <stdint.h>

#define FWCONFIG_BLOCK_BYTES 4096
#define FWCONFIG_VERSION_OFFSET 1064 // 8 ANSI bytes, zero-padded
#define FWCONFIG_VERSION_BYTES 8
#define VERSION_TEXT_CHARS 64
#define VERSION_COMPARE_CHARS 32 // working copies of CheckDrvInfoVersion
#define VERSION_KEEP L"KEEP"

// True when "|item|" occurs in the list, without regard to case.
BOOL IsInList(const WCHAR* list, const WCHAR* item);

// The model rule (a non-empty ModelName list must hold the disk's Model as a whole entry),
// then the SOC rule: "*" admits every disk, "ZELTARIX" every disk with a non-zero SOC id,
// else the rule must equal "0x%04X" of the SOC id.
BOOL IsDiskEligible(const DiskRecord* disk, const WCHAR* modelList, const WCHAR* socRule);

// The version text of an image: the trailer's four parts, or a dotted version searched in the
// bytes. ReadImageVersion loads the file; the buffer form reads a loaded image.
BOOL ReadImageVersion(const WCHAR* imagePath, WCHAR* version, size_t capacity);
BOOL ReadImageVersionFromBuffer(const BYTE* image, size_t size, WCHAR* version, size_t capacity);

// The trailer's FTL build number, or 0 for an image without a usable trailer.
uint32_t ReadImageFtlBuildNumber(const WCHAR* imagePath);
uint32_t ReadImageFtlBuildNumberFromBuffer(const BYTE* image, size_t size);

// Compares the first partCount parts of the drive's version with the image's (cut where the
// dotted or the packed form of the drive's version says). The image version is copied whole
// to imageVersion (capacity characters).
BOOL CheckDrvInfoVersion(const WCHAR* drvInfoVersion, int partCount, const WCHAR* imagePath,
                         WCHAR* imageVersion, size_t capacity);
// The comparison alone, on an image version already read.
BOOL CompareDrvInfoVersion(const WCHAR* drvInfoVersion, int partCount, const WCHAR* imageVersion);

// True when the text is "KEEP" in any letter case: NEWVERSION asks to leave the version as it is.
BOOL IsKeepVersion(const WCHAR* text);

// Writes NEWVERSION into the block's version field. False when NEWVERSION is "KEEP" (any
// case) or the field already holds it; true when it changed the block, with the block's CRC of
// the kind in *checkValue when asked for.
BOOL SetConfigVersion(BYTE* block, const WCHAR* newVersion, int kind, uint32_t* checkValue);

// Puts the drive's FW configuration block (when given) and NEWVERSION into the first page of
// region 2 and stores a fresh checksum of the image's own kind. An image without the magic,
// with a region or trailer outside it, or whose configuration page or trailer page shares a
// page with the header or with regions 0 and 1, is left unchanged.
void PatchImageConfig(BYTE* image, size_t size, const BYTE* configBlock, const WCHAR* newVersion);
