// The ZELTARIX firmware image as a drive of the simulated PC checks it: "CMFG" header page with
// the region table, regions 0 to 2, and the trailer page after region 2 with the image checksum
// (CRC-32 or CRC-32C over header bytes 0..79, 4016 zero bytes and regions 0 to 2), the four
// version parts and the FTL build number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kImagePageBytes = 4096;

// The length the header page declares: up to and including the trailer page. 0 when the bytes
// do not start with a CMFG header whose regions 0 to 2 lie before the trailer page.
size_t CmfgImageBytes(const uint8_t* header, size_t size);

struct CmfgImageCheck {
    bool ok = false;
    const char* refused = nullptr; // why the image is not sound
    std::string revision; // what the drive reports while the image runs (8 characters at most)
    uint32_t ftlBuild = 0;
    std::vector<uint8_t> config; // the FW configuration block: the first page of region 2
};

// Checks a whole image: its header, its length against the header, and the stored checksum
// against either kind.
CmfgImageCheck CheckCmfgImage(const std::vector<uint8_t>& image);

} // namespace sim
