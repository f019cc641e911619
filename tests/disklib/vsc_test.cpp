// The vendor command set on the simulated drives: generation test, unlock, the three vendor
// blocks and the Disk record's vendor fields, over the native, RST and bridge transports.
#include "disklib/nvme_vsc.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"
#include "tests/usb/pass_through_checks.h"

#include <cstring>

using testsupport::NativeDisk;
using testsupport::RstDisk;
using testsupport::UsbDisk;
using tracetest::Field;
using usbtest::Context;

namespace {

// CDW0..CDW15 of a native protocol command as the trace writes them.
std::string Cdw(const std::string& opcode, const std::string& cdw10, const std::string& cdw12to15) {
    return "[" + opcode + ",4294967295,0,0,0,0,0,0,0,0," + cdw10 + ",0," + cdw12to15 + "]";
}
const char kSig[] = "1481200193,1414284634"; // "ARIX", "ZELT"

// A vendor command block as the RST request carries it: opcode, NSID FFFFFFFF, the marker
// 6B716D77 in CDW2, CDW10, CDW12..CDW15.
std::string RstCmd(const std::string& opcode, const std::string& cdw10,
                   const std::string& cdw12to15) {
    return opcode +
           "000000"
           "ffffffff"
           "776d716b" +
           Zeros(28) + cdw10 + Zeros(4) + cdw12to15;
}
const char kSigHex[] = "415249585a454c54";

// A 4096-byte FW configuration block with "NEWVER01" at 1064: CRC-32 238862D6, CRC-32C 8C93080D.
std::vector<uint8_t> NewConfigBlock() {
    std::vector<uint8_t> b(4096, 0);
    memcpy(&b[1064], "NEWVER01", 8);
    return b;
}
const uint32_t kConfigCrc32 = 0x238862D6;
const uint32_t kConfigCrc32c = 0x8C93080D;

class VscTest : public SimTest {
protected:
    std::vector<uint8_t> DriveBlock(const std::string& disk, const std::string& name) {
        std::vector<uint8_t> block;
        EXPECT_TRUE(
            sim::WithDrive(disk, [&](sim::NvmeDrive& d) { block = d.State().blocks[name]; }));
        return block;
    }

    void SetDriveBlock(const std::string& disk, const std::string& name,
                       const std::vector<uint8_t>& block) {
        ASSERT_TRUE(
            sim::WithDrive(disk, [&](sim::NvmeDrive& d) { d.State().blocks[name] = block; }));
    }

    // Opens the RST disk's SCSI port and fills the context for it.
    CommandContext RstContext() {
        CommandContext ctx = Context(CMD_RST, 0);
        ctx.hScsiPort = OpenPath(L"\\\\.\\scsi3:");
        ctx.iScsiPathId = 1;
        return ctx;
    }
};

TEST_F(VscTest, GenerationOneDriveAnswersTheProbe) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
    EXPECT_EQ(Field(trace[0], "property_id"), "50");
    EXPECT_EQ(Field(trace[0], "request_value"), "5");
    EXPECT_EQ(Field(trace[0], "data_len"), "4096");
    EXPECT_EQ(Field(trace[1], "ioctl"), "IOCTL_STORAGE_PROTOCOL_COMMAND");
    EXPECT_EQ(Field(trace[1], "cdw"), Cdw("254", "1024", "130,3,0,0"));
    EXPECT_EQ(Field(trace[1], "from_dev_len"), "4096");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetVSCtype IN ",
                                                    "DISKLIB_NVME_GetLogPage IN",
                                                    "DISKLIB_NVME_GetLogPage Success OUT ",
                                                    "DISKLIB_NVME_VSC_GetVSCtype Success OUT 1"}));
}

TEST_F(VscTest, GenerationZeroDriveGetsNoProbe) {
    Load(NativeDisk("nat", 1, 2, "vsc = 0"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 0);
    EXPECT_EQ(Trace().size(), 1u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetVSCtype IN ",
                                                    "DISKLIB_NVME_GetLogPage IN",
                                                    "DISKLIB_NVME_GetLogPage Success OUT "}));

    // Each of the three support bits is needed: without one of them there is no probe.
    for (const char* opcode : {"0xFC", "0xFD", "0xFE"}) {
        SCOPED_TRACE(opcode);
        Load(NativeDisk("nat", 1, 2, std::string("vsc = 1\nunlisted = ") + opcode));
        h = OpenDrive(1);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 0);
        EXPECT_EQ(Trace().size(), 1u);
    }
}

