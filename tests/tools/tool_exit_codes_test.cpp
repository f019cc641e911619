// The tools as a person uses them on the command line: one version for every program, exit codes
// that tell (a failed update, an answer the box does not offer, nothing to check), a state file
// that is a regular file and is used by one run at a time, and --trace on every zxsim command.
#include "tests/support/scenario_builders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int exitCode = -1;
    std::string out; // standard output and error together
};

RunResult RunCommand(const std::string& command) {
    RunResult run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        run.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

class ToolContract : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zxtools-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "temp");
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string D(const std::string& name) const { return (dir_ / name).string(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name) << text;
    }
    // The environment of a run that names no state, scenario or trace of the caller's.
    std::string Env() const {
        return "TMPDIR=" + D("temp") +
               " ZX_SIM_SCENARIO= ZX_SIM_STATE= ZX_SIM_TRACE= ZX_DEBUG_LOG= ZX_DEVICE_BACKEND= ";
    }
    fs::path dir_;
};

// zxflash, zxsim and zxpkg print one version: the project version and, in a git checkout, what
// git describe says, each after its own name.
TEST_F(ToolContract, EveryProgramPrintsTheOneVersion) {
    const RunResult sim = RunCommand(std::string(ZXSIM_PATH) + " --version");
    const RunResult pkg = RunCommand(std::string(ZXPKG_PATH) + " --version");
    const RunResult flash = RunCommand(std::string(ZXFLASH_PATH) + " --version </dev/null");
    EXPECT_EQ(sim.exitCode, 0);
    EXPECT_EQ(pkg.exitCode, 0);
    EXPECT_EQ(flash.exitCode, 0);
    ASSERT_EQ(sim.out.compare(0, 10, "zxsim 0.1 "), 0) << sim.out;
    const std::string text = sim.out.substr(6);
    EXPECT_EQ(pkg.out, "zxpkg " + text);
    EXPECT_EQ(flash.out, "zxflash " + text);
}

// zxpkg check on a file that is not there is a tool error (2), not an unsound package (1).
TEST_F(ToolContract, ZxpkgCheckOnAMissingFileExitsTwo) {
    const RunResult r = RunCommand(std::string(ZXPKG_PATH) + " check " + D("missing.zip"));
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(r.out, "zxpkg: cannot read " + D("missing.zip") + ": No such file or directory\n");
}

// An --answer the box does not offer ends the run with exit 2 and the box named; the drive is
// not updated (Cancel or OK is never taken for Yes).
TEST_F(ToolContract, ZxsimRunRefusesAnAnswerTheBoxDoesNotOffer) {
    for (const char* answer : {"cancel", "ok"}) {
        const RunResult r =
            RunCommand(Env() + ZXSIM_PATH + " run --speed 100 --select 0 --answer " + answer +
                       " --answer cancel");
        EXPECT_EQ(r.exitCode, 2) << answer << "\n" << r.out;
        EXPECT_TRUE(HasLine(r.out, std::string("zxsim run: --answer ") + answer +
                                       ": message box \"Warning ! \\r\\nIf FW is not back "
                                       "compatible, The user data will be erased.\" offers Yes, "
                                       "No; the script ends there"))
            << r.out;
        EXPECT_TRUE(HasLine(r.out, "disk zx-native: nvme, present, model \"ZELTARIX ZX5016 1TB\", "
                                   "firmware \"041k0207\""))
            << r.out;
        EXPECT_EQ(r.out.find("message box 2:"), std::string::npos) << r.out;
    }
}

// zxsim run exits 0 when the update it ran took, and 1 after "Update FW Fail !".
TEST_F(ToolContract, ZxsimRunExitsOneAfterAFailedUpdate) {
    Write("fail.scenario", testsupport::TwoDemoNvmeDisks("faults = download_fail\n", false));
    const RunResult failed =
        RunCommand(Env() + ZXSIM_PATH + " run --speed 100 --scenario " + D("fail.scenario") +
                   " --select 1 --answer yes --answer ok");
    EXPECT_EQ(failed.exitCode, 1) << failed.out;
    EXPECT_NE(failed.out.find("Update FW Fail !"), std::string::npos) << failed.out;
    EXPECT_TRUE(HasLine(failed.out, "exit code: 0")) << failed.out; // the program's own
    const RunResult took =
        RunCommand(Env() + ZXSIM_PATH + " run --speed 100 --scenario " + D("fail.scenario") +
                   " --select 0 --answer yes --answer cancel");
    EXPECT_EQ(took.exitCode, 0) << took.out;
    EXPECT_NE(took.out.find("Update FW OK !"), std::string::npos) << took.out;
}

// A state file that is a FIFO or a device is refused at once (a FIFO used to hang, /dev/zero to
// end in std::bad_alloc), by --state and ZX_SIM_STATE alike.
TEST_F(ToolContract, AStateFileMustBeARegularFile) {
    ASSERT_EQ(mkfifo(D("fifo").c_str(), 0600), 0);
    struct Case {
        std::string command;
        std::string line;
    };
    const std::vector<Case> cases = {
        {Env() + ZXSIM_PATH + " scan --state " + D("fifo"),
         "zxsim: state " + D("fifo") + ": not a regular file"},
        {Env() + ZXSIM_PATH + " scan --state /dev/zero",
         "zxsim: state /dev/zero: not a regular file"},
        {Env() + "ZX_SIM_STATE=" + D("fifo") + " " + ZXSIM_PATH + " devices",
         "zxsim: state " + D("fifo") + ": not a regular file"},
        {Env() + "ZX_SIM_STATE=/dev/zero " + ZXFLASH_PATH + " </dev/null",
         "zxflash: state /dev/zero: not a regular file"},
    };
    for (const Case& c : cases) {
        const RunResult r = RunCommand(c.command);
        EXPECT_EQ(r.exitCode, 2) << c.command << "\n" << r.out;
        EXPECT_TRUE(HasLine(r.out, c.line)) << c.command << "\n" << r.out;
    }
}

