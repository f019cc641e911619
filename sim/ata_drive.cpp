// The ATA drive model: IDENTIFY DEVICE, the reads of the medium, the ZELTARIX vendor read and
// write, and DOWNLOAD MICROCODE with offsets, which assembles an image piece by piece, checks it
// when the last piece has come and runs it at once.
#include "sim/byte_order.h"
#include "sim/ata_drive.h"
#include "sim/refusal.h"

#include "sim/firmware_image.h"
#include "sim/nvme_bridges.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kBlockBytes = 4096;
constexpr uint16_t kVendorBlockSectors = kBlockBytes / kSector;
constexpr uint8_t kErrorIdnf = 0x10; // the address is not on the medium
// Drive information block: the version text (8 bytes) and the FTL build number (32 bits).
constexpr size_t kDrvInfoVersionOffset = 32;
constexpr size_t kDrvInfoVersionBytes = 8;
constexpr size_t kDrvInfoFtlOffset = 72;

// Vendor read FEATURES and the block each returns.
const char* VendorReadBlock(uint16_t features) {
    switch (features) {
    case 2:
        return "fwconfig";
    case 3:
        return "drvinfo";
    case 4:
        return "mpinfo";
    default:
        return nullptr;
    }
}
constexpr uint16_t kVendorWriteFwConfig = 1;
constexpr uint16_t kMicrocodeOffsetsSave = 3;
// DOWNLOAD MICROCODE output COUNT: more pieces expected, the new microcode runs.
constexpr uint16_t kMicrocodeMoreExpected = 1;
constexpr uint16_t kMicrocodeApplied = 2;

void PutWord(uint8_t* out, size_t word, uint32_t value) {
    PutLe16(out + 2 * word, value);
}

// An ATA string: blank-padded to the field, the two characters of each word swapped.
void PutAtaString(uint8_t* out, size_t word, size_t words, const std::string& text) {
    for (size_t i = 0; i < 2 * words; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        out[2 * word + (i ^ 1)] = uint8_t(c);
    }
}

// The data of a command lies in the host's buffer, moving the way the command moves it.
bool HostOffers(const AtaRequest& r, AtaXfer dir, uint64_t bytes) {
    return r.dir == dir && r.length >= bytes && (bytes == 0 || r.data != nullptr);
}

// ABORT, with the reason noted (sim/refusal.h).
AtaResult Abort(const char* reason) {
    NoteRefusal("ATA drive", reason);
    return AtaResult::Abort();
}

AtaResult Done(uint32_t transferred) {
    AtaResult r;
    r.transferred = transferred;
    return r;
}

} // namespace

AtaResult AtaDrive::Execute(const AtaRequest& request) {
    switch (request.regs.command) {
    case kAtaIdentifyDevice:
        return Identify(request);
    case kAtaReadSectors:
    case kAtaReadSectorsExt:
        return ReadSectors(request);
    case kAtaVendorRead:
        return VendorRead(request);
    case kAtaVendorWrite:
        return VendorWrite(request);
    case kAtaDownloadMicrocode:
        return DownloadMicrocode(request);
    case kAtaFlushCache:
        return request.dir == AtaXfer::None ? Done(0) : Abort("FLUSH CACHE moves no data");
    default:
        return Abort("the drive does not know the command");
    }
}

