// Sub-commands of zxsim. Each cmd_*.cpp registers one with ZXSIM_COMMAND.
#pragma once

namespace zxsim {

typedef int (*CommandFn)(int argc, char** argv); // argv[0] is the sub-command's name

bool RegisterCommand(const char* name, const char* summary, CommandFn fn);

} // namespace zxsim

#define ZXSIM_COMMAND(name, summary, fn)                                                           \
    static const bool zxsim_registered_##fn = ::zxsim::RegisterCommand(name, summary, fn)
