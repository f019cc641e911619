// zxsim run: the whole program headless, driven by a script of user actions, printing what the
// user would have seen.
#include "app/app_main.h"
#include "app/state/app_state.h"
#include "app/update_outcome.h"
#include "app/resource_ids.h"
#include "platform/linux/linux_backend.h"
#include "platform/posix/control.h"
#include "platform/posix/ui_control.h"
#include "platform/win32.h"
#include "sim/control.h"
#include "sim/read_file.h"
#include "tools/zxsim/command.h"
#include "tools/zxsim/run_screen.h"
#include "tools/zxsim/text_output.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace zxsim {
namespace {

using namespace zxposix::ui;

const char kUsage[] =
    "usage: zxsim run [--state F] [--scenario F] [--package ZIP] [--select N] [--answer A]...\n"
    "                 [--speed X] [--trace F] [--timeout S] [--debug] [--nvme-log F]\n"
    "                 [--scsi-log F] [--device-backend sim|linux] [-- program text]\n"
    "  Runs zxflash headless on the simulated PC (--scenario F, else ZX_SIM_SCENARIO, else the\n"
    "  default scenario; --state F, else ZX_SIM_STATE, loads the drives' state and saves it at\n"
    "  the end; --trace F writes the request trace). --package ZIP embeds another package.\n"
    "  --select N picks list entry N and presses RUN; each --answer (ok, cancel, yes, no)\n"
    "  answers the next message box; a box left without an answer gets its Esc answer (No for\n"
    "  Yes/No). When the steps are done and no update runs, Esc closes the dialog.\n"
    "  Prints each screen the dialog settles on and every message box as it is answered, in\n"
    "  order, then each simulated disk, the shutdown the program asked for (if any) and the exit\n"
    "  code (docs/zxsim.md). Exit code: 0 when every update the run started ended as the user\n"
    "  was told it would (the new firmware runs, or waits for the restart, power-off or replug\n"
    "  the program asked for), 1 when one failed, 2 for the errors below.\n"
    "  An --answer that names a button the box does not offer ends the script at that box,\n"
    "  which gets its Esc answer (No for Yes/No), and is an error: it is never taken for another\n"
    "  button. --speed X runs the clock X times faster (default 10); --timeout S\n"
    "  gives up after S real seconds (default 600, 0 never). --debug adds /debug to the program\n"
    "  text: the Debug log then goes to standard error, or is appended to the file ZX_DEBUG_LOG\n"
    "  names. An entry the list does not have, answers no message box used and a trace that\n"
    "  could not be written are errors (exit code 2). --nvme-log F writes every NVMe admin\n"
    "  command the drives receive, one JSON object per line; --scsi-log F every SCSI\n"
    "  pass-through the disks receive. --device-backend linux (or ZX_DEVICE_BACKEND=linux)\n"
    "  runs the program on this computer's own disks through the Linux kernel instead, only as\n"
    "  root (docs/linux.md); the logs then hold what the program sent (one file for both), and\n"
    "  what the backend could not do for a reason the user can remove is said at the end.\n";

// A whole decimal number 0..max; false for anything else.
bool ParseCount(const char* text, long max, long* out) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (errno == ERANGE || end == nullptr || *end != 0 || n < 0 || n > max) {
        return false;
    }
    *out = n;
    return true;
}

std::string ToLower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string QuoteUtf8(const std::string& s) {
    std::wstring w;
    for (unsigned char c : s) {
        w.push_back(c < 0x80 ? wchar_t(c) : L'?');
    }
    return Quote(w);
}

// The Linux backend on this computer's disks, for a root user who asked for it; the simulated
// PC's own options mean nothing there.
bool StartLinuxBackend(const std::string& scenario, const std::string& trace,
                       const std::string& nvmeLog, const std::string& scsiLog) {
    if (!scenario.empty() || !trace.empty()) {
        std::fprintf(stderr, "zxsim run: --scenario and --trace belong to the simulated PC, not "
                             "to the Linux backend\n");
        return false;
    }
    char reason[200];
    if (!LinuxBackendUserAllowed(reason, sizeof(reason))) {
        std::fprintf(stderr, "zxsim run: %s\n", reason);
        return false;
    }
    if (LinuxBackendInstall("/sys", "/dev") != 1) {
        std::fprintf(stderr, "zxsim run: /sys and /dev are not there\n");
        return false;
    }
    // The backend writes every command it sends into one log.
    if (!nvmeLog.empty() && !scsiLog.empty() && nvmeLog != scsiLog) {
        std::fprintf(stderr, "zxsim run: on the Linux backend --nvme-log and --scsi-log name one "
                             "file\n");
        return false;
    }
    const std::string log = nvmeLog.empty() ? scsiLog : nvmeLog;
    if (!log.empty() && LinuxBackendSetCommandLog(log.c_str()) != 1) {
        std::fprintf(stderr, "zxsim run: cannot write the command log to %s\n", log.c_str());
        return false;
    }
    return true;
}

