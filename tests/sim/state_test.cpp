// The drives' state between runs: a state file carries firmware, vendor blocks, drive numbers and
// the power state into the next run; a malformed or unreadable one is a clear error.
#include "platform/posix/control.h"
#include "tests/sim/demo_images.h"
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using simreq::Ioctl;

class StateTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::ClearPower();
        path_ = ::testing::TempDir() + "state_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(path_.c_str());
    }
    void TearDown() override {
        sim::SetStateFile("");
        sim::ClearPower();
        std::remove(path_.c_str());
        zxposix::SetClockSpeed(1);
        SimTest::TearDown();
    }

    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Read() {
        std::ifstream f(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }

    static std::string Firmware(const std::string& disk) {
        for (const sim::DiskView& d : sim::DescribeDisks()) {
            if (d.name == disk) {
                return d.firmware;
            }
        }
        return "(none)";
    }

    // Downloads the demo package's YMTC image to drive 1 and activates it natively.
    static DWORD UpdateNative() {
        HANDLE h = CreateFileW(L"\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(demo::NativeDownload(h, demo::Image(demo::kYmtc)), std::vector<DWORD>(617, 0));
        const DWORD error = demo::NativeActivate(h);
        CloseHandle(h);
        return error;
    }

    // The program's shutdown request for a power-off.
    static void PowerOff() {
        HANDLE token = nullptr;
        ASSERT_TRUE(
            OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        TOKEN_PRIVILEGES tp = {};
        ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &tp.Privileges[0].Luid));
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
        ASSERT_TRUE(ExitWindowsEx(EWX_POWEROFF, 0));
        CloseHandle(token);
    }

    std::string path_;
};

TEST_F(StateTest, TheUpdatedDriveIsWhatTheNextRunFinds) {
    // First run: no file yet, the scenario's drives.
    std::string error;
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
    zxposix::SetClockSpeed(20);
    EXPECT_EQ(UpdateNative(), 0u); // the driver resets the controller
    ASSERT_TRUE(sim::WaitForPresence("zx-native", true, std::chrono::seconds(20)));
    ASSERT_TRUE(sim::ResetDisk("usb-jmicron", 1000, 15)); // comes back as drive 15 after the run
    ASSERT_TRUE(sim::SaveState(&error)) << error;
    const std::string text = Read();
    EXPECT_NE(text.find("[pc state]\nformat = 1\npower = on\n"), std::string::npos);
    EXPECT_NE(text.find("[disk zx-native]\npresent = yes\ndrive = 1\nfirmware = \"041k020C\"\n"
                        "active_slot = 1\npending_slot = 0\npending_power_cycle = no\n"
                        "slot1 = \"041k020C\"\nslot1_version = \"041k020C\"\n"
                        "slot1_ftl = 0x00010203\n"),
              std::string::npos);
    EXPECT_NE(text.find("[disk usb-jmicron]\npresent = yes\ndrive = 15\n"), std::string::npos);

    // Second run: a fresh process would name the file and load the scenario again.
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
    EXPECT_EQ(Firmware("zx-native"), "041k020C");
    EXPECT_EQ(Firmware("zx-rst"), "041k020A");
    EXPECT_EQ(sim::DriveNumberOf("usb-jmicron"), 15);
    std::vector<uint8_t> info;
    ASSERT_TRUE(sim::WithDrive("zx-native",
                               [&](sim::NvmeDrive& d) { info = d.State().blocks["drvinfo"]; }));
    ASSERT_EQ(info.size(), 4096u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&info[32]), 8), "041k020C");
}

