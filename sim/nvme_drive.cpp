#include "sim/byte_order.h"
#include "sim/nvme_drive.h"
#include "sim/refusal.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// A command the drive refuses, with its status and the reason noted (sim/refusal.h).
NvmeCompletion Refuse(NvmeStatus status, const std::string& reason) {
    NoteRefusal("NVMe drive", reason);
    return NvmeCompletion::Of(status);
}

// Moves a reply of `size` bytes into the request's buffer: the transfer length must be the
// reply's size, as a drive writes whole structures.
NvmeCompletion Deliver(const NvmeAdminRequest& r, const uint8_t* reply, uint32_t size) {
    if (r.length != size || r.data == nullptr) {
        return Refuse(nvme_status::kDataTransferError, "the transfer must be the reply's size");
    }
    std::memcpy(r.data, reply, size);
    return NvmeCompletion::Of(nvme_status::kSuccess);
}

} // namespace

NvmeXfer XferOfOpcode(uint8_t opcode) {
    switch (opcode & 3) {
    case 1:
        return NvmeXfer::ToDevice;
    case 2:
        return NvmeXfer::FromDevice;
    default:
        return NvmeXfer::None;
    }
}

const char* XferName(NvmeXfer xfer) {
    switch (xfer) {
    case NvmeXfer::ToDevice:
        return "to_device";
    case NvmeXfer::FromDevice:
        return "from_device";
    default:
        return "none";
    }
}

NvmeCommand NvmeCommand::FromBytes(const uint8_t* b) {
    NvmeCommand c;
    for (size_t i = 0; i < 16; ++i) {
        c.cdw[i] = GetLe32(b + 4 * i);
    }
    return c;
}

void NvmeCommand::ToBytes(uint8_t* b) const {
    for (int i = 0; i < 16; ++i) {
        PutLe32(b + 4 * i, cdw[i]);
    }
}

void NvmeCompletion::ToBytes(uint8_t* b) const {
    PutLe32(b, dw0);
    PutLe32(b + 4, dw1);
    PutLe16(b + 8, sqHead);
    PutLe16(b + 10, sqId);
    PutLe16(b + 12, cid);
    PutLe16(b + 14, uint16_t(uint16_t(status.sc) << 1 | uint16_t(status.sct & 7) << 9));
}

NvmeDrive::NvmeDrive(NvmeDriveState state) : state_(std::move(state)) {
    if (!state_.slots[1].filled) {
        state_.slots[1].filled = true;
        state_.slots[1].image.revision = state_.firmware;
    }
    if (state_.activeSlot < 1 || state_.activeSlot > kNvmeFirmwareSlots) {
        state_.activeSlot = 1;
    }
}

void NvmeDrive::SetCommandSet(std::unique_ptr<NvmeCommandSet> commandSet) {
    commandSet_ = std::move(commandSet);
}

bool NvmeDrive::Lists(uint8_t opcode) const {
    if (state_.unlistedOpcodes.count(opcode)) {
        return false;
    }
    switch (opcode) {
    case kNvmeGetLogPage:
    case kNvmeIdentify:
    case kNvmeAbort:
    case kNvmeSetFeatures:
    case kNvmeGetFeatures:
    case kNvmeFirmwareCommit:
    case kNvmeFirmwareDownload:
        return state_.firmwareCommands;
    default:
        return opcode >= 0xC0 && commandSet_ && commandSet_->Handles(opcode);
    }
}

void NvmeDrive::BuildIdentifyController(uint8_t* out) const {
    std::memset(out, 0, kNvmeIdentifySize);
    if (state_.garbageIdentify) {
        uint32_t x = 0x2545F491u;
        for (uint32_t i = 0; i < kNvmeIdentifySize; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            out[i] = uint8_t(x);
        }
        return;
    }
    PutLe16(out + 0, state_.vendorId);
    PutLe16(out + 2, state_.subsystemVendorId);
    PutBlankPadded(out + 4, 20, state_.serial);
    PutBlankPadded(out + 24, 40, state_.model);
    PutBlankPadded(out + 64, 8, state_.firmware);
    out[72] = 6;                   // RAB
    PutLe16(out + 78, 1);          // CNTLID
    PutLe32(out + 80, 0x00010400); // VER 1.4
    // OACS: Format NVM, and Firmware Commit and Image Download when the drive has them.
    PutLe16(out + 256, uint16_t(0x0002 | (state_.firmwareCommands ? 0x0004 : 0)));
    out[258] = 3; // ACL
    out[259] = 3; // AERL
    // FRMW: slot 1 read-only, the slot count, and activation without reset when the drive has it.
    out[260] = uint8_t((state_.slot1ReadOnly ? 0x01 : 0) | (state_.slotCount & 7) << 1 |
                       (state_.activation == FwActivation::Immediate ? 0x10 : 0));
    out[261] = 0x02;                              // LPA: Commands Supported and Effects log
    out[262] = 63;                                // ELPE
    PutLe16(out + 266, state_.maxActivationTime); // MTFA
    out[319] = state_.updateGranularity;          // FWUG
    out[512] = 0x66;                              // SQES
    out[513] = 0x44;                              // CQES
    PutLe32(out + 516, 1);                        // NN
}

