// Firmware behind the Intel RST driver and the USB bridges: the RST miniport activates as the
// inbox driver does, the ASMedia and JMicron power requests power-cycle the enclosure (the disk
// leaves and comes back on its port under return_drive), a Realtek disk runs its new firmware
// only after a replug; and every ZELTARIX disk of the default scenario takes the demo image.
#include "platform/posix/control.h"
#include "tests/sim/demo_images.h"
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

#include <chrono>
#include <map>

namespace {

using demo::kMicron;
using demo::kYmtc;
using demo::Text;
using simreq::Bridge;
using simreq::Ioctl;
using simreq::Phase;
using simreq::Result;

constexpr auto kBound = std::chrono::seconds(20); // only against a hang
const std::vector<int> kGood = {0, 0, 0};

std::string Enclosure(const std::string& bridge, const std::string& product,
                      const std::string& extra) {
    return "[disk e]\nkind = usb\ndrive = 4\nbridge = " + bridge +
           "\nusb = 1/2\nvendor = VENDOR\nproduct = " + product +
           "\nmodel = ZELTARIX ZX5016 1TB\nfirmware = 041k0207\nvendor_id = 0x1E5C\n"
           "ssvid = 0x1E5C\nsectors = 1953525168\nvsc = 1\nfirmware_check = image\n" +
           extra + "\n";
}

const char kRst[] = R"(
[controller rst0]
kind = rst
scsi_port = 3

[disk r]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
firmware = 041k020A
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216
vsc = 0
firmware_check = image
reset_ms = 500
)";

class BridgeFirmwareTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        zxposix::SetClockSpeed(20);
    }
    void TearDown() override {
        zxposix::SetClockSpeed(1);
        SimTest::TearDown();
    }

    static std::vector<std::vector<int>> TunnelDownload(HANDLE h, Bridge bridge,
                                                        std::vector<uint8_t> image) {
        std::vector<std::vector<int>> statuses;
        for (size_t at = 0; at < image.size(); at += 4096) {
            const uint32_t n = uint32_t(std::min<size_t>(4096, image.size() - at));
            const uint32_t cdw[16] = {
                0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, (n - 1) >> 2, uint32_t(at >> 2)};
            statuses.push_back(simreq::Tunnel(h, bridge, cdw, 2, image.data() + at, n));
        }
        return statuses;
    }

    static std::vector<int> TunnelCommit(HANDLE h, Bridge bridge) {
        const uint32_t cdw[16] = {0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x09};
        return simreq::Tunnel(h, bridge, cdw, 0, nullptr, 0);
    }

    static std::string TunnelRevision(HANDLE h, Bridge bridge) {
        std::vector<uint8_t> id(4096, 0);
        const uint32_t cdw[16] = {0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return simreq::Tunnel(h, bridge, cdw, 1, id.data(), 4096) == kGood ? Text(id, 64, 8)
                                                                           : "refused";
    }

    // ASMedia: EA 5A 01 and thirteen zeros, DataIn OUT, no data. JMicron: the request block
    // with the value 5 at 72, its non-data phase with DataIn IN, its response phase.
    static std::vector<int> PowerRequest(HANDLE h, Bridge bridge) {
        if (bridge == Bridge::Asmedia) {
            return {simreq::Scsi(h, simreq::Cdb("ea5a01"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 24, 10)
                        .status};
        }
        std::vector<uint8_t> block(512, 0);
        std::memcpy(block.data(), "NVME", 4);
        block[72] = 5;
        std::vector<int> s;
        s.push_back(simreq::Scsi(h, simreq::Cdb("a18000000200"), SCSI_IOCTL_DATA_OUT, block.data(),
                                 512, 24, 10)
                        .status);
        s.push_back(
            simreq::Scsi(h, simreq::Cdb("a181"), SCSI_IOCTL_DATA_IN, nullptr, 0, 24, 10).status);
        std::fill(block.begin(), block.end(), 0);
        s.push_back(simreq::Scsi(h, simreq::Cdb("a18f00000200"), SCSI_IOCTL_DATA_IN, block.data(),
                                 512, 24, 10)
                        .status);
        return s;
    }

    // The RST firmware requests and an Identify Controller through "IntelNvm".
    static std::vector<DWORD> RstDownload(HANDLE port, const std::vector<uint8_t>& image) {
        std::vector<DWORD> errors;
        for (size_t at = 0; at < image.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, image.size() - at);
            std::vector<uint8_t> in = simreq::IntelFwDownload(
                1, at,
                std::vector<uint8_t>(image.begin() + long(at), image.begin() + long(at + n)));
            errors.push_back(
                Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), nullptr, 0).error);
        }
        return errors;
    }

    static DWORD RstActivate(HANDLE port) {
        std::vector<uint8_t> in = simreq::IntelFwActivate(1);
        return Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), nullptr, 0).error;
    }

    static std::string RstRevision(HANDLE port) {
        const uint32_t identify[16] = {0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        std::vector<uint8_t> in = simreq::IntelNvm(1, identify, 4096);
        std::vector<uint8_t> out(in.size(), 0);
        Result r = Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(),
                         DWORD(out.size()));
        return r.ok ? Text(out, 164 + 64, 8) : "error " + std::to_string(r.error);
    }
};

