// The NVMe admin commands of the simulated PC, named once: the opcodes, the submission entry, and
// each command's dword fields as the drive reads them and as the drivers build them, so that no
// file shifts a field by hand. Kept apart from the product's own names for the same fields
// (disklib/nvme_command.h) and written from the NVMe command layouts on their own, so that each
// side checks the other.
#pragma once

#include <cstdint>

namespace sim {

// Admin opcodes the drive itself answers.
enum : uint8_t {
    kNvmeDeleteSq = 0x00,
    kNvmeCreateSq = 0x01,
    kNvmeGetLogPage = 0x02,
    kNvmeDeleteCq = 0x04,
    kNvmeCreateCq = 0x05,
    kNvmeIdentify = 0x06,
    kNvmeAbort = 0x08,
    kNvmeSetFeatures = 0x09,
    kNvmeGetFeatures = 0x0A,
    kNvmeFirmwareCommit = 0x10,
    kNvmeFirmwareDownload = 0x11,
};

constexpr uint32_t kNvmeNsidAll = 0xFFFFFFFFu; // every namespace (and the controller)

// Identify CNS values.
constexpr uint32_t kNvmeCnsNamespace = 0x00;
constexpr uint32_t kNvmeCnsController = 0x01;
constexpr uint32_t kNvmeCnsActiveNamespaces = 0x02;

// Firmware Commit actions (CDW10 bits 5..3).
enum : uint32_t {
    kCommitReplace = 0,                // replace the slot's image with the downloaded one
    kCommitReplaceActivateAtReset = 1, // ... and run it after the next reset
    kCommitActivateAtReset = 2,        // run the image already in the slot after the next reset
    kCommitActivateNow = 3,            // run the slot's image now (a download replaces it first)
};

// A submission queue entry: 16 little-endian dwords.
struct NvmeCommand {
    uint32_t cdw[16] = {};
    static NvmeCommand FromBytes(const uint8_t* bytes64);
    void ToBytes(uint8_t* bytes64) const;
    uint8_t Opcode() const { return uint8_t(cdw[0] & 0xFF); }
    uint32_t Nsid() const { return cdw[1]; }

    // Identify: CNS in CDW10 bits 7..0.
    uint32_t Cns() const { return cdw[10] & 0xFF; }
    // Get Log Page: the log in CDW10 bits 7..0; NUMDL (CDW10 bits 31..16) and NUMDU (CDW11 bits
    // 15..0) a zero-based dword count; the offset in bytes in CDW12 (low) and CDW13 (high).
    uint32_t LogId() const { return cdw[10] & 0xFF; }
    uint64_t LogPageBytes() const {
        return ((uint64_t(cdw[11] & 0xFFFF) << 16 | cdw[10] >> 16) + 1) * 4;
    }
    uint64_t LogPageOffset() const { return uint64_t(cdw[13]) << 32 | cdw[12]; }
    // Firmware Image Download: NUMD (CDW10) zero-based, OFST (CDW11) in dwords.
    uint64_t DownloadBytes() const { return (uint64_t(cdw[10]) + 1) * 4; }
    uint64_t DownloadOffset() const { return uint64_t(cdw[11]) * 4; }
    // Firmware Commit: the slot in CDW10 bits 2..0, the action in bits 5..3.
    uint32_t CommitSlot() const { return cdw[10] & 7; }
    uint32_t CommitAction() const { return (cdw[10] >> 3) & 7; }
};

// The commands the simulated drivers build for a drive.
inline NvmeCommand IdentifyCommand(uint32_t cns, uint32_t nsid) {
    NvmeCommand c;
    c.cdw[0] = kNvmeIdentify;
    c.cdw[1] = nsid;
    c.cdw[10] = cns & 0xFF;
    return c;
}

inline NvmeCommand GetLogPageCommand(uint32_t logId, uint32_t bytes, uint64_t offset) {
    const uint32_t numd = bytes / 4 - 1;
    NvmeCommand c;
    c.cdw[0] = kNvmeGetLogPage;
    c.cdw[1] = kNvmeNsidAll;
    c.cdw[10] = (logId & 0xFF) | (numd & 0xFFFF) << 16;
    c.cdw[11] = numd >> 16;
    c.cdw[12] = uint32_t(offset);
    c.cdw[13] = uint32_t(offset >> 32);
    return c;
}

// A piece of whole dwords at a dword offset below 16 GiB.
inline NvmeCommand FirmwareDownloadCommand(uint64_t bytes, uint64_t offset) {
    NvmeCommand c;
    c.cdw[0] = kNvmeFirmwareDownload;
    c.cdw[10] = uint32_t(bytes / 4 - 1);
    c.cdw[11] = uint32_t(offset / 4);
    return c;
}

inline NvmeCommand FirmwareCommitCommand(uint32_t slot, uint32_t action) {
    NvmeCommand c;
    c.cdw[0] = kNvmeFirmwareCommit;
    c.cdw[10] = (slot & 7) | (action & 7) << 3;
    return c;
}

} // namespace sim
