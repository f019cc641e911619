// The unattended program as a fleet tool starts it: zxflash with its switches on a simulated PC
// (a scenario file and a state file per test), its exit status, what it prints, its report and
// its log, and the drives' firmware in the state file afterwards.
#include "sim/control.h"

#include "cjson/cJSON.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

struct Result {
    int status = -1; // the exit status, -1 when the program did not exit
    std::string out;
    std::string err;
};

class FleetProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zxfleet-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        state_ = dir_ + "/state.json";
        UseScenario(sim::DefaultScenarioText());
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    void UseScenario(const std::string& text) {
        scenario_ = dir_ + "/pc.scenario";
        std::ofstream(scenario_, std::ios::binary) << text;
    }

    // The default scenario with keys set in the section of one disk (a key there already is
    // replaced, the others are added).
    void UseDefaultWith(const std::string& disk, const std::string& keys) {
        std::string text = sim::DefaultScenarioText();
        const std::string header = "[disk " + disk + "]\n";
        const size_t at = text.find(header);
        ASSERT_NE(at, std::string::npos);
        const size_t body = at + header.size();
        size_t line = 0;
        while (line < keys.size()) {
            const size_t end = keys.find('\n', line);
            const std::string entry = keys.substr(line, end - line);
            line = end + 1;
            const std::string key = entry.substr(0, entry.find(' '));
            const size_t sectionEnd = std::min(text.find("\n[", body), text.size());
            const size_t old = text.find("\n" + key + " =", body - 1);
            if (old != std::string::npos && old < sectionEnd) {
                text.replace(old + 1, text.find('\n', old + 1) - old - 1, entry);
            } else {
                text.insert(body, entry + "\n");
            }
        }
        UseScenario(text);
    }

    // zxflash with the arguments, on this test's PC, fast; what it printed and its status.
    Result Zxflash(const std::vector<std::string>& args) { return Spawn(ZXFLASH_PATH, args); }

    Result Spawn(const std::string& program, const std::vector<std::string>& args) {
        const std::string out = dir_ + "/out.txt";
        const std::string err = dir_ + "/err.txt";
        pid_t pid = fork();
        if (pid == 0) {
            setenv("ZX_SIM_SCENARIO", scenario_.c_str(), 1);
            setenv("ZX_SIM_STATE", state_.c_str(), 1);
            setenv("ZX_SIM_SPEED", "100", 1);
            setenv("XDG_STATE_HOME", dir_.c_str(), 1);
            setenv("TMPDIR", dir_.c_str(), 1);
            unsetenv("ZX_DEBUG_LOG");
            for (const auto& variable : env_) {
                setenv(variable.first.c_str(), variable.second.c_str(), 1);
            }
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(e, 2);
            if (chdir(dir_.c_str()) != 0) {
                _exit(126);
            }
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        Result run;
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }

    // The firmware the state file keeps for each disk serial (what the drives run).
    std::string StateText() { return ReadFile(state_); }

    // Each disk's outcome in the report, by serial number.
    std::map<std::string, std::string> Outcomes(const std::string& report) {
        std::map<std::string, std::string> outcomes;
        cJSON* root = cJSON_Parse(ReadFile(report).c_str());
        EXPECT_NE(root, nullptr) << report;
        if (root == nullptr) {
            return outcomes;
        }
        const cJSON* disk = nullptr;
        cJSON_ArrayForEach(disk, cJSON_GetObjectItem(root, "disks")) {
            outcomes[cJSON_GetObjectItem(disk, "serial")->valuestring] =
                cJSON_GetObjectItem(disk, "outcome")->valuestring;
        }
        cJSON_Delete(root);
        return outcomes;
    }

    std::string dir_;
    std::string state_;
    std::string scenario_;
    std::map<std::string, std::string> env_; // set in the program's environment last
};

const char kNative[] = "ZX5016A0000000000001";
const char kRst[] = "ZX5012B0000000000002";
const char kAsmedia[] = "ZX5016D0000000000004";
const char kJmicron[] = "ZX5012E0000000000005";
const char kRealtek[] = "ZX5016F0000000000006";
const char kSystem[] = "S675NX0T123456      ";

