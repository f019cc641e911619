// Building the simulated PC from a scenario, and its state of presence and faults.
#include "sim/pc.h"

#include "platform/win32.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <set>
#include <sstream>

namespace sim {
namespace {

constexpr GUID kClassSystem = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kClassDiskDrive = {
    0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kClassScsiAdapter = {
    0x4d36e97b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kClassHdc = {
    0x4d36e96a, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kClassUsb = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

const std::set<std::string> kDiskKeys = {
    "kind",         "drive",     "model",          "serial",      "firmware",
    "vendor_id",    "ssvid",     "sectors",        "sector_size", "controller",
    "service",      "bus",       "root_bus",       "link",        "bus_type",
    "scsi_port",    "scsi_path", "scsi_target",    "scsi_lun",    "usb",
    "bridge",       "usb_vid",   "usb_pid",        "usb_service", "usb_iface",
    "vendor",       "product",   "revision",       "volumes",     "vsc",
    "drvinfo",      "mpinfo",    "fwconfig",       "unlisted",    "faults",
    "return_drive", "present",   "firmware_check", "pci_id"};
const std::set<std::string> kControllerKeys = {"kind", "service", "bus",      "root_bus",
                                               "link", "pci_id",  "scsi_port"};
const std::set<std::string> kUsbHostKeys = {"listed", "id", "service"};
const std::set<std::string> kUsbHubKeys = {"location", "id", "usb_vid", "usb_pid"};

bool KeyAllowed(const std::set<std::string>& keys, const std::string& key) {
    // Bridges and vendor command sets read keys of their own.
    return keys.count(key) || key.rfind("bridge_", 0) == 0 || key.rfind("vsc_", 0) == 0;
}

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool ParseU64(const std::string& text, uint64_t& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    out = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    return end != nullptr && *end == '\0' && text[0] != '-';
}

uint32_t Hash32(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h = (h ^ c) * 16777619u;
    }
    return h;
}

std::wstring Hex(uint32_t v, int digits, bool upper = false) {
    wchar_t buf[16];
    std::swprintf(buf, 16, upper ? L"%0*X" : L"%0*x", digits, v);
    return buf;
}

std::wstring Dec(uint32_t v, int digits) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%0*u", digits, v);
    return buf;
}

// Text as it appears inside an instance ID: blanks become '_', cut to `max` characters.
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

std::wstring GuidText(const GUID& g) {
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buf;
}

// The interface path of a device node: "\\.\" + its instance ID with '#' for '\' + '#' + the
// interface class, in lower case.
std::wstring InterfacePath(const std::wstring& id, const GUID& cls) {
    std::wstring p = L"\\\\.\\";
    for (wchar_t c : id) {
        p += c == L'\\' ? L'#' : wchar_t(std::towlower(wint_t(c)));
    }
    return p + L"#" + GuidText(cls);
}

bool ParseLink(const std::string& text, DevNode& node, std::string& error) {
    if (text.empty() || text == "none") {
        node.hasLink = false;
        return true;
    }
    std::stringstream ss(text);
    std::string part;
    int i = 0;
    while (std::getline(ss, part, ',')) {
        uint64_t v = 0;
        if (i >= 4 || !ParseU64(part, v)) {
            error = "link is \"speed,width,max speed,max width\" or none";
            return false;
        }
        node.link[i++] = uint32_t(v);
    }
    if (i != 4) {
        error = "link is \"speed,width,max speed,max width\" or none";
        return false;
    }
    node.hasLink = true;
    return true;
}

bool ParseBlock(const std::string& text, std::vector<uint8_t>& out, std::string& error) {
    std::string hex;
    if (!text.empty() && text[0] == '@') {
        std::ifstream f(text.substr(1), std::ios::binary);
        if (!f) {
            error = "cannot read " + text.substr(1);
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    } else {
        for (char c : text) {
            if (std::isxdigit(static_cast<unsigned char>(c))) {
                hex += c;
            } else if (!std::isspace(static_cast<unsigned char>(c))) {
                error = "a vendor block is hex digits or @file";
                return false;
            }
        }
        if (hex.size() % 2) {
            error = "a vendor block has an odd number of hex digits";
            return false;
        }
        out.clear();
        for (size_t i = 0; i < hex.size(); i += 2) {
            out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
    }
    if (out.size() > 4096) {
        error = "a vendor block holds at most 4096 bytes";
        return false;
    }
    out.resize(4096, 0);
    return true;
}

struct ControllerInfo {
    DevInst node = 0;
    uint8_t port = 0;
    std::string kind;
};

} // namespace

const char* DiskKindName(DiskKind kind) {
    switch (kind) {
    case DiskKind::Nvme:
        return "nvme";
    case DiskKind::Rst:
        return "rst";
    case DiskKind::Usb:
        return "usb";
    case DiskKind::Sata:
        return "sata";
    default:
        return "other";
    }
}

std::wstring Widen(const std::string& s) {
    std::wstring w;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size()) {
            cp = (c & 0x1F) << 6 | (s[i + 1] & 0x3F);
            n = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size()) {
            cp = (c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
            n = 3;
        }
        w += wchar_t(cp);
        i += n;
    }
    return w;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t wc : w) {
        uint32_t c = uint32_t(wc);
        if (c < 0x80) {
            s += char(c);
        } else if (c < 0x800) {
            s += char(0xC0 | (c >> 6));
            s += char(0x80 | (c & 0x3F));
        } else {
            if (c > 0xFFFF) {
                c = 0xFFFD;
            }
            s += char(0xE0 | (c >> 12));
            s += char(0x80 | ((c >> 6) & 0x3F));
            s += char(0x80 | (c & 0x3F));
        }
    }
    return s;
}

bool ParseFaultList(const std::string& text, std::vector<Fault>& out, std::string& error) {
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item.empty()) {
            continue;
        }
        Fault f;
        size_t star = item.find('*');
        if (star != std::string::npos) {
            uint64_t n = 0;
            if (!ParseU64(item.substr(star + 1), n)) {
                error = "fault '" + item + "': count after '*' is a number";
                return false;
            }
            f.count = int(n);
            item.erase(star);
        }
        size_t at = item.find('@');
        if (at != std::string::npos) {
            uint64_t n = 0;
            if (!ParseU64(item.substr(at + 1), n)) {
                error = "fault '" + item + "': skip after '@' is a number";
                return false;
            }
            f.skip = int(n);
            item.erase(at);
        }
        size_t colon = item.find(':');
        f.kind = item.substr(0, colon);
        if (colon != std::string::npos) {
            f.arg = item.substr(colon + 1);
        }
        out.push_back(f);
    }
    return true;
}

