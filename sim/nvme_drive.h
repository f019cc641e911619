// The NVMe drive model: one controller with namespace 1, answering admin commands the way a
// drive does (Identify, Get Log Page, Firmware Image Download and Commit into slots), with a
// pluggable vendor command set and a pluggable firmware image check.
//
// Every transport of the simulated PC (the native stack, the RST miniport, the USB bridges)
// hands the drive an NvmeAdminRequest: the 64-byte submission entry, the direction in which
// the transport moves data, and the data buffer. The drive answers with a completion entry.
#pragma once

#include "sim/nvme_command.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kNvmeIdentifySize = 4096;
constexpr int kNvmeFirmwareSlots = 3; // slots 1..3; slot 1 is writable

// The resets a drive sees: a controller reset (the driver resets the controller; the drive
// keeps power) and a power cycle (its enclosure or the PC loses power).
enum class NvmeReset { Controller, PowerCycle };

// Which way the data of a command moves.
enum class NvmeXfer : uint8_t { None, ToDevice, FromDevice };

// The direction an opcode implies (its bits 1..0: 01 host to controller, 10 controller to
// host, 00 none). 11 (bidirectional) is reported as None; no command of this PC uses it.
NvmeXfer XferOfOpcode(uint8_t opcode);
const char* XferName(NvmeXfer xfer);

// Status code type and status code of a completion.
struct NvmeStatus {
    uint8_t sct = 0;
    uint8_t sc = 0;
    bool Ok() const { return sct == 0 && sc == 0; }
};

namespace nvme_status {
constexpr NvmeStatus kSuccess{0, 0x00};
constexpr NvmeStatus kInvalidOpcode{0, 0x01};
constexpr NvmeStatus kInvalidField{0, 0x02};
constexpr NvmeStatus kDataTransferError{0, 0x04};
constexpr NvmeStatus kInternalError{0, 0x06};
constexpr NvmeStatus kInvalidNamespace{0, 0x0B};
constexpr NvmeStatus kInvalidFirmwareSlot{1, 0x06};
constexpr NvmeStatus kInvalidFirmwareImage{1, 0x07};
constexpr NvmeStatus kInvalidLogPage{1, 0x09};
constexpr NvmeStatus kFirmwareNeedsReset{1, 0x0B}; // activation requires a conventional reset
constexpr NvmeStatus kFirmwareNeedsSubsystemReset{1, 0x10};  // requires an NVM subsystem reset
constexpr NvmeStatus kFirmwareNeedsControllerReset{1, 0x11}; // requires a controller reset
constexpr NvmeStatus kOverlappingRange{1, 0x14};
} // namespace nvme_status

// A completion queue entry (16 bytes on the wire).
struct NvmeCompletion {
    uint32_t dw0 = 0;
    uint32_t dw1 = 0;
    uint16_t sqHead = 0;
    uint16_t sqId = 0;
    uint16_t cid = 0;
    NvmeStatus status;
    bool Ok() const { return status.Ok(); }
    // Bytes 14..15 hold the phase tag (bit 0), SC (bits 1..8) and SCT (bits 9..11).
    void ToBytes(uint8_t* bytes16) const;
    static NvmeCompletion Of(NvmeStatus status) {
        NvmeCompletion c;
        c.status = status;
        return c;
    }
};

// One admin command as a transport delivers it.
struct NvmeAdminRequest {
    NvmeCommand cmd;
    NvmeXfer dir = NvmeXfer::None; // as the transport moves the data
    uint8_t* data = nullptr;       // ToDevice: read from; FromDevice: written to
    uint32_t length = 0;           // bytes the transport moves
};

// What a firmware image brings once it runs, as the image check read it at commit.
struct FirmwareImage {
    std::string revision; // Identify Controller FR (8 characters)
    std::string version;  // the version text of the vendor blocks ("": they keep theirs)
    bool hasFtlBuild = false;
    uint32_t ftlBuild = 0;
    std::vector<uint8_t> config; // the FW configuration block it carries (4096 bytes, or none)
};

class NvmeDrive;

// Vendor-specific admin commands (opcodes 0xC0..0xFF). The drive asks Handles() for its
// Commands Supported and Effects log and hands every such opcode to Execute(). The command
// set keeps what it needs in the drive's state (vendor blocks, parameters).
class NvmeCommandSet {
public:
    virtual ~NvmeCommandSet() = default;
    virtual bool Handles(uint8_t opcode) const = 0;
    virtual NvmeCompletion Execute(NvmeDrive& drive, const NvmeAdminRequest& request) = 0;
    // Called when the controller resets (after the drive switched to a committed image).
    virtual void OnReset(NvmeDrive& drive) { (void)drive; }
    // Called when a committed image starts to run (at a reset or at once): the vendor blocks
    // take what the image brings.
    virtual void OnFirmwareStart(NvmeDrive& drive, const FirmwareImage& image) {
        (void)drive;
        (void)image;
    }
};

