// NVMe discovery on the simulated PC: the scan, the probe, the command-type detection, the
// re-finding of a disk by its port id, and zxsim scan's output on the default scenario.
#include "app/state/app_state.h"
#include "disklib/nvme_discovery.h"
#include "disklib/progress.h"
#include "platform/posix/control.h"
#include "tests/support/progress_capture.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

// One disk of a scenario: a ZELTARIX NVMe disk unless `extra` (lines "key = value") says
// otherwise.
std::string Disk(const std::string& name, int drive, const std::string& extra) {
    return testsupport::Section(name,
                                {{"kind", "nvme"},
                                 {"drive", std::to_string(drive)},
                                 {"model", "ZELTARIX ZX5016 1TB"},
                                 {"serial", "ZX5016A000000000000" + std::to_string(drive)},
                                 {"firmware", "041k0207"},
                                 {"vendor_id", "0x1E5C"},
                                 {"ssvid", "0x1E5C"},
                                 {"sectors", "1953525168"}},
                                extra);
}

std::string Nvme(const std::string& name, int drive, const std::string& extra) {
    return Disk(name, drive, extra);
}

// A request of the trace in short: the operation, which handle or path it went to, the control
// code and what tells the request apart (property id, NVMe opcode, miniport signature and
// NVMe opcode, CDB).
std::string Summary(const tracetest::Value& r, const std::string& disk, const std::string& port) {
    const std::string path = Field(r, "path");
    const std::string where = path == disk ? "disk" : path == port ? "port" : "interface";
    std::string line = Field(r, "op") + " " + where;
    if (Field(r, "op") == "DeviceIoControl") {
        const std::string ioctl = Field(r, "ioctl");
        line += " " + ioctl;
        if (ioctl == "IOCTL_STORAGE_QUERY_PROPERTY") {
            line += " " + std::to_string(Num(r, "property_id"));
        } else if (ioctl == "IOCTL_STORAGE_PROTOCOL_COMMAND") {
            line += " " + std::to_string(r.fields.at("cdw").items.at(0).U());
        } else if (ioctl == "IOCTL_SCSI_MINIPORT") {
            line += " " + Field(r, "signature") + " " + Field(r, "cmd").substr(0, 2);
        } else if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
            line += " " + Field(r, "cdb");
        }
    }
    return line;
}

class DiscoveryTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        testsupport::StartProgressCapture();
        InitAppState("/debug");
    }
    void TearDown() override {
        testsupport::StopProgressCapture();
        zxposix::SetClockSpeed(1.0);
        SimTest::TearDown();
    }

    std::vector<std::string> Summaries(const std::string& disk, const std::string& port) {
        std::vector<std::string> lines;
        for (const auto& r : Records()) {
            lines.push_back(Summary(r, disk, port));
        }
        return lines;
    }

    uint32_t Scan(DiskRecord* table, uint32_t capacity) {
        return DISKLIB_NVME_ScanDisks(table, capacity);
    }

    DiskRecord table_[DISK_TABLE_CAPACITY];
};

TEST(CapacityTest, IdemaRuleForBothSectorSizes) {
    EXPECT_EQ(CalcCapacityGB(512, 1953525168ull * 512), 1000u);
    EXPECT_EQ(CalcCapacityGB(512, 1000215216ull * 512), 512u);
    EXPECT_EQ(CalcCapacityGB(512, 31277232ull * 512), 16u);
    EXPECT_EQ(CalcCapacityGB(512, 29323728ull * 512), 15u);
    EXPECT_EQ(CalcCapacityGB(4096, 244190646ull * 4096), 1000u);
    EXPECT_EQ(CalcCapacityGB(512, 999999999ull), 0u);
    EXPECT_EQ(CalcCapacityGB(4096, 999999999ull), 0u);
    EXPECT_EQ(CalcCapacityGB(520, 2000000000ull), 2u); // other sizes: bytes / 10^9
    EXPECT_EQ(CalcCapacityGB(0, 2000000000ull), 0u);
}

