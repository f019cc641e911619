// The link between a SATA disk and its ATA drive: every ATA command passes here, whichever way
// it came (ATA pass-through or SAT), and the disk's ATA faults strike here.
#include "sim/ata_stack.h"
#include "sim/refusal.h"

#include <cstdio>

namespace sim {

DWORD RunAtaCommand(Pc& pc, SimDisk& disk, const AtaRequest& request, AtaResult& result) {
    char opcode[8];
    std::snprintf(opcode, sizeof(opcode), "0x%02x", request.regs.command);
    if (pc.TakeFault(disk, "ata_vanish", opcode)) {
        pc.TakeAway(disk, 0, false);
        NoteRefusal("ATA drive", "fault ata_vanish");
        return ERROR_NO_SUCH_DEVICE;
    }
    if (pc.TakeFault(disk, "ata_fail", opcode)) {
        NoteRefusal("ATA drive", "fault ata_fail");
        result = AtaResult::Abort();
    } else {
        result = disk.ata->Execute(request);
    }
    result.device = request.regs.device; // the drive returns the device register as it was
    return 0;
}

} // namespace sim