// An ATA drive keeps its running firmware, the FTL build number it reports and the FW
// configuration block it was written; a block made from the scenario's keys is not written.
TEST_F(StateTest, TheUpdatedAtaDriveIsWhatTheNextRunFinds) {
    std::string error;
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
    std::vector<uint8_t> config(4096, 0);
    std::memcpy(&config[1064], "051s0108", 8);
    ASSERT_TRUE(sim::WithAtaDrive("sata-a", [&](sim::AtaDrive& d) {
        d.State().firmware = "051s0108";
        d.State().params["vsc_ftl_build"] = "131074";
        d.State().blocks["fwconfig"] = config;
    }));
    ASSERT_TRUE(sim::SaveState(&error)) << error;
    const std::string text = Read();
    EXPECT_NE(text.find("[disk sata-a]\npresent = yes\ndrive = 8\nfirmware = \"051s0108\"\n"
                        "ftl_build = 0x00020002\nfwconfig = " +
                        std::string(2128, '0') + "3035317330313038" + std::string(6048, '0') +
                        "\n\n"),
              std::string::npos);
    EXPECT_NE(text.find("[disk sata-sas]\npresent = yes\ndrive = 11\nfirmware = \"051s0102\"\n"
                        "ftl_build = 0x00020001\n"),
              std::string::npos);
    EXPECT_EQ(text.find("drvinfo"), std::string::npos);

    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&error)) << error;
    EXPECT_EQ(Firmware("sata-a"), "051s0108");
    EXPECT_EQ(Firmware("sata-sas"), "051s0102");
    ASSERT_TRUE(sim::WithAtaDrive("sata-a", [&](sim::AtaDrive& d) {
        EXPECT_EQ(d.Block("fwconfig"), config);
        const std::vector<uint8_t> info = d.Block("drvinfo");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&info[32]), 8), "051s0108");
        EXPECT_EQ(std::vector<uint8_t>(info.begin() + 72, info.begin() + 76),
                  (std::vector<uint8_t>{0x02, 0x00, 0x02, 0x00}));
    }));
}

TEST_F(StateTest, AnImageThatWaitsForAPowerCycleRunsAfterTheNextPowerOn) {
    const std::string scenario = std::string(sim::DefaultScenarioText());
    std::string error;
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    const std::string powerCycle = scenario.substr(0, scenario.find("fw_activation = reset")) +
                                   "fw_activation = power_cycle" +
                                   scenario.substr(scenario.find("fw_activation = reset") + 21);
    ASSERT_TRUE(sim::LoadScenarioText(powerCycle, &error)) << error;
    EXPECT_EQ(UpdateNative(), 0x30207u); // STG_S_POWER_CYCLE_REQUIRED
    ASSERT_TRUE(sim::SaveState(&error)) << error;
    EXPECT_NE(Read().find("pending_slot = 1\npending_power_cycle = yes\n"), std::string::npos);

    // The program ended without a shutdown: the PC stayed on, the old firmware still runs.
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadScenarioText(powerCycle, &error)) << error;
    EXPECT_EQ(Firmware("zx-native"), "041k0207");
    // This run powers the PC off.
    PowerOff();
    ASSERT_TRUE(sim::SaveState(&error)) << error;
    EXPECT_NE(Read().find("power = off\n"), std::string::npos);
    sim::ClearPower();
    ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
    ASSERT_TRUE(sim::LoadScenarioText(powerCycle, &error)) << error;
    EXPECT_EQ(Firmware("zx-native"), "041k020C");
    ASSERT_TRUE(sim::SaveState(&error)) << error;
    EXPECT_NE(Read().find("power = on\n"), std::string::npos);
}

