// zxsim: the simulated PC on the command line.
#include "sim/control.h"
#include "tools/zxsim/command.h"
#include "version/zx_version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

namespace zxsim {
namespace {

std::map<std::string, std::pair<std::string, CommandFn>>& Commands() {
    static std::map<std::string, std::pair<std::string, CommandFn>> commands;
    return commands;
}

int Usage(FILE* out) {
    std::fprintf(out, "usage: zxsim <command> [--state FILE] [options]\n"
                      "       zxsim --version\n\ncommands:\n");
    for (auto& c : Commands()) {
        std::fprintf(out, "  %-10s %s\n", c.first.c_str(), c.second.first.c_str());
    }
    std::fprintf(out,
                 "\nEvery command takes --state FILE (else ZX_SIM_STATE): the simulated drives'\n"
                 "state is loaded from FILE when it exists and saved to it at the end; a second\n"
                 "run on the same FILE waits until the first has ended (FILE.lock).\n"
                 "'zxsim <command> --help' describes a command.\n");
    return out == stdout ? 0 : 2;
}

// Takes "--state FILE" out of the arguments; the path, or ZX_SIM_STATE, or "".
std::string TakeStateOption(int& argc, char** argv, bool& bad) {
    const char* env = std::getenv("ZX_SIM_STATE");
    std::string path = env != nullptr ? env : "";
    bad = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            break; // the program's own command line follows
        }
        if (std::strcmp(argv[i], "--state") == 0) {
            if (i + 1 >= argc) {
                bad = true;
                return path;
            }
            path = argv[i + 1];
            for (int k = i; k + 2 <= argc; ++k) {
                argv[k] = argv[k + 2];
            }
            argc -= 2;
            --i;
        }
    }
    return path;
}

// Whether the command is only asked to describe itself (before any "--").
bool WantsHelp(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            return false;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

bool RegisterCommand(const char* name, const char* summary, CommandFn fn) {
    Commands()[name] = {summary, fn};
    return true;
}

bool LoadCommandScenario(const char* command, std::string scenario) {
    if (scenario.empty() && std::getenv("ZX_SIM_SCENARIO") != nullptr) {
        scenario = std::getenv("ZX_SIM_SCENARIO");
    }
    std::string error;
    if (scenario.empty() ? sim::LoadDefaultScenario(&error)
                         : sim::LoadScenarioFile(scenario, &error)) {
        return true;
    }
    // A scenario file's error names the file itself.
    std::fprintf(stderr, "zxsim %s: %s%s\n", command, scenario.empty() ? "default scenario: " : "",
                 error.c_str());
    return false;
}

} // namespace zxsim

int main(int argc, char** argv) {
    sim::Install(); // every command works on the simulated PC
    if (argc < 2) {
        return zxsim::Usage(stderr);
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        return zxsim::Usage(stdout);
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("zxsim %s\n", ZX_VERSION_TEXT);
        return 0;
    }
    auto it = zxsim::Commands().find(argv[1]);
    if (it == zxsim::Commands().end()) {
        std::fprintf(stderr, "zxsim: unknown command '%s'\n", argv[1]);
        return zxsim::Usage(stderr);
    }
    bool bad = false;
    std::string state = zxsim::TakeStateOption(argc, argv, bad);
    if (!state.empty()) {
        // zxsim run's program makes its working folder the current one: a relative path must
        // still name the file the caller meant when the state is saved at the end.
        std::error_code error;
        const std::filesystem::path whole = std::filesystem::absolute(state, error);
        if (!error) {
            state = whole.string();
        }
    }
    std::string error;
    if (bad) {
        std::fprintf(stderr, "zxsim: --state needs a file\n");
        return 2;
    }
    if (!state.empty() && zxsim::WantsHelp(argc, argv)) {
        state.clear(); // the command only describes itself: no state to load, lock or save
    }
    if (!state.empty() &&
        sim::TakeStateFileLock(state, "zxsim", true, &error) != sim::kStateLockTaken) {
        std::fprintf(stderr, "zxsim: %s\n", error.c_str());
        return 2;
    }
    if (!sim::SetStateFile(state, &error)) {
        std::fprintf(stderr, "zxsim: %s\n", error.c_str());
        return 2;
    }
    const int result = it->second.second(argc - 1, argv + 1);
    if (!state.empty() && !sim::SaveState(&error)) {
        std::fprintf(stderr, "zxsim: %s\n", error.c_str());
        return result != 0 ? result : 1;
    }
    return result;
}
