// zx-scsi-compare: compares the SCSI pass-through requests of one program run on the simulated
// PC with the same run through the Linux kernel, and what the kernel carried to the enclosure.
//
//   zx-scsi-compare [--sim FILE] --disk SERIAL --backend FILE [--later FILE] --device FILE
//                   [--blocked] [--foreign DEV,DEV...]
//
// 1. With --sim: the requests the simulated disk SERIAL received (zxsim run --scsi-log) and the
//    requests the program sent to the disk with that USB serial number through the Linux backend
//    are the same sequence, whole and in order: CDB, direction, length, timeout, sense length,
//    data either way, SCSI status and sense data (or the failure of a request that did not
//    complete). The one allowance: a whole reading of the disk as the program lists it (a
//    rescan), which one run may hold more than the other, as the device changes fall (ProbeOf).
// 2. Every request the backend sent reached the enclosure (zx-usbip-device --log) in order and
//    byte for byte; between them the enclosure got only the kernel's own commands
//    (kKernelOpcodes); --later names the backend's log of a later run, whose requests follow.
//    A request the kernel refused by itself (a "blocked" line after it) or that failed on the
//    way never reached it. With --blocked, the backend must have met the
//    kernel's refusal at least once.
// 3. With --foreign: the disks named (the backend's dev names) got no request that writes: no
//    SCSI write command, no ATA command of the SAT CDBs or the ATA pass-through that moves data to
//    the drive or writes its firmware or configuration.
// The first difference is printed and the exit code is 1.
#include "tests/kernel/json_lines.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kerneltest::Entry;
using kerneltest::Get;
using kerneltest::Load;

const char kTool[] = "zx-scsi-compare";

// What the kernel sends a USB disk on its own: TEST UNIT READY, REQUEST SENSE, INQUIRY, MODE
// SENSE (6) and (10), READ CAPACITY (10) and (16), READ (10) and (16), SYNCHRONIZE CACHE,
// PREVENT ALLOW MEDIUM REMOVAL, START STOP UNIT, REPORT LUNS.
const std::set<unsigned> kKernelOpcodes = {0x00, 0x03, 0x12, 0x1A, 0x5A, 0x25, 0x9E,
                                           0x28, 0x88, 0x35, 0x1E, 0x1B, 0xA0};

// SCSI commands that write the medium or a device's microcode.
const std::set<unsigned> kScsiWrites = {0x0A, 0x2A, 0x2E, 0x3B, 0x41, 0x8A, 0x8E, 0x93, 0xAA, 0xAE};
// ATA commands that write: the vendor write, DOWNLOAD MICROCODE (and its DMA form), and the
// WRITE commands 30h..3Fh, CAh, CCh.
bool AtaWrites(unsigned command) {
    return command == 0xC2 || command == 0x92 || command == 0x93 ||
           (command >= 0x30 && command <= 0x3F) || command == 0xCA || command == 0xCC;
}

unsigned Byte(const std::string& hex, size_t index) {
    if (2 * index + 2 > hex.size()) {
        return 0x100;
    }
    return unsigned(std::strtoul(hex.substr(2 * index, 2).c_str(), nullptr, 16));
}

std::string Describe(const Entry& e) {
    std::string text =
        "CDB " + Get(e, "cdb") + " " + Get(e, "dir") + " " + Get(e, "len") + " bytes";
    if (!Get(e, "failed").empty()) {
        return text + ", failed " + Get(e, "failed");
    }
    text += ", status " + Get(e, "status");
    if (!Get(e, "sense").empty()) {
        text += " sense " + Get(e, "sense");
    }
    return text;
}

// The first field in which two requests differ, "" when they are the same.
std::string Difference(const Entry& a, const Entry& b, const std::vector<const char*>& keys) {
    for (const char* key : keys) {
        if (Get(a, key) != Get(b, key)) {
            if (std::string(key) != "data") {
                return std::string(key) + " " + Get(a, key) + " against " + Get(b, key);
            }
            const std::string da = Get(a, key);
            const std::string db = Get(b, key);
            if (da.size() != db.size()) {
                return "data of " + std::to_string(da.size() / 2) + " bytes against " +
                       std::to_string(db.size() / 2);
            }
            for (size_t i = 0; i + 1 < da.size(); i += 2) {
                if (da.compare(i, 2, db, i, 2) != 0) {
                    return "data byte " + std::to_string(i / 2) + ": " + da.substr(i, 2) +
                           " against " + db.substr(i, 2);
                }
            }
        }
    }
    return "";
}

