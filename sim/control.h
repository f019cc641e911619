// The control interface of the simulated PC, for the programs that run on it (their start-up),
// tests and tools (never for the system's subsystems): install it, load a scenario, write the
// request trace, inject faults, read and change a drive's state, take disks away and bring them
// back. The clock speed is set through platform/posix/control.h.
#pragma once

#include "sim/ata_drive.h"
#include "sim/bridge_model.h"
#include "sim/nvme_drive.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Installs the simulated PC as the platform layer's device backend (platform/device_backend.h):
// from then on device paths, DeviceIoControl and the device tree are the simulated PC's. Called
// once at start-up by every program and test fixture that uses it; again does no harm. Without
// it, the PC is not reachable through the Windows API.
void Install();

// Replaces the PC with the one a scenario describes; open device handles die with the old
// one. On failure the PC stays as it was and error says why.
bool LoadScenarioText(const std::string& text, std::string* error = nullptr);
bool LoadScenarioFile(const std::string& path, std::string* error = nullptr);
bool LoadDefaultScenario(std::string* error = nullptr);
const std::string& DefaultScenarioText();

// Writes the request trace to a file ("" stops it); the sequence starts again at 1. False when
// the new file cannot be opened, or, when a file is closed, when any of its lines could not be
// written (a full disk, /dev/full).
bool SetTraceFile(const std::string& path);

// Appends the simulated PC's own Debug log (the reasons of its refusals, "sim: " first) to a
// file; "" writes it nowhere. Until the first call, the file ZX_SIM_DEBUG_LOG names is used.
void SetSimDebugLog(const std::string& path);

// Adds faults to a disk: "kind[:arg][@skip][*count]", comma-separated (docs/scenario.md).
bool InjectFault(const std::string& disk, const std::string& faults);
void ClearFaults(const std::string& disk);
// Replaces the wait of a slow disk's request (fault slow:MS; MS ms of program time) with the
// hook, which runs on the requesting thread without the PC's lock; null restores the wait.
// For tests that act while a request waits.
void SetSlowWaitHook(std::function<void(uint32_t ms)> hook);

// Watches every admin command that the native NVMe driver and the RST miniport hand a drive, once
// the drive has answered it (the data buffer then holds what moved either way); null stops. For
// tools and tests that compare the command sequence a drive sees with another run's.
using AdminObserver = std::function<void(const NvmeDrive& drive, const NvmeAdminRequest& request,
                                         const NvmeCompletion& completion)>;
void SetAdminObserver(AdminObserver observer);
// One line of such a command log: opcode, NSID, CDW10..15, direction, length, the data (hex;
// from the device only when the command succeeded), and the status (SCT << 8 | SC) as JSON.
std::string AdminLogLine(const NvmeAdminRequest& request, const NvmeCompletion& completion);

// Watches every IOCTL_SCSI_PASS_THROUGH_DIRECT the storage stack carries to a disk, once it was
// answered (the data buffer then holds what moved either way), with the disk's serial number;
// null stops. For tools and tests that compare the SCSI commands a disk sees with another
// run's.
using ScsiObserver = std::function<void(const std::string& serial, const ScsiRequest& request,
                                        const ScsiReply& reply)>;
void SetScsiObserver(ScsiObserver observer);
// One line of such a log, as JSON: the disk's serial number, the CDB (hex), the direction ("in",
// "out", or "none" for a request without data), the length, the data (hex: what went out, or
// what came in), the SCSI status and the sense data of a CHECK CONDITION, or "failed" with the
// error of a request that did not complete. With `envelope`, the request's timeout and sense
// length too (what the program asked of the port driver).
std::string ScsiLogLine(const std::string& serial, const ScsiRequest& request,
                        const ScsiReply& reply, bool envelope);

// A USB disk as its enclosure shows itself on the cable: the USB identity, the INQUIRY texts,
// and the number of the port it is plugged into (the last of its scenario `usb` path).
struct UsbView {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;
    std::string vendor, product, revision;
    std::string bridge;
    uint32_t port = 0;
};
// False for a disk that is no USB disk.
bool DescribeUsbDisk(const std::string& disk, UsbView* view);
// Hands one command, as it came over the enclosure's USB cable (request.wire set), to a USB
// disk: to the SAT translation in front of its ATA drive, or to its bridge. A REQUEST SENSE
// right after a CHECK CONDITION returns that command's sense data, as the enclosure keeps it
// for the host. False (no reply) when the disk is no USB disk or is away.
bool UsbCommand(const std::string& disk, const ScsiRequest& request, ScsiReply* reply);