void NvmeDrive::BuildIdentifyNamespace(uint8_t* out) const {
    std::memset(out, 0, kNvmeIdentifySize);
    if (state_.garbageIdentify) {
        std::memset(out, 0xA5, kNvmeIdentifySize);
        return;
    }
    PutLe64(out + 0, state_.namespaceBlocks);  // NSZE
    PutLe64(out + 8, state_.namespaceBlocks);  // NCAP
    PutLe64(out + 16, state_.namespaceBlocks); // NUSE
    out[25] = 0;                               // NLBAF: one format
    out[26] = 0;                               // FLBAS: format 0
    out[130] = state_.lbaShift;                // LBAF0.LBADS
}

void NvmeDrive::BuildEffectsLog(uint8_t* out) const {
    std::memset(out, 0, 4096);
    for (int op = 0; op < 256; ++op) {
        if (Lists(uint8_t(op))) {
            PutLe32(out + 4 * op, 1); // CSUPP
        }
    }
    PutLe32(out + 1024 + 4 * 0x00, 1);     // Flush
    PutLe32(out + 1024 + 4 * 0x01, 1 | 2); // Write: CSUPP, LBCC
    PutLe32(out + 1024 + 4 * 0x02, 1);     // Read
    for (const auto& entry : state_.effectsEntries) {
        PutLe32(out + 4 * entry.first, entry.second);
    }
}

NvmeCompletion NvmeDrive::Admin(const NvmeAdminRequest& r) {
    NvmeCompletion faulted;
    if (faultHook_ && faultHook_(r, faulted)) {
        return faulted;
    }
    if (r.length != 0 && r.data == nullptr) {
        return Refuse(nvme_status::kDataTransferError, "a transfer without a buffer");
    }
    const uint8_t op = r.cmd.Opcode();
    // The opcode fixes the direction of its data; a transport that moves data the other way
    // (or data for a command without any) is refused.
    const NvmeXfer wanted = XferOfOpcode(op);
    if (r.length != 0 && r.dir != wanted) {
        return Refuse(nvme_status::kInvalidField, "the data must move the way the opcode says");
    }
    switch (op) {
    case kNvmeIdentify:
        return Identify(r);
    case kNvmeGetLogPage:
        return GetLogPage(r);
    case kNvmeFirmwareDownload:
        return state_.firmwareCommands
                   ? FirmwareDownload(r)
                   : Refuse(nvme_status::kInvalidOpcode, "the drive has no firmware commands");
    case kNvmeFirmwareCommit:
        return state_.firmwareCommands
                   ? FirmwareCommit(r)
                   : Refuse(nvme_status::kInvalidOpcode, "the drive has no firmware commands");
    case kNvmeAbort: {
        // No command is outstanding: nothing to abort (DW0 bit 0 set: not aborted).
        NvmeCompletion c = NvmeCompletion::Of(nvme_status::kSuccess);
        c.dw0 = 1;
        return c;
    }
    case kNvmeSetFeatures:
    case kNvmeGetFeatures:
        return Refuse(nvme_status::kInvalidField, "the drive has no features to set or get");
    default:
        if (op >= 0xC0 && commandSet_ && commandSet_->Handles(op)) {
            return commandSet_->Execute(*this, r);
        }
        return Refuse(nvme_status::kInvalidOpcode, "the drive does not know the opcode");
    }
}

