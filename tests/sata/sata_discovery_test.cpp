// SATA discovery on the simulated PC: the probe and its requests, the capacity rule, the disks
// left out, the scan's drive numbers and volume letters, the re-finding by port id with its
// progress, and zxsim scan --sata on the default scenario.
#include "disklib/sata/sata_discovery.h"
#include "platform/posix/control.h"
#include "tests/sata/sata_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using satatest::Field;
using satatest::Record;
using testsupport::SataDisk;

class SataProbeAndScanTest : public satatest::SataTest {
protected:
    void TearDown() override {
        zxposix::SetClockSpeed(1.0);
        satatest::SataTest::TearDown();
    }

    // The device paths opened, in order, without the device interfaces of the topology lookups.
    std::vector<std::string> Opened() {
        std::vector<std::string> opened;
        for (const Record& r : Trace()) {
            if (Field(r, "op") == "CreateFileW" &&
                Field(r, "path").find('#') == std::string::npos) {
                opened.push_back(Field(r, "path"));
            }
        }
        return opened;
    }

    static std::vector<std::string> DrivesThenVolumes(int drives) {
        std::vector<std::string> paths;
        for (int n = 0; n < drives; ++n) {
            paths.push_back("\\\\.\\PhysicalDrive" + std::to_string(n));
        }
        for (char c = 'C'; c <= 'Z'; ++c) {
            paths.push_back(std::string("\\\\.\\") + c + ":");
        }
        return paths;
    }

    DiskRecord table_[DISK_TABLE_CAPACITY];
};

TEST(SataCapacityTest, IdemaRuleForSectorsOf512Bytes) {
    EXPECT_EQ(SataCapacityGB(31277232), 16);
    EXPECT_EQ(SataCapacityGB(31277231), 15);
    EXPECT_EQ(SataCapacityGB(29323728), 15);
    EXPECT_EQ(SataCapacityGB(937703088), 480);
    EXPECT_EQ(SataCapacityGB(97696368), 50);
    EXPECT_EQ(SataCapacityGB(0), 0);                      // the division truncates towards 0
    EXPECT_EQ(SataCapacityGB(0x8000000000000000ull), -1); // no real drive's count
}

// The probe of a ZELTARIX disk on AHCI: the record's fields, the requests in order (open, bus
// type, IDENTIFY DEVICE, vendor reads 3 and 4 through the ATA pass-through, the SCSI address)
// and its two log lines.
TEST_F(SataProbeAndScanTest, ProbeFillsTheRecordFromIdentifyAndTheVendorBlocks) {
    Load(SataDisk("d", 1,
                  "model = ZELTARIX ZX3000 SATA 480GB   \nserial =   ZX3000G0000000000001\n"
                  "firmware = 051s010\nscsi_path = 3\nata_link = 2\nvsc_lun = 1\n"
                  "vsc_drvinfo_version = 051s0102"));
    StartTrace();
    DiskRecord r;
    memset(&r, 0x5A, sizeof(r));
    ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
    EXPECT_STREQ(r.DevicePath, L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(r.iCmdType, CMD_SATA);
    EXPECT_EQ(r.iBusType, 11u);
    EXPECT_EQ(r.iDriveNumber, 1u);
    EXPECT_STREQ(r.Model, L"ZELTARIX ZX3000 SATA 480GB");
    EXPECT_STREQ(r.SerialNumber, L"ZX3000G0000000000001");
    EXPECT_STREQ(r.FirmwareRev, L"051s010");
    EXPECT_EQ(r.iTotalSectors, 937703088u);
    EXPECT_EQ(r.iCapacityGB, 480u);
    EXPECT_EQ(r.iSectorSize, 512u);
    EXPECT_EQ(r.bRaw, 1);
    EXPECT_EQ(r.iLinkSpeed, 2);
    EXPECT_EQ(r.iSocId, 0x3A31u);
    EXPECT_EQ(r.bKnownController, 1);
    EXPECT_EQ(r.bDrvInfoValid, 1);
    const uint8_t nand[6] = {0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00};
    EXPECT_EQ(memcmp(r.NandId, nand, 6), 0);
    EXPECT_STREQ(r.DrvInfoVersion, L"051s0102");
    EXPECT_EQ(r.iFtlBuildNum, 0x00020001u);
    EXPECT_EQ(r.iLun, 1u);
    EXPECT_EQ(r.iPort, 3);
    EXPECT_STREQ(r.VolumeLetters, L"");
    EXPECT_EQ(r.iVendorId, 0u);
    EXPECT_EQ(r.iLinkWidth, 0u);
    EXPECT_EQ(satatest::Summaries(Trace()), (std::vector<std::string>{
                                                "CreateFileW \\\\.\\PhysicalDrive1",
                                                "IOCTL_STORAGE_QUERY_PROPERTY 0",
                                                "IOCTL_ATA_PASS_THROUGH_DIRECT 000100000040ec00",
                                                "IOCTL_ATA_PASS_THROUGH_DIRECT 030800000040c300",
                                                "IOCTL_ATA_PASS_THROUGH_DIRECT 040800000040c300",
                                                "IOCTL_SCSI_GET_ADDRESS",
                                            }));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "\\\\.\\PhysicalDrive1 = ch:4, ce:2, lun:1, pln:2, pg:2304",
                              "\\\\.\\PhysicalDrive1 - iCmdType = 16, iPort = 3",
                          }));
}

