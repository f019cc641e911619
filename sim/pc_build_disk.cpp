// Building the simulated PC: a disk ([disk NAME]), its identity, the NVMe or ATA drive that
// answers for it, its SCSI address and its disk node.
#include "sim/refusal.h"
#include "sim/pc_build.h"
#include "sim/read_file.h"
#include "sim/vendor.h"

#include "platform/win32.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {
namespace {

constexpr size_t kMaxVendorBlockFileBytes = 1024 * 1024; // far above any vendor block

bool ParseBlock(const std::string& text, std::vector<uint8_t>& out, std::string& error) {
    std::string hex;
    if (!text.empty() && text[0] == '@') {
        std::string bytes;
        std::string readError;
        if (!ReadInputFile(text.substr(1), kMaxVendorBlockFileBytes, &bytes, &readError)) {
            error = "cannot read " + readError;
            return false;
        }
        out.assign(bytes.begin(), bytes.end());
    } else {
        for (char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c))) {
                hex += c;
            } else if (!std::isspace(static_cast<unsigned char>(c))) {
                error = "a vendor block is hex digits or @file";
                return false;
            }
        }
        if (hex.size() % 2) {
            error = "a vendor block has an odd number of hex digits";
            return false;
        }
        out.clear();
        for (size_t i = 0; i < hex.size(); i += 2) {
            out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
    }
    if (out.size() > 4096) {
        error = "a vendor block holds at most 4096 bytes";
        return false;
    }
    out.resize(4096, 0);
    return true;
}

// The faults of disk `index` that strike inside its drive, whatever transport brings the
// command: a refused or vanishing download piece, a refused commit, a failing opcode.
NvmeFaultHook DriveFaults(int index) {
    return [index](const NvmeAdminRequest& r, NvmeCompletion& out) {
        Pc& pc = ThePc();
        SimDisk& self = *pc.disks[size_t(index)];
        const uint8_t op = r.cmd.Opcode();
        char opcode[8];
        std::snprintf(opcode, sizeof(opcode), "0x%02x", op);
        if (op == kNvmeFirmwareDownload) {
            const std::string offset = std::to_string(r.cmd.DownloadOffset());
            if (pc.TakeFault(self, "download_vanish", offset)) {
                // The disk leaves the PC in the middle of the download, until it is re-added.
                pc.TakeAway(self, 0, true);
                NoteRefusal("NVMe drive", "fault download_vanish");
                out = NvmeCompletion::Of(nvme_status::kDataTransferError);
                return true;
            }
            if (pc.TakeFault(self, "download_fail", offset)) {
                NoteRefusal("NVMe drive", "fault download_fail");
                out = NvmeCompletion::Of(nvme_status::kInternalError);
                return true;
            }
        }
        if (op == kNvmeFirmwareCommit && pc.TakeFault(self, "commit_fail")) {
            NoteRefusal("NVMe drive", "fault commit_fail");
            out = NvmeCompletion::Of(nvme_status::kInvalidFirmwareImage);
            return true;
        }
        if (pc.TakeFault(self, "nvme_fail", opcode)) {
            NoteRefusal("NVMe drive", "fault nvme_fail");
            out = NvmeCompletion::Of(nvme_status::kInternalError);
            return true;
        }
        return false;
    };
}

// The vendor command set's keys that hold numbers or hex ids: each must fit its field exactly.
struct VendorKey {
    const char* key;
    uint64_t max;    // a number up to this; 0: hex bytes instead
    size_t hexBytes; // hex bytes: exactly this many (0: any whole number of bytes up to 230)
};

const VendorKey kVendorKeys[] = {
    {"vsc_soc_id", 0xFFFF, 0}, {"vsc_mp_soc_id", 0xFFFF, 0}, {"vsc_mp_format", 0xFFFF, 0},
    {"vsc_pg", 0xFFFF, 0},     {"vsc_ch", 0xFF, 0},          {"vsc_ce", 0xFF, 0},
    {"vsc_lun", 0xFF, 0},      {"vsc_pln", 0xFF, 0},         {"vsc_ftl_build", 0xFFFFFFFF, 0},
    {"vsc_nand_id", 0, 6},     {"vsc_nand_table", 0, 0},
};

