#include "package/version_rules.h"

#include "common/byte_order.h"
#include "common/text.h"
#include "common/wformat.h"
#include "log/debug_log.h"
#include "package/image.h"

#include <string.h>
#include <wchar.h>

namespace {

const size_t kListItemChars = 512;
const size_t kVersionWindow = 8;
const size_t kVersionTextChars = 16;

bool IsAsciiAlnum(BYTE c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// One version part of the trailer as 8-bit text: a first byte of 0 means the single
// character in the second byte; otherwise both bytes, a zero second byte ending it early.
void VersionPart(const uint8_t part[2], char out[3]) {
    if (part[0] == 0) {
        out[0] = static_cast<char>(part[1]);
        out[1] = 0;
    } else {
        out[0] = static_cast<char>(part[0]);
        out[1] = static_cast<char>(part[1]);
        out[2] = 0;
    }
    out[2] = 0;
}

// The dotted-version search over the bytes of an image: windows of 8 bytes starting one byte
// before each dot, accepted when the walk over them counts exactly three dots.
bool SearchDottedVersion(const BYTE* image, size_t size, WCHAR* version, size_t capacity) {
    size_t pos = 0;
    while (pos < size) {
        const BYTE* dot = static_cast<const BYTE*>(memchr(image + pos, '.', size - pos));
        if (dot == nullptr) {
            return false;
        }
        size_t dotIndex = static_cast<size_t>(dot - image);
        if (dotIndex == 0) {
            pos = kVersionWindow - 1; // the window would start before the file
            continue;
        }
        size_t start = dotIndex - 1;
        if (size - start < kVersionWindow) {
            return false; // this window and every later one run past the end
        }
        const BYTE* window = image + start;
        int dots = 0;
        for (size_t i = 0; i < kVersionWindow; ++i) {
            BYTE c = window[i];
            if (c == '.') {
                if (i > 0 && window[i - 1] == '.') {
                    break;
                }
                ++dots;
            } else if (!IsAsciiAlnum(c)) {
                break;
            }
        }
        if (dots == 3) {
            char text[kVersionWindow + 1];
            memcpy(text, window, kVersionWindow);
            text[kVersionWindow] = 0;
            WCHAR wide[kVersionWindow + 1];
            int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kVersionWindow + 1);
            if (n > 0) {
                TrimBlanks(wide);
                if (wide[0] != 0) {
                    CopyText(version, capacity, wide);
                    return true;
                }
            }
        }
        pos = start + kVersionWindow;
    }
    return false;
}

} // namespace

BOOL IsKeepVersion(const WCHAR* text) {
    WCHAR lower[8];
    if (text == nullptr || wcslen(text) != 4) {
        return FALSE;
    }
    CopyText(lower, 8, text);
    CharLowerW(lower);
    return wcscmp(lower, L"keep") == 0;
}

BOOL IsInList(const WCHAR* list, const WCHAR* item) {
    if (list == nullptr || item == nullptr) {
        return FALSE;
    }
    WCHAR bracketed[kListItemChars];
    if (WFormat(bracketed, kListItemChars, L"|%s|", item) < 0) {
        return FALSE; // cut, the closing bar would be lost and a prefix could match
    }
    return FindNoCase(list, bracketed) != nullptr;
}

BOOL IsDiskEligible(const DiskRecord* disk, const WCHAR* modelList, const WCHAR* socRule) {
    if (modelList != nullptr && modelList[0] != 0) {
        DebugPrint(L"%s, %s", disk->Model, modelList);
        if (!IsInList(modelList, disk->Model)) {
            return FALSE;
        }
    }
    if (socRule == nullptr) {
        return FALSE;
    }
    if (wcscmp(socRule, L"*") == 0) {
        return TRUE;
    }
    if (wcscmp(socRule, L"ZELTARIX") == 0 && disk->iSocId != 0) {
        return TRUE;
    }
    WCHAR soc[32];
    WFormat(soc, 32, L"0x%04X", disk->iSocId);
    return wcscmp(socRule, soc) == 0 ? TRUE : FALSE;
}

BOOL ReadImageVersionFromBuffer(const BYTE* image, size_t size, WCHAR* version, size_t capacity) {
    if (version == nullptr || capacity == 0) {
        return FALSE;
    }
    version[0] = 0;
    if (image == nullptr || size == 0) {
        return FALSE;
    }
    ImageLayout layout;
    if (GetImageLayout(image, size, &layout) == IMAGE_LAYOUT_OK) {
        ImageTrailer trailer;
        memcpy(&trailer, image + layout.TrailerOffset, sizeof(trailer));
        char parts[IMAGE_VERSION_PARTS][3];
        for (int i = 0; i < IMAGE_VERSION_PARTS; ++i) {
            VersionPart(trailer.VersionParts[i], parts[i]);
        }
        WCHAR text[kVersionTextChars];
        WFormat(text, kVersionTextChars, L"%S.%S.%S.%S", parts[0], parts[1], parts[2], parts[3]);
        if (wcslen(text) > 8) {
            WFormat(text, kVersionTextChars, L"%02S%02S%02S%02S", parts[0], parts[1], parts[2],
                    parts[3]);
        }
        DebugPrint(L"%s", text);
        if (wcslen(text) > 6) {
            CopyText(version, capacity, text);
        }
    }
    if (version[0] == 0) {
        SearchDottedVersion(image, size, version, capacity);
    }
    return version[0] != 0 ? TRUE : FALSE;
}

