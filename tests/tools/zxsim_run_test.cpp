// `zxsim run` on the default scenario, compared line by line with the expected output in
// tests/tools/zxsim_run/: with the demo package the eligible disks with their details, and for
// each of them RUN answered No (the package's question, then nothing changes); with the SATA
// demo package the SATA disks it admits, and their update kept in a state file between runs; with
// the demo package the update of each NVMe disk, seen by a scan with the same state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Runs zxsim with the arguments in a fresh temp folder, away from the caller's environment.
std::string Zxsim(const std::string& arguments, int* status) {
    char pattern[] = "/tmp/zxsimrun-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    std::string command = std::string("env -u ZX_SIM_SCENARIO -u ZX_SIM_STATE -u ZX_SIM_TRACE ") +
                          "-u ZX_DEBUG_LOG TMPDIR='" + pattern + "' '" + ZXSIM_PATH + "' " +
                          arguments + " 2>/dev/null";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (pipe != nullptr) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            output.append(buffer, n);
        }
        *status = pclose(pipe);
    }
    EXPECT_EQ(std::system(("rm -rf '" + std::string(pattern) + "'").c_str()), 0);
    return output;
}

// Names the first line that differs.
void ExpectSameLines(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    for (size_t i = 0; i < want.size(); i++) {
        ASSERT_LT(i, got.size()) << "line " << i + 1 << " missing, expected: " << want[i];
        ASSERT_EQ(got[i], want[i]) << "line " << i + 1;
    }
    EXPECT_EQ(got.size(), want.size()) << "extra lines from " << want.size() + 1;
}

std::string RunZxsim(const std::string& arguments, int* status) {
    return Zxsim("run --timeout 120 " + arguments, status);
}

std::string Expected(const char* name) {
    std::ifstream in(std::string(ZX_TESTS_TOOLS_DIR) + "/zxsim_run/" + name);
    EXPECT_TRUE(in.good()) << name;
    std::stringstream expected;
    expected << in.rdbuf();
    return expected.str();
}

// The requests of each thread of a trace (by thread id), in their order, without what the run's
// timing and memory decide: the sequence number (how the threads' requests interleave) and the
// buffer address inside a pass-through-direct request (bytes 24 to 31 of its `in`).
std::map<int, std::vector<std::string>> RequestsByThread(const std::string& path) {
    static const std::regex seq("\"seq\":[0-9]+,");
    static const std::regex tid("\"tid\":([0-9]+),");
    static const std::regex direct("(\"ioctl\":\"IOCTL_SCSI_PASS_THROUGH_DIRECT\",.*\"in\":\"."
                                   "{48})[0-9a-f]{16}");
    std::map<int, std::vector<std::string>> requests;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(line, m, tid)) << line;
        const int thread = std::stoi(m[1].str());
        line = std::regex_replace(line, seq, "");
        line = std::regex_replace(line, tid, "");
        line = std::regex_replace(line, direct, "$1<address>");
        requests[thread].push_back(line);
    }
    return requests;
}

} // namespace

// An enclosure that comes back 3 s after the program stopped looking for it: the update ends
// "did not come back" with the Disconnect entry, at speed 10 as at speed 1000, and each thread
// (the dialog's, the update worker's) makes the same requests in the same order. The work
// between the waits takes no program time, so it cannot stretch the program's 60 attempts
// past the enclosure's return at the higher speed.
TEST(ZxsimRun, ASlowEnclosureEndsAlikeAtTenAndAtAThousandTimesTheSpeed) {
    char folder[] = "/tmp/zxsimspeed-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string scenario =
        std::string(" --scenario '") + ZX_TESTS_TOOLS_DIR + "/zxsim_run/slow-enclosure.scenario'";
    std::map<int, std::vector<std::string>> requests[2];
    const char* speeds[] = {"10", "1000"};
    for (int n = 0; n < 2; n++) {
        SCOPED_TRACE(speeds[n]);
        const std::string trace = std::string(folder) + "/" + speeds[n] + ".trace";
        int status = -1;
        std::string output =
            RunZxsim(std::string("--speed ") + speeds[n] + scenario + " --trace '" + trace +
                         "' --select 0 --answer yes" + " --answer ok",
                     &status);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1); // an update that failed
        ExpectSameLines(Lines(output), Lines(Expected("slow_enclosure.txt")));
        requests[n] = RequestsByThread(trace);
        ASSERT_EQ(requests[n].size(), 2u); // the dialog's thread and the update worker
    }
    for (const auto& thread : requests[0]) {
        SCOPED_TRACE("thread " + std::to_string(thread.first));
        ASSERT_EQ(requests[1].count(thread.first), 1u);
        const std::vector<std::string>& slow = thread.second;
        const std::vector<std::string>& fast = requests[1].at(thread.first);
        for (size_t i = 0; i < slow.size() && i < fast.size(); i++) {
            ASSERT_EQ(fast[i], slow[i]) << "request " << i + 1;
        }
        EXPECT_EQ(fast.size(), slow.size());
    }
    EXPECT_EQ(std::system(("rm -rf '" + std::string(folder) + "'").c_str()), 0);
}

