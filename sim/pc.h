// The simulated PC itself: disks, their drives and bridges, the device tree and the state of
// presence. Internal to sim/ (the platform layer reaches it through the device backend of
// sim/backend.cpp, tests and tools through sim/control.h).
#pragma once

#include "platform/win32.h"
#include "sim/ata_drive.h"
#include "sim/nvme_drive.h"
#include "sim/scenario.h"
#include "sim/bridge_model.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

typedef DWORD DevInst;

enum class DiskKind { Nvme, Rst, Usb, Sata, Other };
const char* DiskKindName(DiskKind kind);

// A named fault of a disk: `skip` matching requests pass before it strikes, then it strikes
// `count` times (-1: for ever).
struct Fault {
    std::string kind;
    std::string arg;
    int skip = 0;
    int count = -1;
};
// Appends the faults of a list ("kind[:arg][@skip][*count], ..."); an unknown kind or a wrong
// argument is an error and appends nothing (the kinds: sim/faults.cpp).
bool ParseFaultList(const std::string& text, std::vector<Fault>& out, std::string& error);
// The wait of a slow disk's request (fault slow:MS): MS ms of program time, or the test's hook
// (sim/control.h). Called without the PC's lock.
void WaitForSlowDisk(uint32_t ms);

struct DevNode {
    DevInst inst = 0;
    DevInst parent = 0;
    std::wstring id;
    std::wstring service;
    std::wstring description;
    GUID setupClass = {};
    bool hasBus = false;
    uint32_t bus = 0;
    bool hasLocation = false;
    std::wstring location;
    bool hasLink = false;
    uint32_t link[4] = {}; // current speed, current width, maximum speed, maximum width
    std::vector<std::pair<GUID, std::wstring>> interfaces; // class and path
    int ownerDisk = -1; // present only while that disk is; -1: always present
};

struct SimDisk;

// The BridgeHost a USB disk gives its bridge.
class DiskBridgeHost : public BridgeHost {
public:
    explicit DiskBridgeHost(int index) : index_(index) {}
    NvmeDrive* Drive() override;
    std::string Param(const std::string& key) const override;
    std::string Vendor() const override;
    std::string Product() const override;
    std::string Revision() const override;
    uint64_t Blocks() const override;
    uint32_t BlockSize() const override;
    void PowerCycle() override;
    bool TakeFault(const std::string& kind) override;

private:
    int index_;
};

struct SimDisk {
    int index = 0;
    std::string name;
    DiskKind kind = DiskKind::Nvme;
    std::map<std::string, std::string> params;
    uint32_t driveNumber = 0;
    uint32_t busType = 0;
    uint8_t scsiPort = 0, scsiPath = 0, scsiTarget = 0, scsiLun = 0;
    std::string vendor, product, revision, serial, model, firmware;
    uint64_t blocks = 0;
    uint32_t blockSize = 512;
    std::unique_ptr<NvmeDrive> nvme;   // nvme, rst and NVMe enclosures
    std::unique_ptr<AtaDrive> ata;     // sata, and USB-to-SATA enclosures
    std::unique_ptr<UsbBridge> bridge; // usb
    std::unique_ptr<DiskBridgeHost> host;
    std::string volumes; // letters
    std::vector<Fault> faults;
    // Presence: a removed disk is away until `awayUntil` (program ms; 0: until re-added).
    bool removed = false;
    uint64_t awayUntil = 0;
    int returnDrive = -1;    // drive number it comes back under (-1: the same)
    uint64_t generation = 0; // grows each time the disk leaves for good; older handles are dead
    bool stackKept = false;  // away for a controller reset: its handles work again once back
    uint32_t powerCycleMs = 2000; // how long a bridge's power cycle keeps the disk away
    uint32_t resetMs = 1000;      // how long a controller reset keeps the disk away
    // The sense data an enclosure keeps for the REQUEST SENSE that follows a failed command
    // over its cable (the bulk-only transport carries no sense with the status).
    uint8_t wireSense[18] = {};
    uint8_t wireSenseLength = 0;
    DevInst diskNode = 0;
    DevInst usbDeviceNode = 0;
    std::wstring interfacePath;
};

