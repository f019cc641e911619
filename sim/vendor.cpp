// The vendor command sets and firmware image checks that drives of a scenario may carry.
#include "sim/vendor.h"

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

// The image check at Firmware Commit. Null: the drive takes any whole image and keeps
// reporting its revision.
FirmwareChecker MakeFirmwareChecker(const std::string& kind) {
    (void)kind;
    return nullptr;
}

} // namespace sim