NvmeCompletion NvmeDrive::Identify(const NvmeAdminRequest& r) {
    const uint32_t cns = r.cmd.Cns();
    uint8_t reply[kNvmeIdentifySize];
    switch (cns) {
    case kNvmeCnsNamespace: // namespace 1, or (NSID FFFFFFFF) what all namespaces share
        if (r.cmd.Nsid() != 1 && r.cmd.Nsid() != kNvmeNsidAll) {
            return Refuse(nvme_status::kInvalidNamespace,
                          "Identify Namespace: NSID must be 1 or FFFFFFFF");
        }
        BuildIdentifyNamespace(reply);
        if (r.cmd.Nsid() == kNvmeNsidAll) {
            std::memset(reply, 0, 24); // no size, capacity or use
        }
        break;
    case kNvmeCnsController:
        BuildIdentifyController(reply);
        break;
    case kNvmeCnsActiveNamespaces:
        std::memset(reply, 0, sizeof(reply));
        if (r.cmd.Nsid() < 1) {
            PutLe32(reply, 1);
        }
        break;
    default:
        return Refuse(nvme_status::kInvalidField, "Identify: CNS must be 0, 1 or 2");
    }
    return Deliver(r, reply, kNvmeIdentifySize);
}

NvmeCompletion NvmeDrive::GetLogPage(const NvmeAdminRequest& r) {
    const uint32_t lid = r.cmd.LogId();
    // The dword count must describe exactly the bytes the transport moves.
    const uint64_t offset = r.cmd.LogPageOffset();
    if (r.cmd.LogPageBytes() != r.length) {
        return Refuse(nvme_status::kInvalidField,
                      "Get Log Page: NUMD must describe the bytes moved");
    }
    if ((offset & 3) != 0) {
        return Refuse(nvme_status::kInvalidField, "Get Log Page: the offset must be whole dwords");
    }
    std::vector<uint8_t> page;
    switch (lid) {
    case 0x01: // error information: no entries
        page.assign(64, 0);
        break;
    case 0x02: // SMART / health
        page.assign(512, 0);
        page[3] = 100;          // available spare
        page[4] = 10;           // threshold
        PutLe16(&page[1], 308); // composite temperature, Kelvin
        break;
    case 0x03: // firmware slot information
        page.assign(512, 0);
        page[0] = uint8_t(state_.activeSlot | state_.pendingSlot << 4);
        for (int s = 1; s <= kNvmeFirmwareSlots; ++s) {
            if (state_.slots[s].filled) {
                PutBlankPadded(&page[8 * size_t(s)], 8, state_.slots[s].image.revision);
            }
        }
        break;
    case 0x05: // commands supported and effects
        page.assign(4096, 0);
        BuildEffectsLog(page.data());
        break;
    default:
        return Refuse(nvme_status::kInvalidLogPage, "Get Log Page: the drive has no such log");
    }
    if (offset >= page.size()) {
        return Refuse(nvme_status::kInvalidField, "Get Log Page: the offset lies past the log");
    }
    // A read past the end of the page returns zeros there.
    std::memset(r.data, 0, r.length);
    std::memcpy(r.data, page.data() + offset,
                size_t(std::min<uint64_t>(r.length, page.size() - offset)));
    return NvmeCompletion::Of(nvme_status::kSuccess);
}

NvmeCompletion NvmeDrive::FirmwareDownload(const NvmeAdminRequest& r) {
    const uint64_t bytes = r.cmd.DownloadBytes();
    const uint64_t offset = r.cmd.DownloadOffset();
    if (bytes != r.length || r.length == 0) {
        return Refuse(nvme_status::kInvalidField,
                      "Firmware Image Download: NUMD must describe the bytes moved");
    }
    if (offset + bytes > (64u << 20)) {
        return Refuse(nvme_status::kInvalidField,
                      "Firmware Image Download: the image must end within 64 MiB");
    }
    // Pieces and offsets must be whole granules of the update granularity the drive reports.
    const uint8_t fwug = state_.updateGranularity;
    if (fwug != 0 && fwug != 0xFF &&
        (bytes % (fwug * 4096u) != 0 || offset % (fwug * 4096u) != 0)) {
        return Refuse(nvme_status::kInvalidField,
                      "Firmware Image Download: piece and offset must be whole update granules");
    }
    if (state_.staging.size() < offset + bytes) {
        state_.staging.resize(size_t(offset + bytes), 0);
        state_.stagingFilled.resize(size_t(offset + bytes), false);
    }
    for (uint64_t i = offset; i < offset + bytes; ++i) {
        if (state_.stagingFilled[size_t(i)]) {
            return Refuse(nvme_status::kOverlappingRange,
                          "Firmware Image Download: the piece overlaps one downloaded before");
        }
    }
    std::memcpy(state_.staging.data() + offset, r.data, r.length);
    std::fill(state_.stagingFilled.begin() + long(offset),
              state_.stagingFilled.begin() + long(offset + bytes), true);
    return NvmeCompletion::Of(nvme_status::kSuccess);
}