TEST_F(DiscoveryTest, ScanListsWhatItCanReachAndMatchesVolumes) {
    Load(Nvme("sys", 0, "volumes = C D\nbus = 1") +       // holds C: and D:
         Nvme("zx16", 1, "sectors = 31277232\nbus = 2") + // exactly 16 GB
         Nvme("zx15", 2, "sectors = 29323728\nbus = 3") + // 15 GB: left out
         Nvme("far", 20, "bus = 4") +                     // never probed
         "[disk stick]\nkind = usb\ndrive = 3\nbridge = plain\nusb = 1/2\nsectors = 60063744\n"
         "volumes = E\n" +
         Nvme("other", 4, "vendor_id = 0x144D\nssvid = 0x144D\nbus = 5\nvolumes = F"));
    StartTrace();
    ASSERT_EQ(Scan(table_, DISK_TABLE_CAPACITY), 3u);

    EXPECT_STREQ(table_[0].DevicePath, L"\\\\.\\PhysicalDrive0");
    EXPECT_STREQ(table_[0].VolumeLetters, L"C: D: ");
    EXPECT_EQ(table_[0].bRaw, 0);
    EXPECT_EQ(table_[0].bSystemDisk, 1);
    EXPECT_STREQ(table_[1].DevicePath, L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(table_[1].iCapacityGB, 16u);
    EXPECT_STREQ(table_[1].VolumeLetters, L"");
    EXPECT_EQ(table_[1].bRaw, 1);
    EXPECT_EQ(table_[1].bSystemDisk, 0);
    EXPECT_STREQ(table_[2].DevicePath, L"\\\\.\\PhysicalDrive4");
    EXPECT_STREQ(table_[2].VolumeLetters, L"F: ");
    EXPECT_EQ(table_[2].bKnownController, 0);
    DiskRecord zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(memcmp(&table_[3], &zero, sizeof(zero)), 0); // entries past the count are zero

    // Drive numbers 0 to 19 are tried in order, then the letters C to Z; nothing of drive 20.
    std::vector<std::string> opened;
    for (const auto& r : Records()) {
        if (Field(r, "op") == "CreateFileW" && Field(r, "path").compare(0, 4, "\\\\.\\") == 0 &&
            Field(r, "path").find('#') == std::string::npos &&
            Field(r, "path").find("scsi") == std::string::npos) {
            opened.push_back(Field(r, "path"));
        }
    }
    std::vector<std::string> want;
    for (int n = 0; n < 20; ++n) {
        want.push_back("\\\\.\\PhysicalDrive" + std::to_string(n));
    }
    for (char c = 'C'; c <= 'Z'; ++c) {
        want.push_back(std::string("\\\\.\\") + c + ":");
    }
    EXPECT_EQ(opened, want);
}

TEST_F(DiscoveryTest, ScanStopsWhenTheTableIsFull) {
    Load(Nvme("a", 0, "bus = 1") + Nvme("b", 1, "bus = 2") + Nvme("c", 2, "bus = 3\nvolumes = D") +
         Nvme("d", 3, "bus = 4"));
    StartTrace();
    DiskRecord small[4];
    memset(small, 0x5A, sizeof(small));
    ASSERT_EQ(Scan(small, 2), 2u);
    EXPECT_STREQ(small[0].DevicePath, L"\\\\.\\PhysicalDrive0");
    EXPECT_STREQ(small[1].DevicePath, L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(small[2].DevicePath[0], static_cast<WCHAR>(0x5A5A5A5A)); // beyond the capacity
    EXPECT_STREQ(small[1].VolumeLetters, L"");

    // Drives 0 and 1 (each with its SCSI port), then the letters C to Z; nothing of drives 2
    // and 3. The device interfaces the service lookups open are left out.
    std::vector<std::string> opened;
    for (const auto& r : Records()) {
        if (Field(r, "op") == "CreateFileW" && Field(r, "path").find('#') == std::string::npos) {
            opened.push_back(Field(r, "path"));
        }
    }
    std::vector<std::string> want = {"\\\\.\\PhysicalDrive0",
                                     "\\\\.\\scsi0:", "\\\\.\\PhysicalDrive1", "\\\\.\\scsi1:"};
    for (char c = 'C'; c <= 'Z'; ++c) {
        want.push_back(std::string("\\\\.\\") + c + ":");
    }
    EXPECT_EQ(opened, want);
}

TEST_F(DiscoveryTest, CommandTypeFromBusTypeAndTheControllersService) {
    struct Case {
        std::string kind;
        std::string service;
        std::string busType;
        int expect;
    } cases[] = {
        {"rst", "iaStorAC", "17", CMD_RST},   {"rst", "IASTORVD", "17", CMD_RST},
        {"rst", "iastora", "17", CMD_RST},    {"nvme", "stornvme", "17", CMD_NVME},
        {"rst", "iaStorAC", "8", CMD_RST},    {"rst", "megasas", "8", CMD_NONE},
        {"nvme", "stornvme", "11", CMD_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind + " " + c.service + " on bus type " + c.busType);
        Load("[controller c]\nkind = " + c.kind + "\nservice = " + c.service + "\nbus = 1\n\n" +
             Disk("d", 1, "kind = " + c.kind + "\ncontroller = c\nbus_type = " + c.busType));
        CommandContext context;
        memset(&context, 0, sizeof(context));
        HANDLE h = DISKLIB_NVME_OpenDisk(L"\\\\.\\PhysicalDrive1", &context);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(context.iCmdType, c.expect);
        EXPECT_EQ(context.iBusType, static_cast<uint32_t>(std::stoul(c.busType)));
        CloseHandle(h);
        if (context.hScsiPort != INVALID_HANDLE_VALUE) {
            CloseHandle(context.hScsiPort);
        }
        DiskRecord r;
        EXPECT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r),
                  c.expect == CMD_NONE ? DISKLIB_ERR_UNSUPPORTED : DISKLIB_OK);
    }
}