TEST_F(VscTest, FailedLogPageGivesZeroWithoutProbeOrOutLine) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nfaults = nvme_fail:0x02*1"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 0);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
    EXPECT_EQ(Field(trace[0], "property_id"), "50");
    EXPECT_EQ(Field(trace[0], "ok"), "false");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetVSCtype IN ",
                                                    "DISKLIB_NVME_GetLogPage IN"}));
}

TEST_F(VscTest, FailedProbeLeavesTheLogPageToDecide) {
    // The probe is refused while the drive is locked; the buffer still holds the log page.
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nvsc_unlock = required"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 0);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[1], "ok"), "false");
    EXPECT_EQ(LogLines().back(), "DISKLIB_NVME_VSC_GetVSCtype Success OUT 0");

    // A log page whose first byte is 5A makes the same failed probe read as generation 1.
    ASSERT_TRUE(
        sim::WithDrive("nat", [](sim::NvmeDrive& d) { d.State().effectsEntries[0] = 0x5A; }));
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), 1);
    trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[1], "ok"), "false");
    EXPECT_EQ(LogLines().back(), "DISKLIB_NVME_VSC_GetVSCtype Success OUT 1");
}

TEST_F(VscTest, UnlockOnlyOnNativeAndRst) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1") + RstDisk("rst", 2, "vsc = 0") +
         UsbDisk("asm", 4, "asmedia", "1/2", "ASMT", "2362") +
         UsbDisk("jmi", 5, "jmicron", "1/3", "JMicron", "Tech") +
         UsbDisk("rtk", 6, "realtek", "1/4", "Realtek", "RTL9210B NVME"));

    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_UnlockVSC(&ctx, h), 1);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "cdw"), Cdw("252", "0", "31,1802595703,1,0"));
    EXPECT_EQ(Field(trace[0], "to_dev_len"), "0");
    EXPECT_EQ(Field(trace[0], "from_dev_len"), "0");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_UnlockVSC"}));

    h = OpenDrive(2);
    ctx = RstContext();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_UnlockVSC(&ctx, h), 1);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_SCSI_MINIPORT");
    EXPECT_EQ(Field(trace[0], "signature"), "IntelNvm");
    EXPECT_EQ(Field(trace[0], "cmd"), RstCmd("fc", "00000000", "1f000000776d716b0100000000000000"));
    EXPECT_EQ(Field(trace[0], "ret_len"), "0");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_UnlockVSC"}));

    const int drives[] = {4, 5, 6};
    const int32_t types[] = {CMD_USB_ASM, CMD_USB_JMI, CMD_USB_RTK};
    for (int i = 0; i < 3; ++i) {
        h = OpenDrive(drives[i]);
        ctx = Context(types[i]);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_UnlockVSC(&ctx, h), 1);
        EXPECT_EQ(Trace().size(), 0u);
        EXPECT_TRUE(LogLines().empty());
    }
}

TEST_F(VscTest, LockedDriveRefusesVendorCommandsUntilUnlocked) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nvsc_unlock = required"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    uint8_t block[4096];
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), DISKLIB_ERR_IO);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetDrvInfo IN"}));
    EXPECT_EQ(DISKLIB_NVME_UnlockVSC(&ctx, h), 1);
    EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), 1);
    EXPECT_EQ(block[0], 0x5A);
}

TEST_F(VscTest, DriveInformationReadOfBothGenerations) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nvsc_soc_id = 0x5016") +
         RstDisk("rst", 2, "vsc = 0\nvsc_soc_id = 0x5012"));
    uint8_t block[4096];

    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), 1);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "cdw"), Cdw("254", "1024", "130,3,0,0"));
    EXPECT_EQ(block[0], 0x5A);
    EXPECT_EQ(block[2], 0x16);
    EXPECT_EQ(block[3], 0x50);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetDrvInfo IN",
                                                    "DISKLIB_NVME_VSC_GetDrvInfo Success OUT"}));

    h = OpenDrive(2);
    ctx = RstContext();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), 1);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "cmd"),
              RstCmd("e6", "00040000", "0300000000000000" + std::string(kSigHex)));
    EXPECT_EQ(Field(trace[0], "ret_len"), "4096");
    EXPECT_EQ(block[2], 0x12);
    EXPECT_EQ(block[3], 0x50);
}

