// The vendor command sets and firmware image checks that the NVMe drives of a scenario may
// carry, by the name the scenario gives (keys `vsc` and `firmware_check`).
#pragma once

#include "sim/nvme_drive.h"

#include <memory>
#include <string>

namespace sim {

// The vendor command set a scenario names for an NVMe drive ("none", "0", "1"); null when the
// drive has none. The table is in sim/vendor.cpp.
std::unique_ptr<NvmeCommandSet> MakeVendorCommandSet(const std::string& kind);
// The firmware image check drives use at commit (sim/vendor.cpp).
FirmwareChecker MakeFirmwareChecker(const std::string& kind);

} // namespace sim