TEST_F(DiscoveryTest, UnlockGoesToRstDisksOnEitherBusTypeAndToNoOther) {
    struct Case {
        std::string name;
        std::string scenario;
        int32_t cmdType;
        std::vector<std::string> want;
    };
    const std::string rst = "[controller c]\nkind = rst\nservice = iaStorAC\nbus = 1\n\n";
    const std::string raid = "[controller c]\nkind = rst\nservice = megasas\nbus = 1\n\n";
    // Up to the bus type every open sends the same requests.
    const std::vector<std::string> start = {
        "CreateFileW disk",
        "DeviceIoControl disk IOCTL_SCSI_GET_ADDRESS",
        "CreateFileW port",
        "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 0",
    };
    // The service of the disk's parent, read through the disk's device interface.
    const std::vector<std::string> service = {
        "CreateFileW interface",
        "DeviceIoControl interface IOCTL_STORAGE_GET_DEVICE_NUMBER",
    };
    auto join = [](std::vector<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto& p : parts) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    };
    // RST: the unlock 0xFC, then the log page 0x02 of the generation test, both through the
    // miniport on the SCSI port.
    const std::vector<std::string> rstVendor = {
        "DeviceIoControl port IOCTL_SCSI_MINIPORT IntelNvm fc",
        "DeviceIoControl port IOCTL_SCSI_MINIPORT IntelNvm 02",
    };
    const Case cases[] = {
        {"RAID bus, iaStor", rst + Disk("d", 1, "kind = rst\ncontroller = c\nbus_type = 8"),
         CMD_RST, join({start, service, rstVendor})},
        {"NVMe bus, iaStor", rst + Disk("d", 1, "kind = rst\ncontroller = c\nbus_type = 17"),
         CMD_RST, join({start, service, rstVendor})},
        // USB: INQUIRY, then the log page and the generation probe through the ASMedia tunnel;
        // no unlock.
        {"USB, ASMedia",
         Disk("d", 1,
              "kind = usb\nbridge = asmedia\nusb = 1/2\nvendor = ASMT\nproduct = 2362\nvsc = 1"),
         CMD_USB_ASM,
         join({start,
               {"DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "12000000260000000000000000000000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "ea5a8000010000000000000000400000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "eb5a8100010000000000000010000000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "eb5a8200010000000000000000100000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "ea5a8000010000000000000000400000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "eb5a8100010000000000000010000000",
                "DeviceIoControl disk IOCTL_SCSI_PASS_THROUGH_DIRECT "
                "eb5a8200010000000000000000100000"}})},
        // No transport: neither the unlock nor the log page is sent.
        {"RAID bus, other service", raid + Disk("d", 1, "kind = rst\ncontroller = c\nbus_type = 8"),
         CMD_NONE, join({start, service})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.scenario);
        StartTrace();
        CommandContext context;
        memset(&context, 0, sizeof(context));
        HANDLE h = DISKLIB_NVME_OpenDisk(L"\\\\.\\PhysicalDrive1", &context);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(context.iCmdType, c.cmdType);
        CloseHandle(h);
        if (context.hScsiPort != INVALID_HANDLE_VALUE) {
            CloseHandle(context.hScsiPort);
        }
        EXPECT_EQ(Summaries("\\\\.\\PhysicalDrive1", "\\\\.\\scsi0:"), c.want);
    }
}

