// Building the simulated PC: the PCI storage controllers ([controller NAME], or one of its own
// for a disk that names none) under their PCI root ports, and the place of a disk on one.
#include "sim/pc_build.h"

#include <sstream>

namespace sim {
namespace {

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
        if (i >= 4 || !ParseU64(part, v) || v > 0xFFFFFFFFu) {
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

} // namespace

// `key` names the controller in its generated instance ID; `kind` is nvme, rst, ahci or sas.
bool PcBuilder::BuildController(const ScenarioSection& s, const std::string& kind,
                                const std::string& key, int owner, ControllerInfo& out) {
    uint64_t bus = 0;
    uint64_t rootBus = 0;
    if (!ParseU64(s.Get("bus", "0"), bus) || bus > 0xFFFFFFFFu) {
        return FailAt(s, "bus", "bus and root_bus are numbers 0..0xFFFFFFFF");
    }
    if (!ParseU64(s.Get("root_bus", "0"), rootBus) || rootBus > 0xFFFFFFFFu) {
        return FailAt(s, "root_bus", "bus and root_bus are numbers 0..0xFFFFFFFF");
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
        if (!ParseU64(s.Get("vendor_id", "0"), vid) || vid > 0xFFFF) {
            return FailAt(s, "vendor_id", "vendor_id is 0..0xFFFF");
        }
        if (!ParseU64(s.Get("ssvid", "0"), ssvid) || ssvid > 0xFFFF) {
            return FailAt(s, "ssvid", "ssvid is 0..0xFFFF");
        }
        id = L"PCI\\VEN_" + Hex(uint32_t(vid), 4, true) + L"&DEV_5016&SUBSYS_" +
             Hex(uint32_t(ssvid), 4, true) + Hex(uint32_t(vid), 4, true) + L"&REV_01\\4&" +
             Hex(Hash32(key), 8) + L"&0&0008";
        service = L"stornvme";
    } else if (kind == "rst") {
        id = L"PCI\\VEN_8086&DEV_09AB&SUBSYS_72D61462&REV_00\\3&" + Hex(Hash32(key), 8) + L"&0&B8";
        service = L"iaStorAC";
    } else if (kind == "sas") {
        id =
            L"PCI\\VEN_1000&DEV_0097&SUBSYS_30901000&REV_02\\4&" + Hex(Hash32(key), 8) + L"&0&00E0";
        service = L"sashba";
    } else {
        id = L"PCI\\VEN_8086&DEV_7AE2&SUBSYS_72D61462&REV_11\\3&" + Hex(Hash32(key), 8) + L"&0&B8";
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
                    : kind == "sas" ? L"SAS Adapter"
                                    : L"Standard SATA AHCI Controller";
    std::string linkError;
    if (!ParseLink(s.Get("link", kind == "nvme" ? "3,4,3,4" : "none"), n, linkError)) {
        return FailAt(s, "link", linkError);
    }
    out.node = c;
    out.kind = kind;
    uint64_t port = 0;
    if (s.Has("scsi_port")) {
        if (!ParseU64(s.Get("scsi_port"), port) || port > 255) {
            return FailAt(s, "scsi_port", "scsi_port is 0..255");
        }
        out.port = uint8_t(port);
    } else {
        out.port = NextPort();
    }
    return true;
}

bool PcBuilder::PlacePciDisk(const ScenarioSection& s, SimDisk& d, DevInst& parent,
                             std::wstring& diskId) {
    if (s.Has("usb") || s.Has("bridge")) {
        return Fail(s, "usb and bridge belong to USB disks");
    }
    const std::string ctrlName = s.Get("controller");
    ControllerInfo ci;
    const std::string ctrlKind = d.kind == DiskKind::Nvme  ? "nvme"
                                 : d.kind == DiskKind::Rst ? "rst"
                                                           : "ahci";
    if (!ctrlName.empty()) {
        if (!controllers.count(ctrlName)) {
            return FailAt(s, "controller", "no [controller " + ctrlName + "]");
        }
        if (!pciControllers.count(ctrlName)) {
            const ScenarioSection& cs = *controllers[ctrlName];
            const std::string ck = cs.Get("kind", ctrlKind);
            if (ck != "nvme" && ck != "rst" && ck != "ahci" && ck != "sas") {
                return Fail(cs, "kind is nvme, rst, ahci or sas");
            }
            if (!BuildController(cs, ck, "controller " + ctrlName, -1, pciControllers[ctrlName])) {
                return false;
            }
        }
        ci = pciControllers[ctrlName];
    } else if (!BuildController(s, ctrlKind, "disk " + s.name, -1, ci)) {
        return false;
    }
    parent = ci.node;
    d.scsiPort = ci.port;
    diskId = L"SCSI\\Disk&Ven_" + IdText(d.vendor, 8) + L"&Prod_" + IdText(d.product, 16) +
             L"\\5&" + Hex(Hash32("disk " + s.name), 8) + L"&0&";
    return true;
}

} // namespace sim
