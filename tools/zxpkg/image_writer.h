// Firmware image files for packages: a CMFG image with the given regions, version parts, FTL
// build number, FW configuration block and checksum kind, and a payload made from a seed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zxpkg {

struct ImageRecipe {
    std::array<std::string, 4> versionParts{"04", "1k", "02", "07"};
    uint32_t ftlBuildNumber = 0;
    int checksumKind = 0; // 0 CRC-32, 1 CRC-32C
    uint32_t regions[3][2] = {{1, 4}, {5, 614}, {615, 615}};
    std::vector<uint8_t> configBlock; // empty: a zero block
    std::string configVersion;        // written into the block's version field when set
    bool hasConfigVersion = false;
    uint64_t seed = 1;
};

// Checks the recipe; returns an empty text when it can be built, else what is wrong.
std::string ValidateImageRecipe(const ImageRecipe& recipe);
// The image bytes (the recipe must be valid).
std::vector<uint8_t> BuildImage(const ImageRecipe& recipe);

} // namespace zxpkg
