// The NVMe drive model: its checks (each refusal with its reason), its log pages, firmware slots
// and the vendor command seam.
#include "sim/nvme_drive.h"
#include "sim/refusal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

sim::NvmeDriveState State() {
    sim::NvmeDriveState s;
    s.vendorId = 0x1E5C;
    s.subsystemVendorId = 0x1E5C;
    s.model = "ZELTARIX ZX5016 1TB";
    s.serial = "ZX5016A0000000000001";
    s.firmware = "ZX16A100";
    s.namespaceBlocks = 1953525168;
    return s;
}

sim::NvmeCompletion Send(sim::NvmeDrive& d, uint32_t cdw0, uint32_t cdw10, sim::NvmeXfer dir,
                         std::vector<uint8_t>& data, uint32_t cdw11 = 0) {
    sim::NvmeAdminRequest r;
    r.cmd.cdw[0] = cdw0;
    r.cmd.cdw[1] = 0xFFFFFFFF;
    r.cmd.cdw[10] = cdw10;
    r.cmd.cdw[11] = cdw11;
    r.dir = dir;
    r.data = data.empty() ? nullptr : data.data();
    r.length = uint32_t(data.size());
    return d.Admin(r);
}

TEST(NvmeDrive, LogPageDwordCountMustMatchTheTransfer) {
    sim::NvmeDrive d(State());
    sim::TakeRefusal(); // what an earlier test of this thread left
    std::vector<uint8_t> page(4096, 0);
    EXPECT_TRUE(Send(d, 0x02, 0x03FF0005, sim::NvmeXfer::FromDevice, page).Ok());
    std::vector<uint8_t> small(512, 0);
    EXPECT_TRUE(Send(d, 0x02, 0x007F0005, sim::NvmeXfer::FromDevice, small).Ok());
    EXPECT_EQ(sim::TakeRefusal(), "");
    sim::NvmeCompletion c = Send(d, 0x02, 0x007F0005, sim::NvmeXfer::FromDevice, page);
    EXPECT_EQ(c.status.sc, 0x02); // invalid field
    EXPECT_EQ(sim::TakeRefusal(), "Get Log Page: NUMD must describe the bytes moved");
    c = Send(d, 0x02, 0x03FF0005, sim::NvmeXfer::ToDevice, page);
    EXPECT_EQ(c.status.sc, 0x02); // data against the opcode's direction
    EXPECT_EQ(sim::TakeRefusal(), "the data must move the way the opcode says");
    c = Send(d, 0x02, 0x03FF0077, sim::NvmeXfer::FromDevice, page);
    EXPECT_EQ(c.status.sct, 1);
    EXPECT_EQ(c.status.sc, 0x09); // invalid log page
    EXPECT_EQ(sim::TakeRefusal(), "Get Log Page: the drive has no such log");
    uint8_t completion[16];
    c.ToBytes(completion);
    EXPECT_EQ(completion[14], 0x12);
    EXPECT_EQ(completion[15], 0x02);
}

class TestCommandSet : public sim::NvmeCommandSet {
public:
    bool Handles(uint8_t opcode) const override { return opcode == 0xE6; }
    sim::NvmeCompletion Execute(sim::NvmeDrive&, const sim::NvmeAdminRequest& r) override {
        ++calls;
        std::memset(r.data, 0x5A, r.length);
        return sim::NvmeCompletion::Of(sim::nvme_status::kSuccess);
    }
    int calls = 0;
};

TEST(NvmeDrive, VendorCommandSetIsListedAndExecuted) {
    sim::NvmeDrive d(State());
    std::vector<uint8_t> effects(4096, 0);
    d.BuildEffectsLog(effects.data());
    EXPECT_EQ(effects[4 * 0xE6], 0);
    std::vector<uint8_t> block(4096, 0);
    EXPECT_EQ(Send(d, 0xE6, 1024, sim::NvmeXfer::FromDevice, block).status.sc, 0x01);
    EXPECT_EQ(sim::TakeRefusal(), "the drive does not know the opcode");
    auto set = std::make_unique<TestCommandSet>();
    TestCommandSet* raw = set.get();
    d.SetCommandSet(std::move(set));
    d.BuildEffectsLog(effects.data());
    EXPECT_EQ(effects[4 * 0xE6], 1);
    EXPECT_EQ(effects[4 * 0xE5], 0);
    EXPECT_TRUE(Send(d, 0xE6, 1024, sim::NvmeXfer::FromDevice, block).Ok());
    EXPECT_EQ(block[4095], 0x5A);
    EXPECT_EQ(raw->calls, 1);
}