// The result of checking a firmware image at commit.
struct FirmwareCheck {
    bool ok = false;
    std::string refused; // why not, for the drive's refusal
    FirmwareImage image;
};
using FirmwareChecker = std::function<FirmwareCheck(const std::vector<uint8_t>& image)>;

struct FirmwareSlot {
    bool filled = false;
    FirmwareImage image;
};

// How the drive activates a committed image (scenario key fw_activation): only after a power
// cycle, after a controller reset, or at once when asked to (Commit action 3).
enum class FwActivation { PowerCycle, ControllerReset, Immediate };

// Who the drive is and what it holds. Tests and tools read and change it through the control
// interface (sim/control.h).
struct NvmeDriveState {
    uint16_t vendorId = 0;
    uint16_t subsystemVendorId = 0;
    std::string serial;   // 20 characters in Identify
    std::string model;    // 40 characters
    std::string firmware; // 8 characters: the running image's revision
    uint64_t namespaceBlocks = 0;
    uint8_t lbaShift = 9; // LBADS of LBA format 0
    bool garbageIdentify = false;
    std::set<uint8_t> unlistedOpcodes; // left out of the Commands Supported and Effects log
    // Admin entries of that log given outright, replacing the built ones (for tests).
    std::map<uint8_t, uint32_t> effectsEntries;
    // Vendor blocks by name ("drvinfo", "mpinfo", "fwconfig"), each 4096 bytes, and every
    // scenario key of the disk, for the vendor command set.
    std::map<std::string, std::vector<uint8_t>> blocks;
    std::map<std::string, std::string> params;
    // Firmware: slots 1..kNvmeFirmwareSlots (index 0 unused), the running slot, the slot that
    // runs after the next reset (0: none) and whether only a power cycle starts it, and the
    // pieces downloaded since the last commit (kept until the commit or a reset).
    FwActivation activation = FwActivation::PowerCycle;
    // What Identify Controller says of firmware updates, and what the drive then holds the host
    // to: the number of slots (FRMW), slot 1 read-only (FRMW), the update granularity in 4 KiB
    // units (FWUG: 0 not reported, 0xFF any; pieces and offsets must be whole granules), the
    // download and commit commands at all (OACS bit 2), and the maximum activation time in
    // 100 ms units (MTFA).
    int slotCount = kNvmeFirmwareSlots;
    bool slot1ReadOnly = false;
    uint8_t updateGranularity = 0;
    bool firmwareCommands = true;
    uint16_t maxActivationTime = 0;
    // The status a Firmware Commit that took the image answers with (0: success); a drive may
    // report the reset its activation needs (10Bh, 110h, 111h) for every commit.
    uint16_t commitStatus = 0;
    FirmwareSlot slots[kNvmeFirmwareSlots + 1];
    int activeSlot = 1;
    int pendingSlot = 0;
    bool pendingNeedsPowerCycle = false;
    std::vector<uint8_t> staging;
    std::vector<bool> stagingFilled;
    uint32_t resets = 0;
};

// Decides, before the drive looks at a command, whether a fault takes it: returns true and
// sets the completion to make the command fail (or succeed) without the drive executing it.
using NvmeFaultHook = std::function<bool(const NvmeAdminRequest& request, NvmeCompletion& out)>;

class NvmeDrive {
public:
    explicit NvmeDrive(NvmeDriveState state);

    // Checks and executes one admin command.
    NvmeCompletion Admin(const NvmeAdminRequest& request);
    // A reset: a committed image that this kind of reset activates becomes the running one.
    void Reset(NvmeReset kind);

    NvmeDriveState& State() { return state_; }
    const NvmeDriveState& State() const { return state_; }
    void SetCommandSet(std::unique_ptr<NvmeCommandSet> commandSet);
    NvmeCommandSet* CommandSet() { return commandSet_.get(); }
    void SetFirmwareChecker(FirmwareChecker checker) { checker_ = std::move(checker); }
    void SetFaultHook(NvmeFaultHook hook) { faultHook_ = std::move(hook); }

    // True when the Commands Supported and Effects log lists the admin opcode.
    bool Lists(uint8_t opcode) const;
    void BuildIdentifyController(uint8_t* out4096) const;
    void BuildIdentifyNamespace(uint8_t* out4096) const;
    void BuildEffectsLog(uint8_t* out4096) const;

private:
    NvmeCompletion Identify(const NvmeAdminRequest& r);
    NvmeCompletion GetLogPage(const NvmeAdminRequest& r);
    NvmeCompletion FirmwareDownload(const NvmeAdminRequest& r);
    NvmeCompletion FirmwareCommit(const NvmeAdminRequest& r);
    // Puts the downloaded image, checked, into the slot; the reason when it is not whole or
    // fails the check, null when it is in the slot.
    std::string TakeDownloadedImage(int slot);
    // The slot runs after the next reset (of the kind the drive's activation needs).
    void SetPending(int slot);
    // The image in the slot starts to run.
    void Start(int slot);

    NvmeDriveState state_;
    std::unique_ptr<NvmeCommandSet> commandSet_;
    FirmwareChecker checker_;
    NvmeFaultHook faultHook_;
};

} // namespace sim
