// The vendor command sets and firmware image checks that the NVMe drives of a scenario may
// carry, by the name the scenario gives (keys `vsc` and `firmware_check`).
#pragma once

#include "sim/nvme_drive.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

// The vendor command set a scenario names for an NVMe drive ("none", "0", "1"); null when the
// drive has none. The table is in sim/vendor.cpp.
std::unique_ptr<NvmeCommandSet> MakeVendorCommandSet(const std::string& kind);
// The firmware image check a scenario names for drives to use at commit ("any", "image");
// false for an unknown name. The table is in sim/vendor.cpp.
bool MakeFirmwareChecker(const std::string& kind, FirmwareChecker& out);
// The check of the ZELTARIX image format (sim/firmware_image.h): magic, regions, trailer and
// checksum of either kind; a sound image brings its version, FTL build number and FW
// configuration block.
FirmwareCheck CheckZeltarixImage(const std::vector<uint8_t>& image);

} // namespace sim