TEST_F(VscTest, DriveWithoutValidDriveInformationLeavesTheBufferAlone) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nvsc_drvinfo = no"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    uint8_t block[4096];
    memset(block, 0xCC, sizeof(block));
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), 0);
    EXPECT_EQ(Trace().size(), 1u);
    for (uint8_t b : block) {
        ASSERT_EQ(b, 0xCC);
    }
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetDrvInfo IN"}));
}

TEST_F(VscTest, MpInformationAndConfigurationReadsOfBothGenerations) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1") + RstDisk("rst", 2, "vsc = 0"));
    uint8_t block[4096];

    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetMPInfo(&ctx, h, block), 1);
    EXPECT_EQ(DISKLIB_NVME_GetFWConfig(&ctx, h, block), 1);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[0], "cdw"), Cdw("254", "1024", "99,0," + std::string(kSig)));
    EXPECT_EQ(Field(trace[1], "cdw"), Cdw("254", "1024", "130,1,0,0"));
    // The drive's FW configuration carries its firmware version at 1064.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block) + 1064, 8), "ZX16A100");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetMPInfo IN",
                                                    "DISKLIB_NVME_VSC_GetMPInfo Success OUT",
                                                    "DISKLIB_NVME_GetFWConfig IN",
                                                    "DISKLIB_NVME_GetFWConfig Success OUT"}));

    h = OpenDrive(2);
    ctx = RstContext();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_GetMPInfo(&ctx, h, block), 1);
    EXPECT_EQ(DISKLIB_NVME_GetFWConfig(&ctx, h, block), 1);
    trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[0], "cmd"),
              RstCmd("f2", "00040000", "0000000000000000" + std::string(kSigHex)));
    EXPECT_EQ(Field(trace[1], "cmd"),
              RstCmd("e6", "00040000", "0100000000000000" + std::string(kSigHex)));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block) + 1064, 8), "ZX12B105");
}

TEST_F(VscTest, ConfigurationWriteNeedsTheCrcOfTheDrivesKind) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1") + RstDisk("rst", 2, "vsc = 0\nvsc_checksum = crc32c"));
    std::vector<uint8_t> block = NewConfigBlock();
    uint8_t read[4096];

    // Generation 1 on CRC-32: the check value goes in CDW15.
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWConfig(&ctx, h, block.data(), kConfigCrc32c), DISKLIB_ERR_IO);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_SetFWConfig IN"}));
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWConfig(&ctx, h, block.data(), kConfigCrc32), 1);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "cdw"), Cdw("253", "1024", "129,1,0,596140758"));
    EXPECT_EQ(Field(trace[0], "to_dev_len"), "4096");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_SetFWConfig IN",
                                                    "DISKLIB_NVME_SetFWConfig Success OUT"}));
    EXPECT_EQ(DISKLIB_NVME_GetFWConfig(&ctx, h, read), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read) + 1064, 8), "NEWVER01");

    // Generation 0 on CRC-32C: the check value goes in CDW14.
    h = OpenDrive(2);
    ctx = RstContext();
    EXPECT_EQ(DISKLIB_NVME_SetFWConfig(&ctx, h, block.data(), kConfigCrc32), DISKLIB_ERR_IO);
    EXPECT_EQ(DISKLIB_NVME_GetFWConfig(&ctx, h, read), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read) + 1064, 8), "ZX12B105");
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWConfig(&ctx, h, block.data(), kConfigCrc32c), 1);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "cmd"), RstCmd("e5", "00040000",
                                             "01000000"
                                             "00000000"
                                             "0d08938c"
                                             "00000000"));
    const std::vector<uint8_t> kept = DriveBlock("rst", "fwconfig");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(kept.data()) + 1064, 8), "NEWVER01");
}

class MpVersionTest : public VscTest {
protected:
    // An MP information block whose 144-byte header is A5 and whose rest is 3C.
    void PrepareBlock() {
        std::vector<uint8_t> b(4096, 0x3C);
        memset(b.data(), 0xA5, 144);
        SetDriveBlock("nat", "mpinfo", b);
    }