// Every SCSI pass-through a simulated disk answers, with its serial number first.
bool LogScsiCommands(const std::string& path, std::ofstream* out) {
    out->open(path, std::ios::out | std::ios::trunc);
    if (!*out) {
        std::fprintf(stderr, "zxsim run: cannot write the SCSI command log to %s\n", path.c_str());
        return false;
    }
    sim::SetScsiObserver([out](const std::string& serial, const sim::ScsiRequest& request,
                               const sim::ScsiReply& reply) {
        *out << sim::ScsiLogLine(serial, request, reply, true) << "\n";
        out->flush();
    });
    return true;
}

// Every admin command a simulated drive answers, with the drive's serial number first.
bool LogDriveCommands(const std::string& path, std::ofstream* out) {
    out->open(path, std::ios::out | std::ios::trunc);
    if (!*out) {
        std::fprintf(stderr, "zxsim run: cannot write the NVMe command log to %s\n", path.c_str());
        return false;
    }
    sim::SetAdminObserver([out](const sim::NvmeDrive& drive, const sim::NvmeAdminRequest& request,
                                const sim::NvmeCompletion& completion) {
        const std::string line = sim::AdminLogLine(request, completion);
        *out << "{\"drive\":\"" << drive.State().serial << "\"," << line.substr(1) << "\n";
        out->flush();
    });
    return true;
}

struct RunOptions {
    std::vector<ScriptStep> steps;
    std::string package;
    std::string scenario;
    std::string trace;
    std::string commandLine;
    double speed = 10.0;
    int timeout = 600;
    bool debug = false;
    std::string nvmeLog;
    std::string scsiLog;
    std::string backend;
};

// Reads the options of one argument (and the value after it), moving i past what it read.
// Answers -1 to go on, or the exit code: 0 after --help, 2 for a refused option.
int ReadOption(int argc, char** argv, int& i, RunOptions& o) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zxsim run: %s needs a value\n", name);
            std::exit(2);
        }
        return argv[++i];
    };
    // The options that take a text.
    const struct {
        const char* name;
        std::string* text;
    } texts[] = {{"--scenario", &o.scenario}, {"--trace", &o.trace},
                 {"--package", &o.package},   {"--nvme-log", &o.nvmeLog},
                 {"--scsi-log", &o.scsiLog},  {"--device-backend", &o.backend}};
    for (const auto& t : texts) {
        if (a == t.name) {
            *t.text = value(t.name);
            return -1;
        }
    }
    if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    } else if (a == "--debug") {
        o.debug = true;
    } else if (a == "--select") {
        long n = 0;
        if (!ParseCount(value("--select"), 0xFFFF, &n)) {
            std::fprintf(stderr, "zxsim run: --select takes an entry number 0..65535\n");
            return 2;
        }
        o.steps.push_back(ScriptStep{ScriptStep::Select, static_cast<int>(n)});
        o.steps.push_back(ScriptStep{ScriptStep::Run, 0});
    } else if (a == "--answer") {
        int answer = ParseAnswer(value("--answer"));
        if (answer == 0) {
            std::fprintf(stderr, "zxsim run: --answer takes ok, cancel, yes or no\n");
            return 2;
        }
        o.steps.push_back(ScriptStep{ScriptStep::Answer, answer});
    } else if (a == "--speed") {
        const char* text = value("--speed");
        char* end = nullptr;
        o.speed = std::strtod(text, &end);
        if (end == text || *end != 0 || !(o.speed > 0) || !(o.speed <= 1e6)) {
            std::fprintf(stderr, "zxsim run: --speed takes a number above 0, up to 1e6\n");
            return 2;
        }
    } else if (a == "--timeout") {
        long n = 0;
        if (!ParseCount(value("--timeout"), 86400, &n)) {
            std::fprintf(stderr, "zxsim run: --timeout takes whole seconds 0..86400\n");
            return 2;
        }
        o.timeout = static_cast<int>(n);
    } else {
        std::fprintf(stderr, "zxsim run: unknown option '%s'\n%s", a.c_str(), kUsage);
        return 2;
    }
    return -1;
}

