// zx-nvme-compare: compares the NVMe admin commands of one program run on the simulated PC with
// the same run through the Linux kernel, and what the kernel carried to the drive.
//
//   zx-nvme-compare --sim FILE --drive SERIAL --backend FILE --ctrl NAME --target FILE
//                   [--foreign NAME]
//
// 1. The commands the simulated drive SERIAL received (zxsim run --nvme-log) and the commands the
//    program sent to controller NAME through the Linux backend (origin "program") are the same
//    sequence, whole and in order: opcode, NSID, CDW10..15, direction, length, data and status.
//    Identify Controller data differs only in the fields a fabrics controller adds
//    (kFabricsFields).
// 2. Every command the backend sent to NAME (the program's and its own) reached the drive, in
//    order and byte for byte (the target's log); between them the drive saw only the kernel's
//    own commands (kKernelOpcodes), and each controller reset where the backend asked for one.
// 3. With --foreign: the backend sent controller FOREIGN no data, no vendor command and no
//    firmware command.
// The first difference is printed and the exit code is 1.
#include "tests/kernel/json_lines.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using kerneltest::Entry;
using kerneltest::Get;
using kerneltest::Load;

// Identify Controller bytes that an NVMe/TCP controller fills and a PCIe drive leaves zero: KAS,
// MAXCMD, SGLS, SUBNQN, and the fabrics block (IOCCSZ, IORCSZ, ICDOFF, FCATT, MSDBD).
const struct {
    unsigned from, to; // bytes [from, to)
} kFabricsFields[] = {{320, 322}, {514, 516}, {536, 540}, {768, 1024}, {1792, 1804}};

// What the kernel sends a controller on its own: Identify, Get Log Page, Set and Get Features,
// Asynchronous Event Request, Keep Alive.
const std::set<unsigned> kKernelOpcodes = {0x06, 0x02, 0x09, 0x0A, 0x0C, 0x18};

unsigned Number(const Entry& e, const char* key) {
    return unsigned(std::strtoul(Get(e, key).c_str(), nullptr, 10));
}

std::string Describe(const Entry& e) {
    if (!Get(e, "reset").empty()) {
        return "controller reset";
    }
    char text[200];
    std::snprintf(text, sizeof(text),
                  "opcode 0x%02X nsid 0x%X cdw10 0x%X cdw11 0x%X cdw12 0x%X cdw13 0x%X cdw14 0x%X "
                  "cdw15 0x%X %s %u bytes, status 0x%X",
                  Number(e, "opcode"), Number(e, "nsid"), Number(e, "cdw10"), Number(e, "cdw11"),
                  Number(e, "cdw12"), Number(e, "cdw13"), Number(e, "cdw14"), Number(e, "cdw15"),
                  Get(e, "dir").c_str(), Number(e, "len"), Number(e, "status"));
    return text;
}

bool IdentifyController(const Entry& e) {
    return Number(e, "opcode") == 0x06 && (Number(e, "cdw10") & 0xFF) == 1;
}

// The first field in which two commands differ, "" when they are the same. With fabrics set,
// Identify Controller data may differ in the fabrics fields.
std::string Difference(const Entry& a, const Entry& b, bool fabrics) {
    for (const char* key : {"opcode", "nsid", "cdw10", "cdw11", "cdw12", "cdw13", "cdw14", "cdw15",
                            "dir", "len", "status"}) {
        if (Get(a, key) != Get(b, key)) {
            return std::string(key) + " " + Get(a, key) + " against " + Get(b, key);
        }
    }
    const std::string da = Get(a, "data");
    const std::string db = Get(b, "data");
    if (da.size() != db.size()) {
        return "data of " + std::to_string(da.size() / 2) + " bytes against " +
               std::to_string(db.size() / 2);
    }
    for (size_t i = 0; i + 1 < da.size(); i += 2) {
        const unsigned byte = unsigned(i / 2);
        bool masked = false;
        if (fabrics && IdentifyController(a)) {
            for (const auto& f : kFabricsFields) {
                masked = masked || (byte >= f.from && byte < f.to);
            }
        }
        if (!masked && da.compare(i, 2, db, i, 2) != 0) {
            return "data byte " + std::to_string(byte) + ": " + da.substr(i, 2) + " against " +
                   db.substr(i, 2);
        }
    }
    return "";
}

