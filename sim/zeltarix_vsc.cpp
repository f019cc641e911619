// The ZELTARIX vendor command set of the simulated NVMe drives, generations 0 and 1: the
// unlock, the Drive information, MP information and FW configuration blocks, their reads and
// writes, and the check value of the FW configuration write.
#include "sim/byte_order.h"
#include "sim/nvme_bridges.h"
#include "sim/refusal.h"
#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace sim {

namespace {

// The reflected table of CRC-32 (kind 0, polynomial EDB88320) or CRC-32C (kind 1, 82F63B78).
const uint32_t* CrcTable(int kind) {
    static const struct Tables {
        uint32_t t[2][256];
        Tables() {
            const uint32_t polys[2] = {0xEDB88320u, 0x82F63B78u};
            for (int k = 0; k < 2; ++k) {
                for (uint32_t i = 0; i < 256; ++i) {
                    uint32_t c = i;
                    for (int b = 0; b < 8; ++b) {
                        c = (c & 1) ? (c >> 1) ^ polys[k] : c >> 1;
                    }
                    t[k][i] = c;
                }
            }
        }
    } tables;
    return tables.t[kind == 1 ? 1 : 0];
}

} // namespace

uint32_t SimCrc(const uint8_t* data, size_t length, int kind) {
    const uint32_t* table = CrcTable(kind);
    uint32_t value = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        value = (value >> 8) ^ table[(value ^ data[i]) & 0xFF];
    }
    return ~value;
}

namespace {

constexpr uint32_t kBlock = 4096;
constexpr unsigned kMpFormat1768 = 1768; // the layout with SOC id and version at 1582, 1606
constexpr uint32_t kUnlockCode = 0x6B716D77u;
constexpr uint32_t kSigLow = 0x58495241u;     // "ARIX"
constexpr uint32_t kSigHigh = 0x544C455Au;    // "ZELT"
constexpr NvmeStatus kSequenceError{0, 0x0C}; // command sequence error: still locked

std::string Param(const std::map<std::string, std::string>& params, const std::string& key) {
    auto it = params.find(key);
    return it == params.end() ? std::string() : it->second;
}

std::string Param(const NvmeDrive& drive, const std::string& key) {
    return Param(drive.State().params, key);
}

// What a synthesised block is made of: the drive's scenario keys and its running firmware.
struct BlockKeys {
    const std::map<std::string, std::string>& params;
    const std::string& firmware;
};

std::string Param(const BlockKeys& keys, const std::string& key) {
    return Param(keys.params, key);
}

uint64_t Number(const BlockKeys& keys, const std::string& key, uint64_t fallback) {
    const std::string text = Param(keys, key);
    if (text.empty()) {
        return fallback;
    }
    uint64_t value = fallback; // the scenario reader has checked the form and the range
    return ParseU64(text, value) ? value : fallback;
}

void PutText(std::vector<uint8_t>& block, size_t offset, size_t size, const std::string& text) {
    for (size_t i = 0; i < size; ++i) {
        block[offset + i] = i < text.size() ? uint8_t(text[i]) : 0;
    }
}

std::string Text(const BlockKeys& keys, const std::string& key) {
    const std::string text = Param(keys, key);
    return text.empty() ? keys.firmware : text;
}

std::vector<uint8_t> NandId(const BlockKeys& keys) {
    std::vector<uint8_t> id = HexBytes(Param(keys, "vsc_nand_id"));
    if (id.empty()) {
        id = {0x2C, 0xC3, 0x08, 0x32, 0xE6, 0x00};
    }
    id.resize(6, 0);
    return id;
}

// The blocks a drive starts with when its scenario gives none whole.
std::vector<uint8_t> MakeDrvInfo(const BlockKeys& keys) {
    std::vector<uint8_t> b(kBlock, 0);
    if (Param(keys, "vsc_drvinfo") == "no") {
        return b;
    }
    b[0] = 0x5A;
    PutLe16(&b[2], uint32_t(Number(keys, "vsc_soc_id", 0x5016)));
    const std::vector<uint8_t> id = NandId(keys);
    std::memcpy(&b[16], id.data(), 6);
    PutText(b, 32, 8, Text(keys, "vsc_drvinfo_version"));
    PutLe32(&b[72], uint32_t(Number(keys, "vsc_ftl_build", 0)));
    return b;
}

std::vector<uint8_t> MakeMpInfo(const BlockKeys& keys) {
    std::vector<uint8_t> b(kBlock, 0);
    PutText(b, 88, 8, Text(keys, "vsc_mp_header_version"));
    PutLe16(&b[280], uint32_t(Number(keys, "vsc_mp_format", 1768)));
    PutLe16(&b[288], uint32_t(Number(keys, "vsc_pg", 2304)));
    const uint64_t ch = Number(keys, "vsc_ch", 4);
    const uint64_t ce = Number(keys, "vsc_ce", 2);
    b[295] = uint8_t(ch);
    b[296] = uint8_t(ce);
    b[297] = uint8_t(Number(keys, "vsc_lun", 2));
    b[298] = uint8_t(Number(keys, "vsc_pln", 2));
    std::vector<uint8_t> table = HexBytes(Param(keys, "vsc_nand_table"));
    if (table.empty()) {
        const std::vector<uint8_t> id = NandId(keys);
        for (uint64_t i = 0; i < ch * ce && i < 32; ++i) {
            table.insert(table.end(), id.begin(), id.end());
        }
    }
    const size_t room = 1582 - 1352;
    std::memcpy(&b[1352], table.data(), std::min(table.size(), room));
    PutLe16(&b[1582], uint32_t(Number(keys, "vsc_mp_soc_id", Number(keys, "vsc_soc_id", 0x5016))));
    PutText(b, 1606, 10, Text(keys, "vsc_mp_version"));
    return b;
}

std::vector<uint8_t> MakeFwConfig(const BlockKeys& keys) {
    std::vector<uint8_t> b(kBlock, 0);
    PutText(b, 1064, 8, Text(keys, "vsc_fw_version"));
    return b;
}

class ZeltarixCommandSet : public NvmeCommandSet {
public:
    explicit ZeltarixCommandSet(int generation) : generation_(generation) {}

