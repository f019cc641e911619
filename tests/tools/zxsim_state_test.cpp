// zxsim keeps the drives' state between its runs with --state (or ZX_SIM_STATE): a committed
// image a Realtek disk waits for runs once `zxsim replug` has replugged it, and the next
// `zxsim scan` sees it; a malformed state file stops the command with its reason.
#include "tests/support/trace_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>

namespace {

class ZxsimStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string base = ::testing::TempDir() + "zxsim_state_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        state_ = base + ".txt";
        out_ = base + ".out";
        err_ = base + ".err";
        std::remove(state_.c_str());
    }
    void TearDown() override {
        for (const std::string& f : {state_, out_, err_}) {
            std::remove(f.c_str());
        }
    }

    // Runs zxsim with the arguments; its exit code. Standard output and error go to files.
    int Zxsim(const std::string& args) {
        const std::string command =
            std::string("'") + ZXSIM_PATH + "' " + args + " > '" + out_ + "' 2> '" + err_ + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static std::string Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }

    // The FirmwareRev of the Disk record zxsim scan printed for a device path.
    std::string ScannedFirmware(const std::string& path) {
        bool ok = false;
        std::string bad;
        for (const tracetest::Value& line : tracetest::ReadTrace(out_, ok, bad)) {
            auto p = line.fields.find("DevicePath");
            if (p != line.fields.end() && p->second.text == path) {
                return line.fields.at("FirmwareRev").text;
            }
        }
        return "(not found)";
    }

    std::string state_, out_, err_;
};

TEST_F(ZxsimStateTest, AReplugRunsTheCommittedImageAndTheNextScanSeesIt) {
    // A first run writes the state of the default scenario's drives.
    ASSERT_EQ(Zxsim("scan --state '" + state_ + "'"), 0) << Read(err_);
    const std::string first = Read(state_);
    const std::string head =
        "# The simulated drives as the last run left them (docs/scenario.md).\n"
        "[pc state]\nformat = 1\npower = on\n";
    ASSERT_EQ(first.compare(0, head.size(), head), 0) << first.substr(0, 200);
    // The Realtek disk holds an image in slot 2 that runs after its next reset.
    std::string text = first;
    const std::string section = "[disk usb-realtek]\n";
    const size_t at = text.find(section);
    ASSERT_NE(at, std::string::npos);
    const size_t end = text.find("\n[disk ", at + 1);
    text = text.substr(0, at) + section +
           "present = yes\ndrive = 6\nfirmware = \"041k0207\"\nactive_slot = 1\npending_slot = 2\n"
           "pending_power_cycle = no\nslot1 = \"041k0207\"\nslot2 = \"041k020C\"\n"
           "slot2_version = \"041k020C\"\n" +
           (end == std::string::npos ? std::string() : text.substr(end));
    std::ofstream(state_, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(Zxsim("scan --state '" + state_ + "'"), 0) << Read(err_);
    EXPECT_EQ(ScannedFirmware("\\\\.\\PhysicalDrive6"), "041k0207");
    ASSERT_EQ(Zxsim("replug usb-realtek --state '" + state_ + "'"), 0) << Read(err_);
    setenv("ZX_SIM_STATE", state_.c_str(), 1); // the variable does what --state does
    const int rc = Zxsim("scan");
    unsetenv("ZX_SIM_STATE");
    ASSERT_EQ(rc, 0) << Read(err_);
    EXPECT_EQ(ScannedFirmware("\\\\.\\PhysicalDrive6"), "041k020C");
    EXPECT_EQ(ScannedFirmware("\\\\.\\PhysicalDrive1"), "041k0207");
}

TEST_F(ZxsimStateTest, AMalformedStateFileStopsTheCommand) {
    std::ofstream(state_, std::ios::binary) << "[pc state]\nformat = 1\npower = maybe\n";
    EXPECT_EQ(Zxsim("devices --state '" + state_ + "'"), 2);
    EXPECT_EQ(Read(err_),
              "zxsim: state " + state_ + ": line 1: [pc state] power is on, off or restart\n");
    EXPECT_EQ(Read(out_), "");
    // The file is left as it was.
    EXPECT_EQ(Read(state_), "[pc state]\nformat = 1\npower = maybe\n");
    // A disk the scenario does not have: the command's scenario load fails, nothing is saved.
    std::ofstream(state_, std::ios::binary | std::ios::trunc)
        << "[pc state]\nformat = 1\n[disk elsewhere]\npresent = yes\n";
    EXPECT_EQ(Zxsim("scan --state '" + state_ + "'"), 2);
    EXPECT_EQ(Read(err_), "zxsim scan: default scenario: state " + state_ +
                              ": line 3: [disk elsewhere] is not a disk of the scenario\n"
                              "zxsim: state " +
                              state_ + ": not saved, the simulated PC did not load it\n");
    EXPECT_EQ(Read(state_), "[pc state]\nformat = 1\n[disk elsewhere]\npresent = yes\n");
}

} // namespace
