// The program entry on POSIX: the program runs on the simulated PC, its dialog is drawn in the
// terminal, and the Debug log goes to a file so that it never writes into the screen being
// drawn.
#include "app/app_main.h"
#include "platform/posix/control.h"
#include "platform/posix/terminal/terminal.h"
#include "sim/control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    // The command line as Windows hands it to WinMain: the arguments after the program name.
    std::string commandLine;
    for (int i = 1; i < argc; i++) {
        if (i > 1) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    sim::Install();
    const char* speed = getenv("ZX_SIM_SPEED");
    if (speed != NULL && atof(speed) > 0) {
        zxposix::SetClockSpeed(atof(speed));
    }
    // The drives' state kept between runs in the file ZX_SIM_STATE names, if any.
    const char* state = getenv("ZX_SIM_STATE");
    std::string stateError;
    if (state != NULL && state[0] != 0 && !sim::SetStateFile(state, &stateError)) {
        fprintf(stderr, "zxflash: %s\n", stateError.c_str());
        return 2;
    }
    // The simulated PC: the scenario file named by ZX_SIM_SCENARIO, or the default one.
    const char* scenario = getenv("ZX_SIM_SCENARIO");
    std::string scenarioError;
    if (scenario != NULL && scenario[0] != 0) {
        if (!sim::LoadScenarioFile(scenario, &scenarioError)) {
            fprintf(stderr, "zxflash: scenario %s: %s\n", scenario, scenarioError.c_str());
            return 2;
        }
    } else if (!sim::LoadDefaultScenario(&scenarioError)) {
        fprintf(stderr, "zxflash: the default scenario does not load: %s\n", scenarioError.c_str());
        return 2;
    }
    std::string logPath;
    const char* log = getenv("ZX_DEBUG_LOG");
    if (log == NULL || log[0] == 0) {
        const char* tmp = getenv("TMPDIR");
        logPath = std::string(tmp != NULL && tmp[0] != 0 ? tmp : "/tmp") + "/zxflash-debug.log";
        setenv("ZX_DEBUG_LOG", logPath.c_str(), 1);
    }
    std::string error;
    std::unique_ptr<zxposix::ui::FrontEnd> terminal = zxposix::ui::MakeTerminalFrontEnd(&error);
    if (!terminal) {
        fprintf(stderr, "zxflash: %s (zxsim run runs the program without one)\n", error.c_str());
        return 2;
    }
    zxposix::ui::SetFrontEnd(terminal.get());
    int result = AppMain(GetModuleHandleW(NULL), commandLine.c_str());
    zxposix::ui::SetFrontEnd(nullptr);
    terminal.reset();
    if (!sim::SaveState(&stateError)) {
        fprintf(stderr, "zxflash: %s\n", stateError.c_str());
    }
    if (!logPath.empty() && access(logPath.c_str(), F_OK) == 0) {
        fprintf(stderr, "zxflash: Debug log in %s\n", logPath.c_str());
    }
    return result;
}
