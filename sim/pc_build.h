// Building the simulated PC from a scenario: one builder per kind of section, and what they
// share while one PC is built (the device tree so far, the SCSI ports taken, the hubs and
// controllers made). Internal to the sim/pc_build*.cpp files.
#pragma once

#include "sim/pc.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace sim {

// Device setup classes of the nodes the builders make.
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

// The texts of instance IDs and interface paths.
uint32_t Hash32(const std::string& s);
std::wstring Hex(uint32_t v, int digits, bool upper = false);
std::wstring Dec(uint32_t v, int digits);
// Text as it appears inside an instance ID: blanks become '_', cut to `max` characters.
std::wstring IdText(const std::string& s, size_t max);
// The interface path of a device node: "\\.\" + its instance ID with '#' for '\' + '#' + the
// interface class, in lower case.
std::wstring InterfacePath(const std::wstring& id, const GUID& cls);

// One build of a PC. The sections are checked first (types and keys), then the tree grows
// from the root: the USB host controllers, then each disk in file order with what it sits
// on (its controller, or the hubs down to its USB port), made the first time a disk needs it.
class PcBuilder {
public:
    PcBuilder(Pc& target, std::string& errorOut)
        : pc(target), disks(target.disks), nodes(target.nodes), error(errorOut) {}
    bool Build(const Scenario& scenario);

private:
    struct ControllerInfo {
        DevInst node = 0;
        uint8_t port = 0;
        std::string kind;
    };
    struct Hub {
        DevInst node;
        uint32_t number;
    };

    // Records the sections by type and name; refuses an unknown type or key (sim/pc_build.cpp).
    bool CheckSections(const Scenario& scenario);
    // Error "line N: [type name] what"; returns false.
    bool Fail(const ScenarioSection& s, const std::string& what);
    // The vsc_ keys that hold numbers or hex ids, each against its field.
    bool CheckVendorKeys(const ScenarioSection& s);
    // As Fail, on the line of the key (the section's line when the key is not given).
    bool FailAt(const ScenarioSection& s, const std::string& key, const std::string& what);
    DevInst AddNode(DevInst parent, const std::wstring& id, const std::wstring& service,
                    const GUID& setupClass, int owner);
    // The lowest SCSI port number no scenario section gives.
    uint8_t NextPort();
    bool CheckScsiAddresses(const Scenario& scenario);

    // [power NAME]: the AC line and the battery (sim/pc_build.cpp).
    bool BuildPower(const ScenarioSection& s);

    // [usbhost INDEX] and [usbhub PATH] (sim/pc_build_usb.cpp).
    bool BuildUsbHosts(const Scenario& scenario);
    void BuildUsbHost(uint32_t idx, const ScenarioSection* hs);
    void BuildUsbHub(const std::string& key, const Hub& up, uint32_t port, size_t depth);
    // The USB device node of a USB disk and the hubs above it; parent and diskId of its disk node.
    bool PlaceUsbDisk(const ScenarioSection& s, SimDisk& d, DevInst& parent, std::wstring& diskId);

    // [controller NAME], or the controller of its own a disk gets (sim/pc_build_controller.cpp).
    bool BuildController(const ScenarioSection& s, const std::string& kind, const std::string& key,
                         int owner, ControllerInfo& out);
    // The controller a disk that is not on USB sits on; parent and diskId of its disk node.
    bool PlacePciDisk(const ScenarioSection& s, SimDisk& d, DevInst& parent, std::wstring& diskId);

    // [disk NAME] (sim/pc_build_disk.cpp).
    bool BuildDisk(const ScenarioSection& s);
    bool ReadDiskIdentity(const ScenarioSection& s, SimDisk& d);
    bool BuildNvmeDrive(const ScenarioSection& s, SimDisk& d);
    bool ReadFirmwareUpdateKeys(const ScenarioSection& s, NvmeDriveState& st);
    // The ATA drive of a sata disk or behind a USB-to-SATA bridge (sim/pc_build_ata.cpp).
    bool BuildAtaDrive(const ScenarioSection& s, SimDisk& d);
    bool AddDiskNode(const ScenarioSection& s, SimDisk& d, bool usb, DevInst parent,
                     std::wstring diskId);

    Pc& pc;
    std::vector<std::unique_ptr<SimDisk>>& disks;
    std::vector<DevNode>& nodes; // nodes[i].inst == i + 1
    std::string& error;

    std::map<std::string, const ScenarioSection*> controllers;
    std::map<uint32_t, const ScenarioSection*> usbHosts;
    std::map<std::string, const ScenarioSection*> usbHubs;
    const ScenarioSection* powerSection = nullptr;
    std::set<uint32_t> givenPorts; // SCSI ports the scenario gives
    uint32_t freePort = 0;
    uint32_t nextHubNumber = 1;
    DevInst pciRoot = 0;
    uint32_t devfn = 0x08;           // of the next PCI root port
    std::map<std::string, Hub> hubs; // by path "C" (root hub) or "C/P1/..."
    std::map<std::string, ControllerInfo> pciControllers;
    std::set<uint32_t> driveNumbers;
};

} // namespace sim
