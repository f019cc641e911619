// zxsim replug: takes a disk of the simulated PC out and plugs it in again, as a user replugs
// an enclosure: its drive and bridge lose power, so a committed firmware image runs. With
// --state the drives' state is loaded first and saved after.
#include "sim/control.h"
#include "tools/zxsim/command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage(FILE* out) {
    std::fprintf(out, "usage: zxsim replug DISK [--scenario FILE] [--state FILE] [--trace FILE]\n"
                      "Takes the disk named DISK (a scenario section name, see zxsim devices)\n"
                      "out of the simulated PC and plugs it in again: its drive resets and runs\n"
                      "the firmware committed to it. Useful with --state, which keeps the result.\n"
                      "--trace FILE writes the device requests made meanwhile as JSON Lines (a\n"
                      "replug itself makes none: the file then holds no line).\n");
    return out == stdout ? 0 : 2;
}

int Replug(int argc, char** argv) {
    std::string scenario;
    std::string trace;
    std::string disk;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return Usage(stdout);
        } else if (std::strcmp(argv[i], "--scenario") == 0 && i + 1 < argc) {
            scenario = argv[++i];
        } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            trace = argv[++i];
        } else if (disk.empty() && argv[i][0] != '-') {
            disk = argv[i];
        } else {
            std::fprintf(stderr, "zxsim replug: unexpected '%s'\n", argv[i]);
            return Usage(stderr);
        }
    }
    if (disk.empty()) {
        return Usage(stderr);
    }
    if (!zxsim::LoadCommandScenario("replug", scenario)) {
        return 2;
    }
    if (!trace.empty() && !sim::SetTraceFile(trace)) {
        std::fprintf(stderr, "zxsim replug: cannot write the trace to %s\n", trace.c_str());
        return 2;
    }
    const bool replugged = sim::ReplugDisk(disk);
    if (!replugged) {
        std::fprintf(stderr, "zxsim replug: no disk '%s' in the scenario\n", disk.c_str());
    }
    if (!trace.empty() && !sim::SetTraceFile("")) {
        std::fprintf(stderr, "zxsim replug: the trace could not be written to %s\n", trace.c_str());
        return 2;
    }
    return replugged ? 0 : 1;
}

} // namespace

ZXSIM_COMMAND("replug", "unplug a disk of the simulated PC and plug it in again", Replug);
