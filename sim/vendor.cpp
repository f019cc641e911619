// The vendor command sets and firmware image checks that drives of a scenario may carry.
#include "sim/vendor.h"

#include "sim/firmware_image.h"
#include "sim/nvme_bridges.h"

namespace sim {

// "0" and "1" are the two generations of the controller maker's command set; "none" is a
// drive of another maker.
std::unique_ptr<NvmeCommandSet> MakeVendorCommandSet(const std::string& kind) {
    if (kind == "0") {
        return MakeZeltarixCommandSet(0);
    }
    if (kind == "1") {
        return MakeZeltarixCommandSet(1);
    }
    return nullptr;
}

// The ZELTARIX image format as an NVMe drive takes it: what a sound image brings once it runs.
FirmwareCheck CheckZeltarixImage(const std::vector<uint8_t>& image) {
    const CmfgImageCheck cmfg = CheckCmfgImage(image);
    FirmwareCheck check;
    check.ok = cmfg.ok;
    check.refused = cmfg.refused ? cmfg.refused : "";
    check.image.revision = cmfg.revision;
    check.image.version = cmfg.revision;
    check.image.hasFtlBuild = cmfg.ok;
    check.image.ftlBuild = cmfg.ftlBuild;
    check.image.config = cmfg.config;
    return check;
}

// The image checks at Firmware Commit: "any" (no check: the drive takes any whole image and
// keeps reporting its revision) and "image" (the ZELTARIX image format, sim/firmware_image.h).
bool MakeFirmwareChecker(const std::string& kind, FirmwareChecker& out) {
    if (kind.empty() || kind == "any") {
        out = nullptr;
        return true;
    }
    if (kind == "image") {
        out = CheckZeltarixImage;
        return true;
    }
    return false;
}

} // namespace sim