TEST_F(DiscoveryTest, OpenOfANativeDiskSendsItsRequestsInOrder) {
    Load(Nvme("zx", 1, "bus = 2\nroot_bus = 1\nvsc = 1"));
    StartTrace();
    CommandContext context;
    memset(&context, 0, sizeof(context));
    HANDLE h = DISKLIB_NVME_OpenDisk(L"\\\\.\\PhysicalDrive1", &context);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(context.iCmdType, CMD_NVME);
    EXPECT_EQ(context.iBusType, 17u);
    EXPECT_EQ(context.iVSCType, 1u);
    EXPECT_NE(context.hScsiPort, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    CloseHandle(context.hScsiPort);

    const std::vector<std::string> got = Summaries("\\\\.\\PhysicalDrive1", "\\\\.\\scsi0:");
    std::vector<std::string> want = {
        "CreateFileW disk",
        "DeviceIoControl disk IOCTL_SCSI_GET_ADDRESS",
        "CreateFileW port",
        "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 0",       // bus type
        "CreateFileW interface",                                     // the disk's node,
        "DeviceIoControl interface IOCTL_STORAGE_GET_DEVICE_NUMBER", // for its parent's service
        "DeviceIoControl disk IOCTL_STORAGE_PROTOCOL_COMMAND 252",   // unlock 0xFC
        "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 50",      // log page 5
        "DeviceIoControl disk IOCTL_STORAGE_PROTOCOL_COMMAND 254",   // generation probe 0xFE
    };
    EXPECT_EQ(got, want);
    std::vector<std::string> log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "\\\\.\\PhysicalDrive1 iVSCType = 1, CmdType = 2");
}

