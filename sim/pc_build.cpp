// Building the simulated PC from a scenario: the check of its sections, the root of the device
// tree, the SCSI ports, and the order in which the section builders run.
#include "sim/pc_build.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace sim {
namespace {

// clang-format off
const std::set<std::string> kDiskKeys = {
    "kind", "drive", "model", "serial", "firmware", "vendor_id", "ssvid", "sectors",
    "sector_size", "controller", "service", "bus", "root_bus", "link", "bus_type", "scsi_port",
    "scsi_path", "scsi_target", "scsi_lun", "usb", "bridge", "usb_vid", "usb_pid", "usb_service",
    "usb_iface", "vendor", "product", "revision", "volumes", "vsc", "drvinfo", "mpinfo",
    "fwconfig", "unlisted", "faults", "return_drive", "present", "firmware_check", "pci_id",
    "fw_activation", "reset_ms", "power_cycle_ms", "fw_slots", "fw_slot1_ro", "fw_ug",
    "fw_commands", "fw_mtfa", "fw_pending_slot", "fw_commit_status"};
// clang-format on
const std::set<std::string> kControllerKeys = {"kind", "service", "bus",      "root_bus",
                                               "link", "pci_id",  "scsi_port"};
const std::set<std::string> kUsbHostKeys = {"listed", "id", "service"};
const std::set<std::string> kUsbHubKeys = {"location", "id", "usb_vid", "usb_pid"};
const std::set<std::string> kPowerKeys = {"ac", "battery"};

bool KeyAllowed(const std::set<std::string>& keys, const std::string& key) {
    // Bridges, vendor command sets and ATA drives read keys of their own.
    return keys.count(key) || key.rfind("bridge_", 0) == 0 || key.rfind("vsc_", 0) == 0 ||
           key.rfind("ata_", 0) == 0;
}

std::wstring GuidText(const GUID& g) {
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buf;
}

} // namespace

uint32_t Hash32(const std::string& s) {
    uint32_t h = 2166136261u;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        h = (h ^ c) * 16777619u;
    }
    return h;
}

std::wstring Hex(uint32_t v, int digits, bool upper) {
    wchar_t buf[16];
    std::swprintf(buf, 16, upper ? L"%0*X" : L"%0*x", digits, v);
    return buf;
}

std::wstring Dec(uint32_t v, int digits) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%0*u", digits, v);
    return buf;
}

std::wstring IdText(const std::string& s, size_t max) {
    std::wstring w = Widen(s.substr(0, std::min(max, s.size())));
    while (!w.empty() && w.back() == L' ') {
        w.pop_back();
    }
    for (auto& c : w) {
        if (c == L' ' || c == L'\\' || c == L'#') {
            c = L'_';
        }
    }
    return w;
}

std::wstring InterfacePath(const std::wstring& id, const GUID& cls) {
    std::wstring p = L"\\\\.\\";
    for (wchar_t c : id) {
        p += c == L'\\' ? L'#' : wchar_t(std::towlower(wint_t(c)));
    }
    return p + L"#" + GuidText(cls);
}

bool Pc::Build(const Scenario& scenario, std::string& error) {
    disks.clear();
    nodes.clear();
    PcBuilder builder(*this, error);
    return builder.Build(scenario);
}

bool PcBuilder::Build(const Scenario& scenario) {
    if (!CheckSections(scenario)) {
        return false;
    }
    // SCSI port numbers: the ones a scenario gives, and the lowest free ones for the rest.
    for (const auto& s : scenario.sections) {
        uint64_t p = 0;
        if (s.Has("scsi_port") && ParseU64(s.Get("scsi_port"), p)) {
            givenPorts.insert(uint32_t(p));
        }
    }
    const DevInst root = AddNode(0, L"HTREE\\ROOT\\0", L"", kClassSystem, -1);
    pciRoot = AddNode(root, L"ACPI\\PNP0A08\\0", L"pci", kClassSystem, -1);
    nodes[pciRoot - 1].hasBus = true;
    if (powerSection != nullptr && !BuildPower(*powerSection)) {
        return false;
    }
    if (!BuildUsbHosts(scenario)) {
        return false;
    }
    for (const auto& s : scenario.sections) {
        if (s.type == "disk" && !BuildDisk(s)) {
            return false;
        }
    }
    return CheckScsiAddresses(scenario);
}

