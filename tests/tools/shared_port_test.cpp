// `zxsim run` updates the disk the user picked and no other: on the default scenario and on the
// two shipped scenarios where disks share a port id (two ZELTARIX NVMe disks behind one Intel RST
// controller; ZELTARIX SATA disks at PathId 0 of different AHCI controllers), each ZELTARIX disk
// the package lists is picked and updated in a run of its own, from a fresh state file. Its
// section of the state file then holds the new firmware, and every other disk's section is what a
// run that changed nothing leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

// Runs zxsim with the arguments in a fresh temp folder, away from the caller's environment.
int Zxsim(const std::string& arguments, std::string* output) {
    char pattern[] = "/tmp/zxsimport-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    const std::string command = std::string("env -u ZX_SIM_SCENARIO -u ZX_SIM_STATE ") +
                                "-u ZX_SIM_TRACE -u ZX_DEBUG_LOG TMPDIR='" + pattern + "' '" +
                                ZXSIM_PATH + "' " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    int status = -1;
    if (pipe != nullptr) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            output->append(buffer, n);
        }
        status = pclose(pipe);
    }
    EXPECT_EQ(std::system(("rm -rf '" + std::string(pattern) + "'").c_str()), 0);
    return status;
}

// The sections of a state file by their header ("[disk zx-rst]"), each with its lines.
std::map<std::string, std::string> Sections(const std::string& path) {
    std::map<std::string, std::string> sections;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::string line;
    std::string current;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            current = line;
        }
        if (!current.empty()) {
            sections[current] += line + "\n";
        }
    }
    return sections;
}

// One value of a section ("firmware = ..."), as the file writes it.
std::string Value(const std::string& section, const std::string& key) {
    std::istringstream in(section);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + " = ", 0) == 0) {
            return line.substr(key.size() + 3);
        }
    }
    return "<missing>";
}

class ZxsimSharedPort : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zxsimshared-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }

    // A run of the program on the scenario (empty: the default one) with the package (empty:
    // the embedded demo package), from no state, that saves its state in a file of its own.
    std::map<std::string, std::string> Run(const std::string& scenario, const std::string& package,
                                           const std::string& steps, const std::string& name) {
        const std::string state = dir_ + "/" + name;
        std::string arguments = "run --speed 50 --timeout 300 --state '" + state + "'";
        if (!scenario.empty()) {
            arguments += " --scenario '" + std::string(ZX_SCENARIOS_DIR) + "/" + scenario + "'";
        }
        if (!package.empty()) {
            arguments += " --package '" + package + "'";
        }
        std::string output;
        EXPECT_EQ(Zxsim(arguments + " " + steps, &output), 0) << output;
        return Sections(state);
    }

    std::string dir_;
};

} // namespace

TEST_F(ZxsimSharedPort, UpdatesThePickedDiskAndLeavesEveryOtherDiskAsItWas) {
    const std::string nvme;
    const std::string sata = ZX_SATA_DEMO_ZIP;
    // The outcome box: OK and Cancel after the package's closing message; OK alone for the
    // Realtek disk, whose new firmware waits for a replug.
    const char* active = "--answer yes --answer cancel";
    const char* pending = "--answer yes --answer ok";
    const struct {
        const char* scenario;
        const std::string& package;
        int entry;
        const char* disk;
        const char* answers;
        const char* firmware;     // what the picked disk runs afterwards
        const char* pendingSlot1; // its slot 1, when the new firmware waits ("" otherwise)
    } cases[] = {
        {"", nvme, 0, "zx-native", active, "\"041k020C\"", ""},
        {"", nvme, 1, "zx-rst", active, "\"041k020D\"", ""},
        {"", nvme, 2, "usb-asmedia", active, "\"041k020C\"", ""},
        {"", nvme, 3, "usb-jmicron", active, "\"041k020D\"", ""},
        {"", nvme, 4, "usb-realtek", pending, "\"041k0207\"", "\"041k020C\""},
        {"", sata, 0, "sata-a", active, "\"051s0108\"", ""},
        {"", sata, 1, "sata-usb", active, "\"051s0108\"", ""},
        {"", sata, 2, "sata-sas", active, "\"051s0108\"", ""},
        // zx-rst and zx-rst2 share their port id, zx-rst2 is the later one
        {"shared-port-rst.scenario", nvme, 1, "zx-rst", active, "\"041k020D\"", ""},
        {"shared-port-rst.scenario", nvme, 5, "zx-rst2", active, "\"041k020D\"", ""},
        // sata-a, sata-b (another maker's) and sata-c all have the port id 0
        {"shared-port-sata.scenario", sata, 0, "sata-a", active, "\"051s0108\"", ""},
        {"shared-port-sata.scenario", sata, 3, "sata-c", active, "\"051s0108\"", ""},
    };
    std::map<std::string, std::map<std::string, std::string>> unchanged;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + c.disk);
        const std::string key = std::string(c.scenario) + "|" + c.package;
        if (unchanged.count(key) == 0) {
            unchanged[key] = Run(c.scenario, c.package, "--select 0 --answer no",
                                 "unchanged-" + std::to_string(unchanged.size()));
        }
        const std::map<std::string, std::string>& before = unchanged[key];
        const std::map<std::string, std::string> after =
            Run(c.scenario, c.package, "--select " + std::to_string(c.entry) + " " + c.answers,
                std::string(c.disk) + "-" + std::to_string(unchanged.size()));
        const std::string picked = std::string("[disk ") + c.disk + "]";
        ASSERT_EQ(after.count(picked), 1u);
        EXPECT_EQ(Value(after.at(picked), "firmware"), c.firmware);
        if (c.pendingSlot1[0] != 0) {
            EXPECT_EQ(Value(after.at(picked), "slot1"), c.pendingSlot1);
            EXPECT_EQ(Value(after.at(picked), "pending_slot"), "1");
        }
        EXPECT_NE(after.at(picked), before.at(picked));
        ASSERT_EQ(after.size(), before.size());
        for (const auto& section : before) {
            if (section.first != picked && section.first.rfind("[disk ", 0) == 0) {
                ASSERT_EQ(after.count(section.first), 1u) << section.first;
                EXPECT_EQ(after.at(section.first), section.second) << section.first;
            }
        }
    }
}
