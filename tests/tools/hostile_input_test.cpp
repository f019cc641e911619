// Where a file is expected the tools and the POSIX program get a folder, a name component of
// 300 characters, a link loop or an endless device: each says why on its first line, exits
// with 2 and leaves no temporary folder behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;
    std::string firstLine;
    std::string all;
};

RunResult RunCommand(const std::string& command) {
    RunResult run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::string all;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        all.append(buffer, n);
    }
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.firstLine = all.substr(0, all.find('\n'));
    run.all = all;
    return run;
}

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zxhostile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "temp");
        fs::create_directories(dir_ / "folder");
        fs::create_symlink("loop", dir_ / "loop");
        Write("folder.txt", "[disk a]\nkind = nvme\ndrive = 1\ndrvinfo = @" + D("folder") + "\n");
        Write("zero.txt", "[disk a]\nkind = nvme\ndrive = 1\nmpinfo = @/dev/zero\n");
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string D(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name) << text;
    }
    fs::path dir_;
};

TEST_F(HostileInput, EachGetsAClearMessageAndExitCodeTwo) {
    const std::string sim = std::string(ZXSIM_PATH);
    const std::string pkg = std::string(ZXPKG_PATH) + " image -o " + D("out.fw") + " --config ";
    const std::string env = "TMPDIR=" + D("temp") + " ZX_SIM_STATE= ZX_SIM_TRACE= ";
    const std::string longName = D(std::string(300, 'n'));
    struct Case {
        std::string command;
        std::string firstLine;
    };
    std::vector<Case> cases = {
        {sim + " scan --scenario " + D("folder"),
         "zxsim scan: cannot read " + D("folder") + ": is a folder"},
        {sim + " scan --scenario " + longName,
         "zxsim scan: cannot read " + longName + ": File name too long"},
        {sim + " scan --scenario " + D("loop"),
         "zxsim scan: cannot read " + D("loop") + ": Too many levels of symbolic links"},
        {sim + " scan --scenario /dev/zero",
         "zxsim scan: cannot read /dev/zero: larger than 67108864 bytes"},
        {sim + " scan --scenario " + D("folder.txt"), "zxsim scan: " + D("folder.txt") +
                                                          ": line 4: [disk a] cannot read " +
                                                          D("folder") + ": is a folder"},
        {sim + " scan --scenario " + D("zero.txt"),
         "zxsim scan: " + D("zero.txt") +
             ": line 4: [disk a] cannot read /dev/zero: larger than 1048576 bytes"},
        {sim + " run --package " + D("folder"),
         "zxsim run: cannot read " + D("folder") + ": is a folder"},
        {sim + " run --package " + D("loop"),
         "zxsim run: cannot read " + D("loop") + ": Too many levels of symbolic links"},
        {"ZX_SIM_SCENARIO=" + D("folder") + " " + ZXFLASH_PATH,
         "zxflash: ZX_SIM_SCENARIO: cannot read " + D("folder") + ": is a folder"},
        {pkg + D("folder"), "zxpkg: cannot read " + D("folder") + ": is a folder"},
        {pkg + longName, "zxpkg: cannot read " + longName + ": File name too long"},
        {pkg + "/dev/zero", "zxpkg: cannot read /dev/zero: larger than 16777216 bytes"},
    };
    for (const Case& c : cases) {
        RunResult run = RunCommand(env + c.command);
        EXPECT_EQ(run.exitCode, 2) << c.command;
        EXPECT_EQ(run.firstLine, c.firstLine) << c.command;
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "temp"));
    EXPECT_FALSE(fs::exists(dir_ / "out.fw"));
}

// zxsim run refuses what it cannot do as asked: a --select that wraps or names an entry the
// list lacks, a malformed --timeout or --speed, answers left unused, a trace it could not
// write. Each is exit 2 with its reason on a line of its own.
TEST_F(HostileInput, ZxsimRunRefusesWhatItCannotDoAsAsked) {
    const std::string run =
        "TMPDIR=" + D("temp") +
        " ZX_SIM_SCENARIO= ZX_SIM_STATE= ZX_SIM_TRACE= ZX_DEBUG_LOG= " + ZXSIM_PATH + " run ";
    struct Case {
        std::string arguments;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"--select 4294967296", "zxsim run: --select takes an entry number 0..65535"},
        {"--select -1", "zxsim run: --select takes an entry number 0..65535"},
        {"--select 1x", "zxsim run: --select takes an entry number 0..65535"},
        {"--select 99", "zxsim run: --select 99: the list has 5 entries"},
        {"--timeout 5x", "zxsim run: --timeout takes whole seconds 0..86400"},
        {"--timeout -3", "zxsim run: --timeout takes whole seconds 0..86400"},
        {"--speed 5x", "zxsim run: --speed takes a number above 0, up to 1e6"},
        {"--speed nan", "zxsim run: --speed takes a number above 0, up to 1e6"},
        {"--answer yes --answer no", "zxsim run: 2 of the script's steps were never used"},
        {"--trace /dev/full", "zxsim run: the trace could not be written to /dev/full"},
    };
    for (const Case& c : cases) {
        RunResult r = RunCommand(run + c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments << "\n" << r.all;
        EXPECT_NE(("\n" + r.all).find("\n" + c.line + "\n"), std::string::npos)
            << c.arguments << "\n"
            << r.all;
    }
    RunResult scan =
        RunCommand("ZX_SIM_SCENARIO= " + std::string(ZXSIM_PATH) + " scan --trace /dev/full");
    EXPECT_EQ(scan.exitCode, 2);
    EXPECT_NE(scan.all.find("zxsim scan: the trace could not be written to /dev/full\n"),
              std::string::npos)
        << scan.all;

    // --debug switches the Debug log on, to standard error, as for zxsim scan.
    RunResult debug = RunCommand("{ " + run + "--debug 2>&1 >/dev/null; }");
    EXPECT_EQ(debug.exitCode, 0) << debug.all;
    EXPECT_EQ(debug.firstLine, "[ZX]          [middle] DISKLIB_NVME_UnlockVSC") << debug.all;
    RunResult help = RunCommand(std::string(ZXSIM_PATH) + " run --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.all.find("--debug adds /debug to the program\n"
                            "  text: the Debug log then goes to standard error, or is appended to "
                            "the file ZX_DEBUG_LOG\n  names."),
              std::string::npos)
        << help.all;
}

} // namespace
