// zxsim: the simulated PC on the command line.
#include "sim/control.h"
#include "tools/zxsim/command.h"

#include <cstdio>
#include <cstring>
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
    std::fprintf(out, "usage: zxsim <command> [options]\n\ncommands:\n");
    for (auto& c : Commands()) {
        std::fprintf(out, "  %-10s %s\n", c.first.c_str(), c.second.first.c_str());
    }
    std::fprintf(out, "\n'zxsim <command> --help' describes a command.\n");
    return out == stdout ? 0 : 2;
}

} // namespace

bool RegisterCommand(const char* name, const char* summary, CommandFn fn) {
    Commands()[name] = {summary, fn};
    return true;
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
    auto it = zxsim::Commands().find(argv[1]);
    if (it == zxsim::Commands().end()) {
        std::fprintf(stderr, "zxsim: unknown command '%s'\n", argv[1]);
        return zxsim::Usage(stderr);
    }
    return it->second.second(argc - 1, argv + 1);
}
