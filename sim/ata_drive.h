// The ATA drive model of the simulated PC's SATA disks: one SATA SSD answering the commands the
// way a drive does. Both ways to the drive (IOCTL_ATA_PASS_THROUGH_DIRECT on storahci, and the
// SAT ATA PASS-THROUGH CDBs that storahci, a USB-to-SATA bridge or a SAS adapter translate)
// hand it an AtaRequest: the command registers, whether the 48-bit form was used, and the data
// buffer the host side offers. It answers with the status and output registers.
//
// Commands: IDENTIFY DEVICE (0xEC), READ SECTORS (0x20) and READ SECTORS EXT (0x24) (zeros),
// FLUSH CACHE (0xE7),
// the ZELTARIX vendor read 0xC3 (FEATURES 2 FW configuration, 3 Drive information, 4 MP
// information block) and vendor write 0xC2 (FEATURES 1, FW configuration block), 4096 bytes at
// LBA 0 each, and DOWNLOAD MICROCODE (0x92) with subcommand 3 (download with offsets, save and
// use at once). Everything else, and every command whose registers or data do not fit, is
// aborted: ERR in the status, ABRT in the error register.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

// Status and error register bits.
constexpr uint8_t kAtaStatusErr = 0x01;
constexpr uint8_t kAtaStatusDrq = 0x08;
constexpr uint8_t kAtaStatusDrdy = 0x40;
constexpr uint8_t kAtaErrorAbrt = 0x04;

// Commands the drive answers.
enum : uint8_t {
    kAtaReadSectors = 0x20,
    kAtaReadSectorsExt = 0x24,
    kAtaDownloadMicrocode = 0x92,
    kAtaVendorWrite = 0xC2,
    kAtaVendorRead = 0xC3,
    kAtaFlushCache = 0xE7,
    kAtaIdentifyDevice = 0xEC,
};

// Which way the host side moves data.
enum class AtaXfer : uint8_t { None, In, Out };

// The command registers as the host writes them (a 28-bit command uses the low 8 bits of
// features and count and LBA bits 0-27, bits 24-27 from the device register).
struct AtaRegisters {
    uint16_t features = 0;
    uint16_t count = 0;
    uint64_t lba = 0;
    uint8_t device = 0;
    uint8_t command = 0;
};

struct AtaRequest {
    AtaRegisters regs;
    bool ext = false; // the 48-bit form
    AtaXfer dir = AtaXfer::None;
    uint8_t* data = nullptr; // In: written to; Out: read from
    uint32_t length = 0;     // bytes the host side offers
};

// The drive's answer: status, error and the output registers; the bytes it moved.
struct AtaResult {
    uint8_t status = kAtaStatusDrdy;
    uint8_t error = 0;
    uint16_t count = 0;
    uint64_t lba = 0;
    uint8_t device = 0;
    uint32_t transferred = 0;
    bool Ok() const { return (status & (kAtaStatusErr | kAtaStatusDrq)) == 0; }
    static AtaResult Abort() {
        AtaResult r;
        r.status = kAtaStatusDrdy | kAtaStatusErr;
        r.error = kAtaErrorAbrt;
        return r;
    }
};

// Who the drive is and what it holds. Tests and tools read and change it through the control
// interface (sim/control.h).
struct AtaDriveState {
    std::string model;           // 40 characters in IDENTIFY
    std::string serial;          // 20 characters
    std::string firmware;        // 8 characters: the running firmware's revision
    uint64_t sectors = 0;        // words 100-103
    uint8_t linkSpeed = 3;       // word 77 bits 3-1: 1, 2 or 3 for 1.5, 3.0 and 6.0 Gb/s
    bool vendorCommands = false; // answers the ZELTARIX vendor read and write
    bool garbageIdentify = false;
    // DOWNLOAD MICROCODE blocks per command (IDENTIFY words 234 and 235).
    uint16_t microcodeMinBlocks = 1;
    uint16_t microcodeMaxBlocks = 128;
    // DOWNLOAD MICROCODE at all (word 83 bit 0) and its mode 3 with offsets (word 119 bit 4);
    // a drive without them aborts the command.
    bool microcode = true;
    bool microcodeOffsets = true;
    // Vendor blocks given whole or written ("drvinfo", "mpinfo", "fwconfig", 4096 bytes each);
    // a block not here is made from the `vsc_` keys in `params` and the running firmware.
    std::map<std::string, std::vector<uint8_t>> blocks;
    std::map<std::string, std::string> params;
    // The image assembled from DOWNLOAD MICROCODE pieces, the block offset the next piece must
    // have, and the count of images that have run.
    std::vector<uint8_t> staging;
    uint32_t nextBlockOffset = 0;
    uint32_t updates = 0;
};

class AtaDrive {
public:
    explicit AtaDrive(AtaDriveState state) : state_(std::move(state)) {}

    AtaResult Execute(const AtaRequest& request);

    AtaDriveState& State() { return state_; }
    const AtaDriveState& State() const { return state_; }

    void BuildIdentify(uint8_t* out512) const;
    // The named vendor block as the drive returns it now.
    std::vector<uint8_t> Block(const std::string& name) const;

private:
    AtaResult Identify(const AtaRequest& r);
    AtaResult ReadSectors(const AtaRequest& r);
    AtaResult VendorRead(const AtaRequest& r);
    AtaResult VendorWrite(const AtaRequest& r);
    AtaResult DownloadMicrocode(const AtaRequest& r);

    AtaDriveState state_;
};

} // namespace sim