TEST_F(StateTest, AMalformedStateFileIsAClearError) {
    const std::string f = "state " + path_ + ": ";
    const struct {
        const char* text;
        std::string error;
    } cases[] = {
        {"garbage\n", f + "line 1: expected \"key = value\""},
        {"[disk zx-native]\npresent = yes\n", f + "no [pc state] section: not a state file"},
        {"[pc state]\nformat = 2\n", f + "line 1: [pc state] format is 1"},
        {"[pc state]\nformat = 1\npower = asleep\n", f + "line 1: [pc state] power is on, off "
                                                         "or restart"},
        {"[pc state]\nformat = 1\n[disk zx-native]\ncolour = red\n",
         f + "line 3: [disk zx-native] unknown key 'colour'"},
        {"[pc state]\nformat = 1\n[printer p]\n", f + "line 3: [printer p] unknown section type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Write(c.text);
        std::string error;
        EXPECT_FALSE(sim::SetStateFile(path_, &error));
        EXPECT_EQ(error, c.error);
    }
    // What the file says of the disks is checked when a PC takes it: the load fails and the
    // PC before stays.
    const struct {
        const char* text;
        std::string error;
    } disks[] = {
        {"[pc state]\nformat = 1\n[disk nosuch]\npresent = yes\n",
         f + "line 3: [disk nosuch] is not a disk of the scenario"},
        {"[pc state]\nformat = 1\n[disk zx-native]\ndrvinfo = 5a00\n",
         f + "line 3: [disk zx-native] drvinfo is 4096 bytes in hex"},
        {"[pc state]\nformat = 1\n[disk zx-native]\nactive_slot = 2\n",
         f + "line 3: [disk zx-native] active_slot is a filled slot"},
        {"[pc state]\nformat = 1\n[disk zx-native]\nslot3_ftl = 1\n",
         f + "line 3: [disk zx-native] slot3_ftl names an empty slot"},
        {"[pc state]\nformat = 1\n[disk zx-native]\ndrive = 2\n",
         f + "drive number 2 is used twice"},
        {"[pc state]\nformat = 1\n[disk usb-stick]\nfirmware = 1.0\n",
         f + "line 3: [disk usb-stick] the disk has no NVMe drive for these keys"},
        {"[pc state]\nformat = 1\n[disk sata-a]\nactive_slot = 1\n",
         f + "line 3: [disk sata-a] active_slot is not a key of an ATA drive"},
        {"[pc state]\nformat = 1\n[disk sata-a]\nftl_build = 0x100000000\n",
         f + "line 3: [disk sata-a] ftl_build is a 32-bit number"},
        {"[pc state]\nformat = 1\n[disk sata-a]\nfwconfig = 00\n",
         f + "line 3: [disk sata-a] fwconfig is 4096 bytes in hex"},
        {"[pc state]\nformat = 1\n[disk zx-native]\nftl_build = 1\n",
         f + "line 3: [disk zx-native] ftl_build is a key of ATA drives"},
        {"[pc state]\nformat = 1\n[disk zx-native]\nfirmware = \"041k\x01\"\n",
         f + "line 3: [disk zx-native] firmware is printable text of at most 64 characters"},
    };
    for (const auto& c : disks) {
        SCOPED_TRACE(c.text);
        sim::SetStateFile("");
        ASSERT_TRUE(sim::LoadScenarioText("[disk only]\nkind = nvme\ndrive = 3\n"));
        Write(c.text);
        std::string error;
        ASSERT_TRUE(sim::SetStateFile(path_, &error)) << error;
        EXPECT_FALSE(sim::LoadDefaultScenario(&error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(sim::DiskNames(), std::vector<std::string>{"only"});
        // That PC did not take the state: nothing is written over the file.
        EXPECT_FALSE(sim::SaveState(&error));
        EXPECT_EQ(error, f + "not saved, the simulated PC did not load it");
        EXPECT_EQ(Read(), c.text);
    }
    // A path that exists but is no readable file.
    const std::string dir = path_ + ".d";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string error;
    EXPECT_FALSE(sim::SetStateFile(dir, &error));
    EXPECT_EQ(error, "state " + dir + ": is a folder");
    rmdir(dir.c_str());
    // A FIFO is refused at once, not waited on for a writer; an endless device is no state file
    // either (it used to be read until memory ran out).
    const std::string fifo = path_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(sim::SetStateFile(fifo, &error));
    EXPECT_EQ(error, "state " + fifo + ": not a regular file");
    unlink(fifo.c_str());
    EXPECT_FALSE(sim::SetStateFile("/dev/zero", &error));
    EXPECT_EQ(error, "state /dev/zero: not a regular file");
}

} // namespace