void AtaDrive::BuildIdentify(uint8_t* out) const {
    std::memset(out, 0, kSector);
    if (state_.garbageIdentify) {
        uint32_t x = 0x9E3779B9u ^ uint32_t(state_.serial.size());
        for (uint32_t i = 0; i < kSector; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            out[i] = uint8_t(x);
        }
        return;
    }
    const uint64_t lba28 = std::min<uint64_t>(state_.sectors, 0x0FFFFFFF);
    PutWord(out, 0, 0x0040); // fixed ATA device
    PutAtaString(out, 10, 10, state_.serial);
    PutAtaString(out, 23, 4, state_.firmware);
    PutAtaString(out, 27, 20, state_.model);
    PutWord(out, 47, 0x8010);
    PutWord(out, 49, 0x0300); // LBA and DMA
    PutWord(out, 53, 0x0006);
    PutWord(out, 60, uint32_t(lba28));
    PutWord(out, 61, uint32_t(lba28 >> 16));
    PutWord(out, 75, 0x001F);
    PutWord(out, 76, 0x010E);                              // Gen1, Gen2, Gen3, NCQ
    PutWord(out, 77, uint32_t(state_.linkSpeed & 7) << 1); // current negotiated speed
    PutWord(out, 80, 0x07E0);
    // 48-bit address and DOWNLOAD MICROCODE; in word 86 the same enabled, words 119-120 valid.
    const uint32_t microcode = state_.microcode ? 0x0001 : 0;
    PutWord(out, 83, 0x4400 | microcode);
    PutWord(out, 84, 0x4000);
    PutWord(out, 86, 0x8400 | microcode);
    PutWord(out, 87, 0x4000);
    for (size_t i = 0; i < 4; ++i) {
        PutWord(out, 100 + i, uint32_t(state_.sectors >> (16 * i)) & 0xFFFF);
    }
    PutWord(out, 106, 0x4000);
    const uint32_t offsets = state_.microcode && state_.microcodeOffsets ? 0x0010 : 0;
    PutWord(out, 119, 0x4000 | offsets); // DOWNLOAD MICROCODE with offsets
    PutWord(out, 120, 0x4000 | offsets);
    PutWord(out, 234, state_.microcodeMinBlocks);
    PutWord(out, 235, state_.microcodeMaxBlocks);
    // Integrity word: signature A5 and the byte that makes the sum of all 512 bytes zero.
    out[510] = 0xA5;
    uint8_t sum = 0;
    for (uint32_t i = 0; i < kSector - 1; ++i) {
        sum = uint8_t(sum + out[i]);
    }
    out[511] = uint8_t(0x100 - sum);
}

std::vector<uint8_t> AtaDrive::Block(const std::string& name) const {
    auto it = state_.blocks.find(name);
    if (it != state_.blocks.end() && it->second.size() == kBlockBytes) {
        return it->second;
    }
    // A SATA drive's MP information block has the format word 4096.
    std::map<std::string, std::string> params = state_.params;
    params.emplace("vsc_mp_format", "4096");
    return MakeZeltarixBlock(name, params, state_.firmware);
}

AtaResult AtaDrive::Identify(const AtaRequest& r) {
    if (!HostOffers(r, AtaXfer::In, kSector)) {
        return Abort("IDENTIFY DEVICE must read 512 bytes in");
    }
    BuildIdentify(r.data);
    return Done(kSector);
}

AtaResult AtaDrive::ReadSectors(const AtaRequest& r) {
    uint64_t count = r.regs.count;
    if (count == 0) {
        count = r.ext ? 65536 : 256;
    }
    if (r.regs.lba + count > state_.sectors) {
        AtaResult out = Abort("READ SECTORS: the sectors lie past the medium's end");
        out.error = kErrorIdnf;
        return out;
    }
    if (!HostOffers(r, AtaXfer::In, count * kSector)) {
        return Abort("READ SECTORS must read the sectors in");
    }
    std::memset(r.data, 0, size_t(count * kSector));
    return Done(uint32_t(count * kSector));
}

AtaResult AtaDrive::VendorRead(const AtaRequest& r) {
    const char* name = VendorReadBlock(r.regs.features);
    if (!state_.vendorCommands) {
        return Abort("vendor read: the drive has no vendor commands");
    }
    if (name == nullptr) {
        return Abort("vendor read: FEATURES names no block");
    }
    if (r.regs.count != kVendorBlockSectors || r.regs.lba != 0) {
        return Abort("vendor read: SECTOR COUNT must be 8 and LBA 0");
    }
    if (!HostOffers(r, AtaXfer::In, kBlockBytes)) {
        return Abort("vendor read must read 4096 bytes in");
    }
    const std::vector<uint8_t> block = Block(name);
    std::memcpy(r.data, block.data(), kBlockBytes);
    return Done(kBlockBytes);
}