    // The block the write sent (the data of the last request, which the trace carries whole):
    // the block as read, but for the version field. The drive stores the block as written, so
    // the bytes beyond the header that identify it must go back unchanged.
    void ExpectBlock(const tracetest::Record& write, const std::string& field8) {
        std::string a5;
        for (int i = 0; i < 88; ++i) {
            a5 += "a5";
        }
        std::string rest;
        for (int i = 144; i < 4096; ++i) {
            rest += "3c";
        }
        const std::string sentHeader = a5 + HexOf(field8) + a5.substr(0, 48 * 2);
        EXPECT_EQ(Field(write, "data"), sentHeader + rest);
        const std::vector<uint8_t> b = DriveBlock("nat", "mpinfo");
        ASSERT_EQ(b.size(), 4096u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()) + 88, 8), field8);
        for (int i = 144; i < 4096; ++i) {
            ASSERT_EQ(b[i], 0x3C) << i;
        }
    }

    static std::string HexOf(const std::string& bytes) {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : bytes) {
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        return hex;
    }

    void SetUp() override {
        VscTest::SetUp();
        setenv("ZX_SIM_TRACE_FULL", "1", 1);
    }
    void TearDown() override {
        unsetenv("ZX_SIM_TRACE_FULL");
        VscTest::TearDown();
    }
};

TEST_F(MpVersionTest, EightCharactersFillTheField) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    PrepareBlock();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWVersionByMpInfo(&ctx, h, L"ZX16B200", nullptr), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    // Read 0xF2 and write 0xF1 on generation 1 too.
    EXPECT_EQ(Field(trace[0], "cdw"), Cdw("242", "1024", "0,0," + std::string(kSig)));
    EXPECT_EQ(Field(trace[1], "cdw"), Cdw("241", "1024", "0,0," + std::string(kSig)));
    EXPECT_EQ(Field(trace[1], "to_dev_len"), "4096");
    ExpectBlock(trace[1], "ZX16B200");
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"DISKLIB_NVME_SetFWVersionByMpInfo IN",
                                        "DISKLIB_NVME_SetFWVersionByMpInfo GetMpOK",
                                        "DISKLIB_NVME_SetFWVersionByMpInfo Success OUT"}));
}

TEST_F(MpVersionTest, ShorterTextLeavesTheRestOfTheFieldZero) {
    Load(NativeDisk("nat", 1, 2, "vsc = 0"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 0);
    PrepareBlock();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWVersionByMpInfo(&ctx, h, L"V12", nullptr), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    ExpectBlock(trace[1], std::string("V12\0\0\0\0\0", 8));
}

TEST_F(MpVersionTest, LongerTextIsCutToEightAndTouchesNoOtherHeaderByte) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    PrepareBlock();
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWVersionByMpInfo(&ctx, h, L"ZX16B200-LONG", nullptr), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    ExpectBlock(trace[1], "ZX16B200");
}

TEST_F(MpVersionTest, FailedReadWritesNothing) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1\nvsc_unlock = required"));
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_NVME, 1);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_SetFWVersionByMpInfo(&ctx, h, L"ZX16B200", nullptr), DISKLIB_ERR_IO);
    EXPECT_EQ(Trace().size(), 1u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_SetFWVersionByMpInfo IN"}));
}

class FillRecordTest : public VscTest {
protected:
    DiskRecord Fill(const std::string& keys) {
        Load(NativeDisk("nat", 1, 2, "vsc = 1\n" + keys));
        HANDLE h = OpenDrive(1);
        CommandContext ctx = Context(CMD_NVME, 1);
        DiskRecord disk;
        memset(&disk, 0, sizeof(disk));
        wcscpy(disk.DevicePath, L"\\\\.\\PhysicalDrive1");
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_VSC_FillDiskRecord(&ctx, h, &disk), 1);
        return disk;
    }

    static void ExpectNandId(const DiskRecord& d, const uint8_t (&id)[6]) {
        EXPECT_EQ(std::vector<uint8_t>(d.NandId, d.NandId + 6), std::vector<uint8_t>(id, id + 6));
    }
};