// The command line: the options, then after "--" the program's own command line. Answers -1 to
// go on, or the exit code.
int ReadOptions(int argc, char** argv, RunOptions& o) {
    const char* backendVariable = std::getenv("ZX_DEVICE_BACKEND");
    o.backend = backendVariable != nullptr ? backendVariable : "";
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "--") {
            for (int k = i + 1; k < argc; k++) {
                o.commandLine += (k > i + 1 ? " " : "");
                o.commandLine += argv[k];
            }
            break;
        }
        const int exitCode = ReadOption(argc, argv, i, o);
        if (exitCode >= 0) {
            return exitCode;
        }
    }
    if (o.debug) {
        o.commandLine = o.commandLine.empty() ? "/debug" : "/debug " + o.commandLine;
    }
    if (!o.backend.empty() && o.backend != "sim" && o.backend != "linux") {
        std::fprintf(stderr, "zxsim run: the device backend is sim or linux, not '%s'\n",
                     o.backend.c_str());
        return 2;
    }
    return -1;
}

// The device backend with its command logs, and the trace.
bool StartBackend(const RunOptions& o, std::ofstream* simLog, std::ofstream* simScsiLog) {
    if (o.backend == "linux") {
        if (!StartLinuxBackend(o.scenario, o.trace, o.nvmeLog, o.scsiLog)) {
            return false;
        }
    } else {
        if (!zxsim::LoadCommandScenario("run", o.scenario)) {
            return false;
        }
        if (!o.nvmeLog.empty() && !LogDriveCommands(o.nvmeLog, simLog)) {
            return false;
        }
        if (!o.scsiLog.empty() && !LogScsiCommands(o.scsiLog, simScsiLog)) {
            return false;
        }
    }
    if (!o.trace.empty() && !sim::SetTraceFile(o.trace)) {
        std::fprintf(stderr, "zxsim run: cannot write the trace to %s\n", o.trace.c_str());
        return false;
    }
    return true;
}

// The package the program finds among its resources, in place of the demo package.
bool RegisterPackage(const std::string& package) {
    static std::vector<char> packageBytes; // registered resources must outlive the run
    if (package.empty()) {
        return true;
    }
    std::string bytes;
    std::string readError;
    if (!sim::ReadInputFile(package, sim::kMaxInputFileBytes, &bytes, &readError)) {
        std::fprintf(stderr, "zxsim run: cannot read %s\n", readError.c_str());
        return false;
    }
    packageBytes.assign(bytes.begin(), bytes.end());
    zxposix::RegisterResource(L"FWPACKAGEZIP", IDR_FWPACKAGEZIP, packageBytes.data(),
                              packageBytes.size());
    return true;
}

void StartTimeout(int timeout) {
    if (timeout <= 0) {
        return;
    }
    std::thread([timeout] {
        std::this_thread::sleep_for(std::chrono::seconds(timeout));
        std::fprintf(stdout, "timeout: the dialog did not close in %d s\n", timeout);
        std::fflush(stdout);
        std::_Exit(124);
    }).detach();
}

// No update runs, and none has ended unheard: a worker posts its WM_UPDATE_DONE before it
// empties its slot, so with the slot seen empty a result not yet handled is still queued.
// The front end is asked on the dialog's thread while other threads may post, so the slot
// is read first.
bool ProgramIdle() {
    if (IsBusy() != 0) {
        return false;
    }
    HWND dialog = CurrentDialog();
    return dialog == nullptr || PendingPostedMessages(dialog) == 0;
}