int Fail(const std::string& what) {
    std::printf("DIFFERENT: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> o;
    for (int i = 1; i + 1 < argc; i += 2) {
        o[argv[i]] = argv[i + 1];
    }
    for (const char* need : {"--sim", "--drive", "--backend", "--ctrl", "--target"}) {
        if (o.count(need) == 0) {
            std::fprintf(stderr, "zx-nvme-compare: %s is missing\n", need);
            return 2;
        }
    }
    std::vector<Entry> simAll, backendAll, target;
    if (!Load("zx-nvme-compare", o["--sim"], &simAll) ||
        !Load("zx-nvme-compare", o["--backend"], &backendAll) ||
        !Load("zx-nvme-compare", o["--target"], &target)) {
        return 2;
    }
    std::vector<Entry> sim, program, sent;
    for (const Entry& e : simAll) {
        if (Get(e, "drive") == o["--drive"]) {
            sim.push_back(e);
        }
    }
    for (const Entry& e : backendAll) {
        if (Get(e, "ctrl") != o["--ctrl"]) {
            continue;
        }
        sent.push_back(e);
        if (Get(e, "origin") == "program") {
            program.push_back(e);
        }
    }
    // 1. The simulated PC's run and the kernel's run: the same commands from the program.
    for (size_t i = 0; i < sim.size() || i < program.size(); ++i) {
        if (i >= sim.size()) {
            return Fail("command " + std::to_string(i + 1) + " through the kernel (" +
                        Describe(program[i]) + ") has none on the simulated PC");
        }
        if (i >= program.size()) {
            return Fail("command " + std::to_string(i + 1) + " on the simulated PC (" +
                        Describe(sim[i]) + ") has none through the kernel");
        }
        std::string d = Difference(sim[i], program[i], true);
        if (!d.empty()) {
            return Fail("command " + std::to_string(i + 1) + " (" + Describe(sim[i]) + "): " + d);
        }
    }
    std::printf("the program sent the same %zu commands on the simulated PC and through the "
                "kernel\n",
                sim.size());
    // 2. What the backend sent reached the drive, in order, byte for byte.
    size_t next = 0;
    size_t kernelOwn = 0;
    for (const Entry& t : target) {
        const bool reset = !Get(t, "reset").empty();
        if (next < sent.size()) {
            const Entry& s = sent[next];
            const bool sentReset = !Get(s, "reset").empty();
            if (reset && sentReset) {
                ++next;
                continue;
            }
            if (!reset && !sentReset && Difference(s, t, false).empty()) {
                ++next;
                continue;
            }
        }
        if (reset) {
            return Fail("the drive was reset where the backend asked for no reset (before " +
                        (next < sent.size() ? Describe(sent[next]) : std::string("the end")) + ")");
        }
        if (kKernelOpcodes.count(Number(t, "opcode")) == 0) {
            return Fail("the drive received " + Describe(t) + ", which the backend did not send");
        }
        ++kernelOwn;
    }
    if (next < sent.size()) {
        return Fail("command " + std::to_string(next + 1) + " the backend sent (" +
                    Describe(sent[next]) + ") did not reach the drive as sent");
    }
    std::printf("the drive received all %zu commands the backend sent, in order, and %zu of the "
                "kernel's own\n",
                sent.size(), kernelOwn);
    // 3. The foreign controller was only read.
    if (o.count("--foreign")) {
        size_t read = 0;
        for (const Entry& e : backendAll) {
            if (Get(e, "ctrl") != o["--foreign"]) {
                continue;
            }
            const unsigned op = Number(e, "opcode");
            if (Get(e, "dir") == "to_device" || op == 0x10 || op == 0x11 || op >= 0xC0 ||
                !Get(e, "reset").empty()) {
                return Fail("the foreign controller " + o["--foreign"] + " got " + Describe(e));
            }
            ++read;
        }
        std::printf("the foreign controller %s was only read (%zu commands)\n",
                    o["--foreign"].c_str(), read);
    }
    return 0;
}