TEST_F(FillRecordTest, DriveInformationSuppliesTheVendorFields) {
    // The MP information block carries another SOC id, version and NAND table: none of them
    // may reach the record while the Drive information block is valid.
    const DiskRecord d = Fill("vsc_soc_id = 0x5016\nvsc_nand_id = 89A40832A100\n"
                              "vsc_drvinfo_version = ZX16A100\nvsc_ftl_build = 31337\n"
                              "vsc_ch = 4\nvsc_ce = 2\nvsc_lun = 2\nvsc_pln = 4\nvsc_pg = 1152\n"
                              "vsc_nand_table = 983C99A376E5\nvsc_mp_soc_id = 0x5099\n"
                              "vsc_mp_version = MP99Z9999Z");
    EXPECT_EQ(d.bDrvInfoValid, 1);
    EXPECT_EQ(d.iSocId, 0x5016u);
    EXPECT_EQ(d.iFtlBuildNum, 31337u);
    ExpectNandId(d, {0x89, 0xA4, 0x08, 0x32, 0xA1, 0x00});
    EXPECT_STREQ(d.DrvInfoVersion, L"ZX16A100");
    EXPECT_EQ(d.iLun, 2u);
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "DISKLIB_NVME_VSC_GetDrvInfo IN", "DISKLIB_NVME_VSC_GetDrvInfo Success OUT",
                  "DISKLIB_NVME_VSC_GetMPInfo IN", "DISKLIB_NVME_VSC_GetMPInfo Success OUT",
                  "\\\\.\\PhysicalDrive1 = ch:4, ce:2, lun:2, pln:4, pg:1152"}));
}

TEST_F(FillRecordTest, Format1768SuppliesSocIdVersionAndLunWithoutDriveInformation) {
    // ch 4 x ce 8 = 192 bytes of table: still walked.
    const DiskRecord d = Fill("vsc_drvinfo = no\nvsc_mp_format = 1768\nvsc_mp_soc_id = 0x5012\n"
                              "vsc_mp_version = ZX12B10599\nvsc_ch = 4\nvsc_ce = 8\nvsc_lun = 4\n"
                              "vsc_pln = 2\nvsc_pg = 2304\n"
                              "vsc_nand_table = 000000000000 000000000000 983C99A376E5");
    EXPECT_EQ(d.bDrvInfoValid, 0);
    EXPECT_EQ(d.iSocId, 0x5012u);
    EXPECT_EQ(d.iLun, 4u);
    EXPECT_STREQ(d.DrvInfoVersion, L"ZX12B10599");
    EXPECT_EQ(d.iFtlBuildNum, 0u);
    ExpectNandId(d, {0x98, 0x3C, 0x99, 0xA3, 0x76, 0xE5});
    EXPECT_EQ(LogLines().back(), "\\\\.\\PhysicalDrive1 = ch:4, ce:8, lun:4, pln:2, pg:2304");
}

TEST_F(FillRecordTest, Format4096GivesNoLunNoSocIdButTheTableIsWalked) {
    const DiskRecord d = Fill("vsc_drvinfo = no\nvsc_mp_format = 4096\nvsc_mp_soc_id = 0x5012\n"
                              "vsc_ch = 2\nvsc_ce = 2\nvsc_lun = 4\n"
                              "vsc_nand_table = 000000000000 983C99A376E5");
    EXPECT_EQ(d.bDrvInfoValid, 0);
    EXPECT_EQ(d.iSocId, 0u);
    EXPECT_EQ(d.iLun, 0u);
    EXPECT_STREQ(d.DrvInfoVersion, L"");
    ExpectNandId(d, {0x98, 0x3C, 0x99, 0xA3, 0x76, 0xE5});
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_VSC_GetDrvInfo IN",
                                                    "DISKLIB_NVME_VSC_GetMPInfo IN",
                                                    "DISKLIB_NVME_VSC_GetMPInfo Success OUT"}));
}

TEST_F(FillRecordTest, TableWalkStopsBeforeTheOffsetOfItsSize) {
    // ch 1 x ce 2 = 12 bytes: the entries at 0 and 6 are looked at, the one at 12 is not.
    DiskRecord d = Fill("vsc_drvinfo = no\nvsc_ch = 1\nvsc_ce = 2\n"
                        "vsc_nand_table = 000000000000 000000000000 983C99A376E5");
    ExpectNandId(d, {0, 0, 0, 0, 0, 0});
    d = Fill("vsc_drvinfo = no\nvsc_ch = 1\nvsc_ce = 2\n"
             "vsc_nand_table = 000000000000 2CC30832E604 983C99A376E5");
    ExpectNandId(d, {0x2C, 0xC3, 0x08, 0x32, 0xE6, 0x04});
}

