// Building the simulated PC: the USB host controllers with their root hubs ([usbhost INDEX]),
// the hubs down to each USB disk's port ([usbhub PATH]) and the disk's USB device node.
#include "sim/pc_build.h"

#include "platform/win32.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace sim {

bool PcBuilder::BuildUsbHosts(const Scenario& scenario) {
    // USB host controllers, in index order, each with its root hub.
    std::set<uint32_t> hostIndexes;
    for (const auto& kv : usbHosts) {
        hostIndexes.insert(kv.first);
    }
    for (const auto& s : scenario.sections) {
        if (s.type == "disk" && s.Has("usb")) {
            const std::string usb = s.Get("usb");
            uint64_t idx = 0;
            if (!ParseU64(usb.substr(0, usb.find('/')), idx) || idx == 0 || idx > 99) {
                return FailAt(s, "usb", "usb is \"controller/port/.../port\" with numbers 1..99");
            }
            hostIndexes.insert(uint32_t(idx));
        }
    }
    // Controllers are numbered by their place: every index up to the highest one exists.
    if (!hostIndexes.empty() && *hostIndexes.rbegin() <= 99) {
        for (uint32_t i = 1; i < *hostIndexes.rbegin(); ++i) {
            hostIndexes.insert(i);
        }
    }
    for (uint32_t idx : hostIndexes) {
        if (idx == 0 || idx > 99) {
            error = "a USB host controller index is 1..99";
            return false;
        }
        BuildUsbHost(idx, usbHosts.count(idx) ? usbHosts[idx] : nullptr);
    }
    return true;
}

void PcBuilder::BuildUsbHost(uint32_t idx, const ScenarioSection* hs) {
    std::wstring id = hs && hs->Has("id") ? Widen(hs->Get("id"))
                                          : L"PCI\\VEN_8086&DEV_" + Hex(0xA36C + idx, 4, true) +
                                                L"&SUBSYS_72D61462&REV_10\\3&11583659&0&" +
                                                Hex(0xA0 + idx, 2, true);
    DevInst ctrl =
        AddNode(pciRoot, id, hs ? Widen(hs->Get("service", "USBXHCI")) : L"USBXHCI", kClassUsb, -1);
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

// The hub at path `key`, plugged into `port` of the hub `up`, `depth` hubs below the root hub.
void PcBuilder::BuildUsbHub(const std::string& key, const Hub& up, uint32_t port, size_t depth) {
    const ScenarioSection* hs = usbHubs.count(key) ? usbHubs[key] : nullptr;
    std::wstring hid = hs && hs->Has("id")
                           ? Widen(hs->Get("id"))
                           : L"USB\\VID_" + Widen(hs ? hs->Get("usb_vid", "05E3") : "05E3") +
                                 L"&PID_" + Widen(hs ? hs->Get("usb_pid", "0610") : "0610") +
                                 L"\\" + std::to_wstring(5 + depth) + L"&" + Hex(Hash32(key), 8) +
                                 L"&0&" + std::to_wstring(port);
    DevInst h = AddNode(up.node, hid, L"USBHUB3", kClassUsb, -1);
    DevNode& hn = nodes[h - 1];
    hn.description = L"Generic USB Hub";
    hn.interfaces.emplace_back(GUID_DEVINTERFACE_USB_HUB,
                               InterfacePath(hid, GUID_DEVINTERFACE_USB_HUB));
    const std::string loc = hs ? hs->Get("location") : std::string();
    if (loc != "none") {
        hn.hasLocation = true;
        hn.location =
            loc.empty() ? L"Port_#" + Dec(port, 4) + L".Hub_#" + Dec(up.number, 4) : Widen(loc);
    }
    hubs[key] = Hub{h, nextHubNumber++};
}

bool PcBuilder::PlaceUsbDisk(const ScenarioSection& s, SimDisk& d, DevInst& parent,
                             std::wstring& diskId) {
    // usb = C/P1/.../Pn: host controller C, then the port on each hub down to the
    // device's own port Pn.
    std::vector<uint32_t> path;
    std::stringstream ps(s.Get("usb"));
    std::string part;
    while (std::getline(ps, part, '/')) {
        uint64_t v = 0;
        if (!ParseU64(part, v) || v == 0 || v > 99) {
            return FailAt(s, "usb", "usb is \"controller/port/.../port\" with numbers 1..99");
        }
        path.push_back(uint32_t(v));
    }
    if (path.size() < 2) {
        return FailAt(s, "usb", "usb needs a controller and at least one port");
    }
    std::string key = std::to_string(path[0]);
    for (size_t i = 1; i + 1 < path.size(); ++i) {
        const Hub up = hubs[key];
        key += "/" + std::to_string(path[i]);
        if (!hubs.count(key)) {
            BuildUsbHub(key, up, path[i], i);
        }
    }
    const Hub up = hubs[key];
    const std::string vid = s.Get("usb_vid", "174C");
    const std::string pid = s.Get("usb_pid", "2362");
    std::wstring devId =
        L"USB\\VID_" + Widen(vid) + L"&PID_" + Widen(pid) + L"\\" + IdText(d.serial, 32);
    DevInst dev =
        AddNode(up.node, devId, Widen(s.Get("usb_service", "USBSTOR")), kClassUsb, d.index);
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
    d.scsiPort = NextPort();
    diskId = L"USBSTOR\\Disk&Ven_" + IdText(d.vendor, 8) + L"&Prod_" + IdText(d.product, 16) +
             L"&Rev_" + IdText(d.revision, 4) + L"\\" + IdText(d.serial, 32) + L"&0";
    return true;
}

} // namespace sim