// How the program reads the disk when it lists it: its first requests up to the one that starts
// the next such reading (the first CDB again). When the disk comes and goes, the program lists
// it again; how often depends on when the kernel announces it, so a run may hold a whole reading
// more or less than the other, which the comparison lets pass (by CDB, direction, length and
// the data that goes out: the same reading).
std::vector<Entry> ProbeOf(const std::vector<Entry>& run) {
    std::vector<Entry> probe;
    for (size_t k = 0; k < run.size(); ++k) {
        if (k > 0 && Get(run[k], "cdb") == Get(run[0], "cdb")) {
            break;
        }
        probe.push_back(run[k]);
    }
    return probe;
}

// Whether run[at..end) starts with the probe's requests.
bool StartsWith(const std::vector<Entry>& run, size_t at, size_t end,
                const std::vector<Entry>& probe) {
    if (probe.empty() || at + probe.size() > end) {
        return false;
    }
    for (size_t k = 0; k < probe.size(); ++k) {
        // What goes out (the tunnelled commands) must be the same too; what comes in may not
        // (the drive's firmware changes in between).
        const bool out = Get(probe[k], "dir") == "out";
        if (!Difference(probe[k], run[at + k], {"cdb", "dir", "len"}).empty() ||
            (out && !Difference(probe[k], run[at + k], {"data"}).empty()) ||
            !Get(run[at + k], "failed").empty()) {
            return false;
        }
    }
    return true;
}

int Fail(const std::string& what) {
    std::printf("DIFFERENT: %s\n", what.c_str());
    return 1;
}

// Whether a request writes: a SCSI write command, or an ATA PASS-THROUGH CDB (or the ATA
// pass-through's CDB) with a data-out or DMA protocol or a writing ATA command.
bool Writes(const Entry& e) {
    const std::string cdb = Get(e, "cdb");
    const unsigned op = Byte(cdb, 0);
    if (kScsiWrites.count(op) != 0) {
        return true;
    }
    if (op == 0xA1 || op == 0x85) {
        const unsigned protocol = (Byte(cdb, 1) >> 1) & 0x0F;
        const unsigned command = op == 0xA1 ? Byte(cdb, 9) : Byte(cdb, 14);
        return protocol == 5 || protocol == 6 || AtaWrites(command);
    }
    return false;
}