TEST_F(FillRecordTest, TableOf240BytesIsNotWalked) {
    // ch 5 x ce 8 = 240 bytes: more than the 32 entries the table holds.
    const DiskRecord d = Fill("vsc_drvinfo = no\nvsc_ch = 5\nvsc_ce = 8\n"
                              "vsc_nand_table = 983C99A376E5");
    ExpectNandId(d, {0, 0, 0, 0, 0, 0});
}

TEST_F(VscTest, EveryVendorOperationOnEveryTransport) {
    Load(NativeDisk("nat", 1, 2, "vsc = 1") + RstDisk("rst", 2, "vsc = 0") +
         UsbDisk("asm", 4, "asmedia", "1/2", "ASMT", "2362") +
         UsbDisk("jmi", 5, "jmicron", "1/3", "JMicron", "Tech", "vsc_soc_id = 0x5012") +
         UsbDisk("rtk", 6, "realtek", "1/4", "Realtek", "RTL9210B NVME"));
    struct Case {
        const char* disk;
        int drive;
        int32_t type;
        int generation;
        uint32_t socId;
    };
    // The JMicron enclosure's drive speaks generation 1 like the others; its SOC id differs.
    const Case cases[] = {{"nat", 1, CMD_NVME, 1, 0x5016},
                          {"rst", 2, CMD_RST, 0, 0x5016},
                          {"asm", 4, CMD_USB_ASM, 1, 0x5016},
                          {"jmi", 5, CMD_USB_JMI, 1, 0x5012},
                          {"rtk", 6, CMD_USB_RTK, 1, 0x5016}};
    std::vector<uint8_t> config = NewConfigBlock();
    uint8_t block[4096];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk);
        HANDLE h = OpenDrive(c.drive);
        CommandContext ctx = c.type == CMD_RST ? RstContext() : Context(c.type);
        EXPECT_EQ(DISKLIB_NVME_UnlockVSC(&ctx, h), 1);
        EXPECT_EQ(DISKLIB_NVME_VSC_GetVSCtype(&ctx, h), c.generation);
        ctx.iVSCType = uint32_t(c.generation);
        EXPECT_EQ(DISKLIB_NVME_VSC_GetDrvInfo(&ctx, h, block), 1);
        EXPECT_EQ(block[0], 0x5A);
        EXPECT_EQ(DISKLIB_NVME_VSC_GetMPInfo(&ctx, h, block), 1);
        EXPECT_EQ(block[280], 0xE8); // format 1768
        EXPECT_EQ(block[281], 0x06);
        EXPECT_EQ(DISKLIB_NVME_GetFWConfig(&ctx, h, block), 1);
        EXPECT_EQ(DISKLIB_NVME_SetFWConfig(&ctx, h, config.data(), kConfigCrc32), 1);
        EXPECT_EQ(DISKLIB_NVME_SetFWVersionByMpInfo(&ctx, h, L"ZX99Z999", nullptr), 1);
        DiskRecord disk;
        memset(&disk, 0, sizeof(disk));
        EXPECT_EQ(DISKLIB_NVME_VSC_FillDiskRecord(&ctx, h, &disk), 1);
        EXPECT_EQ(disk.bDrvInfoValid, 1);
        EXPECT_EQ(disk.iSocId, c.socId);

        const std::vector<uint8_t> fw = DriveBlock(c.disk, "fwconfig");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(fw.data()) + 1064, 8), "NEWVER01");
        const std::vector<uint8_t> mp = DriveBlock(c.disk, "mpinfo");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(mp.data()) + 88, 8), "ZX99Z999");
    }

    // A command type without a transport gets -5 and sends nothing.
    HANDLE h = OpenDrive(1);
    CommandContext ctx = Context(CMD_SATA);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_VSC_Command(&ctx, h, XFER_IN, 0xFE, 0x82, 3, 0, 0, block, 4096),
              DISKLIB_ERR_UNSUPPORTED);
    EXPECT_EQ(DISKLIB_NVME_VSC_GetMPInfo(&ctx, h, block), DISKLIB_ERR_UNSUPPORTED);
    EXPECT_EQ(Trace().size(), 0u);
}

} // namespace