NvmeCompletion NvmeDrive::FirmwareCommit(const NvmeAdminRequest& r) {
    int slot = int(r.cmd.CommitSlot());
    const uint32_t action = r.cmd.CommitAction();
    if (slot == 0) {
        slot = 1; // the controller picks the slot
    }
    if (slot > state_.slotCount) {
        return Refuse(nvme_status::kInvalidFirmwareSlot,
                      "Firmware Commit: the drive has no such slot");
    }
    // A read-only slot 1 takes no image.
    const bool replaces = action == kCommitReplace || action == kCommitReplaceActivateAtReset ||
                          (action == kCommitActivateNow && !state_.staging.empty());
    if (slot == 1 && state_.slot1ReadOnly && replaces) {
        return Refuse(nvme_status::kInvalidFirmwareSlot, "Firmware Commit: slot 1 is read-only");
    }
    // Actions 0 and 1, and 3 after a download, put the downloaded image into the slot first.
    const std::string refused = replaces ? TakeDownloadedImage(slot) : std::string();
    if (!refused.empty()) {
        return Refuse(nvme_status::kInvalidFirmwareImage, refused);
    }
    switch (action) {
    case kCommitReplace:
    case kCommitReplaceActivateAtReset:
        if (action == kCommitReplaceActivateAtReset) {
            SetPending(slot);
        }
        if (state_.commitStatus != 0) {
            return NvmeCompletion::Of(
                NvmeStatus{uint8_t(state_.commitStatus >> 8), uint8_t(state_.commitStatus)});
        }
        return NvmeCompletion::Of(nvme_status::kSuccess);
    case kCommitActivateAtReset:
        if (!state_.slots[slot].filled) {
            return Refuse(nvme_status::kInvalidFirmwareImage, "Firmware Commit: the slot is empty");
        }
        SetPending(slot);
        return NvmeCompletion::Of(nvme_status::kSuccess);
    case kCommitActivateNow: // a downloaded image replaced the slot's above
        if (!state_.slots[slot].filled) {
            return Refuse(nvme_status::kInvalidFirmwareImage, "Firmware Commit: the slot is empty");
        }
        switch (state_.activation) {
        case FwActivation::Immediate:
            Start(slot);
            return NvmeCompletion::Of(nvme_status::kSuccess);
        case FwActivation::ControllerReset:
            SetPending(slot);
            return NvmeCompletion::Of(nvme_status::kFirmwareNeedsControllerReset);
        default:
            SetPending(slot);
            return NvmeCompletion::Of(nvme_status::kFirmwareNeedsSubsystemReset);
        }
    default:
        return Refuse(nvme_status::kInvalidField, "Firmware Commit: the action must be 0 to 3");
    }
}

std::string NvmeDrive::TakeDownloadedImage(int slot) {
    // The image must be whole (no gaps) and pass the image check.
    const bool whole = !state_.staging.empty() &&
                       std::all_of(state_.stagingFilled.begin(), state_.stagingFilled.end(),
                                   [](bool b) { return b; });
    FirmwareCheck check;
    if (whole) {
        if (checker_) {
            check = checker_(state_.staging);
        } else {
            check.ok = true;
            check.image.revision = state_.firmware;
        }
    }
    state_.staging.clear();
    state_.stagingFilled.clear();
    if (!whole) {
        return "Firmware Commit: no whole image was downloaded";
    }
    if (!check.ok) {
        return "Firmware Commit: " +
               (check.refused.empty() ? "the image fails the drive's check" : check.refused);
    }
    state_.slots[slot].filled = true;
    state_.slots[slot].image = check.image;
    return std::string();
}

void NvmeDrive::SetPending(int slot) {
    state_.pendingSlot = slot;
    state_.pendingNeedsPowerCycle = state_.activation == FwActivation::PowerCycle;
}

void NvmeDrive::Start(int slot) {
    state_.activeSlot = slot;
    state_.pendingSlot = 0;
    state_.pendingNeedsPowerCycle = false;
    const FirmwareImage& image = state_.slots[slot].image;
    state_.firmware = image.revision;
    if (commandSet_) {
        commandSet_->OnFirmwareStart(*this, image);
    }
}

void NvmeDrive::Reset(NvmeReset kind) {
    state_.resets++;
    state_.staging.clear();
    state_.stagingFilled.clear();
    if (state_.pendingSlot != 0 &&
        (kind == NvmeReset::PowerCycle || !state_.pendingNeedsPowerCycle)) {
        Start(state_.pendingSlot);
    }
    if (commandSet_) {
        commandSet_->OnReset(*this);
    }
}

} // namespace sim
