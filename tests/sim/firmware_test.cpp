// Firmware on the simulated drives, through the requests of each path: the drive keeps the
// downloaded pieces until the commit, checks the image at the commit, runs it only after the
// reset its activation needs, and then reports the image's revision and versions.
#include "platform/posix/control.h"
#include "tests/sim/demo_images.h"
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

#include <chrono>

namespace {

using demo::kMicron;
using demo::kYmtc;
using demo::Text;
using simreq::Ioctl;
using simreq::Put32;
using simreq::Result;

constexpr auto kBound = std::chrono::seconds(20); // only against a hang

std::string NativeDisk(const std::string& extra) {
    return "[disk n]\nkind = nvme\ndrive = 1\nmodel = ZELTARIX ZX5016 1TB\nfirmware = 041k0207\n"
           "vendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = 1953525168\nvsc = 1\n"
           "vsc_soc_id = 0x3C71\nvsc_ftl_build = 0x00010203\nfirmware_check = image\n" +
           extra + "\n";
}

class FirmwareTest : public SimTest {
protected:
    void TearDown() override {
        zxposix::SetClockSpeed(1);
        SimTest::TearDown();
    }

    static std::vector<DWORD> NativeDownload(HANDLE h, const std::vector<uint8_t>& image) {
        return demo::NativeDownload(h, image);
    }
    static DWORD NativeActivate(HANDLE h) { return demo::NativeActivate(h); }

    // Identify Controller through the adapter's protocol-specific property; its FR field.
    static std::string NativeRevision(HANDLE h) {
        std::vector<uint8_t> q = simreq::ProtocolQuery(49, 1, 1, 0, 4096);
        Result r = Ioctl(h, IOCTL_STORAGE_QUERY_PROPERTY, q.data(), DWORD(q.size()), q.data(),
                         DWORD(q.size()));
        return r.ok ? Text(q, 48 + 64, 8) : "error " + std::to_string(r.error);
    }

    // A vendor read (4096 bytes) through the protocol command.
    static std::vector<uint8_t> NativeVendorRead(HANDLE h, uint8_t opcode, uint32_t cdw12,
                                                 uint32_t cdw13, uint32_t cdw14 = 0,
                                                 uint32_t cdw15 = 0) {
        std::vector<uint8_t> b =
            simreq::ProtocolCommand(opcode, 2, 4096, cdw12, cdw13, cdw14, cdw15);
        Result r = Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, b.data(), DWORD(b.size()), b.data(),
                         DWORD(b.size()));
        EXPECT_TRUE(r.ok) << r.error;
        return std::vector<uint8_t>(b.begin() + 144, b.end());
    }

    static Result NativeUnlock(HANDLE h) {
        std::vector<uint8_t> b = simreq::ProtocolCommand(0xFC, 0, 0, 0x1F, 0x6B716D77, 1);
        return Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, b.data(), 144, b.data(), 144);
    }
};

const std::vector<DWORD> kAllAccepted(617, 0);

TEST_F(FirmwareTest, NativeActivationFollowsTheDrivesActivationMode) {
    const struct {
        const char* mode;
        DWORD error;      // of IOCTL_STORAGE_FIRMWARE_ACTIVATE
        bool leaves;      // the driver resets the controller: the disk leaves and comes back
        const char* runs; // the revision right after the request (or once back)
    } cases[] = {
        {"power_cycle", 0x30207, false, "041k0207"}, // STG_S_POWER_CYCLE_REQUIRED
        {"reset", 0, true, "041k020C"},
        {"immediate", 0, false, "041k020C"},
    };
    const std::vector<uint8_t> image = demo::Image(kYmtc);
    ASSERT_EQ(image.size(), 617u * 4096);
    zxposix::SetClockSpeed(20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Load(NativeDisk(std::string("fw_activation = ") + c.mode + "\nreset_ms = 500"));
        HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
        EXPECT_EQ(NativeDownload(h, image), kAllAccepted);
        EXPECT_EQ(NativeRevision(h), "041k0207");
        sim::HoldReturns(true); // looked at while away, however late this thread runs
        EXPECT_EQ(NativeActivate(h), c.error);
        EXPECT_EQ(sim::IsPresent("n"), !c.leaves);
        if (c.leaves) {
            EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive1"), INVALID_HANDLE_VALUE); // away meanwhile
        }
        sim::HoldReturns(false);
        if (c.leaves) {
            ASSERT_TRUE(sim::WaitForPresence("n", true, kBound));
            EXPECT_EQ(sim::DeviceChanges(), (std::vector<std::string>{"left n", "back n"}));
        } else {
            EXPECT_TRUE(sim::DeviceChanges().empty());
        }
        // The handle opened before the activation still serves: a controller reset keeps the
        // disk's device stack.
        EXPECT_EQ(NativeRevision(h), c.runs);
        CloseHandle(h);
    }
    // The image a power cycle waits for runs after one.
    Load(NativeDisk("fw_activation = power_cycle"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeDownload(h, image), kAllAccepted);
    EXPECT_EQ(NativeActivate(h), 0x30207u);
    CloseHandle(h);
    ASSERT_TRUE(sim::ReplugDisk("n"));
    h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeRevision(h), "041k020C");
    CloseHandle(h);
}

