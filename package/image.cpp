#include "package/image.h"

#include "app/state/app_state.h"
#include "common/byte_order.h"
#include "common/wformat.h"
#include "log/debug_log.h"
#include "package/package_files.h"

#include <string.h>

namespace {

const BYTE kZeroBytes[IMAGE_HEADER_ZERO_BYTES] = {};

// Byte range of pages first..last (inclusive) when it lies inside size bytes.
bool PageRange(uint32_t first, uint32_t last, size_t size, size_t* offset, size_t* length) {
    if (first > last) {
        return false;
    }
    uint64_t begin = static_cast<uint64_t>(first) * IMAGE_PAGE_BYTES;
    uint64_t end = (static_cast<uint64_t>(last) + 1) * IMAGE_PAGE_BYTES;
    if (end > size) {
        return false;
    }
    *offset = static_cast<size_t>(begin);
    *length = static_cast<size_t>(end - begin);
    return true;
}

// The chain over the header, the zero bytes and regions 0..lastRegion.
int ChecksumChain(const BYTE* image, size_t size, int kind, int lastRegion, uint32_t* sum) {
    ImageLayout layout;
    if (GetImageLayout(image, size, &layout) != IMAGE_LAYOUT_OK) {
        return 0;
    }
    uint32_t value = CrcUpdate(image, 16, 0, kind);
    for (size_t k = 0; k < IMAGE_REGION_COUNT; ++k) {
        value = CrcUpdate(image + offsetof(ImageHeader, Regions) + k * sizeof(ImageRegionEntry),
                          sizeof(ImageRegionEntry), value, kind);
    }
    value = CrcUpdate(kZeroBytes, IMAGE_HEADER_ZERO_BYTES, value, kind);
    for (int r = 0; r <= lastRegion; ++r) {
        value = CrcUpdate(image + layout.RegionOffset[r], layout.RegionLength[r], value, kind);
    }
    *sum = value;
    return 1;
}

} // namespace

int GetImageLayout(const BYTE* image, size_t size, ImageLayout* layout) {
    memset(layout, 0, sizeof(*layout));
    if (image == nullptr || size < sizeof(uint32_t)) {
        return IMAGE_LAYOUT_NO_MAGIC;
    }
    if (get_le32(image) != IMAGE_MAGIC) {
        return IMAGE_LAYOUT_NO_MAGIC;
    }
    if (size < IMAGE_PAGE_BYTES) {
        return IMAGE_LAYOUT_OUT_OF_BOUNDS;
    }
    ImageHeader header;
    memcpy(&header, image, sizeof(header));
    for (int r = 0; r < IMAGE_USED_REGIONS; ++r) {
        if (!PageRange(header.Regions[r].FirstPage, header.Regions[r].LastPage, size,
                       &layout->RegionOffset[r], &layout->RegionLength[r])) {
            memset(layout, 0, sizeof(*layout));
            return IMAGE_LAYOUT_OUT_OF_BOUNDS;
        }
    }
    uint32_t trailerPage = header.Regions[IMAGE_CONFIG_REGION].LastPage;
    size_t length = 0;
    if (trailerPage == 0xFFFFFFFFu ||
        !PageRange(trailerPage + 1, trailerPage + 1, size, &layout->TrailerOffset, &length)) {
        memset(layout, 0, sizeof(*layout));
        return IMAGE_LAYOUT_OUT_OF_BOUNDS;
    }
    layout->bPatchable = 1;
    const uint32_t configPage = header.Regions[IMAGE_CONFIG_REGION].FirstPage;
    const uint32_t pages[2] = {configPage, trailerPage + 1};
    for (uint32_t page : pages) {
        if (page == 0) {
            layout->bPatchable = 0;
        }
        for (int r = 0; r < IMAGE_CONFIG_REGION; ++r) {
            if (page >= header.Regions[r].FirstPage && page <= header.Regions[r].LastPage) {
                layout->bPatchable = 0;
            }
        }
    }
    return IMAGE_LAYOUT_OK;
}

int ComputeImageChecksum(const BYTE* image, size_t size, int kind, uint32_t* sum) {
    return ChecksumChain(image, size, kind, IMAGE_CONFIG_REGION, sum);
}

int ComputeImageChecksumHead(const BYTE* image, size_t size, int kind, uint32_t* sum) {
    return ChecksumChain(image, size, kind, IMAGE_CONFIG_REGION - 1, sum);
}

int ReadStoredImageChecksum(const BYTE* image, size_t size, uint32_t* stored) {
    ImageLayout layout;
    *stored = 0;
    if (GetImageLayout(image, size, &layout) != IMAGE_LAYOUT_OK) {
        return 0;
    }
    *stored = get_le32(image + layout.TrailerOffset + offsetof(ImageTrailer, Checksum));
    return 1;
}

int DetectImageChecksumKind(const BYTE* image, size_t size) {
    ImageLayout layout;
    int state = GetImageLayout(image, size, &layout);
    if (state == IMAGE_LAYOUT_NO_MAGIC) {
        DebugPrint(L"Not Config FW");
        return CHECKSUM_CRC32;
    }
    uint32_t stored = 0;
    uint32_t sum = 0;
    if (state != IMAGE_LAYOUT_OK || !ReadStoredImageChecksum(image, size, &stored) ||
        !ComputeImageChecksum(image, size, CHECKSUM_CRC32C, &sum)) {
        return CHECKSUM_CRC32;
    }
    return stored == sum ? CHECKSUM_CRC32C : CHECKSUM_CRC32;
}

