// The program entry on POSIX: the program runs on the simulated PC, its dialog is drawn in the
// terminal, and the Debug log goes to a file so that it never writes into the screen being
// drawn. "--device-backend linux" (or ZX_DEVICE_BACKEND=linux) runs it on this computer's own
// disks through the Linux kernel instead, only as root (docs/linux.md). The switches of an
// unattended run (/silent, /check ...) run it without the terminal (docs/fleet.md); /? and
// /version print to standard output, and so do --help and --version. The exit code of a run
// with the dialog says whether every update it started ended as the user was told
// (docs/program.md).
#include "app/update_outcome.h"
#include "fleet/exit_codes.h"
#include "fleet/program_entry.h"
#include "fleet/program_options.h"
#include "platform/linux/linux_backend.h"
#include "platform/posix/control.h"
#include "platform/posix/terminal/terminal.h"
#include "sim/control.h"
#include "version/zx_version.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: zxflash [--device-backend sim|linux] [/debug]\n"
    "       zxflash --help | --version   (the switches of an unattended run: zxflash /?)\n"
    "Runs the firmware update program with its dialog drawn in this terminal, on the simulated\n"
    "PC (or, with --device-backend linux and as root, on this computer's own disks). /debug\n"
    "writes the Debug log to $ZX_DEBUG_LOG (default $TMPDIR/zxflash-debug.log).\n"
    "The simulated PC: ZX_SIM_SCENARIO names its scenario file (default: the embedded one),\n"
    "ZX_SIM_STATE a file that keeps the simulated drives' firmware between runs (a second run on\n"
    "the same file waits for the first), ZX_SIM_SPEED runs its clock that many times faster\n"
    "(default 1), ZX_SIM_TRACE writes the request trace.\n"
    "Keys: Up/Down pick a disk, Enter is RUN, Esc closes; in a message box Left/Right move\n"
    "between the buttons and Enter presses one.\n"
    "Exit code: 0 when every update the run started ended as the program said it would, 1 after\n"
    "a failed update, 2 when the program could not start.\n";

// "--help" or "--version" as the only argument: printed here, and the program does not start.
// True when it was one of them.
bool AnswersInformationSwitch(int argc, char** argv) {
    if (argc != 2) {
        return false;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, stdout);
        return true;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("zxflash %s\n", ZX_VERSION_TEXT);
        return true;
    }
    return false;
}

// One run at a time on a state file, so that two runs never lose an update: the lock is held
// until the process ends. With `wait` (the dialog), a second run says so and waits for the
// first; without (an unattended run), it gets sim::kStateLockBusy at once. Returns
// sim::LockStateFile's result.
int LockStateFile(const char* path, bool wait) {
    std::string error;
    const int result = sim::TakeStateFileLock(path, "zxflash", wait, &error);
    if (result == sim::kStateLockFailed) {
        fprintf(stderr, "zxflash: %s\n", error.c_str());
    } else if (result == sim::kStateLockBusy) {
        fprintf(stderr, "zxflash: the state file %s is in use by another run\n", path);
    }
    return result;
}

// The exit code of a run with the dialog: 1 when an update it started failed, else the
// program's.
int InteractiveExitCode(int programResult) {
    int ended = 0;
    int failed = 0;
    CountOutcomes(&ended, &failed);
    return programResult != 0 ? programResult : failed > 0 ? 1 : 0;
}

// What the simulated PC does after the program's accepted shutdown request, for the screen and
// the last line; "" while it has none.
std::string SimulatedShutdownText() {
    const std::string requested = sim::ShutdownRequested();
    if (requested.empty()) {
        return "";
    }
    return "The simulated PC " +
           std::string(requested == "restart" ? "restarts now" : "powers off now") +
           ": the program ends.";
}

// Whether the entry switches the Debug log on: "/debug" anywhere, in any case.
bool AsksForDebugLog(const std::string& commandLine) {
    for (size_t i = 0; i + 6 <= commandLine.size(); ++i) {
        if (strncasecmp(commandLine.c_str() + i, "/debug", 6) == 0) {
            return true;
        }
    }
    return false;
}