TEST_F(BridgeFirmwareTest, PowerRequestsPowerCycleTheEnclosureBackOnItsPort) {
    const struct {
        const char* bridge;
        const char* product;
        Bridge family;
        std::vector<int> power;
    } cases[] = {
        {"asmedia", "2362", Bridge::Asmedia, {0}},
        {"jmicron", "Tech", Bridge::Jmicron, {0, 0, 0}},
    };
    const std::vector<uint8_t> image = demo::Image(kYmtc);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bridge);
        Load(Enclosure(c.bridge, c.product, "return_drive = 14\npower_cycle_ms = 400"));
        const std::vector<sim::NodeView> nodes = sim::DescribeDisks()[0].nodes;
        HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
        EXPECT_EQ(TunnelDownload(h, c.family, image), std::vector<std::vector<int>>(617, kGood));
        EXPECT_EQ(TunnelCommit(h, c.family), kGood);
        EXPECT_EQ(TunnelRevision(h, c.family), "041k0207"); // committed, not yet running
        sim::HoldReturns(true); // looked at while away, however late this thread runs
        EXPECT_EQ(PowerRequest(h, c.family), c.power);
        EXPECT_FALSE(sim::IsPresent("e"));
        EXPECT_EQ(
            simreq::Scsi(h, simreq::Cdb("12000000260000"), SCSI_IOCTL_DATA_IN, nullptr, 0, 64, 10)
                .error,
            433u); // the enclosure is gone under the handle
        sim::HoldReturns(false);
        ASSERT_TRUE(sim::WaitForPresence("e", true, kBound));
        EXPECT_EQ(sim::DeviceChanges(), (std::vector<std::string>{"left e", "back e"}));
        EXPECT_EQ(sim::DriveNumberOf("e"), 14);
        const std::vector<sim::NodeView> after = sim::DescribeDisks()[0].nodes;
        ASSERT_EQ(after.size(), nodes.size());
        for (size_t i = 0; i < nodes.size(); ++i) {
            EXPECT_EQ(after[i].id, nodes[i].id); // the same USB port, hub and controller
            EXPECT_EQ(after[i].location, nodes[i].location);
        }
        CloseHandle(h);
        h = Open(L"\\\\.\\PhysicalDrive14");
        EXPECT_EQ(TunnelRevision(h, c.family), "041k020C");
        CloseHandle(h);
    }
}