TEST_F(DiscoveryTest, ProbeFillsTheRecord) {
    Load(Nvme("zx", 1,
              "bus = 2\nroot_bus = 1\nvsc = 1\nlink = 3,4,4,4\nmodel = \"  ZX Model\t\"\n"
              "firmware = \" 041k02 \"\nserial = \" SN 1 \"\nvsc_soc_id = 0x3C71\n"
              "vsc_nand_id = 9BC558713000\nvsc_lun = 4\nvsc_ftl_build = 0x00010203\n"
              "vsc_ch = 2\nvsc_ce = 4\nvsc_pln = 1\nvsc_pg = 1152\n"
              "vsc_drvinfo_version = 041k0207") +
         "[controller r]\nkind = rst\nservice = iaStorAC\nbus = 7\nroot_bus = 0\n\n"
         "[disk rst]\nkind = rst\ndrive = 2\ncontroller = r\nscsi_path = 1\nmodel = R\n"
         "serial = S\nfirmware = F\nvendor_id = 0x8086\nssvid = 0x8086\nsectors = 1000215216\n"
         "vsc = none\n");
    DiskRecord r;
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
    EXPECT_STREQ(r.DevicePath, L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(r.iCmdType, CMD_NVME);
    EXPECT_EQ(r.iBusType, 17u);
    EXPECT_EQ(r.iDriveNumber, 1u);
    EXPECT_EQ(r.iCapacityGB, 1000u);
    EXPECT_EQ(r.iSectorSize, 512u);
    EXPECT_EQ(r.iTotalSectors, 1953525168u);
    EXPECT_STREQ(r.Model, L"ZX Model");                    // trimmed
    EXPECT_STREQ(r.FirmwareRev, L"041k02");                // trimmed
    EXPECT_STREQ(r.SerialNumber, L" SN 1               "); // as reported, padded to 20
    EXPECT_EQ(r.iVendorId, 0x1E5Cu);
    EXPECT_EQ(r.iSubsystemVendorId, 0x1E5Cu);
    EXPECT_EQ(r.bRaw, 1);
    EXPECT_EQ(r.iSocId, 0x3C71u);
    EXPECT_EQ(r.bDrvInfoValid, 1);
    const uint8_t nand[6] = {0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00};
    EXPECT_EQ(memcmp(r.NandId, nand, 6), 0);
    EXPECT_EQ(r.iFtlBuildNum, 0x00010203u);
    EXPECT_STREQ(r.DrvInfoVersion, L"041k0207");
    EXPECT_EQ(r.bKnownController, 1);
    EXPECT_EQ(r.iPort, 9000000000000000101LL); // 9 x 10^18 + 99 x 1 + 2
    EXPECT_EQ(r.iLinkSpeed, 3);
    EXPECT_EQ(r.iLinkWidth, 4u);
    EXPECT_EQ(r.iMaxLinkSpeed, 4u);
    EXPECT_EQ(r.iMaxLinkWidth, 4u);
    // The probe's lines, in order: the open (unlock, generation test), the vendor blocks, the
    // port.
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "DISKLIB_NVME_UnlockVSC", "DISKLIB_NVME_VSC_GetVSCtype IN ",
                  "DISKLIB_NVME_GetLogPage IN", "DISKLIB_NVME_GetLogPage Success OUT ",
                  "DISKLIB_NVME_VSC_GetVSCtype Success OUT 1",
                  "\\\\.\\PhysicalDrive1 iVSCType = 1, CmdType = 2",
                  "DISKLIB_NVME_VSC_GetDrvInfo IN", "DISKLIB_NVME_VSC_GetDrvInfo Success OUT",
                  "DISKLIB_NVME_VSC_GetMPInfo IN", "DISKLIB_NVME_VSC_GetMPInfo Success OUT",
                  "\\\\.\\PhysicalDrive1 = ch:2, ce:4, lun:4, pln:1, pg:1152",
                  "---------- \\\\.\\PhysicalDrive1 - iCmdType = 2, iPort = 9000000000000000101"}));

    // Behind RST: no link information, and a maker's vendor id without SOC id is not ours.
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive2", &r), DISKLIB_OK);
    EXPECT_EQ(r.iCmdType, CMD_RST);
    EXPECT_EQ(r.iLinkSpeed, 0);
    EXPECT_EQ(r.iLinkWidth, 0u);
    EXPECT_EQ(r.bKnownController, 0);
    EXPECT_EQ(r.iPort, 9000000000000000007LL);
}