bool PcBuilder::CheckSections(const Scenario& scenario) {
    for (const auto& s : scenario.sections) {
        const std::set<std::string>* allowed = nullptr;
        if (s.type == "disk") {
            allowed = &kDiskKeys;
        } else if (s.type == "controller") {
            allowed = &kControllerKeys;
            controllers[s.name] = &s;
        } else if (s.type == "usbhost") {
            allowed = &kUsbHostKeys;
            uint64_t idx = 0;
            if (!ParseU64(s.name, idx) || idx == 0 || idx > 99) {
                return Fail(s, "a usbhost is named by its index 1..99");
            }
            usbHosts[uint32_t(idx)] = &s;
        } else if (s.type == "usbhub") {
            allowed = &kUsbHubKeys;
            usbHubs[s.name] = &s;
        } else if (s.type == "power") {
            allowed = &kPowerKeys;
            if (powerSection != nullptr) {
                return Fail(s, "a PC has one power section");
            }
            powerSection = &s;
        } else {
            return Fail(s, "unknown section type");
        }
        for (const auto& kv : s.keys) {
            if (!KeyAllowed(*allowed, kv.first)) {
                return FailAt(s, kv.first, "unknown key '" + kv.first + "'");
            }
        }
    }
    return true;
}

bool PcBuilder::BuildPower(const ScenarioSection& s) {
    const std::string ac = s.Get("ac", "online");
    if (ac == "online") {
        pc.power.acLine = 1;
    } else if (ac == "offline") {
        pc.power.acLine = 0;
    } else if (ac == "unknown") {
        pc.power.acLine = 255;
    } else {
        return FailAt(s, "ac", "ac is online, offline or unknown");
    }
    const std::string battery = s.Get("battery", "none");
    uint64_t percent = 0;
    if (battery == "none") {
        pc.power.battery = -1;
    } else if (battery == "unknown") {
        pc.power.battery = -2;
    } else if (ParseU64(battery, percent) && percent <= 100) {
        pc.power.battery = int(percent);
    } else {
        return FailAt(s, "battery", "battery is none, unknown or a percentage 0..100");
    }
    return true;
}

bool PcBuilder::Fail(const ScenarioSection& s, const std::string& what) {
    error = "line " + std::to_string(s.line) + ": [" + s.type + " " + s.name + "] " + what;
    return false;
}

bool PcBuilder::FailAt(const ScenarioSection& s, const std::string& key, const std::string& what) {
    error = "line " + std::to_string(s.LineOf(key)) + ": [" + s.type + " " + s.name + "] " + what;
    return false;
}

DevInst PcBuilder::AddNode(DevInst parent, const std::wstring& id, const std::wstring& service,
                           const GUID& setupClass, int owner) {
    DevNode n;
    n.inst = DevInst(nodes.size() + 1);
    n.parent = parent;
    n.id = id;
    n.service = service;
    n.setupClass = setupClass;
    n.ownerDisk = owner;
    nodes.push_back(n);
    return n.inst;
}

uint8_t PcBuilder::NextPort() {
    while (givenPorts.count(freePort)) {
        ++freePort;
    }
    return uint8_t(freePort++);
}

bool PcBuilder::CheckScsiAddresses(const Scenario& scenario) {
    for (auto& d : disks) {
        for (auto& o : disks) {
            if (o != d && o->scsiPort == d->scsiPort && o->scsiPath == d->scsiPath &&
                o->scsiTarget == d->scsiTarget && o->scsiLun == d->scsiLun) {
                // Named on the later disk's section, as a drive number used twice is.
                const std::string& later = d->index > o->index ? d->name : o->name;
                const std::string& earlier = d->index > o->index ? o->name : d->name;
                for (const auto& s : scenario.sections) {
                    if (s.type == "disk" && s.name == later) {
                        return Fail(s, "has the same SCSI address as disk " + earlier);
                    }
                }
                error = "disks " + earlier + " and " + later + " have the same SCSI address";
                return false;
            }
        }
    }
    return true;
}

} // namespace sim
