// Cost of reading one large ReflashInfo.ini: writes an INI of the given size (default 50 MB;
// the UPDATEINFO keys of a package, then a NandMap section of filler keys), makes the calls the
// program makes (every UPDATEINFO key, then NandMap lookups) right after writing it, and again
// three seconds later (when the profile reader no longer reads a file again to compare it), and
// prints the time they took and the process's peak resident memory. Run by hand:
//   build/<preset>/tests/bench/profile_bench [megabytes]
#include "platform/win32.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const wchar_t* const kTextKeys[] = {L"TITLE",      L"SOCID",         L"ModelName",   L"FWVersion",
                                    L"NEWVERSION", L"BeforeMessage", L"AfterMessage"};
const wchar_t* const kIntKeys[] = {L"iInternalFWVersionCheckPart", L"bIsSATA",
                                   L"bRemoveFtlBuildNumCheck", L"bSetVersionBeforeReflash",
                                   L"PowerCtrl"};

long PeakKilobytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    long megabytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 50;
    if (megabytes <= 0) {
        std::fprintf(stderr, "usage: %s [megabytes]\n", argv[0]);
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") +
                       "/zxprofile_bench_" + std::to_string(getpid()) + ".ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "[UPDATEINFO]\r\nTITLE=46 00 57 00\r\nSOCID=0x3C71\r\nModelName=\r\n"
               "FWVersion=|041k0207|\r\nNEWVERSION=\r\niInternalFWVersionCheckPart=2\r\n"
               "bIsSATA=0\r\nbRemoveFtlBuildNumCheck=0\r\nbSetVersionBeforeReflash=0\r\n"
               "BeforeMessage=Warning !\r\nAfterMessage=Update FW OK !\r\nPowerCtrl=1\r\n"
               "[NandMap]\r\n";
        const long long target = megabytes * 1024LL * 1024LL;
        char line[64];
        for (long long i = 0, written = 0; written < target; ++i) {
            int n = std::snprintf(line, sizeof(line), "%012llX_1=image%08lld.bin\r\n", i, i);
            out.write(line, n);
            written += n;
        }
        out << "983C98B37601_2=fw.bin\r\n";
    }
    std::wstring file = L"C:";
    for (char c : path) {
        file += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    long before = PeakKilobytes();
    for (const char* phase : {"just written", "3 s later"}) {
        auto start = std::chrono::steady_clock::now();
        WCHAR value[1024];
        unsigned sum = 0;
        for (const wchar_t* key : kTextKeys) {
            sum += GetPrivateProfileStringW(L"UPDATEINFO", key, L"", value, 1024, file.c_str());
        }
        for (const wchar_t* key : kIntKeys) {
            sum += GetPrivateProfileIntW(L"UPDATEINFO", key, 3, file.c_str());
        }
        for (const wchar_t* key : {L"983C98B37601_1", L"983C98B37601_2", L"983C98B37601_3"}) {
            sum += GetPrivateProfileStringW(L"NandMap", key, L"", value, 260, file.c_str());
        }
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::printf("%ld MB INI, %s, 15 calls: %.0f ms, peak resident %ld MB (%ld MB before the "
                    "calls), checksum %u\n",
                    megabytes, phase, ms, PeakKilobytes() / 1024, before / 1024, sum);
        sleep(3);
    }
    unlink(path.c_str());
    return 0;
}
