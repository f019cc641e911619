#include "sim/byte_order.h"
#include "sim/firmware_image.h"

#include "sim/nvme_bridges.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kMagic = 0x47464D43u; // "CMFG"
constexpr size_t kRegionTable = 16;      // region k: first and last page at 16 + 8k
constexpr int kUsedRegions = 3;
constexpr size_t kHeaderFields = 80;
constexpr size_t kHeaderZeros = 4016;
constexpr size_t kTrailerChecksum = 12;
constexpr size_t kTrailerVersion = 16;
constexpr size_t kTrailerFtlBuild = 4088;
// No drive of this PC takes an image beyond 64 MiB.
constexpr uint64_t kMaxImagePages = 16384;

struct Region {
    uint32_t first = 0;
    uint32_t last = 0;
};

// Regions 0 to 2 lie between the header page and the trailer page, which follows region 2.
bool ReadRegions(const uint8_t* header, size_t size, Region regions[kUsedRegions]) {
    if (size < kRegionTable + 8 * kUsedRegions || GetLe32(header) != kMagic) {
        return false;
    }
    for (int k = 0; k < kUsedRegions; ++k) {
        regions[k].first = GetLe32(header + kRegionTable + 8 * size_t(k));
        regions[k].last = GetLe32(header + kRegionTable + 8 * size_t(k) + 4);
        if (regions[k].first == 0 || regions[k].last < regions[k].first ||
            regions[k].last >= kMaxImagePages) {
            return false;
        }
    }
    const uint32_t end = regions[kUsedRegions - 1].last;
    return regions[0].last <= end && regions[1].last <= end;
}

// A version part: two characters, or the one in the second byte when the first is 0.
std::string Part(const uint8_t* p) {
    std::string s;
    if (p[0] == 0) {
        if (p[1] != 0) {
            s += char(p[1]);
        }
    } else {
        s += char(p[0]);
        if (p[1] != 0) {
            s += char(p[1]);
        }
    }
    return s;
}

// "P1.P2.P3.P4", or the parts packed two characters each (padded with '0') when that is longer
// than 8 characters.
std::string Revision(const uint8_t* trailer) {
    std::string parts[4];
    for (int i = 0; i < 4; ++i) {
        parts[i] = Part(trailer + kTrailerVersion + 2 * size_t(i));
    }
    std::string dotted = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
    if (dotted.size() <= 8) {
        return dotted;
    }
    std::string packed;
    for (const std::string& p : parts) {
        packed += std::string(2 - p.size(), '0') + p;
    }
    return packed;
}

} // namespace

size_t CmfgImageBytes(const uint8_t* header, size_t size) {
    Region regions[kUsedRegions];
    if (!ReadRegions(header, size, regions)) {
        return 0;
    }
    return (size_t(regions[kUsedRegions - 1].last) + 2) * kImagePageBytes;
}

CmfgImageCheck CheckCmfgImage(const std::vector<uint8_t>& image) {
    CmfgImageCheck check;
    Region regions[kUsedRegions];
    if (!ReadRegions(image.data(), image.size(), regions)) {
        check.refused = "the image has no CMFG header with regions 0 to 2";
        return check;
    }
    if (CmfgImageBytes(image.data(), image.size()) != image.size()) {
        check.refused = "the image's length is not the one its header declares";
        return check;
    }
    std::vector<uint8_t> covered(image.begin(), image.begin() + kHeaderFields);
    covered.resize(kHeaderFields + kHeaderZeros, 0);
    for (const Region& r : regions) {
        covered.insert(covered.end(), image.begin() + ptrdiff_t(r.first * kImagePageBytes),
                       image.begin() + ptrdiff_t((size_t(r.last) + 1) * kImagePageBytes));
    }
    const uint8_t* trailer = image.data() + image.size() - kImagePageBytes;
    const uint32_t stored = GetLe32(trailer + kTrailerChecksum);
    if (SimCrc(covered.data(), covered.size(), 0) != stored &&
        SimCrc(covered.data(), covered.size(), 1) != stored) {
        check.refused = "the image's checksum matches neither CRC-32 nor CRC-32C";
        return check;
    }
    check.ok = true;
    check.revision = Revision(trailer);
    check.ftlBuild = GetLe32(trailer + kTrailerFtlBuild);
    const auto config = image.begin() + ptrdiff_t(regions[2].first * kImagePageBytes);
    check.config.assign(config, config + ptrdiff_t(kImagePageBytes));
    return check;
}

} // namespace sim
