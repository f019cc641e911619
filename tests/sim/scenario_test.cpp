// Scenario texts: what a scenario may say and how its mistakes are reported.
#include "sim/control.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Error(const std::string& text) {
    std::string error;
    EXPECT_FALSE(sim::LoadScenarioText(text, &error));
    return error;
}

TEST(Scenario, MistakesAreRefusedWithTheirLine) {
    EXPECT_EQ(Error("[disk a]\nkind = nvme\ndrive = 1\nsize = 3\n"),
              "line 4: [disk a] unknown key 'size'");
    EXPECT_EQ(Error("drive = 1\n"), "line 1: key outside a section");
    EXPECT_EQ(Error("[disk a]\nkind = nvme\ndrive = 1\ndrive = 2\n"),
              "line 4: key 'drive' given twice");
    EXPECT_EQ(Error("[disk a]\nkind = floppy\ndrive = 1\n"),
              "line 2: [disk a] kind is nvme, rst, usb, sata or other");
    EXPECT_EQ(Error("[disk a]\nkind = nvme\ndrive = 1\n[disk b]\nkind = nvme\ndrive = 1\n"),
              "line 6: [disk b] drive number used twice");
    EXPECT_EQ(Error("[disk a]\nkind = usb\ndrive = 1\nusb = 1/2\nbridge = cypress\n"),
              "line 5: [disk a] unknown bridge 'cypress'");
    EXPECT_EQ(Error("[disk a]\nkind = usb\ndrive = 1\nusb = 1\n"),
              "line 4: [disk a] usb needs a controller and at least one port");
    EXPECT_EQ(Error("[disk a]\nkind = rst\ndrive = 1\ncontroller = x\n"),
              "line 4: [disk a] no [controller x]");
    EXPECT_EQ(Error("[disk a]\nkind = nvme\ndrive = 1\nlink = 3,4\n"),
              "line 4: [disk a] link is \"speed,width,max speed,max width\" or none");
    EXPECT_EQ(Error("[disk a]\nkind = nvme\ndrive = 1\ndrvinfo = 5A0\n"),
              "line 4: [disk a] a vendor block has an odd number of hex digits");
    EXPECT_EQ(Error("[printer p]\n"), "line 1: [printer p] unknown section type");
}

TEST(Scenario, AFailedLoadKeepsThePreviousPc) {
    ASSERT_TRUE(sim::LoadScenarioText("[disk only]\nkind = nvme\ndrive = 3\nsectors = 1000\n"));
    Error("[disk a]\nkind = nvme\n");
    EXPECT_EQ(sim::DiskNames(), std::vector<std::string>{"only"});
    EXPECT_EQ(sim::DriveNumberOf("only"), 3);
}

TEST(Scenario, TheDefaultScenarioHasEveryKind) {
    ASSERT_TRUE(sim::LoadDefaultScenario());
    std::string kinds;
    std::string volumes;
    for (const auto& d : sim::DescribeDisks()) {
        kinds += d.kind + (d.bridge.empty() ? "" : ":" + d.bridge) + " ";
        volumes += d.volumes;
    }
    EXPECT_EQ(kinds, "nvme nvme rst nvme usb:asmedia usb:jmicron usb:realtek usb:plain sata sata "
                     "usb:sata sata ");
    EXPECT_EQ(volumes, "CDEFGH");
}

} // namespace
