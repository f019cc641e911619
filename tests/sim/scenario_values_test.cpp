// Scenario values the simulated PC cannot hold exactly are refused on the line of their key:
// numbers past their field, signs, hex ids of the wrong length or with other text, fault
// arguments and counts that do not fit.
#include "sim/control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ScenarioValues, EachIsRefusedOnItsOwnLine) {
    struct Case {
        std::string keys; // lines 4 and on of "[disk a]", "kind = nvme", "drive = 1"
        std::string error;
    };
    const std::vector<Case> cases = {
        {"sectors = 18446744073709551616", "line 4: [disk a] sectors is a number"},
        {"sectors = +5", "line 4: [disk a] sectors is a number"},
        {"sectors = 0x", "line 4: [disk a] sectors is a number"},
        {"sectors = 12 34", "line 4: [disk a] sectors is a number"},
        {"model = M\nvendor_id = 0x10000", "line 5: [disk a] vendor_id is 0..0xFFFF"},
        {"ssvid = 65536", "line 4: [disk a] ssvid is 0..0xFFFF"},
        {"vsc_soc_id = 0x13C71", "line 4: [disk a] vsc_soc_id is a number 0..0xFFFF"},
        {"vsc_soc_id = -1", "line 4: [disk a] vsc_soc_id is a number 0..0xFFFF"},
        {"vsc_ch = 256", "line 4: [disk a] vsc_ch is a number 0..0xFF"},
        {"vsc_ftl_build = 0x100000000", "line 4: [disk a] vsc_ftl_build is a number 0..0xFFFFFFFF"},
        {"vsc_nand_id = 9BC5587130", "line 4: [disk a] vsc_nand_id is 12 hex digits"},
        {"vsc_nand_id = 9BC55871300G", "line 4: [disk a] vsc_nand_id is 12 hex digits"},
        {"vsc_nand_id = 9BC558713000AA", "line 4: [disk a] vsc_nand_id is 12 hex digits"},
        {"vsc_nand_table = 9BC5587", "line 4: [disk a] vsc_nand_table is hex bytes, at most 230"},
        {"link = 3,4,3,4294967296",
         "line 4: [disk a] link is \"speed,width,max speed,max width\" or none"},
        {"model = M\nfaults = open_fial",
         "line 5: [disk a] fault 'open_fial': unknown kind 'open_fial'"},
        {"faults = slow:4294967296",
         "line 4: [disk a] fault 'slow:4294967296': needs a number 0..0xFFFFFFFF"},
        {"faults = open_fail*1000001",
         "line 4: [disk a] fault 'open_fail*1000001': count after '*' is a number"},
        {"faults = open_fail*+2",
         "line 4: [disk a] fault 'open_fail*+2': count after '*' is a number"},
        {"drive_x = 1\n", "line 4: [disk a] unknown key 'drive_x'"},
        {"usb =ontroller = c",
         "line 4: [disk a] usb is \"controller/port/.../port\" with numbers 1..99"},
        {"scsi_port = 5\n[disk b]\nkind = nvme\ndrive = 2\nscsi_port = 5",
         "line 5: [disk b] has the same SCSI address as disk a"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(
            sim::LoadScenarioText("[disk a]\nkind = nvme\ndrive = 1\n" + c.keys + "\n", &error))
            << c.keys;
        EXPECT_EQ(error, c.error) << c.keys;
    }
    // The largest values that fit are taken.
    std::string error;
    EXPECT_TRUE(sim::LoadScenarioText(
        "[disk a]\nkind = nvme\ndrive = 1\nvendor_id = 0xFFFF\nvsc_soc_id = 65535\n"
        "vsc_ftl_build = 0xFFFFFFFF\nvsc_nand_id = 9B C5 58 71 30 00\nfaults = slow:4294967295\n"
        "sectors = 18446744073709551615\n",
        &error))
        << error;
}

} // namespace
