// The NVMe update of a 617-page image (2 527 232 bytes) on each of the five paths of the default
// scenario, run by `zxsim run` with the clock sped up: per path the worker's requests (the
// download ones, which must be one per 4096-byte chunk, and the fixed ones), the process's CPU
// time and its wall time, each beside a run that stops at the question (start-up, discovery and
// RUN's checks), and the waits of the update itself at that clock speed.
//
//   build/dev/tests/bench/update_bench [SPEED]   (default 100)
#include "tools/zxpkg/image_writer.h"
#include "tools/zxpkg/zip_writer.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

const uint32_t kPages = 617;
const uint32_t kImageBytes = kPages * 4096;

// The checksum kind is the one the drives of that NAND check their FW configuration block with.
zxpkg::ImageRecipe Image(const std::string& last, uint32_t ftl, int kind) {
    zxpkg::ImageRecipe r; // the sample layout: 617 pages
    r.versionParts = {"04", "1k", "02", last};
    r.ftlBuildNumber = ftl;
    r.checksumKind = kind;
    return r;
}

// The demo package's keys, with both NAND identities on 617-page images.
std::string MakePackage(const std::string& dir) {
    const std::string ini =
        "[UPDATEINFO]\nTITLE=42 00\nNEWVERSION=041k0210\nSOCID=0x3C71\nModelName=\n"
        "FWVersion=|041k0207|041k020A|\niInternalFWVersionCheckPart=2\nbIsSATA=0\n"
        "bRemoveFtlBuildNumCheck=0\nbSetVersionBeforeReflash=0\nBeforeMessage=Go?\n"
        "AfterMessage=Done\nPowerCtrl=1\n\n[NandMap]\n9BC5587130_1=A.fw\n9BC5587130_2=A.fw\n"
        "2CC30832E604_2=B.fw\n";
    std::vector<zxpkg::ZipInput> entries;
    entries.push_back({"ReflashInfo.ini", std::vector<unsigned char>(ini.begin(), ini.end())});
    for (const auto& image : {std::make_pair("A.fw", Image("0C", 0x00010203, 1)),
                              std::make_pair("B.fw", Image("0D", 0x00010204, 0))}) {
        std::vector<uint8_t> bytes = zxpkg::BuildImage(image.second);
        if (bytes.size() != kImageBytes) {
            std::fprintf(stderr, "unexpected image size %zu\n", bytes.size());
            std::exit(1);
        }
        entries.push_back({image.first, std::vector<unsigned char>(bytes.begin(), bytes.end())});
    }
    const std::string zip = dir + "/bench.zip";
    const std::string error = zxpkg::WriteZip(zip, entries);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return zip;
}

struct Run {
    double wallMs = 0;
    double cpuMs = 0;
    int status = -1;
};

// One zxsim run as a child process: its wall time and its own CPU time (user and system).
Run RunZxsim(const std::string& command) {
    struct rusage before, after;
    getrusage(RUSAGE_CHILDREN, &before);
    auto start = std::chrono::steady_clock::now();
    Run r;
    r.status = std::system(command.c_str());
    r.wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_CHILDREN, &after);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    r.cpuMs = ms(after.ru_utime) - ms(before.ru_utime) + ms(after.ru_stime) - ms(before.ru_stime);
    return r;
}

bool Has(const std::string& line, const char* text) {
    return line.find(text) != std::string::npos;
}

// The worker's requests in the trace (its thread is the trace's second): those of the update,
// among them the ones that carry a piece of the image: the platform driver's download, the RST
// download, or a bridge's command phase of opcode 11 (its data and completion phases are counted as
// fixed per-chunk overhead), and those of the re-find and the rescan after it. The update's
// requests end where the re-find by port starts: its first open of a disk interface after the
// download.
void CountRequests(const std::string& trace, long* update, long* downloads, long* refind) {
    std::ifstream in(trace);
    std::string line;
    *update = 0;
    *downloads = 0;
    *refind = 0;
    while (std::getline(in, line)) {
        if (!Has(line, "\"tid\":2,")) {
            continue;
        }
        if (*refind > 0 ||
            (*downloads > 0 && Has(line, "\"op\":\"CreateFileW\"") && Has(line, "#disk&"))) {
            ++*refind;
            continue;
        }
        ++*update;
        if (Has(line, "\"ioctl\":\"IOCTL_STORAGE_FIRMWARE_DOWNLOAD\"") ||
            (Has(line, "IntelFw") && Has(line, "\"function\":2,")) ||
            (Has(line, "\"cdb\":\"ea5a8000020000000000000000400000\"") &&
             Has(line, "\"data\":\"11")) ||
            (Has(line, "\"cdb\":\"a1800000020000000000000000000000\"") &&
             Has(line, "\"data\":\"4e564d450000000011")) ||
            (Has(line, "\"cdb\":\"e54000f7000000000000000000000000\"") &&
             Has(line, "\"data\":\"11"))) {
            ++*downloads;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const double speed = argc > 1 ? std::atof(argv[1]) : 100.0;
    char folder[] = "/tmp/zx_update_bench_XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return 1;
    }
    const std::string dir = folder;
    const std::string zip = MakePackage(dir);
    const char* names[] = {"native", "rst", "asmedia", "jmicron", "realtek"};
    // The update's own waits (ms of program time): settle after the download and after the
    // commit, and the bridge's power cycle for ASMedia and JMicron.
    const double waits[] = {6000, 6000, 9000, 9000, 6000};
    const long chunks = (kImageBytes + 4095) / 4096;
    std::printf("image %u bytes, %ld chunks, clock x%g\n", kImageBytes, chunks, speed);
    std::printf("%-8s %8s %9s %6s %7s %8s %8s %8s %8s %8s\n", "path", "update", "downloads",
                "other", "refind", "wall ms", "base ms", "cpu ms", "base cpu", "waits ms");
    for (int n = 0; n < 5; ++n) {
        const std::string base = "env -u ZX_SIM_SCENARIO -u ZX_SIM_STATE -u ZX_DEBUG_LOG TMPDIR='" +
                                 dir + "' '" ZXSIM_PATH "' run --package '" + zip + "' --speed " +
                                 std::to_string(speed) + " --select " + std::to_string(n);
        const std::string trace = dir + "/trace-" + std::to_string(n) + ".jsonl";
        Run stop = RunZxsim(base + " --answer no >/dev/null 2>&1");
        Run update = RunZxsim(base + " --answer yes --answer cancel --trace '" + trace +
                              "' >/dev/null 2>&1");
        long requests = 0, downloads = 0, refind = 0;
        CountRequests(trace, &requests, &downloads, &refind);
        std::printf("%-8s %8ld %9ld %6ld %7ld %8.0f %8.0f %8.0f %8.0f %8.0f%s\n", names[n],
                    requests, downloads, requests - downloads, refind, update.wallMs, stop.wallMs,
                    update.cpuMs, stop.cpuMs, waits[n] / speed,
                    downloads == chunks && refind > 0 && update.status == 0 ? "" : "  <- wrong");
    }
    if (std::getenv("ZX_BENCH_KEEP") != nullptr) {
        return 0;
    }
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