TEST_F(FleetProgram, SilentUpdatesTheFiveDisksAndCheckAgreesBeforeAndAfterTheReplug) {
    Result check = Zxflash({"/check"});
    EXPECT_EQ(check.status, 1) << check.err;

    Result run = Zxflash({"/silent", "/report", "R.json", "/log", "run.log"});
    EXPECT_EQ(run.status, 3020 & 0xFF) << run.err;
    EXPECT_EQ(run.err, "zxflash: exit code 3020\n");
    EXPECT_EQ(run.out, "");
    const std::map<std::string, std::string> want = {
        {kSystem, "not-admitted"}, {kNative, "active"},  {kRst, "active"},
        {kAsmedia, "active"},      {kJmicron, "active"}, {kRealtek, "pending-replug"}};
    EXPECT_EQ(Outcomes(dir_ + "/R.json"), want);
    EXPECT_FALSE(Exists(dir_ + "/R.json.partial"));

    cJSON* root = cJSON_Parse(ReadFile(dir_ + "/R.json").c_str());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "schema")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(root, "exit_code")->valueint, 3020);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetObjectItem(root, "program"), "name")->valuestring,
                 "zxflash");
    const cJSON* package = cJSON_GetObjectItem(root, "package");
    EXPECT_STREQ(cJSON_GetObjectItem(package, "title")->valuestring, "FW update tool");
    EXPECT_STREQ(cJSON_GetObjectItem(package, "newversion")->valuestring, "041k0210");
    // Each NandMap entry with the revision its image carries; a file the package lacks has none.
    std::vector<std::string> images;
    const cJSON* image = nullptr;
    cJSON_ArrayForEach(image, cJSON_GetObjectItem(package, "images")) {
        images.push_back(std::string(cJSON_GetObjectItem(image, "nand")->valuestring) + " " +
                         cJSON_GetObjectItem(image, "file")->valuestring + " " +
                         cJSON_GetObjectItem(image, "revision")->valuestring);
    }
    const std::vector<std::string> packageImages = {
        "9BC5587130_1 YMTC_X3_9070_0.fw 041k020C", "9BC5587130_2 YMTC_X3_9070_0.fw 041k020C",
        "2CC30832E604_1 NoFile ", "2CC30832E604_2 MICRON_B47R_0.fw 041k020D"};
    EXPECT_EQ(images, packageImages);
    const cJSON* native = cJSON_GetArrayItem(cJSON_GetObjectItem(root, "disks"), 1);
    EXPECT_STREQ(cJSON_GetObjectItem(native, "path")->valuestring, "nvme");
    EXPECT_STREQ(cJSON_GetObjectItem(native, "firmware_before")->valuestring, "041k0207");
    EXPECT_STREQ(cJSON_GetObjectItem(native, "firmware_after")->valuestring, "041k020C");
    EXPECT_STREQ(cJSON_GetObjectItem(native, "reason")->valuestring,
                 "Update finished: ZELTARIX ZX5016 1TB runs firmware 041k020C.");
    std::vector<std::string> steps;
    const cJSON* step = nullptr;
    cJSON_ArrayForEach(step, cJSON_GetObjectItem(native, "steps")) {
        steps.push_back(cJSON_GetObjectItem(step, "name")->valuestring);
        EXPECT_STREQ(cJSON_GetObjectItem(step, "result")->valuestring, "ok");
    }
    const std::vector<std::string> nativeSteps = {
        "open", "check", "config_read", "download", "commit", "version_after", "refind", "verify"};
    EXPECT_EQ(steps, nativeSteps);
    const cJSON* realtek = cJSON_GetArrayItem(cJSON_GetObjectItem(root, "disks"), 5);
    EXPECT_STREQ(cJSON_GetObjectItem(realtek, "reason")->valuestring,
                 "The new firmware 041k020C is installed on ZELTARIX ZX5016 1TB and starts after "
                 "its enclosure is unplugged and plugged in again. Until then the drive runs "
                 "041k0207.");
    cJSON_Delete(root);

    // The log: a header, the answer the run implied, each disk's outcome, the exit code.
    const std::string log = ReadFile(dir_ + "/run.log");
    EXPECT_NE(log.find(" ==== zxflash "), std::string::npos);
    EXPECT_NE(log.find(" Answer implied: Yes to \""), std::string::npos);
    EXPECT_NE(
        log.find(" Disk ZELTARIX ZX5016 1TB (ZX5016F0000000000006, realtek): pending-replug."),
        std::string::npos);
    EXPECT_NE(log.find(" Exit code 3020\r\n"), std::string::npos);

    // Nothing more is due; once the enclosure was replugged every disk is current.
    EXPECT_EQ(Zxflash({"/check"}).status, 0);
    Result replug =
        Spawn(ZXSIM_PATH, {"replug", "--state", state_, "--scenario", scenario_, "usb-realtek"});
    ASSERT_EQ(replug.status, 0) << replug.err;
    EXPECT_EQ(Zxflash({"/check"}).status, 0);
    Result again = Zxflash({"/silent", "/report", "R2.json"});
    EXPECT_EQ(again.status, 0) << again.err;
    const std::map<std::string, std::string> current = {
        {kSystem, "not-admitted"}, {kNative, "current"},  {kRst, "current"},
        {kAsmedia, "current"},     {kJmicron, "current"}, {kRealtek, "current"}};
    EXPECT_EQ(Outcomes(dir_ + "/R2.json"), current);
}