// Starts this run's part of the Debug log with a header line; false with the reason when the
// file cannot be written.
bool StartDebugLog(const std::string& path, const std::string& commandLine, std::string* error) {
    FILE* file = fopen(path.c_str(), "a");
    if (file == NULL) {
        *error = strerror(errno);
        return false;
    }
    bool written =
        fprintf(file, "[zxflash] run started, command line \"%s\"\n", commandLine.c_str()) > 0;
    if (fclose(file) != 0 || !written) {
        *error = strerror(errno);
        return false;
    }
    return true;
}

// Installs the Linux backend for a root user; false with the reason said otherwise.
bool StartLinuxBackend() {
    char reason[200];
    if (!LinuxBackendUserAllowed(reason, sizeof(reason))) {
        fprintf(stderr, "zxflash: %s\n", reason);
        return false;
    }
    if (LinuxBackendInstall("/sys", "/dev") != 1) {
        fprintf(stderr, "zxflash: /sys and /dev are not there\n");
        return false;
    }
    return true;
}

// The simulated PC of ZX_SIM_SCENARIO (or the default one), its clock speed and state file;
// false with the reason said.
// waitForState: whether a state file another run holds is waited for (the dialog) or refused at
// once (*busy set; an unattended run).
bool StartSimulatedPc(bool waitForState, bool* busy) {
    sim::Install();
    const char* speed = getenv("ZX_SIM_SPEED");
    if (speed != NULL && atof(speed) > 0) {
        zxposix::SetClockSpeed(atof(speed));
    }
    // The drives' state kept between runs in the file ZX_SIM_STATE names, if any.
    const char* state = getenv("ZX_SIM_STATE");
    std::string stateError;
    if (state != NULL && state[0] != 0) {
        const int locked = LockStateFile(state, waitForState);
        if (locked != sim::kStateLockTaken) {
            *busy = locked == sim::kStateLockBusy;
            return false;
        }
    }
    if (state != NULL && state[0] != 0 && !sim::SetStateFile(state, &stateError)) {
        fprintf(stderr, "zxflash: %s\n", stateError.c_str());
        return false;
    }
    // The simulated PC: the scenario file named by ZX_SIM_SCENARIO, or the default one.
    const char* scenario = getenv("ZX_SIM_SCENARIO");
    std::string scenarioError;
    if (scenario != NULL && scenario[0] != 0) {
        if (!sim::LoadScenarioFile(scenario, &scenarioError)) {
            // The error names the file itself.
            fprintf(stderr, "zxflash: ZX_SIM_SCENARIO: %s\n", scenarioError.c_str());
            return false;
        }
    } else if (!sim::LoadDefaultScenario(&scenarioError)) {
        fprintf(stderr, "zxflash: the default scenario does not load: %s\n", scenarioError.c_str());
        return false;
    }
    return true;
}

// What the end of a run does, whether the dialog closed or the session ended under it.
struct RunEnd {
    std::unique_ptr<zxposix::ui::FrontEnd> terminal;
    bool onLinux = false;
    bool logWritten = false;
    std::string logPath;
    std::string logError;
};
RunEnd g_runEnd;

// Takes the screen down, says the Linux backend's notices, saves the simulated drives' state and
// names the Debug log; returns result.
int FinishRun(int result) {
    const bool hadTerminal = g_runEnd.terminal != nullptr;
    zxposix::ui::SetFrontEnd(nullptr);
    g_runEnd.terminal.reset();
    // What the Linux backend could not do for a reason the user can remove, once the screen is
    // gone.
    char notice[600];
    for (int i = 0; g_runEnd.onLinux && LinuxBackendNotice(i, notice, sizeof(notice)) == 1; ++i) {
        fprintf(stderr, "zxflash: %s\n", notice);
    }
    std::string stateError;
    if (!g_runEnd.onLinux && !sim::SaveState(&stateError)) {
        fprintf(stderr, "zxflash: %s\n", stateError.c_str());
    }
    // The dialog's screen showed the simulated PC going down; the line stays after it.
    if (hadTerminal && !g_runEnd.onLinux && !SimulatedShutdownText().empty()) {
        fprintf(stderr, "zxflash: %s\n", SimulatedShutdownText().c_str());
    }
    if (g_runEnd.logWritten) {
        fprintf(stderr, "zxflash: Debug log in %s\n", g_runEnd.logPath.c_str());
    } else if (!g_runEnd.logError.empty()) {
        fprintf(stderr, "zxflash: the Debug log cannot be written to %s: %s\n",
                g_runEnd.logPath.c_str(), g_runEnd.logError.c_str());
    }
    return result;
}