std::set<std::string> SplitList(const std::string& text) {
    std::set<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            out.insert(item);
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> o;
    bool blocked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--blocked") {
            blocked = true;
        } else if (i + 1 < argc) {
            o[a] = argv[++i];
        }
    }
    for (const char* need : {"--disk", "--backend", "--device"}) {
        if (o.count(need) == 0) {
            std::fprintf(stderr, "%s: %s is missing\n", kTool, need);
            return 2;
        }
    }
    std::vector<Entry> simAll, backendAll, laterAll, deviceAll;
    const bool withSim = o.count("--sim") != 0;
    if ((withSim && !Load(kTool, o["--sim"], &simAll)) ||
        !Load(kTool, o["--backend"], &backendAll) || !Load(kTool, o["--device"], &deviceAll) ||
        (o.count("--later") != 0 && !Load(kTool, o["--later"], &laterAll))) {
        return 2;
    }
    const std::string serial = o["--disk"];
    std::vector<Entry> sim, program, device;
    for (const Entry& e : simAll) {
        if (Get(e, "disk") == serial) {
            sim.push_back(e);
        }
    }
    // The program's requests to the disk, each marked when the kernel refused it itself; those
    // of the later run after the first run's.
    std::vector<bool> refused;
    std::string lastDev;
    std::vector<Entry> backendRuns = backendAll;
    const size_t firstRun = backendAll.size();
    backendRuns.insert(backendRuns.end(), laterAll.begin(), laterAll.end());
    size_t programFirstRun = 0;
    for (size_t k = 0; k < backendRuns.size(); ++k) {
        const Entry& e = backendRuns[k];
        if (k == firstRun) {
            programFirstRun = program.size();
        }
        if (!Get(e, "blocked").empty()) {
            if (!program.empty() && Get(e, "dev") == lastDev) {
                refused.back() = true;
            }
            continue;
        }
        if (Get(e, "disk") == serial && Get(e, "ioctl") == "scsi") {
            program.push_back(e);
            refused.push_back(false);
            lastDev = Get(e, "dev");
        } else {
            lastDev.clear();
        }
    }
    if (laterAll.empty()) {
        programFirstRun = program.size();
    }
    for (const Entry& e : deviceAll) {
        if (Get(e, "disk") == serial && Get(e, "event").empty()) {
            device.push_back(e);
        }
    }
    // 1. The simulated PC's run and the kernel's run: the same requests from the program, but
    // for whole rescans of the disk that one run has and the other not (below).
    const std::vector<const char*> programKeys = {
        "cdb", "dir", "len", "timeout", "sense_len", "failed", "status", "sense", "data"};
    const std::vector<Entry> probe = ProbeOf(sim);
    size_t i = 0;
    size_t j = 0;
    size_t simProbes = 0;
    size_t kernelProbes = 0;
    while (withSim && (i < sim.size() || j < programFirstRun)) {
        std::string d = "";
        if (i >= sim.size()) {
            d = "none on the simulated PC";
        } else if (j >= programFirstRun) {
            d = "none through the kernel";
        } else {
            d = Difference(sim[i], program[j], programKeys);
        }
        if (d.empty()) {
            ++i;
            ++j;
            continue;
        }
        if (StartsWith(program, j, programFirstRun, probe)) {
            j += probe.size();
            ++kernelProbes;
            continue;
        }
        if (StartsWith(sim, i, sim.size(), probe)) {
            i += probe.size();
            ++simProbes;
            continue;
        }
        const Entry& at = i < sim.size() ? sim[i] : program[j];
        return Fail("request " + std::to_string(i + 1) + " on the simulated PC, " +
                    std::to_string(j + 1) + " through the kernel (" + Describe(at) + "): " + d);
    }
    if (withSim) {
        std::printf("the program sent the same %zu requests on the simulated PC and through the "
                    "kernel, with %zu rescans of the disk only there and %zu only here\n",
                    i - simProbes * probe.size(), simProbes, kernelProbes);
    }
    // 2. What the backend sent reached the enclosure, in order, byte for byte.
    const std::vector<const char*> wireKeys = {"cdb", "dir", "len", "status", "sense", "data"};
    std::vector<size_t> expected; // the requests that went out to the enclosure
    size_t kernelRefused = 0;
    for (size_t k = 0; k < program.size(); ++k) {
        if (refused[k]) {
            ++kernelRefused;
        } else if (Get(program[k], "failed").empty()) {
            expected.push_back(k);
        }
    }
    if (blocked && kernelRefused == 0) {
        return Fail("the kernel refused none of the program's requests by itself");
    }
    size_t next = 0;
    size_t kernelOwn = 0;
    for (const Entry& d : device) {
        if (next < expected.size() && Difference(program[expected[next]], d, wireKeys).empty()) {
            ++next;
            continue;
        }
        if (kKernelOpcodes.count(Byte(Get(d, "cdb"), 0)) == 0) {
            return Fail(
                "the enclosure received " + Describe(d) + ", which the backend did not " + "send" +
                (next < expected.size() ? " (next sent: " + Describe(program[expected[next]]) + ")"
                                        : std::string()));
        }
        ++kernelOwn;
    }
    if (next < expected.size()) {
        return Fail("request " + std::to_string(expected[next] + 1) + " the backend sent (" +
                    Describe(program[expected[next]]) + ") did not reach the enclosure as sent");
    }
    std::printf("the enclosure received all %zu requests the backend sent, in order, and %zu of "
                "the kernel's own; the kernel refused %zu by itself\n",
                expected.size(), kernelOwn, kernelRefused);
    // 3. The foreign disks were only read.
    if (o.count("--foreign") != 0) {
        const std::set<std::string> foreign = SplitList(o["--foreign"]);
        size_t read = 0;
        for (const Entry& e : backendRuns) {
            if (foreign.count(Get(e, "dev")) == 0 || !Get(e, "blocked").empty()) {
                continue;
            }
            if (Writes(e)) {
                return Fail("the foreign disk " + Get(e, "dev") + " got " + Describe(e));
            }
            ++read;
        }
        std::printf("the foreign disks %s got no write (%zu requests)\n", o["--foreign"].c_str(),
                    read);
    }
    return 0;
}