// The PC's power supply ([power] section): AC line and battery.
struct PowerSupply {
    uint8_t acLine = 1; // 0 offline, 1 online, 255 unknown (SYSTEM_POWER_STATUS.ACLineStatus)
    int battery = -1;   // percent 0..100; -1 no battery; -2 a battery of unknown charge
};

class Pc {
public:
    std::vector<std::unique_ptr<SimDisk>> disks;
    PowerSupply power;
    std::vector<DevNode> nodes; // nodes[i].inst == i + 1
    std::string scenarioName;
    uint64_t epoch = 0;               // grows with every PC that replaces the one before
    std::vector<std::string> changes; // "left NAME", "back NAME": each device change announced

    // Makes the disks and the device tree a scenario describes (sim/pc_build.cpp).
    bool Build(const Scenario& scenario, std::string& error);
    // Brings back disks whose time away has passed.
    void Update();
    bool Present(const SimDisk& disk) const { return !disk.removed; }
    bool NodePresent(const DevNode& node) const;
    const DevNode* Node(DevInst inst) const;
    SimDisk* DiskByName(const std::string& name);
    SimDisk* DiskByDrive(uint32_t number); // present disks only
    SimDisk* DiskByVolume(wchar_t letter); // present disks only
    SimDisk* DiskByInterface(const std::wstring& path);
    bool PortExists(uint32_t port) const;
    SimDisk* DiskOnPort(uint32_t port, uint32_t pathId, uint32_t target, uint32_t lun);
    // Takes the disk away for awayMs of program time (0: until re-added). reset: its drive and
    // bridge lose power. Handles opened before die; the disk comes back under return_drive.
    void TakeAway(SimDisk& disk, uint64_t awayMs, bool reset);
    // The driver resets the controller: the disk is away for its reset time with its device
    // stack kept (its handles work again once it is back, its drive number stays); the drive
    // resets at once.
    void ResetController(SimDisk& disk);
    void Return(SimDisk& disk);
    // Program ms until the next away disk is due back (0: none is).
    uint64_t NextReturnIn() const;
    // Records a disk's leaving or coming back and announces the device change.
    void Announce(const std::string& change);
    // Consumes one strike of a fault of the disk that matches kind (and arg when not empty)
    // (sim/faults.cpp).
    bool TakeFault(SimDisk& disk, const std::string& kind, const std::string& arg = "");
    // The same for a kind whose argument is a value, not a match: the fault that struck, or null.
    const Fault* StrikeFault(SimDisk& disk, const std::string& kind);
    bool HasFault(const SimDisk& disk, const std::string& kind) const;
};

// The one PC of the process and the lock that guards it. ThePc() loads the scenario named by
// ZX_SIM_SCENARIO (or the default one) the first time it is needed.
std::recursive_mutex& PcLock();
Pc& ThePc();
// Makes sure a disk due back returns on time (a thread that runs while one is away).
void WatchReturns();
// True while HoldReturns keeps away disks away past their time.
bool ReturnsHeld();
// Signalled (under PcLock) whenever a disk leaves or comes back.
std::condition_variable_any& PresenceChanged();

// The state file (sim/state.cpp): puts the named file's state into a PC just built, and notes
// the PC that took it, so that only that PC is saved.
bool ApplyStateFile(Pc& pc, std::string& error);
void NoteStateLoaded(uint64_t epoch);
// The power state the run leaves for the next start: "on", "off" or "restart" (sim/power.cpp).
std::string PowerStateAfterRun();
bool ReplacePc(const Scenario& scenario, const std::string& name, std::string& error);

std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s); // UTF-8

} // namespace sim