TEST(NvmeDrive, FirmwareGoesIntoASlotAndRunsAfterReset) {
    sim::NvmeDrive d(State());
    d.SetFirmwareChecker([](const std::vector<uint8_t>& image) {
        sim::FirmwareCheck c;
        c.ok = image.size() == 8 && image[0] == 'C';
        c.refused = "not the test's image";
        c.image.revision = "ZX16A200";
        return c;
    });
    std::vector<uint8_t> none;
    std::vector<uint8_t> half = {'C', 'M', 'F', 'G'};
    std::vector<uint8_t> rest = {1, 2, 3, 4};
    // Commit with nothing downloaded, then a gap in the image.
    EXPECT_EQ(Send(d, 0x10, 0x09, sim::NvmeXfer::None, none).status.sc, 0x07);
    EXPECT_EQ(sim::TakeRefusal(), "Firmware Commit: no whole image was downloaded");
    EXPECT_TRUE(Send(d, 0x11, 0, sim::NvmeXfer::ToDevice, rest, 1).Ok());
    EXPECT_EQ(Send(d, 0x10, 0x09, sim::NvmeXfer::None, none).status.sc, 0x07);
    EXPECT_EQ(sim::TakeRefusal(), "Firmware Commit: no whole image was downloaded");
    // Pieces in any order; an overlap is refused; NUMD is zero-based.
    EXPECT_TRUE(Send(d, 0x11, 0, sim::NvmeXfer::ToDevice, rest, 1).Ok());
    EXPECT_EQ(Send(d, 0x11, 0, sim::NvmeXfer::ToDevice, rest, 1).status.sc, 0x14);
    EXPECT_EQ(sim::TakeRefusal(),
              "Firmware Image Download: the piece overlaps one downloaded before");
    EXPECT_EQ(Send(d, 0x11, 1, sim::NvmeXfer::ToDevice, half, 0).status.sc, 0x02);
    EXPECT_EQ(sim::TakeRefusal(), "Firmware Image Download: NUMD must describe the bytes moved");
    EXPECT_TRUE(Send(d, 0x11, 0, sim::NvmeXfer::ToDevice, half, 0).Ok());
    EXPECT_EQ(Send(d, 0x10, 0x0C, sim::NvmeXfer::None, none).status.sc, 0x06); // slot 4
    EXPECT_EQ(sim::TakeRefusal(), "Firmware Commit: the drive has no such slot");
    EXPECT_TRUE(Send(d, 0x10, 0x09, sim::NvmeXfer::None, none).Ok()); // slot 1, CA 1
    EXPECT_EQ(d.State().firmware, "ZX16A100");
    std::vector<uint8_t> slots(512, 0);
    EXPECT_TRUE(Send(d, 0x02, 0x007F0003, sim::NvmeXfer::FromDevice, slots).Ok());
    EXPECT_EQ(slots[0], 0x11); // running slot 1, next slot 1
    d.Reset(sim::NvmeReset::PowerCycle);
    EXPECT_EQ(d.State().firmware, "ZX16A200");
    std::vector<uint8_t> id(4096, 0);
    EXPECT_TRUE(Send(d, 0x06, 1, sim::NvmeXfer::FromDevice, id).Ok());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&id[64]), 8), "ZX16A200");
}

TEST(NvmeDrive, IdentifyChecksNamespaceAndLength) {
    sim::NvmeDrive d(State());
    std::vector<uint8_t> id(4096, 0);
    sim::NvmeAdminRequest r;
    r.cmd.cdw[0] = 0x06;
    r.cmd.cdw[1] = 2;
    r.dir = sim::NvmeXfer::FromDevice;
    r.data = id.data();
    r.length = 4096;
    EXPECT_EQ(d.Admin(r).status.sc, 0x0B); // namespace 2 does not exist
    EXPECT_EQ(sim::TakeRefusal(), "Identify Namespace: NSID must be 1 or FFFFFFFF");
    r.cmd.cdw[1] = 1;
    EXPECT_TRUE(d.Admin(r).Ok());
    EXPECT_EQ(id[130], 9);
    r.length = 512;
    EXPECT_EQ(d.Admin(r).status.sc, 0x04); // Identify moves 4096 bytes
    EXPECT_EQ(sim::TakeRefusal(), "the transfer must be the reply's size");
}

} // namespace