TEST_F(DiscoveryTest, KnownControllerByVendorIdOrSocId) {
    Load(Nvme("zx-nosoc", 1, "bus = 1\nvsc = none") +
         Nvme("foreign-soc", 2,
              "bus = 2\nvendor_id = 0x144D\nssvid = 0x144D\nvsc = 1\nvsc_soc_id = 0x3C71") +
         Nvme("foreign", 3, "bus = 3\nvendor_id = 0x144D\nssvid = 0x144D\nvsc = none"));
    DiskRecord r;
    // The maker's vendor id without a SOC id.
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
    EXPECT_EQ(r.iVendorId, 0x1E5Cu);
    EXPECT_EQ(r.iSocId, 0u);
    EXPECT_EQ(r.bKnownController, 1);
    // Another vendor id with the controller's SOC id.
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive2", &r), DISKLIB_OK);
    EXPECT_EQ(r.iVendorId, 0x144Du);
    EXPECT_EQ(r.iSocId, 0x3C71u);
    EXPECT_EQ(r.bKnownController, 1);
    // Neither.
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive3", &r), DISKLIB_OK);
    EXPECT_EQ(r.iVendorId, 0x144Du);
    EXPECT_EQ(r.iSocId, 0u);
    EXPECT_EQ(r.bKnownController, 0);
}

TEST_F(DiscoveryTest, ReFindByPortGivesUpAtOnceWhenTheDeviceNumberOrTheProbeFails) {
    Load(Nvme("zx", 1, "bus = 2\nroot_bus = 1\nvsc = 1"));
    DiskRecord r;
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);

    // The disk is found by its port, but its device number cannot be read.
    ASSERT_TRUE(sim::InjectFault("zx", "no_device_number*1"));
    StartTrace();
    DiskRecord again = r;
    EXPECT_EQ(GetDiskInfoByPortID(&again, 10), 0);
    // One attempt: the disk's interface, its bus type, the failed device number; no probe.
    auto records = Records();
    EXPECT_EQ(Summaries("\\\\.\\PhysicalDrive1", "\\\\.\\scsi0:"),
              (std::vector<std::string>{
                  "CreateFileW interface",
                  "DeviceIoControl interface IOCTL_STORAGE_QUERY_PROPERTY 0",
                  "DeviceIoControl interface IOCTL_STORAGE_GET_DEVICE_NUMBER",
              }));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().fields.at("ok").b, false);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "GetDiskInfoByPortID IN, iCmdType = 2, iBusType=17, iPort=9000000000000000101",
                  "[0] GetPortDeviceHandle 9000000000000000101, 9000000000000000101 Target"}));

    // The device number is read, but the probe fails (Identify Controller).
    ASSERT_TRUE(sim::InjectFault("zx", "nvme_fail:0x06*1"));
    StartTrace();
    again = r;
    EXPECT_EQ(GetDiskInfoByPortID(&again, 10), 0);
    // One attempt, one probe that ends at Identify Controller (property 49); then the disks are
    // looked at once more for a second one at the port, which might be the disk asked for (the
    // search for the next match opens the interfaces from the first: here only the disk itself,
    // whose match was taken). There is none, and the search gives up without a second attempt.
    records = Records();
    EXPECT_EQ(Summaries("\\\\.\\PhysicalDrive1", "\\\\.\\scsi0:"),
              (std::vector<std::string>{
                  "CreateFileW interface",
                  "DeviceIoControl interface IOCTL_STORAGE_QUERY_PROPERTY 0",
                  "DeviceIoControl interface IOCTL_STORAGE_GET_DEVICE_NUMBER",
                  "CreateFileW disk",
                  "DeviceIoControl disk IOCTL_SCSI_GET_ADDRESS",
                  "CreateFileW port",
                  "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 0",
                  "CreateFileW interface",
                  "DeviceIoControl interface IOCTL_STORAGE_GET_DEVICE_NUMBER",
                  "DeviceIoControl disk IOCTL_STORAGE_PROTOCOL_COMMAND 252",
                  "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 50",
                  "DeviceIoControl disk IOCTL_STORAGE_PROTOCOL_COMMAND 254",
                  "DeviceIoControl disk IOCTL_STORAGE_QUERY_PROPERTY 49",
                  "CreateFileW interface",
                  "DeviceIoControl interface IOCTL_STORAGE_QUERY_PROPERTY 0",
              }));
    // No success line.
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "GetDiskInfoByPortID IN, iCmdType = 2, iBusType=17, iPort=9000000000000000101",
                  "[0] GetPortDeviceHandle 9000000000000000101, 9000000000000000101 Target",
                  "DISKLIB_NVME_UnlockVSC", "DISKLIB_NVME_VSC_GetVSCtype IN ",
                  "DISKLIB_NVME_GetLogPage IN", "DISKLIB_NVME_GetLogPage Success OUT ",
                  "DISKLIB_NVME_VSC_GetVSCtype Success OUT 1",
                  "\\\\.\\PhysicalDrive1 iVSCType = 1, CmdType = 2"}));
}