// The hex digits of a text of hex digits and blanks; false for any other character or an odd
// count.
bool HexDigitsOnly(const std::string& text, size_t* bytes) {
    size_t digits = 0;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else if (c != ' ' && c != '\t') {
            return false;
        }
    }
    *bytes = digits / 2;
    return digits % 2 == 0;
}

} // namespace

bool PcBuilder::CheckVendorKeys(const ScenarioSection& s) {
    for (const VendorKey& k : kVendorKeys) {
        if (!s.Has(k.key)) {
            continue;
        }
        const std::string text = s.Get(k.key);
        if (k.max != 0) {
            uint64_t v = 0;
            if (!ParseU64(text, v) || v > k.max) {
                char range[32];
                std::snprintf(range, sizeof(range), "0..0x%llX", (unsigned long long)k.max);
                return FailAt(s, k.key, std::string(k.key) + " is a number " + range);
            }
            continue;
        }
        size_t bytes = 0;
        if (!HexDigitsOnly(text, &bytes) || bytes == 0 ||
            (k.hexBytes != 0 ? bytes != k.hexBytes : bytes > 230)) {
            return FailAt(s, k.key,
                          std::string(k.key) +
                              (k.hexBytes != 0
                                   ? " is " + std::to_string(k.hexBytes * 2) + " hex digits"
                                   : " is hex bytes, at most 230"));
        }
    }
    return true;
}

bool PcBuilder::BuildDisk(const ScenarioSection& s) {
    auto disk = std::make_unique<SimDisk>();
    SimDisk& d = *disk;
    d.index = int(disks.size());
    d.name = s.name;
    for (const auto& kv : s.keys) {
        d.params[kv.first] = kv.second;
    }
    if (!CheckVendorKeys(s) || !ReadDiskIdentity(s, d)) {
        return false;
    }
    const bool usb = d.kind == DiskKind::Usb;
    const std::string bridgeKind = s.Get("bridge", "plain");
    const bool ataBehind = d.kind == DiskKind::Sata || (usb && bridgeKind == "sata");
    const bool nvmeBehind = d.kind == DiskKind::Nvme || d.kind == DiskKind::Rst ||
                            (usb && bridgeKind != "plain" && !ataBehind);
    if (nvmeBehind && !BuildNvmeDrive(s, d)) {
        return false;
    }
    if (ataBehind && !BuildAtaDrive(s, d)) {
        return false;
    }
    d.host = std::make_unique<DiskBridgeHost>(d.index);
    std::wstring diskId;
    DevInst parent = 0;
    if (usb) {
        d.bridge = MakeBridge(bridgeKind);
        if (!d.bridge) {
            return FailAt(s, "bridge", "unknown bridge '" + bridgeKind + "'");
        }
        if (!PlaceUsbDisk(s, d, parent, diskId)) {
            return false;
        }
    } else if (!PlacePciDisk(s, d, parent, diskId)) {
        return false;
    }
    if (!AddDiskNode(s, d, usb, parent, diskId)) {
        return false;
    }
    disks.push_back(std::move(disk));
    return true;
}