// Disks by scenario name.
std::vector<std::string> DiskNames();
bool IsPresent(const std::string& disk);
int DriveNumberOf(const std::string& disk); // -1 for an unknown disk
// Takes the disk out of the PC (until AddDisk), or for awayMs of program time with a reset of
// its drive (a power cycle). It comes back under driveNumber when that is not -1.
bool RemoveDisk(const std::string& disk);
bool AddDisk(const std::string& disk, int driveNumber = -1);
bool ResetDisk(const std::string& disk, uint32_t awayMs, int driveNumber = -1);
// Runs fn on the disk's NVMe drive under the PC's lock; false when the disk has none.
bool WithDrive(const std::string& disk, const std::function<void(NvmeDrive&)>& fn);
// Runs fn on the disk's ATA drive under the PC's lock; false when the disk has none.
bool WithAtaDrive(const std::string& disk, const std::function<void(AtaDrive&)>& fn);
// Takes the disk out of the PC and plugs it in again at once: its drive and bridge lose power
// (a committed image runs), and it comes back under return_drive.
bool ReplugDisk(const std::string& disk);
// The disks' comings and goings on this PC, in order: "left NAME" and "back NAME", one for each
// device-change announcement the PC made.
std::vector<std::string> DeviceChanges();
// While held, a disk taken away for a while (a reset, a power cycle) stays away past its time;
// on release the disks due come back at once. For tests that look at a disk while it is away,
// whatever the machine's load.
void HoldReturns(bool hold);
// Waits until the disk is present (or away), or `bound` of real time has passed; true when it
// is. The bound only makes a disk that never comes back fail a test instead of hanging it.
bool WaitForPresence(const std::string& disk, bool present, std::chrono::milliseconds bound);

// The drives' state between runs (docs/scenario.md). SetStateFile names the file: every PC built
// from then on (each scenario load, also the default one) takes the state it holds; a file that
// does not exist yet is a fresh start. False, with the reason, for a file that exists but cannot
// be read or is not a state file; what the file says of the disks is checked when a PC takes it
// (a disk the scenario lacks fails that load). "" forgets the file.
bool SetStateFile(const std::string& path, std::string* error = nullptr);
// Writes the current PC's state to the file (at the end of a run). False, with the reason, when
// it cannot be written or the PC did not take the state (the file then keeps what it held);
// true without a file.
bool SaveState(std::string* error = nullptr);

// One run at a time on a state file: an exclusive lock on "<path>.lock", held until
// UnlockStateFile or the end of the process. kStateLockTaken when this process holds it (again
// does no harm), kStateLockBusy when another run holds it and `wait` is false, kStateLockFailed
// with the reason when the lock file cannot be opened or locked. With `wait`, it waits for the
// other run to end.
enum { kStateLockFailed = -1, kStateLockBusy = 0, kStateLockTaken = 1 };
int LockStateFile(const std::string& path, bool wait, std::string* error = nullptr);
void UnlockStateFile();
// What a program calls before SetStateFile: tries the lock, and when another run holds it and
// `wait` is true, says so on standard error ("PROGRAM: the state file PATH is in use by another
// run; waiting for it") and waits. The result of LockStateFile.
int TakeStateFileLock(const std::string& path, const char* program, bool wait,
                      std::string* error = nullptr);

// The power calls of the program's shutdown request, as the PC received them: each call in
// order ("OpenProcessToken 0x28", "LookupPrivilegeValueW SeShutdownPrivilege",
// "AdjustTokenPrivileges SeShutdownPrivilege enabled", "ExitWindowsEx 0x8 0x0"), each
// ExitWindowsEx with whether the privilege was held and whether it was accepted, and the power
// state it leaves: "on", "off" (shut down or powered off) or "restart".
struct ShutdownRequest {
    uint32_t flags = 0;
    uint32_t reason = 0;
    bool privilegeHeld = false;
    bool accepted = false;
};
struct PowerView {
    std::vector<std::string> calls;
    std::vector<ShutdownRequest> shutdowns;
    std::string state = "on";
};
PowerView Power();
// "power off" or "restart" for an accepted shutdown request, "" while none came.
std::string ShutdownRequested();
// Forgets the power calls (the state is "on" again).
void ClearPower();

// What `zxsim devices` shows.
struct NodeView {
    std::wstring id;
    std::wstring service;
    bool hasBus = false;
    uint32_t bus = 0;
    std::wstring location;
};
struct DiskView {
    std::string name;
    std::string kind;
    std::string bridge;
    bool present = false;
    uint32_t driveNumber = 0;
    uint32_t busType = 0;
    uint32_t scsiPort = 0, scsiPath = 0, scsiTarget = 0, scsiLun = 0;
    std::string model;
    std::string firmware;
    uint64_t blocks = 0;
    uint32_t blockSize = 0;
    std::string volumes;
    std::vector<NodeView> nodes; // the disk's node, its parent, ... up to the root
};
std::vector<DiskView> DescribeDisks();
std::string ScenarioName();

} // namespace sim
