// zxsim devices: lists the simulated PC's disks with their device-tree nodes, services, bus
// types, drive numbers, volumes and port ids.
#include "platform/posix/control.h"
#include "sim/control.h"
#include "tools/zxsim/command.h"
#include "tools/zxsim/text_output.h"
#include "topology/port_id.h"

#include <cstdio>
#include <cstring>
#include <string>

using zxsim::Utf8;

namespace {

const char* BusTypeName(uint32_t busType) {
    switch (busType) {
    case 1:
        return "SCSI";
    case 3:
        return "ATA";
    case 7:
        return "USB";
    case 8:
        return "RAID";
    case 9:
        return "iSCSI";
    case 10:
        return "SAS";
    case 11:
        return "SATA";
    case 17:
        return "NVMe";
    default:
        return "other";
    }
}

int Usage(FILE* out) {
    std::fprintf(out, "usage: zxsim devices [--scenario FILE] [--trace FILE]\n"
                      "Lists the disks of the simulated PC (the embedded default scenario, or\n"
                      "FILE) with their nodes, services, bus types, drive numbers, volumes and\n"
                      "port ids.\n");
    return out == stdout ? 0 : 2;
}

int Devices(int argc, char** argv) {
    const char* scenario = nullptr;
    const char* trace = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            return Usage(stdout);
        } else if (std::strcmp(argv[i], "--scenario") == 0 && i + 1 < argc) {
            scenario = argv[++i];
        } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            trace = argv[++i];
        } else {
            std::fprintf(stderr, "zxsim devices: unexpected '%s'\n", argv[i]);
            return Usage(stderr);
        }
    }
    std::string error;
    if (scenario ? !sim::LoadScenarioFile(scenario, &error) : !sim::LoadDefaultScenario(&error)) {
        std::fprintf(stderr, "zxsim devices: %s\n", error.c_str());
        return 2;
    }
    if (trace && !sim::SetTraceFile(trace)) {
        std::fprintf(stderr, "zxsim devices: cannot write %s\n", trace);
        return 2;
    }
    std::printf("scenario %s\n", sim::ScenarioName().c_str());
    for (const sim::DiskView& d : sim::DescribeDisks()) {
        std::printf("\n%s: %s%s%s, \\\\.\\PhysicalDrive%u, bus type %u (%s), SCSI %u:%u:%u:%u%s\n",
                    d.name.c_str(), d.kind.c_str(), d.bridge.empty() ? "" : " bridge ",
                    d.bridge.c_str(), d.driveNumber, d.busType, BusTypeName(d.busType), d.scsiPort,
                    d.scsiPath, d.scsiTarget, d.scsiLun, d.present ? "" : ", not present");
        std::printf("  model \"%s\", firmware \"%s\", %llu blocks of %u bytes\n", d.model.c_str(),
                    d.firmware.c_str(), (unsigned long long)d.blocks, d.blockSize);
        std::string volumes;
        for (char c : d.volumes) {
            volumes += std::string(volumes.empty() ? "" : " ") + c + ":";
        }
        std::printf("  volumes %s\n", volumes.empty() ? "none" : volumes.c_str());
        if (d.present) {
            std::printf("  port id %lld\n", (long long)GetDiskPortID(d.busType, d.driveNumber));
        }
        const char* level[] = {"node", "parent", "grandparent"};
        for (size_t i = 0; i < d.nodes.size(); ++i) {
            const sim::NodeView& n = d.nodes[i];
            std::printf("  %-11s %s", i < 3 ? level[i] : "", Utf8(n.id).c_str());
            if (!n.service.empty()) {
                std::printf("  service %s", Utf8(n.service).c_str());
            }
            if (n.hasBus) {
                std::printf("  bus %u", n.bus);
            }
            if (!n.location.empty()) {
                std::printf("  location %s", Utf8(n.location).c_str());
            }
            std::printf("\n");
        }
    }
    return 0;
}

} // namespace

ZXSIM_COMMAND("devices", "list the simulated PC's disks, nodes and port ids", Devices);
