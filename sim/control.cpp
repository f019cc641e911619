#include "sim/control.h"

#include "sim/pc.h"
#include "sim/read_file.h"
#include "sim/trace.h"

#include <cstdlib>
#include <fstream>

namespace sim {
namespace {

SimDisk* Find(const std::string& name) {
    return ThePc().DiskByName(name);
}

} // namespace

bool LoadScenarioText(const std::string& text, std::string* error) {
    Scenario sc;
    std::string e;
    if (!ParseScenario(text, sc, e) || !ReplacePc(sc, "text", e)) {
        if (error) {
            *error = e;
        }
        return false;
    }
    return true;
}

bool LoadScenarioFile(const std::string& path, std::string* error) {
    std::string text;
    std::string readError;
    if (!ReadInputFile(path, kMaxInputFileBytes, &text, &readError)) {
        if (error) {
            *error = "cannot read " + readError;
        }
        return false;
    }
    Scenario sc;
    std::string e;
    if (!ParseScenario(text, sc, e) || !ReplacePc(sc, path, e)) {
        if (error) {
            *error = path + ": " + e;
        }
        return false;
    }
    return true;
}

bool LoadDefaultScenario(std::string* error) {
    Scenario sc;
    std::string e;
    if (!ParseScenario(DefaultScenarioText(), sc, e) || !ReplacePc(sc, "default", e)) {
        if (error) {
            *error = e;
        }
        return false;
    }
    return true;
}

bool SetTraceFile(const std::string& path) {
    return TraceOpen(path);
}

bool InjectFault(const std::string& disk, const std::string& faults) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    std::string error;
    if (!d || !ParseFaultList(faults, d->faults, error)) {
        return false;
    }
    if (d->nvme && ThePc().HasFault(*d, "garbage_identify")) {
        d->nvme->State().garbageIdentify = true;
    }
    if (d->ata && ThePc().HasFault(*d, "garbage_identify")) {
        d->ata->State().garbageIdentify = true;
    }
    return true;
}

void ClearFaults(const std::string& disk) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (SimDisk* d = Find(disk)) {
        d->faults.clear();
        if (d->nvme) {
            d->nvme->State().garbageIdentify = false;
        }
        if (d->ata) {
            d->ata->State().garbageIdentify = false;
        }
    }
}

std::vector<std::string> DiskNames() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    std::vector<std::string> names;
    for (const auto& d : ThePc().disks) {
        names.push_back(d->name);
    }
    return names;
}

bool IsPresent(const std::string& disk) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    return d && !d->removed;
}

int DriveNumberOf(const std::string& disk) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    return d ? int(d->driveNumber) : -1;
}

bool RemoveDisk(const std::string& disk) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    if (!d) {
        return false;
    }
    ThePc().TakeAway(*d, 0, false);
    return true;
}

bool AddDisk(const std::string& disk, int driveNumber) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* d = pc.DiskByName(disk);
    if (!d) {
        return false;
    }
    if (driveNumber >= 0) {
        d->returnDrive = driveNumber;
    }
    pc.Return(*d);
    return true;
}

bool ResetDisk(const std::string& disk, uint32_t awayMs, int driveNumber) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* d = pc.DiskByName(disk);
    if (!d) {
        return false;
    }
    if (driveNumber >= 0) {
        d->returnDrive = driveNumber;
    }
    pc.TakeAway(*d, awayMs ? awayMs : 1, true);
    return true;
}

bool ReplugDisk(const std::string& disk) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    SimDisk* d = pc.DiskByName(disk);
    if (!d) {
        return false;
    }
    pc.TakeAway(*d, 0, true);
    pc.Return(*d);
    return true;
}

std::vector<std::string> DeviceChanges() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    return ThePc().changes;
}

bool WaitForPresence(const std::string& disk, bool present, std::chrono::milliseconds bound) {
    std::unique_lock<std::recursive_mutex> guard(PcLock());
    return PresenceChanged().wait_for(guard, bound, [&] {
        SimDisk* d = Find(disk);
        return d != nullptr && !d->removed == present;
    });
}

bool DescribeUsbDisk(const std::string& disk, UsbView* view) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    if (!d || d->kind != DiskKind::Usb) {
        return false;
    }
    auto param = [&](const char* key, const char* fallback) {
        auto it = d->params.find(key);
        return it == d->params.end() ? std::string(fallback) : it->second;
    };
    view->vendorId = uint16_t(std::strtoul(param("usb_vid", "174C").c_str(), nullptr, 16));
    view->productId = uint16_t(std::strtoul(param("usb_pid", "2362").c_str(), nullptr, 16));
    view->serial = d->serial;
    view->vendor = d->vendor;
    view->product = d->product;
    view->revision = d->revision;
    view->bridge = d->bridge ? d->bridge->Name() : "";
    const std::string usb = param("usb", "");
    view->port = uint32_t(std::strtoul(usb.substr(usb.rfind('/') + 1).c_str(), nullptr, 10));
    return true;
}

bool WithDrive(const std::string& disk, const std::function<void(NvmeDrive&)>& fn) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    if (!d || !d->nvme) {
        return false;
    }
    fn(*d->nvme);
    return true;
}

bool WithAtaDrive(const std::string& disk, const std::function<void(AtaDrive&)>& fn) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    SimDisk* d = Find(disk);
    if (!d || !d->ata) {
        return false;
    }
    fn(*d->ata);
    return true;
}

std::vector<DiskView> DescribeDisks() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    std::vector<DiskView> out;
    for (const auto& d : pc.disks) {
        DiskView v;
        v.name = d->name;
        v.kind = DiskKindName(d->kind);
        v.bridge = d->bridge ? d->bridge->Name() : "";
        if (d->kind == DiskKind::Usb) {
            v.bridge = d->params.count("bridge") ? d->params.at("bridge") : "plain";
        }
        v.present = !d->removed;
        v.driveNumber = d->driveNumber;
        v.busType = d->busType;
        v.scsiPort = d->scsiPort;
        v.scsiPath = d->scsiPath;
        v.scsiTarget = d->scsiTarget;
        v.scsiLun = d->scsiLun;
        v.model = d->nvme ? d->nvme->State().model : d->ata ? d->ata->State().model : d->model;
        v.firmware = d->nvme  ? d->nvme->State().firmware
                     : d->ata ? d->ata->State().firmware
                              : d->firmware;
        v.blocks = d->blocks;
        v.blockSize = d->blockSize;
        v.volumes = d->volumes;
        for (const DevNode* n = pc.Node(d->diskNode); n; n = pc.Node(n->parent)) {
            NodeView nv;
            nv.id = n->id;
            nv.service = n->service;
            nv.hasBus = n->hasBus;
            nv.bus = n->bus;
            nv.location = n->location;
            v.nodes.push_back(nv);
        }
        out.push_back(v);
    }
    return out;
}

std::string ScenarioName() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    return ThePc().scenarioName;
}

} // namespace sim