TEST_F(FirmwareTest, TheRunningImageReportsItsRevisionAndVersions) {
    const struct {
        const char* image;
        const char* version;
        uint8_t ftl[4];
    } cases[] = {
        {kYmtc, "041k020C", {0x03, 0x02, 0x01, 0x00}},   // CRC-32C
        {kMicron, "041k020D", {0x04, 0x02, 0x01, 0x00}}, // CRC-32
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        Load(NativeDisk("fw_activation = immediate"));
        HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
        const std::vector<uint8_t> image = demo::Image(c.image);
        EXPECT_EQ(NativeDownload(h, image), std::vector<DWORD>((image.size() + 4095) / 4096, 0));
        EXPECT_EQ(NativeActivate(h), 0u);
        EXPECT_EQ(NativeRevision(h), c.version);
        // Drive information: the version at 32, the FTL build number at 72.
        const std::vector<uint8_t> info = NativeVendorRead(h, 0xFE, 0x82, 3);
        EXPECT_EQ(info[0], 0x5A);
        EXPECT_EQ(Text(info, 32, 8), c.version);
        EXPECT_EQ(std::vector<uint8_t>(info.begin() + 72, info.begin() + 76),
                  std::vector<uint8_t>(c.ftl, c.ftl + 4));
        // MP information of format 1768: the version at 1606, ten bytes.
        const std::vector<uint8_t> mp = NativeVendorRead(h, 0xF2, 0, 0, 0x58495241, 0x544C455A);
        EXPECT_EQ(Text(mp, 1606, 10), std::string(c.version) + std::string(2, '\0'));
        // The FW configuration block is the one the image carries: its version at 1064.
        const std::vector<uint8_t> config = NativeVendorRead(h, 0xFE, 0x82, 1);
        EXPECT_EQ(Text(config, 1064, 8), c.version);
        // Firmware slot information: slot 1 runs, nothing is pending, slot 1 holds the image.
        std::vector<uint8_t> q = simreq::ProtocolQuery(50, 2, 3, 0, 512);
        ASSERT_TRUE(Ioctl(h, IOCTL_STORAGE_QUERY_PROPERTY, q.data(), DWORD(q.size()), q.data(),
                          DWORD(q.size()))
                        .ok);
        EXPECT_EQ(q[48], 0x01);
        EXPECT_EQ(Text(q, 48 + 8, 8), c.version);
        CloseHandle(h);
    }
}

