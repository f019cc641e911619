#include "tools/zxpkg/image_writer.h"

#include "package/image.h"
#include "package/version_rules.h"

#include <algorithm>
#include <cstring>

namespace zxpkg {

namespace {

const uint32_t kMaxPages = 65536; // 256 MiB

uint64_t NextRandom(uint64_t& state) {
    // xorshift64*: small, fast and the same everywhere
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

} // namespace

std::string ValidateImageRecipe(const ImageRecipe& recipe) {
    for (const std::string& part : recipe.versionParts) {
        if (part.empty() || part.size() > 2) {
            return "a version part holds one or two characters";
        }
        for (char c : part) {
            if (c < 0x21 || c > 0x7E) {
                return "version parts are printable ASCII characters";
            }
        }
    }
    if (recipe.checksumKind != 0 && recipe.checksumKind != 1) {
        return "unknown checksum kind";
    }
    if (!recipe.configBlock.empty() && recipe.configBlock.size() != FWCONFIG_BLOCK_BYTES) {
        return "the FW configuration block must be 4096 bytes";
    }
    if (recipe.hasConfigVersion && recipe.configVersion.size() > FWCONFIG_VERSION_BYTES) {
        return "the configuration version holds at most 8 characters";
    }
    uint32_t trailer = recipe.regions[2][1] + 1;
    for (int r = 0; r < 3; ++r) {
        uint32_t first = recipe.regions[r][0];
        uint32_t last = recipe.regions[r][1];
        if (first == 0 || first > last || last >= kMaxPages - 1) {
            return "region " + std::to_string(r) + ": pages F-L with 1 <= F <= L and L below 65535";
        }
        if (trailer >= first && trailer <= last) {
            return "region " + std::to_string(r) + " covers the trailer page";
        }
        for (int o = 0; o < r; ++o) {
            if (!(last < recipe.regions[o][0] || first > recipe.regions[o][1])) {
                return "regions " + std::to_string(o) + " and " + std::to_string(r) + " overlap";
            }
        }
    }
    return {};
}

std::vector<uint8_t> BuildImage(const ImageRecipe& recipe) {
    uint32_t trailerPage = recipe.regions[2][1] + 1;
    uint32_t pages = trailerPage + 1;
    for (int r = 0; r < 3; ++r) {
        pages = std::max(pages, recipe.regions[r][1] + 1);
    }
    std::vector<uint8_t> image(static_cast<size_t>(pages) * IMAGE_PAGE_BYTES, 0);

    ImageHeader header{};
    header.Magic = IMAGE_MAGIC;
    for (int r = 0; r < 3; ++r) {
        header.Regions[r].FirstPage = recipe.regions[r][0];
        header.Regions[r].LastPage = recipe.regions[r][1];
    }
    std::memcpy(image.data(), &header, sizeof(header));

    uint64_t state = recipe.seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    if (state == 0) {
        state = 1;
    }
    for (int r = 0; r < 3; ++r) {
        size_t begin = static_cast<size_t>(recipe.regions[r][0]) * IMAGE_PAGE_BYTES;
        size_t end = (static_cast<size_t>(recipe.regions[r][1]) + 1) * IMAGE_PAGE_BYTES;
        for (size_t i = begin; i < end; i += 8) {
            uint64_t v = NextRandom(state);
            std::memcpy(&image[i], &v, 8);
        }
    }

    uint8_t* config = &image[static_cast<size_t>(recipe.regions[2][0]) * IMAGE_PAGE_BYTES];
    if (recipe.configBlock.empty()) {
        std::memset(config, 0, FWCONFIG_BLOCK_BYTES);
    } else {
        std::memcpy(config, recipe.configBlock.data(), FWCONFIG_BLOCK_BYTES);
    }
    if (recipe.hasConfigVersion) {
        std::memset(config + FWCONFIG_VERSION_OFFSET, 0, FWCONFIG_VERSION_BYTES);
        std::memcpy(config + FWCONFIG_VERSION_OFFSET, recipe.configVersion.data(),
                    recipe.configVersion.size());
    }

    ImageTrailer trailer{};
    for (int i = 0; i < 4; ++i) {
        const std::string& part = recipe.versionParts[i];
        if (part.size() == 1) {
            trailer.VersionParts[i][0] = 0; // a one-character part sits in the second byte
            trailer.VersionParts[i][1] = static_cast<uint8_t>(part[0]);
        } else {
            trailer.VersionParts[i][0] = static_cast<uint8_t>(part[0]);
            trailer.VersionParts[i][1] = static_cast<uint8_t>(part[1]);
        }
    }
    trailer.FtlBuildNumber = recipe.ftlBuildNumber;
    uint8_t* trailerBytes = &image[static_cast<size_t>(trailerPage) * IMAGE_PAGE_BYTES];
    std::memcpy(trailerBytes, &trailer, sizeof(trailer));

    uint32_t sum = 0;
    ComputeImageChecksum(image.data(), image.size(), recipe.checksumKind, &sum);
    std::memcpy(trailerBytes + offsetof(ImageTrailer, Checksum), &sum, sizeof(sum));
    return image;
}

} // namespace zxpkg