    bool Handles(uint8_t opcode) const override {
        switch (opcode) {
        case 0xFC: // unlock
        case 0xF2: // MP information read
        case 0xF1: // MP information write
            return true;
        case 0xE6: // generation 0: Drive information and FW configuration read
        case 0xE5: // generation 0: FW configuration write
            return generation_ == 0;
        case 0xFE: // generation 1: every read
        case 0xFD: // generation 1: FW configuration write
            return generation_ == 1;
        default:
            return false;
        }
    }

    NvmeCompletion Execute(NvmeDrive& drive, const NvmeAdminRequest& r) override {
        const uint32_t* cdw = r.cmd.cdw;
        if (r.cmd.Nsid() != kNvmeNsidAll) {
            return Refuse(nvme_status::kInvalidNamespace, "vendor command: NSID must be FFFFFFFF");
        }
        // CDW10: the transfer in dwords, not zero-based.
        if (uint64_t(cdw[10]) * 4 != r.length) {
            return Refuse(nvme_status::kInvalidField,
                          "vendor command: CDW10 must count the dwords moved");
        }
        const uint8_t op = r.cmd.Opcode();
        if (op == 0xFC) {
            if (r.length != 0 || cdw[12] != 0x1F || cdw[13] != kUnlockCode || cdw[14] != 1) {
                return Refuse(nvme_status::kInvalidField,
                              "unlock: no data, CDW12 1F, CDW13 the unlock code, CDW14 1");
            }
            unlocked_ = true;
            return Ok();
        }
        if (Param(drive, "vsc_unlock") == "required" && !unlocked_) {
            return Refuse(kSequenceError, "vendor command: the drive is not unlocked");
        }
        if (r.length != kBlock) {
            return Refuse(nvme_status::kInvalidField,
                          "vendor command: the block must be 4096 bytes");
        }
        const bool signed_ = cdw[14] == kSigLow && cdw[15] == kSigHigh;
        switch (op) {
        case 0xE6: // generation 0 read: CDW12 3 Drive information, 1 FW configuration
            if (cdw[13] != 0 || !signed_) {
                break;
            }
            if (cdw[12] == 3) {
                return Read(drive, "drvinfo", r);
            }
            if (cdw[12] == 1) {
                return Read(drive, "fwconfig", r);
            }
            break;
        case 0xE5: // generation 0 FW configuration write, check value in CDW14
            if (cdw[12] == 1 && cdw[13] == 0 && cdw[15] == 0) {
                return WriteConfig(drive, r, cdw[14]);
            }
            break;
        case 0xFE: // generation 1 read
            if (cdw[12] == 0x82 && cdw[14] == 0 && cdw[15] == 0) {
                if (cdw[13] == 3) {
                    return Read(drive, "drvinfo", r);
                }
                if (cdw[13] == 1) {
                    return Read(drive, "fwconfig", r);
                }
            }
            if (cdw[12] == 0x63 && cdw[13] == 0 && signed_) {
                return Read(drive, "mpinfo", r);
            }
            break;
        case 0xFD: // generation 1 FW configuration write, check value in CDW15
            if (cdw[12] == 0x81 && cdw[13] == 1 && cdw[14] == 0) {
                return WriteConfig(drive, r, cdw[15]);
            }
            break;
        case 0xF2: // MP information read, both generations
            if (cdw[12] == 0 && cdw[13] == 0 && signed_) {
                return Read(drive, "mpinfo", r);
            }
            break;
        case 0xF1: // MP information write, both generations
            if (cdw[12] == 0 && cdw[13] == 0 && signed_) {
                // The drive stores the block as written, all of it: a host that sends zeros
                // beyond the header wipes the geometry, NAND table, SOC id and version that
                // identify the drive.
                Block(drive, "mpinfo").assign(r.data, r.data + kBlock);
                return Ok();
            }
            break;
        default:
            break;
        }
        return Refuse(nvme_status::kInvalidField,
                      "vendor command: CDW12 to CDW15 name no block of the opcode");
    }

