// The vendor command sets and firmware image checks that drives of a scenario may carry.
#include "sim/usb_bridge.h"

namespace sim {

// "0" and "1" are the two generations of the controller maker's command set; their classes
// join this table with the vendor command set. Until then such a drive lists no vendor opcode
// and refuses them as an unknown opcode. "none" is a drive of another maker.
std::unique_ptr<NvmeCommandSet> MakeVendorCommandSet(const std::string& kind) {
    (void)kind;
    return nullptr;
}

// The image check at Firmware Commit. Null: the drive takes any whole image and keeps
// reporting its revision.
FirmwareChecker MakeFirmwareChecker(const std::string& kind) {
    (void)kind;
    return nullptr;
}

} // namespace sim