DevInst Pc::AddNode(DevInst parent, const std::wstring& id, const std::wstring& service,
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

const DevNode* Pc::Node(DevInst inst) const {
    if (inst == 0 || inst > nodes.size()) {
        return nullptr;
    }
    return &nodes[inst - 1];
}

bool Pc::NodePresent(const DevNode& node) const {
    return node.ownerDisk < 0 || !disks[size_t(node.ownerDisk)]->removed;
}

bool Pc::Build(const Scenario& scenario, std::string& error) {
    disks.clear();
    nodes.clear();
    std::map<std::string, const ScenarioSection*> controllers;
    std::map<uint32_t, const ScenarioSection*> usbHosts;
    std::map<std::string, const ScenarioSection*> usbHubs;
    auto fail = [&](const ScenarioSection& s, const std::string& what) {
        error = "line " + std::to_string(s.line) + ": [" + s.type + " " + s.name + "] " + what;
        return false;
    };
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
                return fail(s, "a usbhost is named by its index 1..99");
            }
            usbHosts[uint32_t(idx)] = &s;
        } else if (s.type == "usbhub") {
            allowed = &kUsbHubKeys;
            usbHubs[s.name] = &s;
        } else {
            return fail(s, "unknown section type");
        }
        for (const auto& kv : s.keys) {
            if (!KeyAllowed(*allowed, kv.first)) {
                return fail(s, "unknown key '" + kv.first + "'");
            }
        }
    }

    // SCSI port numbers: the ones a scenario gives, and the lowest free ones for the rest.
    std::set<uint32_t> givenPorts;
    for (const auto& s : scenario.sections) {
        uint64_t p = 0;
        if (s.Has("scsi_port") && ParseU64(s.Get("scsi_port"), p)) {
            givenPorts.insert(uint32_t(p));
        }
    }
    uint32_t freePort = 0;
    auto nextPort = [&]() {
        while (givenPorts.count(freePort)) {
            ++freePort;
        }
        return uint8_t(freePort++);
    };
    uint32_t nextHubNumber = 1;
    const DevInst root = AddNode(0, L"HTREE\\ROOT\\0", L"", kClassSystem, -1);
    const DevInst pciRoot = AddNode(root, L"ACPI\\PNP0A08\\0", L"pci", kClassSystem, -1);
    nodes[pciRoot - 1].hasBus = true;
    uint32_t devfn = 0x08;

    // USB host controllers, in index order, each with its root hub.
    std::set<uint32_t> hostIndexes;
    for (const auto& kv : usbHosts) {
        hostIndexes.insert(kv.first);
    }
    for (const auto& s : scenario.sections) {
        if (s.type == "disk" && s.Has("usb")) {
            hostIndexes.insert(uint32_t(std::strtoul(s.Get("usb").c_str(), nullptr, 10)));
        }
    }
    // Controllers are numbered by their place: every index up to the highest one exists.
    if (!hostIndexes.empty() && *hostIndexes.rbegin() <= 99) {
        for (uint32_t i = 1; i < *hostIndexes.rbegin(); ++i) {
            hostIndexes.insert(i);
        }
    }
    struct Hub {
        DevInst node;
        uint32_t number;
    };
    std::map<std::string, Hub> hubs; // by path "C" (root hub) or "C/P1/..."
    for (uint32_t idx : hostIndexes) {
        if (idx == 0 || idx > 99) {
            error = "a USB host controller index is 1..99";
            return false;
        }
        const ScenarioSection* hs = usbHosts.count(idx) ? usbHosts[idx] : nullptr;
        std::wstring id = hs && hs->Has("id") ? Widen(hs->Get("id"))
                                              : L"PCI\\VEN_8086&DEV_" + Hex(0xA36C + idx, 4, true) +
                                                    L"&SUBSYS_72D61462&REV_10\\3&11583659&0&" +
                                                    Hex(0xA0 + idx, 2, true);
        DevInst ctrl = AddNode(pciRoot, id, hs ? Widen(hs->Get("service", "USBXHCI")) : L"USBXHCI",
                               kClassUsb, -1);
        nodes[ctrl - 1].description = L"USB xHCI Compliant Host Controller";
        nodes[ctrl - 1].hasBus = true;
        if (!hs || hs->Get("listed", "yes") != "no") {
            nodes[ctrl - 1].interfaces.emplace_back(
                GUID_DEVINTERFACE_USB_HOST_CONTROLLER,
                InterfacePath(id, GUID_DEVINTERFACE_USB_HOST_CONTROLLER));
        }
        std::wstring rhId =
            L"USB\\ROOT_HUB30\\4&" + Hex(Hash32("roothub" + std::to_string(idx)), 8) + L"&0&0";
        DevInst rh = AddNode(ctrl, rhId, L"USBHUB3", kClassUsb, -1);
        nodes[rh - 1].description = L"USB Root Hub (USB 3.0)";
        nodes[rh - 1].interfaces.emplace_back(GUID_DEVINTERFACE_USB_HUB,
                                              InterfacePath(rhId, GUID_DEVINTERFACE_USB_HUB));
        hubs[std::to_string(idx)] = Hub{rh, nextHubNumber++};
    }

    std::map<std::string, ControllerInfo> pciControllers;
    auto makeController = [&](const ScenarioSection& s, const std::string& kind,
                              const std::string& key, int owner, ControllerInfo& out) {
        uint64_t bus = 0;
        uint64_t rootBus = 0;
        if (!ParseU64(s.Get("bus", "0"), bus) || !ParseU64(s.Get("root_bus", "0"), rootBus)) {
            return fail(s, "bus and root_bus are numbers");
        }
        std::wstring rpId =
            L"PCI\\VEN_8086&DEV_7A38&SUBSYS_72D61462&REV_11\\3&11583659&0&" + Hex(devfn, 2, true);
        devfn += 8;
        DevInst rp = AddNode(pciRoot, rpId, L"pci", kClassSystem, -1);
        nodes[rp - 1].description = L"PCI Express Root Port";
        nodes[rp - 1].hasBus = true;
        nodes[rp - 1].bus = uint32_t(rootBus);
        std::wstring id;
        std::wstring service;
        GUID cls = kClassScsiAdapter;
        if (kind == "nvme") {
            uint64_t vid = 0;
            uint64_t ssvid = 0;
            ParseU64(s.Get("vendor_id", "0"), vid);
            ParseU64(s.Get("ssvid", "0"), ssvid);
            id = L"PCI\\VEN_" + Hex(uint32_t(vid), 4, true) + L"&DEV_5016&SUBSYS_" +
                 Hex(uint32_t(ssvid), 4, true) + Hex(uint32_t(vid), 4, true) + L"&REV_01\\4&" +
                 Hex(Hash32(key), 8) + L"&0&0008";
            service = L"stornvme";
        } else if (kind == "rst") {
            id = L"PCI\\VEN_8086&DEV_09AB&SUBSYS_72D61462&REV_00\\3&" + Hex(Hash32(key), 8) +
                 L"&0&B8";
            service = L"iaStorAC";
        } else {
            id = L"PCI\\VEN_8086&DEV_7AE2&SUBSYS_72D61462&REV_11\\3&" + Hex(Hash32(key), 8) +
                 L"&0&B8";
            service = L"storahci";
            cls = kClassHdc;
        }
        if (s.Has("pci_id")) {
            id = Widen(s.Get("pci_id"));
        }
        if (s.Has("service")) {
            service = Widen(s.Get("service"));
        }
        DevInst c = AddNode(rp, id, service, cls, owner);
        DevNode& n = nodes[c - 1];
        n.hasBus = true;
        n.bus = uint32_t(bus);
        n.description = kind == "nvme"  ? L"Standard NVM Express Controller"
                        : kind == "rst" ? L"Intel RST VMD Controller"
                                        : L"Standard SATA AHCI Controller";
        std::string linkError;
        if (!ParseLink(s.Get("link", kind == "nvme" ? "3,4,3,4" : "none"), n, linkError)) {
            return fail(s, linkError);
        }
        out.node = c;
        out.kind = kind;
        uint64_t port = 0;
        if (s.Has("scsi_port")) {
            if (!ParseU64(s.Get("scsi_port"), port) || port > 255) {
                return fail(s, "scsi_port is 0..255");
            }
            out.port = uint8_t(port);
        } else {
            out.port = nextPort();
        }
        return true;
    };

    std::set<uint32_t> driveNumbers;
    for (const auto& s : scenario.sections) {
        if (s.type != "disk") {
            continue;
        }
        auto disk = std::make_unique<SimDisk>();
        SimDisk& d = *disk;
        d.index = int(disks.size());
        d.name = s.name;
        for (const auto& kv : s.keys) {
            d.params[kv.first] = kv.second;
        }
        const std::string kind = s.Get("kind");
        if (kind == "nvme") {
            d.kind = DiskKind::Nvme;
        } else if (kind == "rst") {
            d.kind = DiskKind::Rst;
        } else if (kind == "usb") {
            d.kind = DiskKind::Usb;
        } else if (kind == "sata") {
            d.kind = DiskKind::Sata;
        } else if (kind == "other") {
            d.kind = DiskKind::Other;
        } else {
            return fail(s, "kind is nvme, rst, usb, sata or other");
        }
        uint64_t v = 0;
        if (!ParseU64(s.Get("drive"), v) || v > 255) {
            return fail(s, "drive (the N of PhysicalDriveN) is required, 0..255");
        }
        d.driveNumber = uint32_t(v);
        if (!driveNumbers.insert(d.driveNumber).second) {
            return fail(s, "drive number used twice");
        }
        const uint32_t defaultBus[] = {17, 17, 7, 11, 1};
        d.busType = defaultBus[int(d.kind)];
        if (s.Has("bus_type")) {
            if (!ParseU64(s.Get("bus_type"), v) || v > 0x7F) {
                return fail(s, "bus_type is a STORAGE_BUS_TYPE number");
            }
            d.busType = uint32_t(v);
        }
        d.model = s.Get("model");
        d.serial = s.Get("serial", "SIM" + std::to_string(Hash32(s.name)));
        d.firmware = s.Get("firmware", "1.0");
        if (!ParseU64(s.Get("sectors", "0"), d.blocks)) {
            return fail(s, "sectors is a number");
        }
        if (!ParseU64(s.Get("sector_size", "512"), v) || (v != 512 && v != 4096)) {
            return fail(s, "sector_size is 512 or 4096");
        }
        d.blockSize = uint32_t(v);
        const bool usb = d.kind == DiskKind::Usb;
        const std::string bridgeKind = s.Get("bridge", "plain");
        const bool nvmeBehind =
            d.kind == DiskKind::Nvme || d.kind == DiskKind::Rst || (usb && bridgeKind != "plain");
        if (d.kind == DiskKind::Nvme || d.kind == DiskKind::Rst) {
            d.vendor = "NVMe";
            d.product = d.model;
            d.revision = d.firmware.substr(0, 4);
        } else if (d.kind == DiskKind::Sata) {
            d.vendor = "ATA";
            d.product = d.model;
            d.revision = d.firmware.substr(0, 4);
        }
        d.vendor = s.Get("vendor", d.vendor);
        d.product = s.Get("product", d.product);
        d.revision = s.Get("revision", d.revision);
        for (char c : s.Get("volumes")) {
            if (std::isalpha(static_cast<unsigned char>(c))) {
                d.volumes += char(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        if (!ParseFaultList(s.Get("faults"), d.faults, error)) {
            return fail(s, error);
        }
        if (s.Has("return_drive")) {
            if (!ParseU64(s.Get("return_drive"), v) || v > 255) {
                return fail(s, "return_drive is a drive number");
            }
            d.returnDrive = int(v);
        }
        d.removed = s.Get("present", "yes") == "no";

        if (nvmeBehind) {
            NvmeDriveState st;
            uint64_t vid = 0;
            uint64_t ssvid = 0;
            if (!ParseU64(s.Get("vendor_id", "0"), vid) || !ParseU64(s.Get("ssvid", "0"), ssvid)) {
                return fail(s, "vendor_id and ssvid are numbers");
            }
            st.vendorId = uint16_t(vid);
            st.subsystemVendorId = uint16_t(ssvid);
            st.serial = d.serial;
            st.model = d.model;
            st.firmware = d.firmware;
            st.namespaceBlocks = d.blocks;
            st.lbaShift = d.blockSize == 4096 ? 12 : 9;
            st.params = d.params;
            for (const char* block : {"drvinfo", "mpinfo", "fwconfig"}) {
                if (s.Has(block)) {
                    std::string blockError;
                    if (!ParseBlock(s.Get(block), st.blocks[block], blockError)) {
                        return fail(s, blockError);
                    }
                }
            }
            std::stringstream ul(s.Get("unlisted"));
            std::string op;
            while (ul >> op) {
                uint64_t o = 0;
                if (!ParseU64(op, o) || o > 255) {
                    return fail(s, "unlisted is a list of opcodes");
                }
                st.unlistedOpcodes.insert(uint8_t(o));
            }
            st.garbageIdentify = HasFault(d, "garbage_identify");
            d.nvme = std::make_unique<NvmeDrive>(st);
            // Faults that strike inside the drive, whatever transport brings the command.
            const int index = d.index;
            d.nvme->SetFaultHook([index](const NvmeAdminRequest& r, NvmeCompletion& out) {
                SimDisk& self = *ThePc().disks[size_t(index)];
                char opcode[8];
                std::snprintf(opcode, sizeof(opcode), "0x%02x", r.cmd.Opcode());
                if ((r.cmd.Opcode() == kNvmeFirmwareDownload &&
                     ThePc().TakeFault(self, "download_fail")) ||
                    ThePc().TakeFault(self, "nvme_fail", opcode)) {
                    out = NvmeCompletion::Of(nvme_status::kInternalError);
                    return true;
                }
                return false;
            });
            const std::string vsc = s.Get("vsc", "none");
            if (vsc != "none" && vsc != "0" && vsc != "1") {
                return fail(s, "vsc is 0, 1 or none");
            }
            d.nvme->SetCommandSet(MakeVendorCommandSet(vsc));
            d.nvme->SetFirmwareChecker(MakeFirmwareChecker(s.Get("firmware_check")));
        }

        const int owner = d.index;
        d.host = std::make_unique<DiskBridgeHost>(d.index);
        std::wstring diskId;
        DevInst parent = 0;
        if (usb) {
            d.bridge = MakeBridge(bridgeKind);
            if (!d.bridge) {
                return fail(s, "unknown bridge '" + bridgeKind + "'");
            }
            // usb = C/P1/.../Pn: host controller C, then the port on each hub down to the
            // device's own port Pn.
            std::vector<uint32_t> path;
            std::stringstream ps(s.Get("usb"));
            std::string part;
            while (std::getline(ps, part, '/')) {
                if (!ParseU64(part, v) || v == 0 || v > 99) {
                    return fail(s, "usb is \"controller/port/.../port\" with numbers 1..99");
                }
                path.push_back(uint32_t(v));
            }
            if (path.size() < 2) {
                return fail(s, "usb needs a controller and at least one port");
            }
            std::string key = std::to_string(path[0]);
            for (size_t i = 1; i + 1 < path.size(); ++i) {
                const Hub up = hubs[key];
                key += "/" + std::to_string(path[i]);
                if (!hubs.count(key)) {
                    const ScenarioSection* hs = usbHubs.count(key) ? usbHubs[key] : nullptr;
                    std::wstring hid =
                        hs && hs->Has("id")
                            ? Widen(hs->Get("id"))
                            : L"USB\\VID_" + Widen(hs ? hs->Get("usb_vid", "05E3") : "05E3") +
                                  L"&PID_" + Widen(hs ? hs->Get("usb_pid", "0610") : "0610") +
                                  L"\\" + std::to_wstring(5 + i) + L"&" + Hex(Hash32(key), 8) +
                                  L"&0&" + std::to_wstring(path[i]);
                    DevInst h = AddNode(up.node, hid, L"USBHUB3", kClassUsb, -1);
                    DevNode& hn = nodes[h - 1];
                    hn.description = L"Generic USB Hub";
                    hn.interfaces.emplace_back(GUID_DEVINTERFACE_USB_HUB,
                                               InterfacePath(hid, GUID_DEVINTERFACE_USB_HUB));
                    const std::string loc = hs ? hs->Get("location") : std::string();
                    if (loc != "none") {
                        hn.hasLocation = true;
                        hn.location = loc.empty() ? L"Port_#" + Dec(path[i], 4) + L".Hub_#" +
                                                        Dec(up.number, 4)
                                                  : Widen(loc);
                    }
                    hubs[key] = Hub{h, nextHubNumber++};
                }
            }
            const Hub up = hubs[key];
            const std::string vid = s.Get("usb_vid", "174C");
            const std::string pid = s.Get("usb_pid", "2362");
            std::wstring devId =
                L"USB\\VID_" + Widen(vid) + L"&PID_" + Widen(pid) + L"\\" + IdText(d.serial, 32);
            DevInst dev =
                AddNode(up.node, devId, Widen(s.Get("usb_service", "USBSTOR")), kClassUsb, owner);
            DevNode& dn = nodes[dev - 1];
            dn.description = L"USB Mass Storage Device";
            dn.hasLocation = true;
            dn.location = L"Port_#" + Dec(path.back(), 4) + L".Hub_#" + Dec(up.number, 4);
            if (s.Get("usb_iface", "yes") != "no") {
                dn.interfaces.emplace_back(GUID_DEVINTERFACE_USB_DEVICE,
                                           InterfacePath(devId, GUID_DEVINTERFACE_USB_DEVICE));
            }
            d.usbDeviceNode = dev;
            parent = dev;
            d.scsiPort = nextPort();
            diskId = L"USBSTOR\\Disk&Ven_" + IdText(d.vendor, 8) + L"&Prod_" +
                     IdText(d.product, 16) + L"&Rev_" + IdText(d.revision, 4) + L"\\" +
                     IdText(d.serial, 32) + L"&0";
        } else {
            if (s.Has("usb") || s.Has("bridge")) {
                return fail(s, "usb and bridge belong to USB disks");
            }
            const std::string ctrlName = s.Get("controller");
            ControllerInfo ci;
            const std::string ctrlKind = d.kind == DiskKind::Nvme  ? "nvme"
                                         : d.kind == DiskKind::Rst ? "rst"
                                                                   : "ahci";
            if (!ctrlName.empty()) {
                if (!controllers.count(ctrlName)) {
                    return fail(s, "no [controller " + ctrlName + "]");
                }
                if (!pciControllers.count(ctrlName)) {
                    const ScenarioSection& cs = *controllers[ctrlName];
                    const std::string ck = cs.Get("kind", ctrlKind);
                    if (ck != "nvme" && ck != "rst" && ck != "ahci") {
                        return fail(cs, "kind is nvme, rst or ahci");
                    }
                    if (!makeController(cs, ck, "controller " + ctrlName, -1,
                                        pciControllers[ctrlName])) {
                        return false;
                    }
                }
                ci = pciControllers[ctrlName];
            } else if (!makeController(s, ctrlKind, "disk " + s.name, -1, ci)) {
                return false;
            }
            parent = ci.node;
            d.scsiPort = ci.port;
            diskId = L"SCSI\\Disk&Ven_" + IdText(d.vendor, 8) + L"&Prod_" + IdText(d.product, 16) +
                     L"\\5&" + Hex(Hash32("disk " + s.name), 8) + L"&0&";
        }
        struct {
            const char* key;
            uint8_t* field;
        } addr[] = {
            {"scsi_path", &d.scsiPath}, {"scsi_target", &d.scsiTarget}, {"scsi_lun", &d.scsiLun}};
        for (auto& a : addr) {
            if (!ParseU64(s.Get(a.key, "0"), v) || v > 255) {
                return fail(s, std::string(a.key) + " is 0..255");
            }
            *a.field = uint8_t(v);
        }
        if (s.Has("scsi_port")) {
            if (!ParseU64(s.Get("scsi_port"), v) || v > 255) {
                return fail(s, "scsi_port is 0..255");
            }
            d.scsiPort = uint8_t(v);
        }
        if (!usb) {
            diskId += Hex(d.scsiPath, 2) + Hex(d.scsiTarget, 2) + Hex(d.scsiLun, 2);
        }
        d.diskNode = AddNode(parent, diskId, L"disk", kClassDiskDrive, owner);
        d.interfacePath = InterfacePath(diskId, GUID_DEVINTERFACE_DISK);
        DevNode& node = nodes[d.diskNode - 1];
        node.description = L"Disk drive";
        node.interfaces.emplace_back(GUID_DEVINTERFACE_DISK, d.interfacePath);
        disks.push_back(std::move(disk));
    }
    for (auto& d : disks) {
        for (auto& o : disks) {
            if (o != d && o->scsiPort == d->scsiPort && o->scsiPath == d->scsiPath &&
                o->scsiTarget == d->scsiTarget && o->scsiLun == d->scsiLun) {
                error = "disks " + d->name + " and " + o->name + " have the same SCSI address";
                return false;
            }
        }
    }
    return true;
}

void Pc::Update() {
    const uint64_t now = GetTickCount64();
    for (auto& d : disks) {
        if (d->removed && d->awayUntil != 0 && now >= d->awayUntil) {
            Return(*d);
        }
    }
}

SimDisk* Pc::DiskByName(const std::string& name) {
    for (auto& d : disks) {
        if (d->name == name) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByDrive(uint32_t number) {
    for (auto& d : disks) {
        if (!d->removed && d->driveNumber == number) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByVolume(wchar_t letter) {
    for (auto& d : disks) {
        if (!d->removed &&
            d->volumes.find(char(std::towupper(wint_t(letter)))) != std::string::npos) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByInterface(const std::wstring& path) {
    std::wstring lower;
    for (wchar_t c : path) {
        lower += wchar_t(std::towlower(wint_t(c)));
    }
    for (auto& d : disks) {
        if (!d->removed && d->interfacePath == lower) {
            return d.get();
        }
    }
    return nullptr;
}

bool Pc::PortExists(uint32_t port) const {
    for (const auto& d : disks) {
        if (!d->removed && d->scsiPort == port) {
            return true;
        }
    }
    return false;
}

SimDisk* Pc::DiskOnPort(uint32_t port, uint32_t pathId, uint32_t target, uint32_t lun) {
    for (auto& d : disks) {
        if (!d->removed && d->scsiPort == port && d->scsiPath == pathId &&
            d->scsiTarget == target && d->scsiLun == lun) {
            return d.get();
        }
    }
    return nullptr;
}

void Pc::TakeAway(SimDisk& disk, uint64_t awayMs, bool reset) {
    disk.removed = true;
    disk.generation++;
    disk.awayUntil = awayMs ? GetTickCount64() + awayMs : 0;
    if (HasFault(disk, "no_return")) {
        disk.awayUntil = 0;
    }
    if (reset && disk.nvme) {
        disk.nvme->Reset();
    }
}

void Pc::Return(SimDisk& disk) {
    disk.removed = false;
    disk.awayUntil = 0;
    if (disk.returnDrive >= 0) {
        disk.driveNumber = uint32_t(disk.returnDrive);
        disk.returnDrive = -1;
    }
}

bool Pc::HasFault(const SimDisk& disk, const std::string& kind) const {
    for (const auto& f : disk.faults) {
        if (f.kind == kind && f.count != 0) {
            return true;
        }
    }
    return false;
}

bool Pc::TakeFault(SimDisk& disk, const std::string& kind, const std::string& arg) {
    for (auto& f : disk.faults) {
        if (f.kind != kind || f.count == 0) {
            continue;
        }
        if (!f.arg.empty() && Lower(f.arg) != Lower(arg)) {
            continue;
        }
        if (f.skip > 0) {
            f.skip--;
            return false;
        }
        if (f.count > 0) {
            f.count--;
        }
        return true;
    }
    return false;
}

// --- the bridge host of a USB disk -------------------------------------------------------

NvmeDrive* DiskBridgeHost::Drive() {
    return ThePc().disks[size_t(index_)]->nvme.get();
}

std::string DiskBridgeHost::Param(const std::string& key) const {
    const auto& p = ThePc().disks[size_t(index_)]->params;
    auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
}

std::string DiskBridgeHost::Vendor() const {
    return ThePc().disks[size_t(index_)]->vendor;
}
std::string DiskBridgeHost::Product() const {
    return ThePc().disks[size_t(index_)]->product;
}
std::string DiskBridgeHost::Revision() const {
    return ThePc().disks[size_t(index_)]->revision;
}
uint64_t DiskBridgeHost::Blocks() const {
    return ThePc().disks[size_t(index_)]->blocks;
}
uint32_t DiskBridgeHost::BlockSize() const {
    return ThePc().disks[size_t(index_)]->blockSize;
}

void DiskBridgeHost::PowerCycle(uint32_t awayMs) {
    ThePc().TakeAway(*ThePc().disks[size_t(index_)], awayMs ? awayMs : 1, true);
}

bool DiskBridgeHost::TakeFault(const std::string& kind) {
    return ThePc().TakeFault(*ThePc().disks[size_t(index_)], kind);
}

// --- the PC of the process ---------------------------------------------------------------

namespace {
std::unique_ptr<Pc> g_pc;
}

std::recursive_mutex& PcLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool ReplacePc(const Scenario& scenario, const std::string& name, std::string& error) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto pc = std::make_unique<Pc>();
    if (!pc->Build(scenario, error)) {
        return false;
    }
    static uint64_t epochs = 0;
    pc->scenarioName = name;
    pc->epoch = ++epochs;
    g_pc = std::move(pc);
    return true;
}

Pc& ThePc() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (!g_pc) {
        std::string text = DefaultScenarioText();
        std::string name = "default";
        const char* file = std::getenv("ZX_SIM_SCENARIO");
        if (file && *file) {
            std::ifstream f(file, std::ios::binary);
            if (f) {
                text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
                name = file;
            } else {
                std::fprintf(stderr, "sim: cannot read ZX_SIM_SCENARIO %s\n", file);
            }
        }
        Scenario sc;
        std::string error;
        if (!ParseScenario(text, sc, error) || !ReplacePc(sc, name, error)) {
            std::fprintf(stderr, "sim: scenario %s: %s\n", name.c_str(), error.c_str());
            g_pc = std::make_unique<Pc>();
            g_pc->scenarioName = "empty";
        }
    }
    g_pc->Update();
    return *g_pc;
}

} // namespace sim
