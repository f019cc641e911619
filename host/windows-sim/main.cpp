// The entry of the win64-sim program: the Windows program on the simulated PC. The simulated PC
// is installed as the device backend before the program starts; ZX_SIM_SCENARIO names its
// scenario file (else the embedded default), ZX_SIM_STATE the file that keeps the drives' state
// between runs, ZX_SIM_TRACE the request trace. ZX_SIM_SCRIPT starts the script driver, which
// plays a `zxsim run` script into the dialog and prints what `zxsim run` prints to the file
// ZX_SIM_OUTPUT names (else standard output), then the exit code; ZX_SIM_SHOTS names a folder
// where it asks for screenshots (host/windows-sim/script_driver.h). The switches of an unattended
// run (/silent, /check ...) work as in zxflash.exe; with ZX_SIM_OUTPUT the exit code is written
// there too, since Wine hands a POSIX caller only its low 8 bits.
#include "fleet/program_entry.h"
#include "host/windows-sim/script_driver.h"
#include "sim/control.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Errors of the start go to standard error, and to the output file when there is one, since
// a GUI program's standard error may lead nowhere.
void Fail(std::FILE* out, const std::string& text) {
    std::fprintf(stderr, "zxflash: %s\n", text.c_str());
    if (out != nullptr && out != stdout) {
        std::fprintf(out, "zxflash: %s\n", text.c_str());
        std::fflush(out);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)show;
    const char* outputPath = std::getenv("ZX_SIM_OUTPUT");
    std::FILE* out = stdout;
    if (outputPath != nullptr && outputPath[0] != 0) {
        out = std::fopen(outputPath, "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "zxflash: cannot write %s\n", outputPath);
            return 2;
        }
    }
    sim::Install();
    std::string error;
    const char* state = std::getenv("ZX_SIM_STATE");
    if (state != nullptr && state[0] != 0 && !sim::SetStateFile(state, &error)) {
        Fail(out, error);
        return 2;
    }
    const char* scenario = std::getenv("ZX_SIM_SCENARIO");
    if (scenario != nullptr && scenario[0] != 0) {
        if (!sim::LoadScenarioFile(scenario, &error)) {
            Fail(out, "ZX_SIM_SCENARIO: " + error); // the error names the file itself
            return 2;
        }
    } else if (!sim::LoadDefaultScenario(&error)) {
        Fail(out, "the default scenario does not load: " + error);
        return 2;
    }
    const char* trace = std::getenv("ZX_SIM_TRACE");
    if (trace != nullptr && trace[0] != 0 && !sim::SetTraceFile(trace)) {
        Fail(out, std::string("cannot write the trace to ") + trace);
        return 2;
    }
    const char* script = std::getenv("ZX_SIM_SCRIPT");
    bool driven = script != nullptr;
    if (driven) {
        std::vector<winsim::ScriptStep> steps;
        if (!winsim::ParseScript(script, &steps, &error)) {
            Fail(out, "ZX_SIM_SCRIPT: " + error);
            return 2;
        }
        // ZX_SIM_SHOTS: the folder where the driver asks for screenshots.
        std::wstring shots;
        if (const wchar_t* folder = _wgetenv(L"ZX_SIM_SHOTS")) {
            shots = folder;
        }
        if (!winsim::StartScriptDriver(steps, out, shots)) {
            Fail(out, "the script driver does not start");
            return 2;
        }
    }
    int result = ProgramMain(instance, commandLine);
    bool played = true;
    if (driven) {
        played = winsim::FinishScriptDriver();
    }
    if (driven || out != stdout) {
        std::fprintf(out, "exit code: %d\n", result);
    }
    if (!sim::SaveState(&error)) {
        Fail(out, error);
    }
    std::fflush(out);
    if (out != stdout) {
        std::fclose(out);
    }
    // As zxsim run: a script that did not play as written is an error (exit code 2).
    return played ? result : 2;
}
