// The SATA firmware download on the simulated PC: the DOWNLOAD MICROCODE pieces in order with
// their offsets, the progress reported, the retries and pauses, an empty and an oversized image,
// a disk that vanishes, and the drive running the image it was given, on every SATA transport.
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_discovery.h"
#include "disklib/sata/sata_reflash.h"
#include "platform/posix/control.h"
#include "tests/sata/sata_fixture.h"
#include "tools/zxpkg/image_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using satatest::Field;
using satatest::Record;
using testsupport::SataDisk;

// A CMFG image of `pages` pages (header, regions 1 / 2 / 3..pages-2, trailer) of version
// 051s0108 and FTL build number 0x00020001.
std::vector<uint8_t> Image(uint32_t pages) {
    zxpkg::ImageRecipe recipe;
    recipe.versionParts = {"05", "1s", "01", "08"};
    recipe.ftlBuildNumber = 0x00020001;
    recipe.checksumKind = 1;
    recipe.regions[0][0] = 1;
    recipe.regions[0][1] = 1;
    recipe.regions[1][0] = 2;
    recipe.regions[1][1] = 2;
    recipe.regions[2][0] = 3;
    recipe.regions[2][1] = pages - 2;
    EXPECT_EQ(zxpkg::ValidateImageRecipe(recipe), "");
    return zxpkg::BuildImage(recipe);
}

class SataReflashTest : public satatest::SataTest {
protected:
    void SetUp() override {
        satatest::SataTest::SetUp();
        zxposix::SetClockSpeed(1000.0);
    }
    void TearDown() override {
        if (disk_ != INVALID_HANDLE_VALUE) {
            CloseHandle(disk_);
        }
        zxposix::SetClockSpeed(1.0);
        satatest::SataTest::TearDown();
    }

    // Loads the scenario and opens drive 2 for commands.
    void Open(const std::string& scenario) {
        Load(scenario);
        memset(&context_, 0, sizeof(context_));
        disk_ = OpenDiskForCommands(L"\\\\.\\PhysicalDrive2", &context_);
        ASSERT_NE(disk_, INVALID_HANDLE_VALUE);
    }

    int Reflash(const std::vector<uint8_t>& image, uint32_t length) {
        return DISKLIB_SATA_Reflash(&context_, disk_, image.data(), length);
    }

    std::vector<uint8_t> Staged() {
        std::vector<uint8_t> staged;
        EXPECT_TRUE(sim::WithAtaDrive("d", [&](sim::AtaDrive& d) { staged = d.State().staging; }));
        return staged;
    }

    CommandContext context_;
    HANDLE disk_ = INVALID_HANDLE_VALUE;
};

// DOWNLOAD MICROCODE of one 4096-byte piece on the ATA path: AtaFlags 5, FEATURES 3, SECTOR
// COUNT 8, LBA 0, device 0x40, command 0x92.
TEST_F(SataReflashTest, A4096ByteImageIsOneCommandWithoutProgress) {
    Open(SataDisk("d", 2));
    const std::vector<uint8_t> image = Image(5);
    StartTrace();
    EXPECT_EQ(Reflash(image, 4096), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_ATA_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(trace[0], "ata_flags"), "5");
    EXPECT_EQ(Field(trace[0], "transfer_len"), "4096");
    EXPECT_EQ(Field(trace[0], "prev_tf"), "0000000000000000");
    EXPECT_EQ(Field(trace[0], "cur_tf"), "0308000000409200");
    EXPECT_EQ(Field(trace[0], "status"), "64");
    EXPECT_TRUE(testsupport::Reported().empty());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_SATA_Reflash IN",
                                                    "DISKLIB_SATA_Reflash Success OUT"}));
    EXPECT_EQ(Staged(), std::vector<uint8_t>(image.begin(), image.begin() + 4096));
}

// 8192 bytes: two commands at block offsets 0 and 8 (LBA 0 and 2048), one progress of 50.
TEST_F(SataReflashTest, An8192ByteImageIsTwoCommandsAndOneProgressOf50) {
    Open(SataDisk("d", 2));
    const std::vector<uint8_t> image = Image(5);
    StartTrace();
    EXPECT_EQ(Reflash(image, 8192), DISKLIB_OK);
    EXPECT_EQ(satatest::Summaries(Trace()),
              (std::vector<std::string>{"IOCTL_ATA_PASS_THROUGH_DIRECT 0308000000409200",
                                        "IOCTL_ATA_PASS_THROUGH_DIRECT 0308000800409200"}));
    EXPECT_EQ(testsupport::Reported(), (std::vector<int>{50}));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_SATA_Reflash IN", "DownloadFW  50%",
                                                    "DISKLIB_SATA_Reflash Success OUT"}));
    EXPECT_EQ(Staged(), std::vector<uint8_t>(image.begin(), image.begin() + 8192));
}

