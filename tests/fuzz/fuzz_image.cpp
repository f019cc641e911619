// The image readers over an image of exactly the input's size: layout, checksum kind, version
// (trailer parts and the dotted search), FTL build number, and the patch, after which the
// stored checksum must match the image's own kind.
#include "app/state/app_state.h"
#include "package/image.h"
#include "package/version_rules.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <vector>
#include <wchar.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InitAppState("");
    std::vector<BYTE> image(data, data + size);
    ImageLayout layout;
    int state = GetImageLayout(image.data(), image.size(), &layout);
    int kind = DetectImageChecksumKind(image.data(), image.size());
    WCHAR version[VERSION_TEXT_CHARS];
    ReadImageVersionFromBuffer(image.data(), image.size(), version, VERSION_TEXT_CHARS);
    fuzz::Require(wcsnlen(version, VERSION_TEXT_CHARS) < VERSION_TEXT_CHARS, "version terminator");
    uint32_t ftl = ReadImageFtlBuildNumberFromBuffer(image.data(), image.size());
    if (state != IMAGE_LAYOUT_OK) {
        fuzz::Require(kind == 0 && ftl == 0, "no trailer fields outside the bounds");
    }
    std::vector<BYTE> block(FWCONFIG_BLOCK_BYTES, 0x5A);
    std::vector<BYTE> before = image;
    PatchImageConfig(image.data(), image.size(), size % 2 == 0 ? block.data() : nullptr,
                     size % 3 == 0 ? L"KEEP" : L"041k020C");
    if (state != IMAGE_LAYOUT_OK || !layout.bPatchable) {
        fuzz::Require(image == before, "an unusable image stays unchanged");
    } else {
        uint32_t stored = 0;
        uint32_t sum = 0;
        ReadStoredImageChecksum(image.data(), image.size(), &stored);
        ComputeImageChecksum(image.data(), image.size(), kind, &sum);
        fuzz::Require(stored == sum, "the patch stores the checksum of the image's kind");
    }
    return 0;
}
