// zxpkg check's reading of a package: the input is the archive. The verdict is sound exactly
// when no problem line was printed, the count of problems is that of the FAIL lines, and the
// check leaves nothing behind in the temp folder it is given (a sandbox under TMPDIR).
#include "tools/zxpkg/checker.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The sandbox under the TMPDIR the harness was started with; the check's own temp folder is
// made inside it.
const fs::path& Box() {
    static const fs::path box = [] {
        const char* tmp = std::getenv("TMPDIR");
        fs::path p = fs::path(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") /
                     ("zx_fuzz_check_" + std::to_string(getpid()));
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Box(), ec);
        });
        return p;
    }();
    return box;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path& box = Box();
    std::error_code ec;
    fs::remove_all(box, ec);
    fs::create_directories(box / "temp", ec);
    const fs::path archive = box / "package.zip";
    {
        std::ofstream out(archive, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    setenv("TMPDIR", (box / "temp").c_str(), 1);
    std::ostringstream report;
    int verdict = zxpkg::CheckPackage(archive.string(), report);
    fuzz::Require(verdict == 0 || verdict == 1, "the verdict is sound or not sound");
    std::istringstream lines(report.str());
    std::string line;
    std::string last;
    long fails = 0;
    while (std::getline(lines, line)) {
        fails += line.compare(0, 5, "FAIL ") == 0 ? 1 : 0;
        last = line;
    }
    if (verdict == 0) {
        fuzz::Require(fails == 0 && last == "result: sound", "sound only without problems");
    } else {
        fuzz::Require(fails > 0 &&
                          last == "result: not sound, " + std::to_string(fails) + " problem(s)",
                      "not sound names its problems");
    }
    fuzz::Require(fs::is_empty(box / "temp", ec) && !ec, "the check leaves its temp folder behind");
    fs::remove_all(box, ec);
    return 0;
}
