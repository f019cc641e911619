// Firmware images: the CRC of both checksum kinds, the "CMFG" image layout (header page,
// regions, trailer page) and its checksum, the NAND map lookup and the loading of an image.
#pragma once

#include "disklib/disk_record.h"
#include "platform/win32.h"

#include <stddef.h>
#include <stdint.h>

#define IMAGE_PAGE_BYTES 4096
#define IMAGE_MAGIC 0x47464D43u // "CMFG"
#define IMAGE_REGION_COUNT 8
#define IMAGE_USED_REGIONS 3         // regions 0, 1 and 2 carry data
#define IMAGE_CONFIG_REGION 2        // its first page holds the FW configuration block
#define IMAGE_HEADER_ZERO_BYTES 4016 // header bytes 80..4095, counted as zeros
#define IMAGE_VERSION_PARTS 4

#define CHECKSUM_CRC32 0  // IEEE 802.3, reflected polynomial 0xEDB88320
#define CHECKSUM_CRC32C 1 // Castagnoli, reflected polynomial 0x82F63B78

struct ImageRegionEntry {
    uint32_t FirstPage;
    uint32_t LastPage; // inclusive
};

// Page 0 of an image, as far as the system reads it.
struct ImageHeader {
    uint32_t Magic;
    uint8_t Reserved[12]; // not interpreted; covered by the checksum
    ImageRegionEntry Regions[IMAGE_REGION_COUNT];
};
static_assert(sizeof(ImageHeader) == 80, "the header's fields end at byte 80");
static_assert(offsetof(ImageHeader, Regions) == 16, "region k starts at 16 + 8k");

// The page right after the last page of region 2.
struct ImageTrailer {
    uint8_t Reserved0[8];
    uint32_t PatchMark; // written as 0 when the image is patched
    uint32_t Checksum;
    uint8_t VersionParts[IMAGE_VERSION_PARTS][2]; // up to two ANSI characters each
    uint8_t Reserved1[4064];
    uint32_t FtlBuildNumber;
    uint8_t Reserved2[4];
};
static_assert(sizeof(ImageTrailer) == IMAGE_PAGE_BYTES, "the trailer is one page");
static_assert(offsetof(ImageTrailer, PatchMark) == 8, "patch mark at 8");
static_assert(offsetof(ImageTrailer, Checksum) == 12, "checksum at 12");
static_assert(offsetof(ImageTrailer, VersionParts) == 16, "version parts at 16..23");
static_assert(offsetof(ImageTrailer, FtlBuildNumber) == 4088, "FTL build number at 4088");

// Where regions 0..2 and the trailer page lie in a loaded image. Filled only when the image
// has the magic and every one of them lies inside it.
struct ImageLayout {
    size_t RegionOffset[IMAGE_USED_REGIONS];
    size_t RegionLength[IMAGE_USED_REGIONS];
    size_t TrailerOffset;
    // The first page of region 2 and the trailer page lie apart from the header page and from
    // the pages the checksum covers before them, so a patch can rewrite both consistently.
    uint8_t bPatchable;
};

enum {
    IMAGE_LAYOUT_OK = 1,
    IMAGE_LAYOUT_NO_MAGIC = 0,      // shorter than the magic, or another magic
    IMAGE_LAYOUT_OUT_OF_BOUNDS = -1 // the magic, but a region or the trailer is not in the file
};

// CRC of the data continued from seed (seed 0: the standard value). Kind 1 is CRC-32C, any
// other kind CRC-32. A length of 0 returns the seed.
uint32_t CrcUpdate(const void* data, size_t length, uint32_t seed, int kind);
// CRC-32C with the slicing tables only: what CrcUpdate uses without the crc32 instruction.
uint32_t Crc32cTableUpdate(const void* data, size_t length, uint32_t seed);

// Checks the magic and the bounds of a loaded image; one of IMAGE_LAYOUT_*.
int GetImageLayout(const BYTE* image, size_t size, ImageLayout* layout);

// The image checksum of kind K: header bytes 0..79, 4016 zero bytes, regions 0, 1 and 2.
// Returns 1 and the value, or 0 when the image's layout is not usable (nothing is read).
int ComputeImageChecksum(const BYTE* image, size_t size, int kind, uint32_t* sum);

// The same chain up to and including region 1 (the part that a patch of region 2 keeps).
int ComputeImageChecksumHead(const BYTE* image, size_t size, int kind, uint32_t* sum);

// 1 when the trailer's checksum is the CRC-32C image checksum, else 0 ("Not Config FW" in the
// Debug log for an image without the magic).
int DetectImageChecksumKind(const BYTE* image, size_t size);

// The stored checksum of an image with a usable layout; 0 otherwise.
int ReadStoredImageChecksum(const BYTE* image, size_t size, uint32_t* stored);

// Whether an image may be written to a drive at all, checked before anything else uses it.
enum {
    IMAGE_SOUND = 1,
    IMAGE_NOT_CMFG = -1,             // no "CMFG" magic, or shorter than its header page
    IMAGE_REGION_OUT_OF_BOUNDS = -2, // region 0, 1 or 2, or the trailer page, is not in the file
    IMAGE_REGIONS_OUT_OF_ORDER = -3, // regions 0..2 do not follow the header page and each other,
                                     // so there is no FW configuration page of their own
    IMAGE_PAGES_AFTER_TRAILER = -4,  // the file does not end with its trailer page
    IMAGE_BAD_CHECKSUM = -5 // the stored checksum is neither the CRC-32 nor the CRC-32C one
};

// The verdict on a loaded image: sound only when it has the magic, regions 0, 1 and 2 lie in
// that order after the header page without sharing a page, the file ends with the trailer page
// right after region 2, and the stored checksum is the image checksum of one of the two kinds.
// kind (may be null) receives that kind for a sound image.
int CheckImageSound(const BYTE* image, size_t size, int* kind);

// A short English reason for a verdict other than IMAGE_SOUND ("its stored checksum matches
// neither CRC-32 nor CRC-32C", ...), for messages and reports.
const WCHAR* ImageVerdictText(int verdict);

// Looks the disk's NAND identity up in the section NandMap of the configuration file (twelve
// hex digits and the LUN class, then the ten-digit short form) and gives the full path of the
// image file in the working folder. False when neither key is there, or the value does not
// name a plain file inside the working folder.
BOOL FindNandMapImage(const DiskRecord* disk, WCHAR* path, size_t capacity);

// The full path of a file the package names (a NandMap value) in the working folder; false when
// the name is not a plain file name there (a folder, another drive, a way out, a wildcard) or no
// such file exists.
BOOL WorkingFolderImagePath(const WCHAR* name, WCHAR* path, size_t capacity);

// Loads the file into a zero-filled, page-granular buffer; null (size 0) when the file cannot
// be read or is empty. Release it with FreeImageFile.
BYTE* LoadImageFile(const WCHAR* path, DWORD* size);
void FreeImageFile(BYTE* image);
