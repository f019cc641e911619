// The NVMe command fields of the disk library, each builder against the dword the standard's
// layout gives for the values the program sends.
#include "disklib/nvme_command.h"
#include "disklib/nvme_firmware.h"

#include <gtest/gtest.h>

namespace {

TEST(NvmeCommandFields, OpcodesAreTheStandardsAdminOpcodes) {
    EXPECT_EQ(NVME_ADMIN_GET_LOG_PAGE, 0x02);
    EXPECT_EQ(NVME_ADMIN_IDENTIFY, 0x06);
    EXPECT_EQ(NVME_ADMIN_FIRMWARE_COMMIT, 0x10);
    EXPECT_EQ(NVME_ADMIN_FIRMWARE_DOWNLOAD, 0x11);
    EXPECT_EQ(NVME_NSID_ALL, 0xFFFFFFFFu);
}

TEST(NvmeCommandFields, GetLogPageCdw10CarriesTheLogAndTheZeroBasedDwordCount) {
    const struct {
        uint32_t logId;
        uint32_t bytes;
        uint32_t cdw10;
    } rows[] = {
        {0x05, 4096, 0x03FF0005}, // Commands Supported and Effects
        {0x03, 512, 0x007F0003},  // Firmware Slot Information
        {0x02, 4, 0x00000002},
        {0x1FF, 8, 0x000100FF}, // the log identifier is 8 bits
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NvmeGetLogPageCdw10(row.logId, row.bytes), row.cdw10);
    }
}

TEST(NvmeCommandFields, FirmwareCommitCdw10CarriesSlotAndAction) {
    EXPECT_EQ(NvmeFirmwareCommitCdw10(1, 1), 0x09u);
    EXPECT_EQ(NvmeFirmwareCommitCdw10(2, 3), 0x1Au);
    EXPECT_EQ(NvmeFirmwareCommitCdw10(0, 2), 0x10u);
    EXPECT_EQ(NvmeFirmwareCommitCdw10(9, 9), 0x09u); // 3 bits each
    EXPECT_EQ(NvmeFirmwareCommitCdw10(NVME_UPDATE_SLOT, NVME_UPDATE_COMMIT_ACTION), 0x09u);
}

TEST(NvmeCommandFields, FirmwareDownloadNumdIsZeroBasedAndOfstCountsDwords) {
    EXPECT_EQ(NvmeFirmwareDownloadNumd(4096), 0x3FFu);
    EXPECT_EQ(NvmeFirmwareDownloadNumd(1808), 0x1C3u);
    EXPECT_EQ(NvmeFirmwareDownloadNumd(4), 0u);
    EXPECT_EQ(NvmeFirmwareDownloadOfst(0), 0u);
    EXPECT_EQ(NvmeFirmwareDownloadOfst(8192), 0x800u);
}

TEST(NvmeCommandFields, VendorCdw10CountsDwordsFromOne) {
    EXPECT_EQ(NvmeVendorCdw10(4096), 1024u);
    EXPECT_EQ(NvmeVendorCdw10(0), 0u);
}

} // namespace