// The lines after the dialog: the simulated disks as they ended, a shutdown asked for, the
// program's exit code.
void PrintEnding(bool onLinux, int result) {
    for (const sim::DiskView& disk :
         onLinux ? std::vector<sim::DiskView>() : sim::DescribeDisks()) {
        std::printf("disk %s: %s%s%s, %s, model %s, firmware %s\n", disk.name.c_str(),
                    disk.kind.c_str(), disk.bridge.empty() ? "" : " ", disk.bridge.c_str(),
                    disk.present ? "present" : "away", QuoteUtf8(disk.model).c_str(),
                    QuoteUtf8(disk.firmware).c_str());
    }
    const std::string shutdown = sim::ShutdownRequested();
    if (!shutdown.empty()) {
        std::printf("shutdown requested: %s\n", shutdown.c_str());
    }
    std::printf("exit code: %d\n", result);
    std::fflush(stdout);
}

// What of the script could not be played: a missing entry, an answer the box did not offer,
// steps never used. Answers 2 when any, else 0.
int ScriptFailures(const ScriptReport& report) {
    int failed = 0;
    if (report.missingEntry >= 0) {
        std::fprintf(stderr, "zxsim run: --select %d: the list has %d entries\n",
                     report.missingEntry, report.entryCount);
        failed = 2;
    }
    if (report.refusedAnswer != 0) {
        std::string offered;
        for (int b : ButtonsOf(report.refusedBox.type)) {
            offered += (offered.empty() ? "" : ", ") + Utf8(ButtonName(b));
        }
        std::fprintf(stderr,
                     "zxsim run: --answer %s: message box %s offers %s; the script ends there\n",
                     ToLower(Utf8(ButtonName(report.refusedAnswer))).c_str(),
                     Quote(report.refusedBox.text).c_str(), offered.c_str());
        failed = 2;
    }
    int unused = report.droppedAnswers;
    if (report.missingEntry < 0 && report.stepsLeft > 0) {
        unused += report.stepsLeft; // the dialog closed before they were played
    }
    if (unused > 0) {
        std::fprintf(stderr, "zxsim run: %d of the script's steps were never used\n", unused);
        failed = 2;
    }
    return failed;
}

// Detaches the command logs (the Linux backend's notices are printed) and closes the trace;
// false when the trace could not be written.
bool StopBackend(const RunOptions& o) {
    if (o.backend == "linux") {
        LinuxBackendSetCommandLog(nullptr);
        char notice[600];
        for (int i = 0; LinuxBackendNotice(i, notice, sizeof(notice)) == 1; ++i) {
            std::printf("notice: %s\n", notice);
        }
    } else {
        sim::SetAdminObserver(nullptr);
        sim::SetScsiObserver(nullptr);
    }
    if (!o.trace.empty() && !sim::SetTraceFile("")) {
        std::fprintf(stderr, "zxsim run: the trace could not be written to %s\n", o.trace.c_str());
        return false;
    }
    return true;
}

// Starts the backend, runs the program with the script as its user and prints what it shows;
// the exit code is 2 for a run that could not be made or a script that could not be played,
// else the program's own, else 1 when an update failed.
int Run(int argc, char** argv) {
    RunOptions o;
    if (const int exitCode = ReadOptions(argc, argv, o); exitCode >= 0) {
        return exitCode;
    }
    const bool onLinux = o.backend == "linux";
    std::ofstream simLog;
    std::ofstream simScsiLog;
    if (!StartBackend(o, &simLog, &simScsiLog) || !RegisterPackage(o.package)) {
        return 2;
    }
    zxposix::SetClockSpeed(o.speed);
    StartTimeout(o.timeout);
    ScriptReport report;
    ScreenPrinter frontEnd(MakeHeadlessScript(o.steps, ProgramIdle, &report), ProgramIdle, stdout);
    SetFrontEnd(&frontEnd);
    int result = AppMain(GetModuleHandleW(nullptr), o.commandLine.c_str());
    SetFrontEnd(nullptr);
    if (!frontEnd.ShownDialog()) {
        std::printf("dialog: not shown\n");
    }
    frontEnd.PrintAnsweredBoxes();
    PrintEnding(onLinux, result);
    int failed = ScriptFailures(report);
    if (!StopBackend(o)) {
        failed = 2;
    }
    if (failed != 0) {
        return failed;
    }
    // The program's own result, else whether every update ended as the user was told.
    int ended = 0;
    int failedUpdates = 0;
    CountOutcomes(&ended, &failedUpdates);
    return result != 0 ? result : failedUpdates > 0 ? 1 : 0;
}

} // namespace

ZXSIM_COMMAND("run", "run the program headless with scripted answers", Run);

} // namespace zxsim