TEST_F(BridgeFirmwareTest, ARealtekDiskRunsItsNewFirmwareOnlyAfterAReplug) {
    Load(Enclosure("realtek", "RTL9210B NVME", ""));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
    EXPECT_EQ(TunnelDownload(h, Bridge::Realtek, demo::Image(kMicron)),
              std::vector<std::vector<int>>(43, kGood));
    EXPECT_EQ(TunnelCommit(h, Bridge::Realtek), kGood);
    // The chip knows no power request: the ASMedia one is an unknown CDB to it.
    EXPECT_EQ(
        simreq::Scsi(h, simreq::Cdb("ea5a01"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 64, 60).status, 2);
    EXPECT_TRUE(sim::IsPresent("e"));
    EXPECT_EQ(TunnelRevision(h, Bridge::Realtek), "041k0207");
    CloseHandle(h);
    ASSERT_TRUE(sim::ReplugDisk("e"));
    EXPECT_EQ(sim::DeviceChanges(), (std::vector<std::string>{"left e", "back e"}));
    h = Open(L"\\\\.\\PhysicalDrive4");
    EXPECT_EQ(TunnelRevision(h, Bridge::Realtek), "041k020D");
    CloseHandle(h);
}

TEST_F(BridgeFirmwareTest, APowerCycledDiskThatNeverComesBackStaysAway) {
    Load(Enclosure("asmedia", "2362", "power_cycle_ms = 100\nfaults = no_return"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
    EXPECT_EQ(
        simreq::Scsi(h, simreq::Cdb("ea5a01"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 24, 10).status, 0);
    CloseHandle(h);
    Sleep(1000); // ten times its power-cycle time, on the program's clock
    EXPECT_FALSE(sim::IsPresent("e"));
    EXPECT_EQ(sim::DeviceChanges(), std::vector<std::string>{"left e"});
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive4"), INVALID_HANDLE_VALUE);
}

TEST_F(BridgeFirmwareTest, TheRstMiniportActivatesAsTheInboxDriverDoes) {
    const struct {
        const char* mode;
        bool leaves;
        const char* runs; // right after the activation (or once back)
    } cases[] = {
        {"power_cycle", false, "041k020A"},
        {"reset", true, "041k020D"},
        {"immediate", false, "041k020D"},
    };
    const std::vector<uint8_t> image = demo::Image(kMicron);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Load(std::string(kRst) + "fw_activation = " + c.mode + "\n");
        HANDLE port = Open(L"\\\\.\\scsi3:");
        EXPECT_EQ(RstDownload(port, image), std::vector<DWORD>(43, 0));
        // The request has no output: it succeeds also when a power cycle is still due.
        EXPECT_EQ(RstActivate(port), 0u);
        if (c.leaves) {
            // Its leaving is told by the announcements: a look right after the request could
            // come after the reset time on a busy machine and find it back already.
            ASSERT_TRUE(sim::WaitForPresence("r", true, kBound));
            EXPECT_EQ(sim::DeviceChanges(), (std::vector<std::string>{"left r", "back r"}));
        } else {
            EXPECT_TRUE(sim::IsPresent("r"));
        }
        EXPECT_EQ(RstRevision(port), c.runs);
        CloseHandle(port);
    }
    ASSERT_TRUE(sim::ReplugDisk("r")); // the power cycle the first case waited for
    HANDLE port = Open(L"\\\\.\\scsi3:");
    EXPECT_EQ(RstRevision(port), "041k020D");
    CloseHandle(port);
}

TEST_F(BridgeFirmwareTest, EveryZeltarixDiskOfTheDefaultScenarioTakesTheDemoImage) {
    ASSERT_TRUE(sim::LoadDefaultScenario());
    const std::vector<uint8_t> ymtc = demo::Image(kYmtc);
    const std::vector<uint8_t> micron = demo::Image(kMicron);

    // zx-native on drive 1: the native requests; the driver resets the controller.
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(demo::NativeDownload(native, ymtc), std::vector<DWORD>(617, 0));
    EXPECT_EQ(demo::NativeActivate(native), 0u);
    CloseHandle(native);

    // zx-rst behind port 2, path id 1: "IntelFw ".
    HANDLE port = Open(L"\\\\.\\scsi2:");
    EXPECT_EQ(RstDownload(port, micron), std::vector<DWORD>(43, 0));
    EXPECT_EQ(RstActivate(port), 0u);
    CloseHandle(port);

    // The enclosures on drives 4, 5 and 6 by their tunnels; ASMedia and JMicron power-cycle.
    const struct {
        const wchar_t* path;
        Bridge family;
        const std::vector<uint8_t>* image;
    } bridged[] = {{L"\\\\.\\PhysicalDrive4", Bridge::Asmedia, &ymtc},
                   {L"\\\\.\\PhysicalDrive5", Bridge::Jmicron, &micron},
                   {L"\\\\.\\PhysicalDrive6", Bridge::Realtek, &ymtc}};
    for (const auto& b : bridged) {
        HANDLE h = Open(b.path);
        const size_t pieces = (b.image->size() + 4095) / 4096;
        EXPECT_EQ(TunnelDownload(h, b.family, *b.image),
                  std::vector<std::vector<int>>(pieces, kGood));
        EXPECT_EQ(TunnelCommit(h, b.family), kGood);
        if (b.family != Bridge::Realtek) {
            PowerRequest(h, b.family);
        }
        CloseHandle(h);
    }
    for (const char* disk : {"zx-native", "zx-rst", "usb-asmedia", "usb-jmicron"}) {
        ASSERT_TRUE(sim::WaitForPresence(disk, true, kBound)) << disk;
    }
    ASSERT_TRUE(sim::ReplugDisk("usb-realtek"));
    std::map<std::string, std::string> running;
    for (const sim::DiskView& d : sim::DescribeDisks()) {
        running[d.name] = d.firmware;
    }
    EXPECT_EQ(running["zx-native"], "041k020C");
    EXPECT_EQ(running["zx-rst"], "041k020D");
    EXPECT_EQ(running["usb-asmedia"], "041k020C");
    EXPECT_EQ(running["usb-jmicron"], "041k020D");
    EXPECT_EQ(running["usb-realtek"], "041k020C");
    EXPECT_EQ(running["system"], "GXA7601Q");
}

} // namespace