// Ctrl-C, SIGTERM or SIGHUP, once the dialog let the session end (never during an update, which
// holds it until the update has ended): the run ends as if the signal had ended it, with the
// state kept.
void EndOnSignal(int signalNumber) {
    FinishRun(0);
    fprintf(stderr, "zxflash: ended by %s\n", strsignal(signalNumber));
    exit(128 + signalNumber);
}

// The usage and the version: standard output, or standard error with a refused command line;
// LF line ends.
void PrintProgramText(const WCHAR* text, int isError) {
    std::string utf8;
    for (const WCHAR* p = text; *p != 0; ++p) {
        if (*p == L'\r') {
            continue;
        }
        char bytes[8];
        const int n = WideCharToMultiByte(CP_UTF8, 0, p, 1, bytes, sizeof(bytes), NULL, NULL);
        utf8.append(bytes, n > 0 ? static_cast<size_t>(n) : 0);
    }
    fputs(utf8.c_str(), isError ? stderr : stdout);
}

// What the command line asks for (OPTIONS_*): the dialog, an unattended run, /? or /version,
// or a refused line.
int CommandLineKind(const std::string& commandLine) {
    std::wstring wide(commandLine.begin(), commandLine.end());
    static ProgramOptions options;
    return ParseProgramOptions(wide.c_str(), &options);
}

// One program at a time per PC: on the simulated PC with a state file, the PC is that file (its
// lock files start with its name); on the Linux backend, the machine.
void ChooseInstanceScope(bool onLinux) {
    const char* state = getenv("ZX_SIM_STATE");
    if (onLinux) {
        zxposix::SetNamedObjectPrefix("/tmp/zxflash-");
    } else if (state != NULL && state[0] != 0) {
        zxposix::SetNamedObjectPrefix((std::string(state) + ".").c_str());
    }
}

// An unattended run: no terminal; the state is saved as after the dialog.
// A POSIX exit status keeps the low 8 bits of the code; the full code goes to standard error.
int RunWithoutTerminal(const std::string& commandLine) {
    SetProgramTextSink(PrintProgramText);
    const int code = ProgramMain(GetModuleHandleW(NULL), commandLine.c_str());
    FinishRun(code);
    if (code > 255) {
        fprintf(stderr, "zxflash: exit code %d\n", code);
    }
    return code & 0xFF;
}

// The command line as Windows hands it to WinMain: the arguments after the program name,
// without the entry's own choice of device backend, which goes to *backend (ZX_DEVICE_BACKEND
// unless --device-backend names one).
std::string WindowsCommandLine(int argc, char** argv, std::string* backend) {
    const char* backendVariable = getenv("ZX_DEVICE_BACKEND");
    *backend = backendVariable != NULL ? backendVariable : "";
    std::string commandLine;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--device-backend") == 0 && i + 1 < argc) {
            *backend = argv[++i];
            continue;
        }
        if (!commandLine.empty()) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    return commandLine;
}

// Starts the simulated PC for a run of this kind (OPTIONS_*). -1 when it started, else the exit
// code of a run that cannot go on, said on standard error.
int StartSimulatedPcOrExitCode(int kind) {
    bool stateBusy = false;
    if (StartSimulatedPc(kind == OPTIONS_INTERACTIVE, &stateBusy)) {
        return -1;
    }
    if (stateBusy) {
        // Another run has this simulated PC: an unattended run is refused, not held up.
        fprintf(stderr, "zxflash: exit code %d\n", EXIT_ANOTHER_INSTANCE);
        return EXIT_ANOTHER_INSTANCE & 0xFF;
    }
    return 2;
}

