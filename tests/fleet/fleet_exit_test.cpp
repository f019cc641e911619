// The exit code of an unattended run from what became of its disks: the worst outcome wins, and
// /check asks only whether an update is due.
#include "fleet/fleet_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A disk with an outcome; a failure may be before or after the commit, at a step.
struct Disk {
    int outcome;
    int committed = 0;
    int failedStep = -1;
};

int ExitCodeOf(const std::vector<Disk>& disks, int checkOnly) {
    static FleetRun run;
    memset(&run, 0, sizeof(run));
    run.iDiskCount = static_cast<uint32_t>(disks.size());
    for (size_t i = 0; i < disks.size(); ++i) {
        run.Disks[i].iOutcome = disks[i].outcome;
        run.Disks[i].Update.bCommitted = static_cast<uint8_t>(disks[i].committed);
        run.Disks[i].Update.iFailedStep = disks[i].failedStep;
    }
    return FleetExitCode(&run, checkOnly);
}

TEST(FleetExitCode, TheWorstOutcomeOfTheDisksWins) {
    const struct {
        const char* name;
        std::vector<Disk> disks;
        int code;
    } cases[] = {
        {"no disk at all", {}, 10},
        {"only disks the package does not admit", {{FLEET_NOT_ADMITTED}}, 10},
        {"the one admitted disk is not the one named",
         {{FLEET_NOT_SELECTED}, {FLEET_NOT_ADMITTED}},
         10},
        {"every admitted disk refused",
         {{FLEET_REFUSED}, {FLEET_REFUSED}, {FLEET_NOT_ADMITTED}},
         11},
        {"one refused, one current", {{FLEET_REFUSED}, {FLEET_CURRENT}}, 0},
        {"updated and active", {{FLEET_ACTIVE}, {FLEET_NOT_ADMITTED}}, 0},
        {"a restart activates it", {{FLEET_ACTIVE}, {FLEET_PENDING_RESTART}}, 3010},
        {"a replug beats a restart", {{FLEET_PENDING_REPLUG}, {FLEET_PENDING_RESTART}}, 3020},
        {"a power-off", {{FLEET_PENDING_POWER_OFF}}, 3020},
        {"a download failure beats a pending image",
         {{FLEET_PENDING_REPLUG}, {FLEET_FAILED, 0, STEP_DOWNLOAD}},
         12},
        {"a commit failure",
         {{FLEET_FAILED, 0, STEP_COMMIT}, {FLEET_FAILED, 0, STEP_DOWNLOAD}},
         13},
        {"committed, the version text not written",
         {{FLEET_FAILED, 1, STEP_VERSION_AFTER}, {FLEET_ACTIVE}},
         15},
        {"a commit failure beats an unverified one",
         {{FLEET_FAILED, 1, STEP_VERIFY}, {FLEET_FAILED, 0, STEP_COMMIT}},
         13},
        {"a drive that did not come back beats all",
         {{FLEET_FAILED, 0, STEP_COMMIT}, {FLEET_NOT_BACK}, {FLEET_PENDING_RESTART}},
         14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExitCodeOf(c.disks, 0), c.code);
    }
}

TEST(FleetExitCode, CheckSaysOnlyWhetherAnUpdateIsDue) {
    EXPECT_EQ(ExitCodeOf({}, 1), 0);
    EXPECT_EQ(ExitCodeOf({{FLEET_NOT_ADMITTED}}, 1), 0);
    EXPECT_EQ(ExitCodeOf({{FLEET_CURRENT}, {FLEET_REFUSED}, {FLEET_PENDING_REPLUG}}, 1), 0);
    EXPECT_EQ(ExitCodeOf({{FLEET_CURRENT}, {FLEET_UPDATE_DUE}}, 1), 1);
}

TEST(FleetRecordNames, AreTheReportsWords) {
    const char* const outcomes[] = {
        "not-admitted",   "not-selected", "refused",         "current",
        "update-due",     "active",       "pending-restart", "pending-power-off",
        "pending-replug", "not-back",     "failed"};
    for (int i = 0; i <= FLEET_FAILED; ++i) {
        EXPECT_STREQ(FleetOutcomeName(i), outcomes[i]);
    }
    EXPECT_STREQ(FleetOutcomeName(FLEET_FAILED + 1), "unknown");
    EXPECT_STREQ(FleetPathName(CMD_NVME), "nvme");
    EXPECT_STREQ(FleetPathName(CMD_RST), "rst");
    EXPECT_STREQ(FleetPathName(CMD_USB_ASM), "asmedia");
    EXPECT_STREQ(FleetPathName(CMD_USB_JMI), "jmicron");
    EXPECT_STREQ(FleetPathName(CMD_USB_RTK), "realtek");
    EXPECT_STREQ(FleetPathName(CMD_SATA), "sata");
    EXPECT_STREQ(FleetPathName(CMD_SATA_USB), "sata-usb");
    EXPECT_STREQ(FleetPathName(CMD_SATA_SCSI), "sata-scsi");
    SYSTEMTIME t = {2026, 12, 3, 9, 7, 5, 3, 42};
    char text[40];
    FormatIsoTime(&t, text, sizeof(text));
    EXPECT_STREQ(text, "2026-12-09T07:05:03.042Z");
}

} // namespace