TEST_F(SataReflashTest, AnEmptyImageSendsNothing) {
    Open(SataDisk("d", 2));
    StartTrace();
    EXPECT_EQ(DISKLIB_SATA_Reflash(&context_, disk_, nullptr, 0), DISKLIB_OK);
    EXPECT_TRUE(Trace().empty());
    EXPECT_TRUE(testsupport::Reported().empty());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_SATA_Reflash IN",
                                                    "DISKLIB_SATA_Reflash Success OUT"}));
}

// Block offsets travel in 16 bits: an image past 65536 blocks is refused before any piece.
TEST_F(SataReflashTest, AnImageBeyondTheOffsetsIsRefusedBeforeAnyPiece) {
    Open(SataDisk("d", 2));
    const std::vector<uint8_t> image(0x10000u * 512u + 4096u, 0);
    StartTrace();
    EXPECT_EQ(Reflash(image, uint32_t(image.size())), DISKLIB_ERR_IO);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_SATA_Reflash IN"}));
}

// A whole image over each transport: ten pieces at block offsets 0, 8, ... 72, progress 10 to
// 90, and the drive runs the image at once: IDENTIFY reports its version afterwards.
TEST_F(SataReflashTest, TheDriveRunsAWholeImageOnEveryTransport) {
    const struct {
        const char* what;
        std::string scenario;
        const char* first;
        const char* last;
    } cases[] = {
        {"AHCI", SataDisk("d", 2), "IOCTL_ATA_PASS_THROUGH_DIRECT 0308000000409200",
         "IOCTL_ATA_PASS_THROUGH_DIRECT 0308004800409200"},
        {"USB", testsupport::UsbSataDisk("d", 2, 3),
         "IOCTL_SCSI_PASS_THROUGH_DIRECT a10a06030800000040920000",
         "IOCTL_SCSI_PASS_THROUGH_DIRECT a10a06030800480040920000"},
        {"SAS", testsupport::SasSataDisk("d", 2),
         "IOCTL_SCSI_PASS_THROUGH_DIRECT a10a06030800000040920000",
         "IOCTL_SCSI_PASS_THROUGH_DIRECT a10a06030800480040920000"},
    };
    const std::vector<uint8_t> image = Image(10);
    ASSERT_EQ(image.size(), 40960u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Open(c.scenario);
        testsupport::Reported().clear();
        StartTrace();
        EXPECT_EQ(Reflash(image, uint32_t(image.size())), DISKLIB_OK);
        const std::vector<std::string> sent = satatest::Summaries(Trace());
        ASSERT_EQ(sent.size(), 10u);
        EXPECT_EQ(sent.front(), c.first);
        EXPECT_EQ(sent.back(), c.last);
        EXPECT_EQ(testsupport::Reported(), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90}));
        EXPECT_TRUE(Staged().empty());
        CloseHandle(disk_);
        disk_ = INVALID_HANDLE_VALUE;
        DiskRecord r;
        ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive2", &r), DISKLIB_OK);
        EXPECT_STREQ(r.FirmwareRev, L"051s0108");
        EXPECT_STREQ(r.DrvInfoVersion, L"051s0108");
    }
}