TEST_F(DiscoveryTest, ProbeFailures) {
    Load(Nvme("locked", 1, "bus = 1\nfaults = open_fail") +
         Nvme("broken", 2, "bus = 2\nfaults = nvme_fail:0x06") +
         "[disk stick]\nkind = usb\ndrive = 3\nbridge = plain\nusb = 1/2\nsectors = 60063744\n");
    DiskRecord r;
    memset(&r, 0x5A, sizeof(r));
    EXPECT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_ERR_OPEN);
    EXPECT_EQ(r.DevicePath[0], 0); // zeroed first
    EXPECT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive2", &r), DISKLIB_ERR_IO);
    EXPECT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive3", &r), DISKLIB_ERR_UNSUPPORTED);
    EXPECT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive9", &r), DISKLIB_ERR_OPEN);
}

TEST_F(DiscoveryTest, ReFindByPortReportsEachMissedSecondAndFollowsANewDriveNumber) {
    Load(Nvme("zx", 1, "bus = 2\nroot_bus = 1\nvsc = 1"));
    DiskRecord r;
    ASSERT_EQ(DISKLIB_NVME_GetDiskInfo(L"\\\\.\\PhysicalDrive1", &r), DISKLIB_OK);
    EXPECT_TRUE(testsupport::Reported().empty()); // the probe reports nothing
    zxposix::SetClockSpeed(200.0);

    // Away for good: ten one-second attempts, each reported after it failed.
    ASSERT_TRUE(sim::RemoveDisk("zx"));
    uint64_t start = GetTickCount64();
    DiskRecord away = r;
    EXPECT_EQ(GetDiskInfoByPortID(&away, 10), 0);
    EXPECT_GE(GetTickCount64() - start, 10000u);
    EXPECT_EQ(testsupport::Reported(), (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));

    // Three attempts: the share is rounded down.
    testsupport::Reported().clear();
    EXPECT_EQ(GetDiskInfoByPortID(&away, 3), 0);
    EXPECT_EQ(testsupport::Reported(), (std::vector<int>{33, 66, 100}));

    // Back on the same port under another drive number: found at the first attempt.
    ASSERT_TRUE(sim::AddDisk("zx", 7));
    testsupport::Reported().clear();
    ClearLog();
    DiskRecord again = r;
    EXPECT_EQ(GetDiskInfoByPortID(&again, 10), 1);
    EXPECT_STREQ(again.DevicePath, L"\\\\.\\PhysicalDrive7");
    EXPECT_EQ(again.iDriveNumber, 7u);
    EXPECT_EQ(again.iPort, r.iPort);
    EXPECT_TRUE(testsupport::Reported().empty());
    std::vector<std::string> log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(),
              "GetDiskInfoByPortID IN, iCmdType = 2, iBusType=17, iPort=9000000000000000101");
    EXPECT_EQ(log.back(), "GetDiskInfoByPortID Success OUT");
}

} // namespace
