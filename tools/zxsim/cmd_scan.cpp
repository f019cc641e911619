// zxsim scan: NVMe discovery (or with --sata the SATA discovery) on the simulated PC. Prints one
// JSON object per Disk record, with the record's field names, then one object with the count.
#include "app/state/app_state.h"
#include "disklib/nvme_discovery.h"
#include "disklib/sata/sata_discovery.h"
#include "sim/control.h"
#include "tools/zxsim/command.h"
#include "tools/zxsim/text_output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using zxsim::Quote;

namespace {

int Usage(FILE* out) {
    std::fprintf(out, "usage: zxsim scan [--scenario FILE] [--sata] [--trace FILE] [--debug]\n"
                      "Runs the NVMe disk discovery on the simulated PC (the embedded default\n"
                      "scenario, or FILE) and prints one JSON object per disk found, with the\n"
                      "Disk record's field names, then {\"count\": N}.\n"
                      "  --sata        run the SATA disk discovery instead\n"
                      "  --trace FILE  write every device request as JSON Lines to FILE\n"
                      "  --debug       write the Debug log to standard error\n");
    return out == stdout ? 0 : 2;
}

void PrintRecord(const DiskRecord& r) {
    char nand[13];
    std::snprintf(nand, sizeof(nand), "%02X%02X%02X%02X%02X%02X", r.NandId[0], r.NandId[1],
                  r.NandId[2], r.NandId[3], r.NandId[4], r.NandId[5]);
    std::printf("{\"DevicePath\":%s,\"iCmdType\":%d,\"iPort\":%lld,\"iCapacityGB\":%u,"
                "\"iSectorSize\":%u,\"iTotalSectors\":%llu,\"Model\":%s,\"FirmwareRev\":%s,"
                "\"SerialNumber\":%s,\"VolumeLetters\":%s,\"iDriveNumber\":%u,\"bRaw\":%u,"
                "\"bSystemDisk\":%u,\"bKnownController\":%u,\"iVendorId\":%u,"
                "\"iSubsystemVendorId\":%u,\"iSocId\":%u,\"iLinkSpeed\":%d,\"iLinkWidth\":%u,"
                "\"iMaxLinkSpeed\":%u,\"iMaxLinkWidth\":%u,\"bDrvInfoValid\":%u,"
                "\"NandId\":\"%s\",\"iLun\":%u,\"DrvInfoVersion\":%s,\"iFtlBuildNum\":%u,"
                "\"iBusType\":%u}\n",
                Quote(r.DevicePath).c_str(), r.iCmdType, static_cast<long long>(r.iPort),
                r.iCapacityGB, r.iSectorSize, static_cast<unsigned long long>(r.iTotalSectors),
                Quote(r.Model).c_str(), Quote(r.FirmwareRev).c_str(), Quote(r.SerialNumber).c_str(),
                Quote(r.VolumeLetters).c_str(), r.iDriveNumber, r.bRaw, r.bSystemDisk,
                r.bKnownController, r.iVendorId, r.iSubsystemVendorId, r.iSocId, r.iLinkSpeed,
                r.iLinkWidth, r.iMaxLinkSpeed, r.iMaxLinkWidth, r.bDrvInfoValid, nand, r.iLun,
                Quote(r.DrvInfoVersion).c_str(), r.iFtlBuildNum, r.iBusType);
}

int Scan(int argc, char** argv) {
    std::string scenario, trace;
    bool debug = false;
    bool sata = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            return Usage(stdout);
        } else if (a == "--scenario" && i + 1 < argc) {
            scenario = argv[++i];
        } else if (a == "--trace" && i + 1 < argc) {
            trace = argv[++i];
        } else if (a == "--debug") {
            debug = true;
        } else if (a == "--sata") {
            sata = true;
        } else {
            std::fprintf(stderr, "zxsim scan: unexpected argument '%s'\n", argv[i]);
            return Usage(stderr);
        }
    }
    if (!zxsim::LoadCommandScenario("scan", scenario)) {
        return 2;
    }
    if (!trace.empty() && !sim::SetTraceFile(trace)) {
        std::fprintf(stderr, "zxsim scan: cannot write the trace to %s\n", trace.c_str());
        return 2;
    }
    InitAppState(debug ? "/debug" : "");
    AppState* state = GetAppState();
    state->DiskCount = sata ? EnumerateSataDisks(state->Disks, DISK_TABLE_CAPACITY)
                            : DISKLIB_NVME_ScanDisks(state->Disks, DISK_TABLE_CAPACITY);
    for (uint32_t i = 0; i < state->DiskCount; ++i) {
        PrintRecord(state->Disks[i]);
    }
    std::printf("{\"count\":%u}\n", state->DiskCount);
    if (!trace.empty() && !sim::SetTraceFile("")) {
        std::fprintf(stderr, "zxsim scan: the trace could not be written to %s\n", trace.c_str());
        return 2;
    }
    return 0;
}

} // namespace

ZXSIM_COMMAND("scan", "NVMe or SATA discovery on the simulated PC, one JSON object per disk", Scan);