TEST_F(FirmwareTest, TheImageCheckRefusesWhatIsNotASoundImage) {
    const std::vector<uint8_t> good = demo::Image(kMicron); // regions 1-2, 3-40, 41-41; 43 pages
    ASSERT_EQ(good.size(), 43u * 4096);
    const struct {
        const char* what;
        size_t at;     // byte changed (XOR 1), or SIZE_MAX
        size_t length; // bytes sent
    } cases[] = {
        {"a byte of region 1", 20 * 4096 + 7, good.size()},
        {"a byte of the header the checksum covers", 4, good.size()},
        {"the stored checksum", 42 * 4096 + 12, good.size()},
        {"the magic", 0, good.size()},
        {"region 2 reaching past the image", 38, good.size()},
        {"the trailer page missing", SIZE_MAX, 42 * 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Load(NativeDisk("fw_activation = immediate"));
        HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
        std::vector<uint8_t> image(good.begin(), good.begin() + long(c.length));
        if (c.at != SIZE_MAX) {
            image[c.at] ^= 1;
        }
        NativeDownload(h, image);
        EXPECT_EQ(NativeActivate(h), 0x80030209u); // STG_E_FIRMWARE_IMAGE_INVALID
        EXPECT_EQ(NativeRevision(h), "041k0207");
        CloseHandle(h);
    }
    // A piece missing leaves a gap: nothing whole to commit.
    Load(NativeDisk("fw_activation = immediate"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    std::vector<uint8_t> withoutPage3(good.begin(), good.begin() + 3 * 4096);
    NativeDownload(h, withoutPage3);
    std::vector<uint8_t> rest = simreq::NativeDownload(
        4 * 4096, std::vector<uint8_t>(good.begin() + 4 * 4096, good.begin() + 5 * 4096));
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, rest.data(), DWORD(rest.size()), nullptr, 0)
                  .error,
              0u);
    EXPECT_EQ(NativeActivate(h), 0x80030209u);
    CloseHandle(h);
}

TEST_F(FirmwareTest, PiecesWaitForTheCommitInAnyOrderAndAResetDropsThem) {
    const std::vector<uint8_t> image = demo::Image(kMicron);
    Load(NativeDisk("fw_activation = immediate"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    for (size_t page = 43; page-- > 0;) {
        std::vector<uint8_t> in = simreq::NativeDownload(
            page * 4096, std::vector<uint8_t>(image.begin() + long(page * 4096),
                                              image.begin() + long(page * 4096 + 4096)));
        ASSERT_EQ(Ioctl(h, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, in.data(), DWORD(in.size()), nullptr, 0)
                      .error,
                  0u);
    }
    EXPECT_EQ(NativeActivate(h), 0u);
    EXPECT_EQ(NativeRevision(h), "041k020D");
    CloseHandle(h);

    Load(NativeDisk("fw_activation = immediate"));
    h = Open(L"\\\\.\\PhysicalDrive1");
    NativeDownload(h, image);
    CloseHandle(h);
    ASSERT_TRUE(sim::ReplugDisk("n")); // the controller's download buffer is lost
    h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeActivate(h), 0x80030209u);
    EXPECT_EQ(NativeRevision(h), "041k0207");
    CloseHandle(h);
}

TEST_F(FirmwareTest, DownloadAndCommitFaultsStrikeWhereTheyAreSet) {
    const std::vector<uint8_t> image = demo::Image(kMicron);
    std::vector<DWORD> refusedAt2(43, 0);
    refusedAt2[2] = 1117; // ERROR_IO_DEVICE
    Load(NativeDisk("fw_activation = immediate\nfaults = download_fail:8192"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeDownload(h, image), refusedAt2);
    EXPECT_EQ(NativeActivate(h), 0x80030209u); // the piece at 8192 is missing
    CloseHandle(h);

    // The disk vanishes at the piece at 8192 and stays away until it is plugged in again.
    std::vector<DWORD> vanished(43, 433); // ERROR_NO_SUCH_DEVICE
    vanished[0] = vanished[1] = 0;
    vanished[2] = 1117;
    Load(NativeDisk("fw_activation = immediate\nfaults = download_vanish:0x2000"));
    h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeDownload(h, image), vanished);
    EXPECT_FALSE(sim::IsPresent("n"));
    EXPECT_EQ(sim::DeviceChanges(), std::vector<std::string>{"left n"});
    CloseHandle(h);
    ASSERT_TRUE(sim::AddDisk("n"));
    h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeRevision(h), "041k0207");
    CloseHandle(h);

    // A refused commit leaves the running firmware; the next one (the fault struck once) runs.
    Load(NativeDisk("fw_activation = immediate\nfaults = commit_fail*1"));
    h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(NativeDownload(h, image), std::vector<DWORD>(43, 0));
    EXPECT_EQ(NativeActivate(h), 0x80030209u);
    EXPECT_EQ(NativeRevision(h), "041k0207");
    EXPECT_EQ(NativeActivate(h), 0u);
    EXPECT_EQ(NativeRevision(h), "041k020D");
    CloseHandle(h);
}

// The MP information write (F1h) stores the block as written, all 4096 bytes, as a drive that
// keeps the block whole does: a host that sends zeros beyond the header wipes the geometry, the
// NAND table, the SOC id and the version of format 1768 that identify the drive.
TEST_F(FirmwareTest, TheMpWriteStoresTheWholeBlockAsWritten) {
    // A drive without a Drive information block: geometry, NAND table, SOC id and version come
    // from its MP information (format 1768).
    Load(NativeDisk("vsc_drvinfo = no\nvsc_nand_id = 9BC558713000\nvsc_ch = 4\nvsc_ce = 2\n"
                    "vsc_lun = 1\nvsc_mp_soc_id = 0x3C71"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    const uint32_t sig[2] = {0x58495241, 0x544C455A};
    const std::vector<uint8_t> before = NativeVendorRead(h, 0xF2, 0, 0, sig[0], sig[1]);
    // The drive's own: format 1768 (E8 06), ch 4, ce 2, lun 1, the NAND table, SOC id 3C71 and
    // the version of format 1768.
    EXPECT_EQ(before[280], 0xE8);
    EXPECT_EQ(before[281], 0x06);
    EXPECT_EQ(before[295], 4);
    EXPECT_EQ(before[296], 2);
    EXPECT_EQ(before[297], 1);
    EXPECT_EQ(std::vector<uint8_t>(before.begin() + 1352, before.begin() + 1358),
              (std::vector<uint8_t>{0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00}));
    EXPECT_EQ(before[1582], 0x71);
    EXPECT_EQ(before[1583], 0x3C);
    EXPECT_EQ(Text(before, 1606, 10), std::string("041k0207\0\0", 10));

    // A header of A5 with a version, and 3C beyond it: read back byte for byte.
    std::vector<uint8_t> write = simreq::ProtocolCommand(0xF1, 1, 4096, 0, 0, sig[0], sig[1]);
    std::memset(&write[144], 0xA5, 144);
    std::memcpy(&write[144 + 88], "041k020C", 8);
    std::memset(&write[144 + 144], 0x3C, 4096 - 144);
    ASSERT_TRUE(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, write.data(), DWORD(write.size()),
                      write.data(), DWORD(write.size()))
                    .ok);
    const std::vector<uint8_t> mp = NativeVendorRead(h, 0xF2, 0, 0, sig[0], sig[1]);
    EXPECT_EQ(std::vector<uint8_t>(mp.begin(), mp.begin() + 88), std::vector<uint8_t>(88, 0xA5));
    EXPECT_EQ(Text(mp, 88, 8), "041k020C");
    EXPECT_EQ(std::vector<uint8_t>(mp.begin() + 96, mp.begin() + 144),
              std::vector<uint8_t>(48, 0xA5));
    EXPECT_EQ(std::vector<uint8_t>(mp.begin() + 144, mp.end()),
              std::vector<uint8_t>(4096 - 144, 0x3C));
    CloseHandle(h);
}

TEST_F(FirmwareTest, TheDefaultScenarioUnlocksItsNativeAndRstDisksAgainAfterAReset) {
    ASSERT_TRUE(sim::LoadDefaultScenario());
    zxposix::SetClockSpeed(20);
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    // Drive information (FE 82 3) while locked: the drive answers Command Sequence Error.
    std::vector<uint8_t> read = simreq::ProtocolCommand(0xFE, 2, 4096, 0x82, 3);
    Result r = Ioctl(native, IOCTL_STORAGE_PROTOCOL_COMMAND, read.data(), DWORD(read.size()),
                     read.data(), DWORD(read.size()));
    EXPECT_EQ(r.error, 1117u);
    EXPECT_EQ(simreq::Get32(read, 20), 0x000Cu); // ErrorCode: SCT 0, SC 0C
    EXPECT_TRUE(NativeUnlock(native).ok);
    EXPECT_EQ(NativeVendorRead(native, 0xFE, 0x82, 3)[0], 0x5A);
    // The activation resets the controller; the unlock does not outlast it.
    EXPECT_EQ(NativeDownload(native, demo::Image(kYmtc)), kAllAccepted);
    EXPECT_EQ(NativeActivate(native), 0u);
    ASSERT_TRUE(sim::WaitForPresence("zx-native", true, kBound));
    read = simreq::ProtocolCommand(0xFE, 2, 4096, 0x82, 3);
    EXPECT_EQ(Ioctl(native, IOCTL_STORAGE_PROTOCOL_COMMAND, read.data(), DWORD(read.size()),
                    read.data(), DWORD(read.size()))
                  .error,
              1117u);
    EXPECT_TRUE(NativeUnlock(native).ok);
    EXPECT_EQ(Text(NativeVendorRead(native, 0xFE, 0x82, 3), 32, 8), "041k020C");
    CloseHandle(native);

    // The RST disk (first generation, path id 1 on port 2): E6 with CDW12 3 and the signature.
    HANDLE port = Open(L"\\\\.\\scsi2:");
    const uint32_t info[16] = {0xE6, 0xFFFFFFFFu, 0x6B716D77, 0, 0, 0, 0,          0,
                               0,    0,           1024,       0, 3, 0, 0x58495241, 0x544C455A};
    std::vector<uint8_t> in = simreq::IntelNvm(1, info, 4096);
    std::vector<uint8_t> out(in.size(), 0);
    EXPECT_EQ(
        Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(), DWORD(out.size()))
            .error,
        1117u);
    const uint32_t unlock[16] = {0xFC, 0xFFFFFFFFu, 0x6B716D77, 0, 0,    0,          0, 0,
                                 0,    0,           0,          0, 0x1F, 0x6B716D77, 1};
    std::vector<uint8_t> u = simreq::IntelNvm(1, unlock, 0);
    std::vector<uint8_t> uOut(u.size(), 0);
    EXPECT_TRUE(
        Ioctl(port, IOCTL_SCSI_MINIPORT, u.data(), DWORD(u.size()), uOut.data(), DWORD(u.size()))
            .ok);
    EXPECT_TRUE(
        Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(), DWORD(out.size()))
            .ok);
    EXPECT_EQ(out[164], 0x5A);
    CloseHandle(port);
}

} // namespace