AtaResult AtaDrive::VendorWrite(const AtaRequest& r) {
    if (!state_.vendorCommands) {
        return Abort("vendor write: the drive has no vendor commands");
    }
    if (r.regs.features != kVendorWriteFwConfig) {
        return Abort("vendor write: FEATURES must name the FW configuration block");
    }
    if (r.regs.count != kVendorBlockSectors || r.regs.lba != 0) {
        return Abort("vendor write: SECTOR COUNT must be 8 and LBA 0");
    }
    if (!HostOffers(r, AtaXfer::Out, kBlockBytes)) {
        return Abort("vendor write must write 4096 bytes out");
    }
    state_.blocks["fwconfig"].assign(r.data, r.data + kBlockBytes);
    return Done(kBlockBytes);
}

// SECTOR COUNT: block count bits 7-0; LBA bits 7-0: block count bits 15-8; LBA bits 23-8: the
// block offset of the piece. The first piece (offset 0) starts an image, every further one must
// follow the one before; the image is checked when the piece that completes it has come.
AtaResult AtaDrive::DownloadMicrocode(const AtaRequest& r) {
    const uint32_t blocks = (r.regs.count & 0xFFu) | uint32_t(r.regs.lba & 0xFF) << 8;
    const uint32_t offset = uint32_t(r.regs.lba >> 8) & 0xFFFF;
    const uint64_t bytes = uint64_t(blocks) * kSector;
    auto discard = [this](const char* reason) {
        state_.staging.clear();
        state_.nextBlockOffset = 0;
        return Abort(reason);
    };
    if (!state_.microcode || !state_.microcodeOffsets) {
        return Abort("DOWNLOAD MICROCODE with offsets is not supported");
    }
    if ((r.regs.features & 0xFF) != kMicrocodeOffsetsSave) {
        return Abort("DOWNLOAD MICROCODE: FEATURES must be 03 (offsets, save)");
    }
    if (blocks == 0 || blocks < state_.microcodeMinBlocks || blocks > state_.microcodeMaxBlocks) {
        return Abort("DOWNLOAD MICROCODE: the block count must lie within words 234 and 235");
    }
    if (!HostOffers(r, AtaXfer::Out, bytes)) {
        return Abort("DOWNLOAD MICROCODE must write the blocks out");
    }
    if (offset == 0) {
        state_.staging.clear();
        state_.nextBlockOffset = 0;
    }
    if (offset != state_.nextBlockOffset) {
        return discard("DOWNLOAD MICROCODE: the piece must follow the one before");
    }
    state_.staging.insert(state_.staging.end(), r.data, r.data + bytes);
    const size_t expected = CmfgImageBytes(state_.staging.data(), state_.staging.size());
    if (expected == 0) {
        return discard("DOWNLOAD MICROCODE: not an image this drive runs");
    }
    if (state_.staging.size() > expected) {
        return discard("DOWNLOAD MICROCODE: more than the image holds");
    }
    AtaResult done = Done(uint32_t(bytes));
    if (state_.staging.size() < expected) {
        state_.nextBlockOffset = offset + blocks;
        done.count = kMicrocodeMoreExpected;
        return done;
    }
    const CmfgImageCheck check = CheckCmfgImage(state_.staging);
    if (!check.ok) {
        return discard(check.refused);
    }
    state_.firmware = check.revision.substr(0, 8);
    state_.params["vsc_ftl_build"] = std::to_string(check.ftlBuild);
    // A Drive information block held whole reports the new firmware's version and FTL build, as
    // the block made from the keys does.
    auto info = state_.blocks.find("drvinfo");
    if (info != state_.blocks.end() && info->second.size() == kBlockBytes &&
        info->second[0] == 0x5A) {
        std::vector<uint8_t>& b = info->second;
        std::memset(&b[kDrvInfoVersionOffset], 0, kDrvInfoVersionBytes);
        std::memcpy(&b[kDrvInfoVersionOffset], state_.firmware.data(),
                    std::min(state_.firmware.size(), kDrvInfoVersionBytes));
        for (size_t i = 0; i < 4; ++i) {
            b[kDrvInfoFtlOffset + i] = uint8_t(check.ftlBuild >> (8 * i));
        }
    }
    state_.updates++;
    state_.staging.clear();
    state_.nextBlockOffset = 0;
    done.count = kMicrocodeApplied;
    return done;
}

} // namespace sim