// Each speed of IDENTIFY word 77.
TEST_F(SataProbeAndScanTest, LinkSpeedFromWord77) {
    for (int speed = 1; speed <= 3; ++speed) {
        SCOPED_TRACE(speed);
        Load(SataDisk("d", 1, "ata_link = " + std::to_string(speed)));
        DiskRecord r;
        ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
        EXPECT_EQ(r.iLinkSpeed, speed);
    }
}

// A disk behind USB takes its port id from the USB path (root port 2 of controller 1: 102), one
// on SAS from its SCSI PathId.
TEST_F(SataProbeAndScanTest, PortIdOfUsbAndSasDisks) {
    Load(testsupport::UsbSataDisk("u", 3, 2) + testsupport::SasSataDisk("s", 4, "scsi_path = 7"));
    DiskRecord r;
    ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive3", &r), DISKLIB_OK);
    EXPECT_EQ(r.iCmdType, CMD_SATA_USB);
    EXPECT_EQ(r.iPort, 102);
    ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive4", &r), DISKLIB_OK);
    EXPECT_EQ(r.iCmdType, CMD_SATA_SCSI);
    EXPECT_EQ(r.iBusType, 10u);
    EXPECT_EQ(r.iPort, 7);
}

// Without a valid Drive information block, or with an MP information block of another format,
// the disk is still listed, with those fields left zero.
TEST_F(SataProbeAndScanTest, VendorBlocksThatDoNotCount) {
    const struct {
        const char* what;
        const char* extra;
        uint32_t socId;
        uint8_t drvInfoValid;
        uint32_t lun;
        const wchar_t* version;
    } cases[] = {
        {"no 5A", "vsc_drvinfo = no\nvsc_lun = 2", 0, 0, 2, L""},
        {"format 1768", "vsc_mp_format = 1768\nvsc_lun = 2", 0x3A31, 1, 0, L"051s0102"},
        {"no vendor commands", "vsc = none\nvsc_lun = 2", 0, 0, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(SataDisk("d", 1, c.extra));
        DiskRecord r;
        ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
        EXPECT_EQ(r.iSocId, c.socId);
        EXPECT_EQ(r.bKnownController, c.socId != 0 ? 1 : 0);
        EXPECT_EQ(r.bDrvInfoValid, c.drvInfoValid);
        EXPECT_EQ(r.iLun, c.lun);
        EXPECT_STREQ(r.DrvInfoVersion, c.version);
    }
}

// The probe's results: 16 GB (31,277,232 sectors) is listed, 15 GB (29,323,728) is not; a disk
// on a RAID or NVMe bus gives CMD_NONE and gets no ATA command; a failing IDENTIFY gives 0; a
// path that does not open -1. Every failure leaves the record zeroed.
TEST_F(SataProbeAndScanTest, ProbeResults) {
    const struct {
        const char* what;
        std::string scenario;
        const wchar_t* path;
        int result;
        size_t requests;
    } cases[] = {
        {"16 GB", SataDisk("d", 1, "sectors = 31277232"), L"\\\\.\\PhysicalDrive1", DISKLIB_OK, 6},
        {"15 GB", SataDisk("d", 1, "sectors = 29323728"), L"\\\\.\\PhysicalDrive1",
         DISKLIB_ERR_UNSUPPORTED, 3},
        {"RAID bus", SataDisk("d", 1, "bus_type = 8"), L"\\\\.\\PhysicalDrive1",
         DISKLIB_ERR_UNSUPPORTED, 2},
        {"NVMe bus", SataDisk("d", 1, "bus_type = 17"), L"\\\\.\\PhysicalDrive1",
         DISKLIB_ERR_UNSUPPORTED, 2},
        {"IDENTIFY fails", SataDisk("d", 1, "faults = ata_fail:0xec"), L"\\\\.\\PhysicalDrive1",
         DISKLIB_NEGATIVE, 4},
        {"no such drive", SataDisk("d", 1), L"\\\\.\\PhysicalDrive2", DISKLIB_ERR_OPEN, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(c.scenario);
        StartTrace();
        DiskRecord r;
        memset(&r, 0x5A, sizeof(r));
        EXPECT_EQ(ProbeSataDisk(c.path, &r), c.result);
        const auto trace = Trace();
        EXPECT_EQ(trace.size(), c.requests);
        if (c.result == DISKLIB_OK) {
            EXPECT_EQ(r.iCapacityGB, 16u);
        } else {
            DiskRecord zero;
            memset(&zero, 0, sizeof(zero));
            EXPECT_EQ(memcmp(&r, &zero, sizeof(r)), 0);
        }
        if (c.requests == 2) {
            EXPECT_EQ(Field(trace[1], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
        }
    }
}

// The scan: drive numbers 0 to 19 in order, then the letters C to Z; drive 20 is never opened;
// the disks left out free their record for the next one; volumes D and E give "D: E: ", C the
// system disk.
TEST_F(SataProbeAndScanTest, ScanListsTheUsableDisksAndMatchesTheirVolumes) {
    Load(SataDisk("sys", 0, "volumes = C") + SataDisk("small", 1, "sectors = 29323728") +
         SataDisk("data", 2, "volumes = D E") + SataDisk("raid", 3, "bus_type = 8\nvolumes = F") +
         testsupport::UsbSataDisk("usb", 4, 3) + SataDisk("far", 20));
    StartTrace();
    ASSERT_EQ(EnumerateSataDisks(table_, DISK_TABLE_CAPACITY), 3u);
    EXPECT_STREQ(table_[0].DevicePath, L"\\\\.\\PhysicalDrive0");
    EXPECT_STREQ(table_[0].VolumeLetters, L"C: ");
    EXPECT_EQ(table_[0].bSystemDisk, 1);
    EXPECT_EQ(table_[0].bRaw, 0);
    EXPECT_STREQ(table_[1].DevicePath, L"\\\\.\\PhysicalDrive2");
    EXPECT_STREQ(table_[1].VolumeLetters, L"D: E: ");
    EXPECT_EQ(table_[1].bSystemDisk, 0);
    EXPECT_EQ(table_[1].bRaw, 0);
    EXPECT_STREQ(table_[2].DevicePath, L"\\\\.\\PhysicalDrive4");
    EXPECT_EQ(table_[2].iCmdType, CMD_SATA_USB);
    EXPECT_STREQ(table_[2].VolumeLetters, L"");
    EXPECT_EQ(table_[2].bRaw, 1);
    DiskRecord zero;
    memset(&zero, 0, sizeof(zero));
    for (uint32_t i = 3; i < DISK_TABLE_CAPACITY; ++i) {
        EXPECT_EQ(memcmp(&table_[i], &zero, sizeof(zero)), 0) << "record " << i;
    }
    EXPECT_EQ(Opened(), DrivesThenVolumes(20));
}

// With a full table the drives after it are not probed, but the volumes are still matched to
// the disks in it.
TEST_F(SataProbeAndScanTest, AFullTableStillMatchesVolumes) {
    Load(SataDisk("a", 0) + SataDisk("b", 1, "volumes = D") + SataDisk("c", 2, "volumes = E"));
    StartTrace();
    DiskRecord small[3];
    memset(small, 0x5A, sizeof(small));
    ASSERT_EQ(EnumerateSataDisks(small, 2), 2u);
    EXPECT_STREQ(small[0].DevicePath, L"\\\\.\\PhysicalDrive0");
    EXPECT_STREQ(small[1].DevicePath, L"\\\\.\\PhysicalDrive1");
    EXPECT_STREQ(small[1].VolumeLetters, L"D: ");
    EXPECT_EQ(small[1].bRaw, 0);
    EXPECT_EQ(small[2].DevicePath[0], static_cast<WCHAR>(0x5A5A5A5A)); // beyond the capacity
    std::vector<std::string> want = {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1"};
    const std::vector<std::string> volumes = DrivesThenVolumes(0);
    want.insert(want.end(), volumes.begin(), volumes.end());
    EXPECT_EQ(Opened(), want);
}

// The re-find by port id: while the disk is away, ten one-second attempts, each reported after
// it failed (10, 20, ... 100); back under another drive number on the same port, found at the
// first attempt without a report, with the IN and Success OUT lines.
TEST_F(SataProbeAndScanTest, ReFindReportsEachMissedSecondAndFollowsANewDriveNumber) {
    const struct {
        const char* what;
        std::string scenario;
        int drive;
        const char* inLine;
    } cases[] = {
        {"AHCI", SataDisk("d", 1, "scsi_path = 2"), 1,
         "GetDiskInfoByPortID IN, iCmdType = 16, iPort=2"},
        {"USB", testsupport::UsbSataDisk("d", 1, 4), 1,
         "GetDiskInfoByPortID IN, iCmdType = 17, iPort=104"},
        {"SAS", testsupport::SasSataDisk("d", 1, "scsi_path = 5"), 1,
         "GetDiskInfoByPortID IN, iCmdType = 18, iPort=5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(c.scenario);
        zxposix::SetClockSpeed(1.0);
        DiskRecord found;
        ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive1", &found), DISKLIB_OK);
        zxposix::SetClockSpeed(500.0);
        testsupport::Reported().clear();

        ASSERT_TRUE(sim::RemoveDisk("d"));
        DiskRecord away = found;
        const uint64_t start = GetTickCount64();
        EXPECT_EQ(DISKLIB_SATA_GetDiskInfoByPortID(&away, 10), 0);
        EXPECT_GE(GetTickCount64() - start, 10000u);
        EXPECT_EQ(testsupport::Reported(),
                  (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));

        ASSERT_TRUE(sim::AddDisk("d", 7));
        testsupport::Reported().clear();
        StartTrace();
        DiskRecord again = found;
        EXPECT_EQ(DISKLIB_SATA_GetDiskInfoByPortID(&again, 10), 1);
        EXPECT_STREQ(again.DevicePath, L"\\\\.\\PhysicalDrive7");
        EXPECT_EQ(again.iDriveNumber, 7u);
        EXPECT_EQ(again.iPort, found.iPort);
        EXPECT_STREQ(again.Model, L"ZELTARIX ZX3000 SATA 480GB");
        EXPECT_TRUE(testsupport::Reported().empty());
        const std::vector<std::string> log = LogLines();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log.front(), c.inLine);
        EXPECT_EQ(log.back(), "GetDiskInfoByPortID Success OUT");
    }
}

// A disk found again whose probe fails ends the search at once, with the record zeroed.
TEST_F(SataProbeAndScanTest, ReFindEndsAtOnceWhenTheProbeFails) {
    Load(SataDisk("d", 1));
    DiskRecord r;
    ASSERT_EQ(ProbeSataDisk(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
    ASSERT_TRUE(sim::InjectFault("d", "ata_fail:0xec"));
    StartTrace();
    const uint64_t start = GetTickCount64();
    EXPECT_EQ(DISKLIB_SATA_GetDiskInfoByPortID(&r, 10), 0);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(r.DevicePath[0], 0);
    EXPECT_TRUE(testsupport::Reported().empty());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "GetDiskInfoByPortID IN, iCmdType = 16, iPort=0",
                              "[0] GetPortDeviceHandle 0, 0 Target",
                          }));
}

} // namespace