    void OnReset(NvmeDrive& drive) override {
        (void)drive;
        unlocked_ = false;
    }

    // The new firmware reports its version in the Drive information block (with its FTL build
    // number) and, in the layout of format 1768, in the MP information block, and runs with
    // the FW configuration block its image carries.
    void OnFirmwareStart(NvmeDrive& drive, const FirmwareImage& image) override {
        if (!image.version.empty()) {
            std::vector<uint8_t>& info = Block(drive, "drvinfo");
            if (info[0] == 0x5A) {
                PutText(info, 32, 8, image.version);
                if (image.hasFtlBuild) {
                    PutLe32(&info[72], image.ftlBuild);
                }
            }
            std::vector<uint8_t>& mp = Block(drive, "mpinfo");
            if ((mp[280] | mp[281] << 8) == kMpFormat1768) {
                PutText(mp, 1606, 10, image.version);
            }
        }
        if (image.config.size() == kBlock) {
            Block(drive, "fwconfig") = image.config;
        }
    }

private:
    static NvmeCompletion Ok() { return NvmeCompletion::Of(nvme_status::kSuccess); }

    // A vendor command the drive refuses, with the reason noted (sim/refusal.h).
    static NvmeCompletion Refuse(NvmeStatus status, const char* reason) {
        NoteRefusal("NVMe drive", reason);
        return NvmeCompletion::Of(status);
    }

    // The named block of the drive's state, made from the scenario keys on first use.
    static std::vector<uint8_t>& Block(NvmeDrive& drive, const std::string& name) {
        auto& blocks = drive.State().blocks;
        auto it = blocks.find(name);
        if (it == blocks.end() || it->second.size() != kBlock) {
            std::vector<uint8_t> made =
                MakeZeltarixBlock(name, drive.State().params, drive.State().firmware);
            if (it != blocks.end()) {
                made = it->second;
                made.resize(kBlock, 0);
            }
            it = blocks.insert_or_assign(name, made).first;
        }
        return it->second;
    }

    static NvmeCompletion Read(NvmeDrive& drive, const std::string& name,
                               const NvmeAdminRequest& r) {
        const std::vector<uint8_t>& block = Block(drive, name);
        std::memcpy(r.data, block.data(), kBlock);
        return Ok();
    }

    // The block is taken only when the check value is its CRC under the drive's checksum kind.
    static NvmeCompletion WriteConfig(NvmeDrive& drive, const NvmeAdminRequest& r,
                                      uint32_t checkValue) {
        const int kind = Param(drive, "vsc_checksum") == "crc32c" ? 1 : 0;
        if (SimCrc(r.data, kBlock, kind) != checkValue) {
            return Refuse(nvme_status::kInvalidField,
                          "FW configuration write: the check value is not the block's CRC");
        }
        Block(drive, "fwconfig").assign(r.data, r.data + kBlock);
        return Ok();
    }

    int generation_;
    bool unlocked_ = false;
};

} // namespace

std::vector<uint8_t> MakeZeltarixBlock(const std::string& name,
                                       const std::map<std::string, std::string>& params,
                                       const std::string& firmware) {
    const BlockKeys keys{params, firmware};
    return name == "drvinfo"  ? MakeDrvInfo(keys)
           : name == "mpinfo" ? MakeMpInfo(keys)
                              : MakeFwConfig(keys);
}

std::unique_ptr<NvmeCommandSet> MakeZeltarixCommandSet(int generation) {
    return std::make_unique<ZeltarixCommandSet>(generation);
}

} // namespace sim