TEST_F(FleetProgram, DiskUpdatesOnlyTheNamedDiskAndAnAbsentSerialFindsNone) {
    Result run = Zxflash({"/silent", "/disk", kRst, "/report", "R.json"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::map<std::string, std::string> want = {
        {kSystem, "not-admitted"},  {kNative, "not-selected"},  {kRst, "active"},
        {kAsmedia, "not-selected"}, {kJmicron, "not-selected"}, {kRealtek, "not-selected"}};
    EXPECT_EQ(Outcomes(dir_ + "/R.json"), want);
    EXPECT_EQ(Zxflash({"/silent", "/disk", "NOT-HERE"}).status, 10);
    EXPECT_EQ(Zxflash({"/check", "/disk", "NOT-HERE"}).status, 0);
}

TEST_F(FleetProgram, DiskNamesASerialNumberWithoutTheBlanksTheDrivePadsItWith) {
    UseDefaultWith("zx-native", "serial = ZX5016SHORT\n"); // Identify pads it to 20 characters
    Result run = Zxflash({"/silent", "/disk", "ZX5016SHORT", "/report", "R.json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Outcomes(dir_ + "/R.json")["ZX5016SHORT         "], "active");
}

TEST_F(FleetProgram, EachFailureHasItsCode) {
    const struct {
        const char* name;
        const char* keys;
        int code;
        const char* outcome;
    } cases[] = {
        {"a refused download piece", "faults = download_fail:0x1000\n", 12, "failed"},
        {"a refused commit", "faults = commit_fail\n", 13, "failed"},
        {"the drive does not come back", "faults = no_return\n", 14, "not-back"},
        {"the version text is refused after the commit",
         "vsc_drvinfo = no\nvsc_mp_soc_id = 0x3C71\nfaults = nvme_fail:0xF1\n", 15, "failed"},
        {"a power-off activates it", "fw_activation = power_cycle\n", 3020 & 0xFF,
         "pending-power-off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(state_.c_str());
        UseDefaultWith("zx-native", c.keys);
        Result run = Zxflash({"/silent", "/disk", kNative, "/report", "R.json"});
        EXPECT_EQ(run.status, c.code) << run.err;
        EXPECT_EQ(Outcomes(dir_ + "/R.json")[kNative], c.outcome);
    }
}

TEST_F(FleetProgram, PowerOffIsStartedOnlyWhenAllowed) {
    UseDefaultWith("zx-native", "fw_activation = power_cycle\n");
    Result run = Zxflash({"/silent", "/disk", kNative, "/poweroff", "/report", "R.json"});
    EXPECT_EQ(run.status, 1641 & 0xFF) << run.err;
    EXPECT_EQ(run.err, "zxflash: exit code 1641\n");
    cJSON* root = cJSON_Parse(ReadFile(dir_ + "/R.json").c_str());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "exit_code")->valueint, 1641);
    cJSON_Delete(root);
}

TEST_F(FleetProgram, NoZeltarixDiskAndALowBatteryAreSaid) {
    UseScenario("[disk system]\nkind = nvme\ndrive = 0\nmodel = SAMSUNG MZVL2512HCJQ-00B00\n"
                "serial = S675NX0T123456\nfirmware = GXA7601Q\nsectors = 1000215216\n");
    EXPECT_EQ(Zxflash({"/silent"}).status, 10);
    EXPECT_EQ(Zxflash({"/check"}).status, 0);

    std::string text = sim::DefaultScenarioText() + "\n[power psu]\nac = offline\nbattery = 10\n";
    UseScenario(text);
    Result run = Zxflash({"/silent", "/report", "R.json"});
    EXPECT_EQ(run.status, 11) << run.err;
    EXPECT_EQ(Outcomes(dir_ + "/R.json")[kNative], "refused");
    EXPECT_EQ(StateText().find("041k020C"), std::string::npos); // nothing written
}

TEST_F(FleetProgram, ARefusedCommandLineOrAnUnwritableReportWritesNothing) {
    ASSERT_EQ(Zxflash({"/check"}).status, 1); // the state file exists from here on
    const std::string before = StateText();

    Result bogus = Zxflash({"/silent", "/bogus", "/report", "R.json"});
    EXPECT_EQ(bogus.status, 87);
    EXPECT_EQ(bogus.out, "");
    EXPECT_EQ(bogus.err.rfind("zxflash: unknown switch /bogus\n\nzxflash [/silent | /check]", 0),
              0u)
        << bogus.err;
    EXPECT_FALSE(Exists(dir_ + "/R.json"));

    Result unwritable = Zxflash({"/silent", "/report", "missing/R.json", "/log", "run.log"});
    EXPECT_EQ(unwritable.status, 17);
    EXPECT_FALSE(Exists(dir_ + "/missing"));
    EXPECT_EQ(StateText(), before);
    EXPECT_NE(ReadFile(dir_ + "/run.log").find("cannot be written: nothing done"),
              std::string::npos);

    Result help = Zxflash({"/?"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("zxflash [/silent | /check]", 0), 0u);
    EXPECT_EQ(help.out.find('\r'), std::string::npos);
    Result version = Zxflash({"/version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zxflash 0.", 0), 0u) << version.out;
    EXPECT_EQ(StateText(), before);
}

TEST_F(FleetProgram, APackageThatCannotBePreparedIs16WithAReportOfNothing) {
    env_["TMPDIR"] = dir_ + "/not-there"; // no working folder can be made for the package
    Result run = Zxflash({"/silent", "/report", "R.json", "/log", "run.log"});
    EXPECT_EQ(run.status, 16) << run.err;
    cJSON* root = cJSON_Parse(ReadFile(dir_ + "/R.json").c_str());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "exit_code")->valueint, 16);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root, "disks")), 0);
    cJSON_Delete(root);
    EXPECT_NE(ReadFile(dir_ + "/run.log")
                  .find(" The embedded package cannot be prepared: nothing done\r\n"),
              std::string::npos);
}