TEST(ZxsimRun, PrintsTheScreensAndMessageBoxesOfTheDefaultScenario) {
    const struct {
        const char* arguments;
        const char* expected;
    } cases[] = {
        {"", "default.txt"},
        {"--select 0 --answer no", "select_0_no.txt"},
        {"--select 1 --answer no", "select_1_no.txt"},
        {"--select 2 --answer no", "select_2_no.txt"},
        {"--select 3 --answer no", "select_3_no.txt"},
        {"--select 4 --answer no", "select_4_no.txt"},
        // the SATA demo package lists the SATA disks; RUN re-reads the chosen one by its port
        {"--package '" ZX_SATA_DEMO_ZIP "' --select 1 --answer no", "sata_select_1_no.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("zxsim run ") + c.arguments);
        std::ifstream in(std::string(ZX_TESTS_TOOLS_DIR) + "/zxsim_run/" + c.expected);
        ASSERT_TRUE(in.good()) << c.expected;
        std::stringstream expected;
        expected << in.rdbuf();
        int status = -1;
        std::string output = RunZxsim(c.arguments, &status);
        EXPECT_EQ(status, 0);
        ExpectSameLines(Lines(output), Lines(expected.str()));
    }
}

// The SATA demo package updates each ZELTARIX SATA disk of the default scenario (AHCI, USB, SAS)
// in a run of its own, and a following run with the same state file shows the new firmware
// 051s0108 on all three, where RUN now finds nothing to do.
TEST(ZxsimRun, TheSataDemoPackageUpdatesEachSataDiskAndTheNextRunShowsTheNewFirmware) {
    char folder[] = "/tmp/zxsimstate-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string state = std::string(" --state '") + folder + "/state.txt'";
    const struct {
        const char* arguments;
        const char* expected;
    } runs[] = {
        {"--select 0 --answer yes --answer cancel", "sata_update_0.txt"},
        {"--select 1 --answer yes --answer cancel", "sata_update_1.txt"},
        {"--select 2 --answer yes --answer cancel", "sata_update_2.txt"},
        {"--select 0 --answer ok", "sata_after_update.txt"},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(std::string("zxsim run ") + r.arguments);
        std::ifstream in(std::string(ZX_TESTS_TOOLS_DIR) + "/zxsim_run/" + r.expected);
        ASSERT_TRUE(in.good()) << r.expected;
        std::stringstream expected;
        expected << in.rdbuf();
        int status = -1;
        std::string output = RunZxsim(
            std::string("--package '" ZX_SATA_DEMO_ZIP "' ") + r.arguments + state, &status);
        EXPECT_EQ(status, 0);
        ExpectSameLines(Lines(output), Lines(expected.str()));
    }
    EXPECT_EQ(std::system(("rm -rf '" + std::string(folder) + "'").c_str()), 0);
}

// The five ZELTARIX NVMe disks of the default scenario updated one after the other with one state
// file: each run shows the update and its outcome (the Realtek one's new firmware waits for a
// replug, and the program says so); a scan afterwards lists the four that were reset with the
// demo package's firmware, and the Realtek one once it has been replugged.
TEST(ZxsimRun, UpdatesEachDiskAndAScanWithTheSameStateSeesTheNewFirmware) {
    char folder[] = "/tmp/zxsimstate-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string state = std::string(" --state '") + folder + "/state'";
    const char* expected[] = {"update_0.txt", "update_1.txt", "update_2.txt", "update_3.txt",
                              "update_4.txt"};
    for (int n = 0; n < 5; n++) {
        SCOPED_TRACE(expected[n]);
        int status = -1;
        // The Realtek disk's new firmware waits for a replug: its box has OK alone.
        const std::string outcome = n == 4 ? " --answer ok" : " --answer cancel";
        std::string output =
            RunZxsim("--select " + std::to_string(n) + " --answer yes" + outcome + state, &status);
        EXPECT_EQ(status, 0);
        ExpectSameLines(Lines(output), Lines(Expected(expected[n])));
    }
    int status = -1;
    ExpectSameLines(Lines(Zxsim("scan" + state, &status)),
                    Lines(Expected("scan_before_replug.txt")));
    EXPECT_EQ(status, 0);
    Zxsim("replug usb-realtek" + state, &status);
    EXPECT_EQ(status, 0);
    ExpectSameLines(Lines(Zxsim("scan" + state, &status)),
                    Lines(Expected("scan_after_replug.txt")));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::system(("rm -rf '" + std::string(folder) + "'").c_str()), 0);
}
