#include "disklib/nvme_firmware_slots.h"

#include "common/byte_order.h"
#include "common/text.h"
#include "disklib/nvme_transport.h"

#include <string.h>

void NvmeFirmwareCapsOf(const BYTE* controller, NvmeFirmwareCaps* caps) {
    caps->Oacs = get_le16(controller + NVME_IDCTRL_OACS);
    caps->Frmw = controller[NVME_IDCTRL_FRMW];
    caps->Fwug = controller[NVME_IDCTRL_FWUG];
    caps->Mtfa = get_le16(controller + NVME_IDCTRL_MTFA);
}

int DISKLIB_NVME_GetFirmwareSlots(const CommandContext* context, HANDLE device,
                                  NvmeFirmwareSlots* slots) {
    BYTE log[NVME_FW_SLOT_LOG_BYTES];
    memset(log, 0, sizeof(log));
    const int result =
        DISKLIB_NVME_GetLogPage(context, device, NVME_LOG_FIRMWARE_SLOT, log, sizeof(log));
    if (result != DISKLIB_OK) {
        return result;
    }
    memset(slots, 0, sizeof(*slots));
    slots->ActiveSlot = log[NVME_FWSLOT_AFI] & NVME_AFI_ACTIVE_MASK;
    slots->NextSlot = (log[NVME_FWSLOT_AFI] >> NVME_AFI_NEXT_SHIFT) & NVME_AFI_NEXT_MASK;
    for (int n = 1; n <= NVME_FW_SLOT_COUNT; ++n) {
        const BYTE* field = log + NVME_FWSLOT_FRS * n;
        WCHAR* text = slots->Revision[n];
        // The revision is ASCII: a byte outside printable ASCII ends it.
        int length = 0;
        while (length < NVME_FWSLOT_FRS_BYTES && field[length] >= 0x20 && field[length] < 0x7F) {
            text[length] = field[length];
            ++length;
        }
        text[length] = 0;
        TrimBlanks(text);
    }
    return DISKLIB_OK;
}

int NvmeCanTakeFirmware(const NvmeFirmwareCaps* caps, const NvmeFirmwareSlots* slots, uint32_t slot,
                        uint32_t pieceBytes) {
    if ((caps->Oacs & NVME_OACS_FIRMWARE) == 0) {
        return NVME_FW_NO_FIRMWARE_COMMANDS;
    }
    const uint32_t slotCount = (caps->Frmw >> NVME_FRMW_SLOTS_SHIFT) & NVME_FRMW_SLOTS_MASK;
    if (slot > slotCount) {
        return NVME_FW_NO_SUCH_SLOT;
    }
    if (slot == 1 && (caps->Frmw & NVME_FRMW_SLOT1_READ_ONLY) != 0) {
        return NVME_FW_SLOT_READ_ONLY;
    }
    if (caps->Fwug != NVME_FWUG_NOT_REPORTED && caps->Fwug != NVME_FWUG_ANY &&
        pieceBytes % (caps->Fwug * NVME_FWUG_UNIT_BYTES) != 0) {
        return NVME_FW_GRANULARITY;
    }
    if (slots->NextSlot != 0) {
        return NVME_FW_UPDATE_PENDING;
    }
    return NVME_FW_CAN_TAKE;
}
