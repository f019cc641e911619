// The model of a USB enclosure's bridge chip in the simulated PC: a USB disk hands every
// IOCTL_SCSI_PASS_THROUGH_DIRECT that reaches it (after the storage stack has checked the
// SCSI_PASS_THROUGH_DIRECT itself) to the enclosure's bridge, which answers it, tunnels it to
// the NVMe drive behind it, or refuses it as the chip would.
#pragma once

#include "sim/nvme_drive.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

// SCSI status bytes.
constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;

// SCSI_IOCTL_DATA_* of the request.
enum class ScsiDir : uint8_t { Out = 0, In = 1, Unspecified = 2 };

// One pass-through request as the bridge receives it.
struct ScsiRequest {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    ScsiDir dir = ScsiDir::Unspecified;
    uint8_t* data = nullptr; // DataBuffer
    uint32_t length = 0;     // DataTransferLength
    uint32_t timeout = 0;    // TimeOutValue, seconds
    uint8_t senseLength = 0; // SenseInfoLength
    // The request came over the enclosure's USB cable (a bulk-only transport command block), not
    // through the simulated PC's storage stack: the chip sees neither the sense length nor the
    // timeout, and a transfer without data carries no direction (the CBW's direction bit is
    // ignored for it), so those are not judged.
    bool wire = false;

    // Whether the request moves data the given way: a request without data over the cable
    // matches any direction.
    bool Moves(ScsiDir wanted) const { return dir == wanted || (wire && length == 0); }
};

// The bridge's answer. ok = false makes DeviceIoControl fail with `error` (the request never
// completed on the bus); otherwise the call succeeds and ScsiStatus carries `status`.
struct ScsiReply {
    bool ok = true;
    uint32_t error = 0;
    uint8_t status = kScsiGood;
    uint8_t sense[18] = {}; // fixed-format sense data, copied to the sense area
    uint8_t senseLength = 0;
    uint32_t transferred = 0; // bytes moved through DataBuffer (DataTransferLength on return)

    static ScsiReply Good(uint32_t transferred) {
        ScsiReply r;
        r.transferred = transferred;
        return r;
    }
    // CHECK CONDITION with sense key, ASC and ASCQ.
    static ScsiReply Check(uint8_t key, uint8_t asc, uint8_t ascq);
    static ScsiReply Fail(uint32_t error) {
        ScsiReply r;
        r.ok = false;
        r.error = error;
        return r;
    }
};

// What the PC offers a bridge: the drive behind it and the enclosure around it.
class BridgeHost {
public:
    virtual ~BridgeHost() = default;
    // The NVMe drive behind the bridge; null for a plain USB disk.
    virtual NvmeDrive* Drive() = 0;
    // A scenario key of the disk ("" when absent); bridges read their own keys here.
    virtual std::string Param(const std::string& key) const = 0;
    // INQUIRY texts and the size of the medium.
    virtual std::string Vendor() const = 0;   // 8 characters
    virtual std::string Product() const = 0;  // 16 characters
    virtual std::string Revision() const = 0; // 4 characters
    virtual uint64_t Blocks() const = 0;
    virtual uint32_t BlockSize() const = 0;
    // The enclosure loses power and comes back: the drive and the bridge reset, the disk leaves
    // the PC for the disk's power-cycle time (scenario key power_cycle_ms) and returns on the
    // same USB port, under the drive number return_drive names.
    virtual void PowerCycle() = 0;
    // Consumes one instance of a named fault of the disk ("bridge_fail", ...); true when one
    // was pending.
    virtual bool TakeFault(const std::string& kind) = 0;
};

class UsbBridge {
public:
    virtual ~UsbBridge() = default;
    virtual const char* Name() const = 0;
    virtual ScsiReply Execute(BridgeHost& host, const ScsiRequest& request) = 0;
    // The chip loses power (its enclosure is unplugged or power-cycled): whatever exchange was
    // under way is forgotten.
    virtual void PowerLost() {}
};

// The commands every USB disk answers the same way (INQUIRY, TEST UNIT READY, READ CAPACITY,
// REQUEST SENSE). `inquiryTail` is copied to INQUIRY bytes 36 onward (bridges put their
// signature there). Returns true when it answered.
bool AnswerStandardScsi(BridgeHost& host, const ScsiRequest& request,
                        const std::string& inquiryTail, ScsiReply& reply);

// The bridge a scenario names ("plain", "asmedia", "jmicron", "realtek"); null for an unknown
// name. The table is in sim/bridges.cpp.
std::unique_ptr<UsbBridge> MakeBridge(const std::string& kind);

} // namespace sim