// Where the Debug log goes: $ZX_DEBUG_LOG, by default $TMPDIR/zxflash-debug.log (set in
// ZX_DEBUG_LOG for the program). Only a run that asks for the log writes it; the header marks
// where this run's lines start, and a log that cannot be written is said at once and again at
// exit (the screen hides the first).
void StartRequestedDebugLog(const std::string& commandLine) {
    std::string& logPath = g_runEnd.logPath;
    const char* log = getenv("ZX_DEBUG_LOG");
    if (log == NULL || log[0] == 0) {
        const char* tmp = getenv("TMPDIR");
        logPath = std::string(tmp != NULL && tmp[0] != 0 ? tmp : "/tmp") + "/zxflash-debug.log";
        setenv("ZX_DEBUG_LOG", logPath.c_str(), 1);
    } else {
        logPath = log;
    }
    if (AsksForDebugLog(commandLine)) {
        g_runEnd.logWritten = StartDebugLog(logPath, commandLine, &g_runEnd.logError);
        if (!g_runEnd.logWritten) {
            fprintf(stderr, "zxflash: the Debug log cannot be written to %s: %s\n", logPath.c_str(),
                    g_runEnd.logError.c_str());
        }
    }
}

// A run with the dialog drawn in this terminal; the session ends on Ctrl-C, SIGTERM or SIGHUP
// once the dialog lets it.
int RunWithTerminal(const std::string& commandLine, bool onLinux) {
    std::string error;
    // On the simulated PC an accepted power-off or restart ends the program as the PC going down
    // would, after the terminal has shown it.
    std::function<std::string()> shutdownWatch;
    if (!onLinux) {
        shutdownWatch = SimulatedShutdownText;
    }
    g_runEnd.terminal = zxposix::ui::MakeTerminalFrontEnd(&error, shutdownWatch);
    if (!g_runEnd.terminal) {
        fprintf(stderr, "zxflash: %s (zxsim run runs the program without one)\n", error.c_str());
        return 2;
    }
    zxposix::ui::SetFrontEnd(g_runEnd.terminal.get());
    zxposix::SetSessionEndHandler(EndOnSignal);
    zxposix::InstallSessionEndSignals();
    return FinishRun(InteractiveExitCode(ProgramMain(GetModuleHandleW(NULL), commandLine.c_str())));
}

} // namespace

int main(int argc, char** argv) {
    if (AnswersInformationSwitch(argc, argv)) {
        return 0;
    }
    std::string backend;
    const std::string commandLine = WindowsCommandLine(argc, argv, &backend);
    if (!backend.empty() && backend != "sim" && backend != "linux") {
        fprintf(stderr, "zxflash: the device backend is sim or linux, not '%s'\n", backend.c_str());
        return 2;
    }
    const bool onLinux = backend == "linux";
    if (onLinux && !StartLinuxBackend()) {
        return 2;
    }
    const int kind = CommandLineKind(commandLine);
    if (kind == OPTIONS_INFORMATION || kind == OPTIONS_INVALID) {
        // The usage, the version or a refused line: said before any PC starts, nothing written.
        SetProgramTextSink(PrintProgramText);
        return ProgramMain(GetModuleHandleW(NULL), commandLine.c_str()) & 0xFF;
    }
    if (!onLinux) {
        const int exitCode = StartSimulatedPcOrExitCode(kind);
        if (exitCode >= 0) {
            return exitCode;
        }
    }
    g_runEnd.onLinux = onLinux;
    ChooseInstanceScope(onLinux);
    StartRequestedDebugLog(commandLine);
    if (kind != OPTIONS_INTERACTIVE) {
        return RunWithoutTerminal(commandLine);
    }
    return RunWithTerminal(commandLine, onLinux);
}