// Kind, drive number, bus type, identity and size, INQUIRY texts, volumes, faults, presence.
bool PcBuilder::ReadDiskIdentity(const ScenarioSection& s, SimDisk& d) {
    const std::string kind = s.Get("kind");
    if (kind == "nvme") {
        d.kind = DiskKind::Nvme;
    } else if (kind == "rst") {
        d.kind = DiskKind::Rst;
    } else if (kind == "usb") {
        d.kind = DiskKind::Usb;
    } else if (kind == "sata") {
        d.kind = DiskKind::Sata;
    } else if (kind == "other") {
        d.kind = DiskKind::Other;
    } else {
        return FailAt(s, "kind", "kind is nvme, rst, usb, sata or other");
    }
    uint64_t v = 0;
    if (!ParseU64(s.Get("drive"), v) || v > 255) {
        return FailAt(s, "drive", "drive (the N of PhysicalDriveN) is required, 0..255");
    }
    d.driveNumber = uint32_t(v);
    if (!driveNumbers.insert(d.driveNumber).second) {
        return FailAt(s, "drive", "drive number used twice");
    }
    const uint32_t defaultBus[] = {17, 17, 7, 11, 1};
    d.busType = defaultBus[int(d.kind)];
    if (s.Has("bus_type")) {
        if (!ParseU64(s.Get("bus_type"), v) || v > 0x7F) {
            return FailAt(s, "bus_type", "bus_type is a STORAGE_BUS_TYPE number");
        }
        d.busType = uint32_t(v);
    }
    d.model = s.Get("model");
    d.serial = s.Get("serial", "SIM" + std::to_string(Hash32(s.name)));
    d.firmware = s.Get("firmware", "1.0");
    if (!ParseU64(s.Get("sectors", "0"), d.blocks)) {
        return FailAt(s, "sectors", "sectors is a number");
    }
    if (!ParseU64(s.Get("sector_size", "512"), v) || (v != 512 && v != 4096)) {
        return FailAt(s, "sector_size", "sector_size is 512 or 4096");
    }
    d.blockSize = uint32_t(v);
    if (d.kind == DiskKind::Nvme || d.kind == DiskKind::Rst) {
        d.vendor = "NVMe";
        d.product = d.model;
        d.revision = d.firmware.substr(0, 4);
    } else if (d.kind == DiskKind::Sata) {
        d.vendor = "ATA";
        d.product = d.model;
        d.revision = d.firmware.substr(0, 4);
    }
    d.vendor = s.Get("vendor", d.vendor);
    d.product = s.Get("product", d.product);
    d.revision = s.Get("revision", d.revision);
    for (char c : s.Get("volumes")) {
        if (std::isalpha(static_cast<unsigned char>(c))) {
            d.volumes += char(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (!ParseFaultList(s.Get("faults"), d.faults, error)) {
        return FailAt(s, "faults", error);
    }
    if (s.Has("return_drive")) {
        if (!ParseU64(s.Get("return_drive"), v) || v > 255) {
            return FailAt(s, "return_drive", "return_drive is a drive number");
        }
        d.returnDrive = int(v);
    }
    const struct {
        const char* key;
        uint32_t* field;
    } times[] = {{"power_cycle_ms", &d.powerCycleMs}, {"reset_ms", &d.resetMs}};
    for (const auto& t : times) {
        if (s.Has(t.key)) {
            if (!ParseU64(s.Get(t.key), v) || v == 0 || v > 600000) {
                return FailAt(s, t.key, std::string(t.key) + " is 1..600000 (program ms)");
            }
            *t.field = uint32_t(v);
        }
    }
    d.removed = s.Get("present", "yes") == "no";
    return true;
}

// The NVMe drive of an nvme or rst disk or behind an NVMe bridge: its identity, vendor blocks,
// the opcodes its log leaves out, its faults, command set and image check.
// What the drive says of firmware updates (fw_slots, fw_slot1_ro, fw_ug, fw_commands, fw_mtfa),
// the status its commits answer with (fw_commit_status) and an update already waiting for a
// reset (fw_pending_slot).
bool PcBuilder::ReadFirmwareUpdateKeys(const ScenarioSection& s, NvmeDriveState& st) {
    uint64_t slots = 0;
    uint64_t granularity = 0;
    uint64_t mtfa = 0;
    uint64_t pending = 0;
    if (!ParseU64(s.Get("fw_slots", "3"), slots) || slots < 1 || slots > kNvmeFirmwareSlots) {
        return FailAt(s, "fw_slots", "fw_slots is 1..3");
    }
    if (!ParseU64(s.Get("fw_ug", "0"), granularity) || granularity > 0xFF) {
        return FailAt(s, "fw_ug", "fw_ug is 0..0xFF (4 KiB units; 0 none given, 0xFF any)");
    }
    if (!ParseU64(s.Get("fw_mtfa", "0"), mtfa) || mtfa > 0xFFFF) {
        return FailAt(s, "fw_mtfa", "fw_mtfa is 0..0xFFFF (100 ms units)");
    }
    if (!ParseU64(s.Get("fw_pending_slot", "0"), pending) || pending > slots) {
        return FailAt(s, "fw_pending_slot", "fw_pending_slot is 0 or a slot of fw_slots");
    }
    uint64_t commitStatus = 0;
    if (!ParseU64(s.Get("fw_commit_status", "0"), commitStatus) ||
        (commitStatus != 0 && commitStatus != 0x10B && commitStatus != 0x110 &&
         commitStatus != 0x111)) {
        return FailAt(s, "fw_commit_status", "fw_commit_status is 0, 0x10B, 0x110 or 0x111");
    }
    st.commitStatus = uint16_t(commitStatus);
    const std::string readOnly = s.Get("fw_slot1_ro", "no");
    const std::string commands = s.Get("fw_commands", "yes");
    if ((readOnly != "yes" && readOnly != "no") || (commands != "yes" && commands != "no")) {
        return FailAt(s, readOnly != "yes" && readOnly != "no" ? "fw_slot1_ro" : "fw_commands",
                      "fw_slot1_ro and fw_commands are yes or no");
    }
    st.slotCount = int(slots);
    st.updateGranularity = uint8_t(granularity);
    st.maxActivationTime = uint16_t(mtfa);
    st.slot1ReadOnly = readOnly == "yes";
    st.firmwareCommands = commands == "yes";
    if (pending != 0) {
        // An image committed before, waiting for its reset: the slot holds the running revision.
        st.slots[pending].filled = true;
        st.slots[pending].image.revision = st.firmware;
        st.pendingSlot = int(pending);
        st.pendingNeedsPowerCycle = st.activation == FwActivation::PowerCycle;
    }
    return true;
}

bool PcBuilder::BuildNvmeDrive(const ScenarioSection& s, SimDisk& d) {
    NvmeDriveState st;
    uint64_t vid = 0;
    uint64_t ssvid = 0;
    if (!ParseU64(s.Get("vendor_id", "0"), vid) || vid > 0xFFFF) {
        return FailAt(s, "vendor_id", "vendor_id is 0..0xFFFF");
    }
    if (!ParseU64(s.Get("ssvid", "0"), ssvid) || ssvid > 0xFFFF) {
        return FailAt(s, "ssvid", "ssvid is 0..0xFFFF");
    }
    st.vendorId = uint16_t(vid);
    st.subsystemVendorId = uint16_t(ssvid);
    st.serial = d.serial;
    st.model = d.model;
    st.firmware = d.firmware;
    st.namespaceBlocks = d.blocks;
    st.lbaShift = d.blockSize == 4096 ? 12 : 9;
    st.params = d.params;
    for (const char* block : {"drvinfo", "mpinfo", "fwconfig"}) {
        if (s.Has(block)) {
            std::string blockError;
            if (!ParseBlock(s.Get(block), st.blocks[block], blockError)) {
                return FailAt(s, block, blockError);
            }
        }
    }
    std::stringstream ul(s.Get("unlisted"));
    std::string op;
    while (ul >> op) {
        uint64_t o = 0;
        if (!ParseU64(op, o) || o > 255) {
            return FailAt(s, "unlisted", "unlisted is a list of opcodes");
        }
        st.unlistedOpcodes.insert(uint8_t(o));
    }
    const std::string activation = s.Get("fw_activation", "power_cycle");
    if (activation == "power_cycle") {
        st.activation = FwActivation::PowerCycle;
    } else if (activation == "reset") {
        st.activation = FwActivation::ControllerReset;
    } else if (activation == "immediate") {
        st.activation = FwActivation::Immediate;
    } else {
        return FailAt(s, "fw_activation", "fw_activation is power_cycle, reset or immediate");
    }
    if (!ReadFirmwareUpdateKeys(s, st)) {
        return false;
    }
    st.garbageIdentify = pc.HasFault(d, "garbage_identify");
    d.nvme = std::make_unique<NvmeDrive>(st);
    // Faults that strike inside the drive, whatever transport brings the command.
    d.nvme->SetFaultHook(DriveFaults(d.index));
    const std::string vsc = s.Get("vsc", "none");
    if (vsc != "none" && vsc != "0" && vsc != "1") {
        return FailAt(s, "vsc", "vsc is 0, 1 or none");
    }
    d.nvme->SetCommandSet(MakeVendorCommandSet(vsc));
    FirmwareChecker checker;
    if (!MakeFirmwareChecker(s.Get("firmware_check"), checker)) {
        return FailAt(s, "firmware_check", "firmware_check is any or image");
    }
    d.nvme->SetFirmwareChecker(checker);
    return true;
}

// The ATA drive of a sata disk or behind a USB-to-SATA bridge: its identity, link speed,
// DOWNLOAD MICROCODE limits, vendor command set (`vsc = ata`) and vendor blocks.
bool PcBuilder::BuildAtaDrive(const ScenarioSection& s, SimDisk& d) {
    AtaDriveState st;
    st.model = d.model;
    st.serial = d.serial;
    st.firmware = d.firmware;
    st.sectors = d.blocks;
    st.params = d.params;
    if (d.blockSize != 512) {
        return Fail(s, "an ATA drive has 512-byte sectors");
    }
    uint64_t v = 0;
    if (!ParseU64(s.Get("ata_link", "3"), v) || v < 1 || v > 3) {
        return FailAt(s, "ata_link", "ata_link is 1, 2 or 3 (1.5, 3.0 or 6.0 Gb/s)");
    }
    st.linkSpeed = uint8_t(v);
    uint64_t minBlocks = 0;
    uint64_t maxBlocks = 0;
    if (!ParseU64(s.Get("ata_dm_min", "1"), minBlocks) ||
        !ParseU64(s.Get("ata_dm_max", "128"), maxBlocks) || minBlocks == 0 ||
        maxBlocks < minBlocks || maxBlocks > 0xFFFF) {
        return FailAt(s, s.Has("ata_dm_max") ? "ata_dm_max" : "ata_dm_min",
                      "ata_dm_min and ata_dm_max are block counts, 1 <= min <= max <= 65535");
    }
    st.microcodeMinBlocks = uint16_t(minBlocks);
    st.microcodeMaxBlocks = uint16_t(maxBlocks);
    const std::string microcode = s.Get("ata_microcode", "offsets");
    if (microcode != "offsets" && microcode != "no_offsets" && microcode != "none") {
        return FailAt(s, "ata_microcode", "ata_microcode is offsets, no_offsets or none");
    }
    st.microcode = microcode != "none";
    st.microcodeOffsets = microcode == "offsets";
    if (s.Has("ata_alignment_mask") && !ParseU64(s.Get("ata_alignment_mask"), v)) {
        return FailAt(s, "ata_alignment_mask", "ata_alignment_mask is a number");
    }
    const std::string vsc = s.Get("vsc", "none");
    if (vsc != "none" && vsc != "ata") {
        return FailAt(s, "vsc", "vsc of an ATA drive is ata or none");
    }
    st.vendorCommands = vsc == "ata";
    for (const char* block : {"drvinfo", "mpinfo", "fwconfig"}) {
        if (s.Has(block)) {
            std::string blockError;
            if (!ParseBlock(s.Get(block), st.blocks[block], blockError)) {
                return FailAt(s, block, blockError);
            }
        }
    }
    st.garbageIdentify = pc.HasFault(d, "garbage_identify");
    d.ata = std::make_unique<AtaDrive>(st);
    return true;
}

// The SCSI address and the disk node under `parent`; a disk that is not on USB ends its
// instance ID with its address.
bool PcBuilder::AddDiskNode(const ScenarioSection& s, SimDisk& d, bool usb, DevInst parent,
                            std::wstring diskId) {
    struct {
        const char* key;
        uint8_t* field;
    } addr[] = {
        {"scsi_path", &d.scsiPath}, {"scsi_target", &d.scsiTarget}, {"scsi_lun", &d.scsiLun}};
    uint64_t v = 0;
    for (auto& a : addr) {
        if (!ParseU64(s.Get(a.key, "0"), v) || v > 255) {
            return FailAt(s, a.key, std::string(a.key) + " is 0..255");
        }
        *a.field = uint8_t(v);
    }
    if (s.Has("scsi_port")) {
        if (!ParseU64(s.Get("scsi_port"), v) || v > 255) {
            return FailAt(s, "scsi_port", "scsi_port is 0..255");
        }
        d.scsiPort = uint8_t(v);
    }
    if (!usb) {
        diskId += Hex(d.scsiPath, 2) + Hex(d.scsiTarget, 2) + Hex(d.scsiLun, 2);
    }
    d.diskNode = AddNode(parent, diskId, L"disk", kClassDiskDrive, d.index);
    d.interfacePath = InterfacePath(diskId, GUID_DEVINTERFACE_DISK);
    DevNode& node = nodes[d.diskNode - 1];
    node.description = L"Disk drive";
    node.interfaces.emplace_back(GUID_DEVINTERFACE_DISK, d.interfacePath);
    return true;
}

} // namespace sim
