// Sub-commands of zxsim. Each cmd_*.cpp registers one with ZXSIM_COMMAND.
#pragma once

#include <string>

namespace zxsim {

typedef int (*CommandFn)(int argc, char** argv); // argv[0] is the sub-command's name

bool RegisterCommand(const char* name, const char* summary, CommandFn fn);

// Loads the scenario a command runs on: the file (else ZX_SIM_SCENARIO, else the embedded
// default scenario), with the drives' state when a state file is named. On failure prints
// "zxsim COMMAND: SCENARIO: reason" and returns false.
bool LoadCommandScenario(const char* command, std::string scenario);

} // namespace zxsim

#define ZXSIM_COMMAND(name, summary, fn)                                                           \
    static const bool zxsim_registered_##fn = ::zxsim::RegisterCommand(name, summary, fn)