TEST_F(FleetProgram, APackageThatCannotBeUnpackedIsUnusable) {
    // The package's archive cannot be written to the temp folder (a folder holds its name), so
    // nothing of the package reaches the working folder: neither run may judge a disk by it.
    ASSERT_EQ(mkdir((dir_ + "/~ReleasePackage.a").c_str(), 0755), 0);
    Result check = Zxflash({"/check", "/report", "C.json", "/log", "run.log"});
    EXPECT_EQ(check.status, 16) << check.err;
    Result silent = Zxflash({"/silent", "/report", "R.json", "/log", "run.log"});
    EXPECT_EQ(silent.status, 16) << silent.err;
    for (const char* report : {"/C.json", "/R.json"}) {
        cJSON* root = cJSON_Parse(ReadFile(dir_ + report).c_str());
        ASSERT_NE(root, nullptr) << report;
        EXPECT_EQ(cJSON_GetObjectItem(root, "exit_code")->valueint, 16) << report;
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root, "disks")), 0) << report;
        cJSON_Delete(root);
    }
    const std::string log = ReadFile(dir_ + "/run.log");
    const std::string line = "The embedded package could not be unpacked: nothing done";
    const size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos) << log;
    EXPECT_EQ(StateText().find("041k020C"), std::string::npos); // no drive was written
}

TEST_F(FleetProgram, ASecondInstanceOnThePcExitsWith1618) {
    ASSERT_EQ(Zxflash({"/check"}).status, 1);
    // The first instance holds the PC's instance lock: here the test holds it.
    const std::string lock = state_ + ".Global_ZELTARIX-zxflash.lock";
    int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Result second = Zxflash({"/silent", "/log", "run.log"});
    EXPECT_EQ(second.status, 1618 & 0xFF);
    EXPECT_EQ(second.err, "zxflash: exit code 1618\n");
    EXPECT_NE(ReadFile(dir_ + "/run.log")
                  .find("Another zxflash is running: nothing done. Exit code 1618"),
              std::string::npos);
    EXPECT_EQ(StateText().find("041k020C"), std::string::npos);
    close(fd);
    // Once it has ended, the next run goes ahead.
    EXPECT_EQ(Zxflash({"/silent"}).status, 3020 & 0xFF);
}

} // namespace