namespace {

TEST(NvmeDrive, AnImageTheCheckRefusesSaysWhy) {
    sim::NvmeDrive d(State());
    sim::TakeRefusal(); // what an earlier test of this thread left
    d.SetFirmwareChecker([](const std::vector<uint8_t>&) {
        sim::FirmwareCheck c;
        c.refused = "the image's checksum matches neither CRC-32 nor CRC-32C";
        return c;
    });
    std::vector<uint8_t> piece = {'C', 'M', 'F', 'G'};
    std::vector<uint8_t> none;
    EXPECT_TRUE(Send(d, 0x11, 0, sim::NvmeXfer::ToDevice, piece, 0).Ok());
    EXPECT_EQ(Send(d, 0x10, 0x09, sim::NvmeXfer::None, none).status.sc, 0x07);
    EXPECT_EQ(sim::TakeRefusal(),
              "Firmware Commit: the image's checksum matches neither CRC-32 nor CRC-32C");
    EXPECT_EQ(sim::TakeRefusal(), ""); // taken once
}

} // namespace

namespace {

// The command fields as the simulated drivers build them and the drive reads them, against the
// dwords of the standard's layout.
TEST(NvmeCommandFields, BuildersAndReadersAgreeWithTheStandardsLayout) {
    const sim::NvmeCommand log = sim::GetLogPageCommand(0x05, 4096, 0x100000200ull);
    EXPECT_EQ(log.cdw[0], 0x02u);
    EXPECT_EQ(log.cdw[1], 0xFFFFFFFFu);
    EXPECT_EQ(log.cdw[10], 0x03FF0005u);
    EXPECT_EQ(log.cdw[11], 0u);
    EXPECT_EQ(log.cdw[12], 0x200u);
    EXPECT_EQ(log.cdw[13], 1u);
    EXPECT_EQ(log.LogId(), 5u);
    EXPECT_EQ(log.LogPageBytes(), 4096u);
    EXPECT_EQ(log.LogPageOffset(), 0x100000200ull);
    sim::NvmeCommand big;
    big.cdw[10] = 0xFFFF0002;
    big.cdw[11] = 0x0001;
    EXPECT_EQ(big.LogPageBytes(), 0x80000u); // NUMDU 1, NUMDL FFFF: 0x20000 dwords
    EXPECT_EQ(sim::GetLogPageCommand(2, 0x80000, 0).cdw[11], 1u);

    const sim::NvmeCommand id = sim::IdentifyCommand(0x01, 0);
    EXPECT_EQ(id.cdw[0], 0x06u);
    EXPECT_EQ(id.cdw[10], 0x01u);
    EXPECT_EQ(id.Cns(), 1u);

    const sim::NvmeCommand download = sim::FirmwareDownloadCommand(4096, 8192);
    EXPECT_EQ(download.cdw[0], 0x11u);
    EXPECT_EQ(download.cdw[10], 0x3FFu);
    EXPECT_EQ(download.cdw[11], 0x800u);
    EXPECT_EQ(download.DownloadBytes(), 4096u);
    EXPECT_EQ(download.DownloadOffset(), 8192u);

    const sim::NvmeCommand commit = sim::FirmwareCommitCommand(1, sim::kCommitActivateNow);
    EXPECT_EQ(commit.cdw[0], 0x10u);
    EXPECT_EQ(commit.cdw[10], 0x19u);
    EXPECT_EQ(sim::FirmwareCommitCommand(1, sim::kCommitReplaceActivateAtReset).cdw[10], 0x09u);
    EXPECT_EQ(sim::FirmwareCommitCommand(2, sim::kCommitActivateAtReset).cdw[10], 0x12u);
    EXPECT_EQ(commit.CommitSlot(), 1u);
    EXPECT_EQ(commit.CommitAction(), 3u);
}

} // namespace