// A piece the drive aborts is sent again, 100 ms later, with a Retry line, at most twice; the
// third failure ends the download with -4. On a CMD_SATA disk the abort comes back in the ATA
// status: the piece reached the drive, so it is not sent again in the SAT form, and the retries
// are the download's own.
TEST_F(SataReflashTest, AFailedPieceIsSentAgainTwice100MsApart) {
    const struct {
        const char* what;
        std::string scenario;
        int result;
        size_t requests;
        std::vector<std::string> log;
        uint64_t pausedMs;
    } cases[] = {
        {"USB, fails once",
         testsupport::UsbSataDisk("d", 2, 3, "faults = ata_fail:0x92*1"),
         DISKLIB_OK,
         2,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Error, Retry 1",
          "DISKLIB_SATA_Reflash Success OUT"},
         110},
        {"USB, fails twice",
         testsupport::UsbSataDisk("d", 2, 3, "faults = ata_fail:0x92*2"),
         DISKLIB_OK,
         3,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Error, Retry 1",
          "DISKLIB_SATA_Reflash Error, Retry 2", "DISKLIB_SATA_Reflash Success OUT"},
         210},
        {"USB, fails always",
         testsupport::UsbSataDisk("d", 2, 3, "faults = ata_fail:0x92"),
         DISKLIB_ERR_IO,
         3,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Error, Retry 1",
          "DISKLIB_SATA_Reflash Error, Retry 2"},
         200},
        {"AHCI, fails once",
         SataDisk("d", 2, "faults = ata_fail:0x92*1"),
         DISKLIB_OK,
         2,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Error, Retry 1",
          "DISKLIB_SATA_Reflash Success OUT"},
         110},
        {"AHCI, fails twice",
         SataDisk("d", 2, "faults = ata_fail:0x92*2"),
         DISKLIB_OK,
         3,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Error, Retry 1",
          "DISKLIB_SATA_Reflash Error, Retry 2", "DISKLIB_SATA_Reflash Success OUT"},
         210},
        // the ATA pass-through call itself fails: the piece did not reach the drive and goes
        // once more in the SAT form
        {"AHCI, the call fails once",
         SataDisk("d", 2, "faults = ioctl_fail:IOCTL_ATA_PASS_THROUGH_DIRECT*1"),
         DISKLIB_OK,
         2,
         {"DISKLIB_SATA_Reflash IN", "DISKLIB_SATA_Reflash Success OUT"},
         10},
    };
    const std::vector<uint8_t> image = Image(5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Open(c.scenario);
        StartTrace();
        const uint64_t start = GetTickCount64();
        EXPECT_EQ(Reflash(image, 4096), c.result);
        EXPECT_GE(GetTickCount64() - start, c.pausedMs);
        EXPECT_EQ(Trace().size(), c.requests);
        EXPECT_EQ(LogLines(), c.log);
        CloseHandle(disk_);
        disk_ = INVALID_HANDLE_VALUE;
    }
}

// DRQ in the status after the last piece: the drive has taken it (and runs the new image), so
// it is sent again neither in the SAT form nor as a retry, and the download succeeds.
TEST_F(SataReflashTest, DrqAfterThePieceTheDriveTookIsNotSentAgain) {
    Open(SataDisk("d", 2, "faults = ata_drq@4*1"));
    const std::vector<uint8_t> image = Image(5);
    StartTrace();
    EXPECT_EQ(Reflash(image, uint32_t(image.size())), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(satatest::Summary(trace[4]), "IOCTL_ATA_PASS_THROUGH_DIRECT 0308002000409200");
    EXPECT_EQ(Field(trace[4], "status"), "72"); // 48h: DRDY and DRQ
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"DISKLIB_SATA_Reflash IN", "DownloadFW  20%",
                                        "DownloadFW  40%", "DownloadFW  60%", "DownloadFW  80%",
                                        "DISKLIB_SATA_Reflash Success OUT"}));
    std::string running;
    ASSERT_TRUE(
        sim::WithAtaDrive("d", [&](sim::AtaDrive& drive) { running = drive.State().firmware; }));
    EXPECT_EQ(running, "051s0108");
}

// A disk that leaves the PC during the download: the piece at that offset and both retries fail
// on the dead handle, and the download ends with -4 after the progress it had reached.
TEST_F(SataReflashTest, ADiskThatVanishesEndsTheDownload) {
    Open(SataDisk("d", 2, "faults = ata_vanish:0x92@5"));
    const std::vector<uint8_t> image = Image(10);
    StartTrace();
    EXPECT_EQ(Reflash(image, uint32_t(image.size())), DISKLIB_ERR_IO);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 5u + 6u); // five pieces, then three tries of ATA and SAT each
    EXPECT_EQ(satatest::Summary(trace[5]), "IOCTL_ATA_PASS_THROUGH_DIRECT failed 0308002800409200");
    EXPECT_EQ(Field(trace[5], "error"), "433"); // ERROR_NO_SUCH_DEVICE
    EXPECT_EQ(testsupport::Reported(), (std::vector<int>{10, 20, 30, 40, 50}));
    EXPECT_FALSE(sim::IsPresent("d"));
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[6], "DISKLIB_SATA_Reflash Error, Retry 1");
    EXPECT_EQ(log[7], "DISKLIB_SATA_Reflash Error, Retry 2");
}

} // namespace