// A second run on a state file that another run holds says so and waits; it goes on once the
// first has let go, and loses nothing the first wrote.
TEST_F(ToolContract, ASecondRunOnTheSameStateFileWaitsForTheFirst) {
    const std::string state = D("state");
    const int held = open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0); // the first run, as far as the second can tell
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        close(err[0]);
        unsetenv("ZX_SIM_STATE");
        unsetenv("ZX_SIM_SCENARIO");
        execl(ZXSIM_PATH, "zxsim", "replug", "zx-native", "--state", state.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    const std::string waiting =
        "zxsim: the state file " + state + " is in use by another run; waiting for it\n";
    std::string said;
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (said.find(waiting) == std::string::npos && std::chrono::steady_clock::now() < bound) {
        pollfd p{err[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[512];
            const ssize_t n = read(err[0], buffer, sizeof(buffer));
            if (n <= 0) {
                break;
            }
            said.append(buffer, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(said, waiting);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the second run did not wait";
    EXPECT_FALSE(fs::exists(state)) << "the second run wrote while the first held the file";
    close(held); // the first run ends
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(err[0]);
    EXPECT_TRUE(fs::exists(state));
}

// zxsim replug takes --trace as every other command does: the trace file is written (a replug
// itself makes no device request, so it holds no line).
TEST_F(ToolContract, ZxsimReplugTakesTrace) {
    const RunResult r = RunCommand(Env() + ZXSIM_PATH + " replug usb-realtek --trace " + D("t"));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(fs::exists(D("t")));
    EXPECT_EQ(fs::file_size(D("t")), 0u);
    const RunResult full = RunCommand(Env() + ZXSIM_PATH + " replug usb-realtek --trace /dev/full");
    EXPECT_EQ(full.exitCode, 0) << full.out; // nothing to write, nothing lost
}

// zxflash on POSIX refuses what it cannot start with exit 2 and the reason: a device backend it
// does not have (as a switch or from ZX_DEVICE_BACKEND), and the dialog without a terminal. A
// run that asks for the Debug log has written its header line before then, or said why not.
TEST_F(ToolContract, ZxflashSaysWhyItCannotStart) {
    const std::string noTerminal = "zxflash: standard input and output must be a terminal (zxsim "
                                   "run runs the program without one)\n";
    struct Case {
        std::string command;
        std::string out;
    };
    const std::vector<Case> cases = {
        {Env() + ZXFLASH_PATH + " --device-backend bogus /check </dev/null",
         "zxflash: the device backend is sim or linux, not 'bogus'\n"},
        {Env() + "ZX_DEVICE_BACKEND=bogus " + ZXFLASH_PATH + " /check </dev/null",
         "zxflash: the device backend is sim or linux, not 'bogus'\n"},
        {Env() + ZXFLASH_PATH + " </dev/null", noTerminal},
        {Env() + ZXFLASH_PATH + " --device-backend sim /debug </dev/null", noTerminal},
        {Env() + "ZX_DEBUG_LOG=" + D("none/x.log") + " " + ZXFLASH_PATH + " /DEBUG </dev/null",
         "zxflash: the Debug log cannot be written to " + D("none/x.log") +
             ": No such file or directory\n" + noTerminal},
    };
    for (const Case& c : cases) {
        const RunResult r = RunCommand(c.command);
        EXPECT_EQ(r.exitCode, 2) << c.command << "\n" << r.out;
        EXPECT_EQ(r.out, c.out) << c.command;
    }
    // The default Debug log is $TMPDIR/zxflash-debug.log; the runs above wrote one header to it.
    std::ifstream log(D("temp/zxflash-debug.log"), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[zxflash] run started, command line \"/debug\"\n");
}

// An unattended run names its Debug log at the end, after the program's own output.
TEST_F(ToolContract, ZxflashNamesTheDebugLogOfAnUnattendedRun) {
    const RunResult r =
        RunCommand(Env() + "ZX_SIM_STATE=" + D("state") + " ZX_DEBUG_LOG=" + D("u.log") + " " +
                   ZXFLASH_PATH + " /check /debug </dev/null");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    const std::string named = "zxflash: Debug log in " + D("u.log") + "\n";
    ASSERT_GE(r.out.size(), named.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - named.size()), named) << r.out;
    std::ifstream log(D("u.log"), std::ios::binary);
    std::string first;
    std::getline(log, first);
    EXPECT_EQ(first, "[zxflash] run started, command line \"/check /debug\"");
}

// An unattended run on a simulated PC whose state file another run holds is refused at once:
// 1618 (another instance), of which the exit status keeps the low 8 bits.
TEST_F(ToolContract, ZxflashRefusesAnUnattendedRunOnAStateFileInUse) {
    const std::string state = D("state");
    const int held = open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const RunResult r =
        RunCommand(Env() + "ZX_SIM_STATE=" + state + " " + ZXFLASH_PATH + " /silent </dev/null");
    close(held);
    EXPECT_EQ(r.exitCode, 82) << r.out;
    EXPECT_EQ(r.out, "zxflash: the state file " + state +
                         " is in use by another run\nzxflash: exit code 1618\n");
    EXPECT_FALSE(fs::exists(state));
}

} // namespace