BOOL ReadImageVersion(const WCHAR* imagePath, WCHAR* version, size_t capacity) {
    if (version != nullptr && capacity > 0) {
        version[0] = 0;
    }
    DWORD size = 0;
    BYTE* image = LoadImageFile(imagePath, &size);
    BOOL found = ReadImageVersionFromBuffer(image, size, version, capacity);
    FreeImageFile(image);
    return found;
}

uint32_t ReadImageFtlBuildNumberFromBuffer(const BYTE* image, size_t size) {
    ImageLayout layout;
    if (GetImageLayout(image, size, &layout) != IMAGE_LAYOUT_OK) {
        return 0;
    }
    return get_le32(image + layout.TrailerOffset + offsetof(ImageTrailer, FtlBuildNumber));
}

uint32_t ReadImageFtlBuildNumber(const WCHAR* imagePath) {
    DWORD size = 0;
    BYTE* image = LoadImageFile(imagePath, &size);
    uint32_t value = ReadImageFtlBuildNumberFromBuffer(image, size);
    FreeImageFile(image);
    return value;
}

BOOL CompareDrvInfoVersion(const WCHAR* drvInfoVersion, int partCount, const WCHAR* imageVersion) {
    WCHAR d[VERSION_COMPARE_CHARS];
    WCHAR b[VERSION_COMPARE_CHARS];
    CopyText(d, VERSION_COMPARE_CHARS, drvInfoVersion);
    CopyText(b, VERSION_COMPARE_CHARS, imageVersion);
    if (wcschr(drvInfoVersion, L'.') != nullptr) {
        int dots = 0;
        for (size_t i = 0; i < 8 && drvInfoVersion[i] != 0; ++i) {
            if (drvInfoVersion[i] == L'.' && ++dots == partCount) {
                d[i] = 0;
                b[i] = 0;
                break;
            }
        }
    } else if (partCount >= 0 && 2 * static_cast<long>(partCount) < VERSION_COMPARE_CHARS) {
        // Part counts whose 2 x k lies outside the working copies compare the whole texts.
        d[2 * partCount] = 0;
        b[2 * partCount] = 0;
    }
    if (wcscmp(d, b) == 0) {
        return TRUE;
    }
    DebugPrint(L"DrvInfoVersion = %s, BinFWVersion = %s, iCheckPart = %d", drvInfoVersion,
               imageVersion, partCount);
    return FALSE;
}

BOOL CheckDrvInfoVersion(const WCHAR* drvInfoVersion, int partCount, const WCHAR* imagePath,
                         WCHAR* imageVersion, size_t capacity) {
    WCHAR b[VERSION_TEXT_CHARS];
    ReadImageVersion(imagePath, b, VERSION_TEXT_CHARS);
    if (imageVersion != nullptr && capacity > 0) {
        CopyText(imageVersion, capacity, b);
    }
    return CompareDrvInfoVersion(drvInfoVersion != nullptr ? drvInfoVersion : L"", partCount, b);
}

BOOL SetConfigVersion(BYTE* block, const WCHAR* newVersion, int kind, uint32_t* checkValue) {
    const WCHAR* n = newVersion != nullptr ? newVersion : L"";
    if (IsKeepVersion(n)) {
        return FALSE;
    }
    char converted[128];
    memset(converted, 0, sizeof(converted));
    int length = static_cast<int>(wcsnlen(n, sizeof(converted) - 1));
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, n, length, converted, sizeof(converted) - 1, nullptr,
                            nullptr);
    }
    BYTE* field = block + FWCONFIG_VERSION_OFFSET;
    char current[FWCONFIG_VERSION_BYTES + 1];
    memcpy(current, field, FWCONFIG_VERSION_BYTES);
    current[FWCONFIG_VERSION_BYTES] = 0;
    DebugPrint(L"Now[%S],New[%S]", current, converted);
    if (memcmp(converted, field, FWCONFIG_VERSION_BYTES) == 0) {
        return FALSE;
    }
    memcpy(field, converted, FWCONFIG_VERSION_BYTES);
    if (checkValue != nullptr) {
        *checkValue = CrcUpdate(block, FWCONFIG_BLOCK_BYTES, 0, kind);
    }
    return TRUE;
}

void PatchImageConfig(BYTE* image, size_t size, const BYTE* configBlock, const WCHAR* newVersion) {
    ImageLayout layout;
    if (GetImageLayout(image, size, &layout) != IMAGE_LAYOUT_OK || !layout.bPatchable) {
        // No magic, a part outside the file, or a configuration page or trailer that shares
        // pages with the header or with regions 0 and 1: a patch could not keep the checksum
        // right, so the image is left as it is.
        DebugPrint(L"Not Config FW");
        return;
    }
    int kind = DetectImageChecksumKind(image, size);
    uint32_t sum = 0;
    ComputeImageChecksumHead(image, size, kind, &sum);
    BYTE* config = image + layout.RegionOffset[IMAGE_CONFIG_REGION];
    if (configBlock != nullptr) {
        memcpy(config, configBlock, FWCONFIG_BLOCK_BYTES);
    }
    if (!IsKeepVersion(newVersion)) {
        SetConfigVersion(config, newVersion, kind, nullptr);
    }
    sum = CrcUpdate(config, layout.RegionLength[IMAGE_CONFIG_REGION], sum, kind);
    BYTE* trailer = image + layout.TrailerOffset;
    put_le32(trailer + offsetof(ImageTrailer, PatchMark), 0);
    put_le32(trailer + offsetof(ImageTrailer, Checksum), sum);
}