int CheckImageSound(const BYTE* image, size_t size, int* kind) {
    ImageLayout layout;
    const int state = GetImageLayout(image, size, &layout);
    if (state == IMAGE_LAYOUT_NO_MAGIC || size < IMAGE_PAGE_BYTES) {
        return IMAGE_NOT_CMFG;
    }
    if (state != IMAGE_LAYOUT_OK) {
        return IMAGE_REGION_OUT_OF_BOUNDS;
    }
    ImageHeader header;
    memcpy(&header, image, sizeof(header));
    uint64_t nextFree = 1; // the header is page 0
    for (int r = 0; r < IMAGE_USED_REGIONS; ++r) {
        if (header.Regions[r].FirstPage < nextFree) {
            return IMAGE_REGIONS_OUT_OF_ORDER;
        }
        nextFree = static_cast<uint64_t>(header.Regions[r].LastPage) + 1;
    }
    if (layout.TrailerOffset + IMAGE_PAGE_BYTES != size) {
        return IMAGE_PAGES_AFTER_TRAILER;
    }
    uint32_t stored = 0;
    uint32_t crc32 = 0;
    uint32_t crc32c = 0;
    ReadStoredImageChecksum(image, size, &stored);
    ComputeImageChecksum(image, size, CHECKSUM_CRC32, &crc32);
    ComputeImageChecksum(image, size, CHECKSUM_CRC32C, &crc32c);
    if (stored != crc32 && stored != crc32c) {
        return IMAGE_BAD_CHECKSUM;
    }
    if (kind != nullptr) {
        *kind = stored == crc32c ? CHECKSUM_CRC32C : CHECKSUM_CRC32;
    }
    return IMAGE_SOUND;
}

const WCHAR* ImageVerdictText(int verdict) {
    switch (verdict) {
    case IMAGE_SOUND:
        return L"it is sound";
    case IMAGE_NOT_CMFG:
        return L"it is not a ZELTARIX firmware image (no CMFG header)";
    case IMAGE_REGION_OUT_OF_BOUNDS:
        return L"a region or its trailer page lies outside the file";
    case IMAGE_REGIONS_OUT_OF_ORDER:
        return L"its regions overlap or are out of order, so it has no FW configuration page of "
               L"its own";
    case IMAGE_PAGES_AFTER_TRAILER:
        return L"the file does not end with its trailer page";
    case IMAGE_BAD_CHECKSUM:
        return L"its stored checksum matches neither CRC-32 nor CRC-32C: the file is damaged";
    default:
        return L"it cannot be read";
    }
}

BOOL FindNandMapImage(const DiskRecord* disk, WCHAR* path, size_t capacity) {
    const AppState* state = GetAppState();
    int n = disk->iLun > 1 ? 2 : static_cast<int>(disk->iLun);
    WCHAR hex[16];
    WFormat(hex, 16, L"%02X%02X%02X%02X%02X%02X", disk->NandId[0], disk->NandId[1], disk->NandId[2],
            disk->NandId[3], disk->NandId[4], disk->NandId[5]);
    WCHAR key[32];
    WFormat(key, 32, L"%s_%d", hex, n);
    DebugPrint(L"Item=%s", key);
    WCHAR value[PACKAGE_PATH_CHARS];
    value[0] = 0;
    GetPrivateProfileStringW(L"NandMap", key, L"", value, PACKAGE_PATH_CHARS, state->ConfigPath);
    if (value[0] == 0) {
        hex[10] = 0;
        WFormat(key, 32, L"%s_%d", hex, n);
        DebugPrint(L"Item Retry=%s", key);
        GetPrivateProfileStringW(L"NandMap", key, L"", value, PACKAGE_PATH_CHARS,
                                 state->ConfigPath);
        if (value[0] == 0) {
            return FALSE;
        }
    }
    return WorkingFolderImagePath(value, path, capacity);
}

BOOL WorkingFolderImagePath(const WCHAR* name, WCHAR* path, size_t capacity) {
    // The name must be a file inside the working folder: no climbing out, no other drive, no
    // wildcard that would match some other file.
    if (!IsSafeRelativeName(name)) {
        return FALSE;
    }
    const AppState* state = GetAppState();
    WCHAR full[PACKAGE_PATH_CHARS];
    if (WFormat(full, PACKAGE_PATH_CHARS, L"%s\\%s", state->WorkingFolder, name) < 0 ||
        !PathExists(full)) {
        return FALSE;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(full, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    FindClose(find);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FALSE;
    }
    if (path == nullptr || capacity == 0 || WFormat(path, capacity, L"%s", full) < 0) {
        return FALSE;
    }
    return TRUE;
}

BYTE* LoadImageFile(const WCHAR* path, DWORD* size) {
    *size = 0;
    DWORD length = ReadWholeFile(path, 0, nullptr);
    if (length == 0) {
        return nullptr;
    }
    BYTE* image =
        static_cast<BYTE*>(VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (image == nullptr) {
        return nullptr;
    }
    // A file that shrank between the two calls keeps only the bytes actually read.
    *size = ReadWholeFile(path, length, image);
    if (*size == 0) {
        VirtualFree(image, 0, MEM_RELEASE);
        return nullptr;
    }
    return image;
}

void FreeImageFile(BYTE* image) {
    if (image != nullptr) {
        VirtualFree(image, 0, MEM_RELEASE);
    }
}
