// The ASMedia, JMicron and Realtek NVMe-to-USB bridges: INQUIRY signatures, the three-phase
// NVMe tunnels, the ASMedia one-request command and the power requests.
#include "sim/nvme_bridges.h"

#include "platform/win32.h"

#include <cstring>
#include <string>

namespace sim {
namespace {

// Sense codes of the refusals.
ScsiReply InvalidOpcode() {
    return ScsiReply::Check(0x05, 0x20, 0x00);
}
ScsiReply InvalidCdbField() {
    return ScsiReply::Check(0x05, 0x24, 0x00);
}
ScsiReply InvalidParameter() {
    return ScsiReply::Check(0x05, 0x26, 0x00);
}
ScsiReply SequenceError() {
    return ScsiReply::Check(0x05, 0x2C, 0x00);
}
ScsiReply NoDrive() {
    return ScsiReply::Check(0x05, 0x25, 0x00);
}
ScsiReply CommandFailed() {
    return ScsiReply::Check(0x0B, 0x00, 0x00);
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint32_t Be24(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}
uint32_t Le16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

// True when bytes [from, to) of p are all zero; the chips refuse a request with anything in
// the bytes they reserve.
bool Zero(const uint8_t* p, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

// Transfer kinds of the CDBs: 0 none, 1 device to host, 2 host to device.
bool KindValid(uint8_t kind) {
    return kind <= 2;
}
NvmeXfer XferOfKind(uint8_t kind) {
    return kind == 1 ? NvmeXfer::FromDevice : kind == 2 ? NvmeXfer::ToDevice : NvmeXfer::None;
}
ScsiDir DirOfKind(uint8_t kind) {
    return kind == 1 ? ScsiDir::In : kind == 2 ? ScsiDir::Out : ScsiDir::Unspecified;
}

// What every tunnelling bridge shares: the standard SCSI answers, its signature, the pending
// NVMe command between the phases, and the faults that strike a phase.
class TunnelBridge : public UsbBridge {
public:
    ScsiReply Execute(BridgeHost& host, const ScsiRequest& rq) override {
        ScsiReply reply;
        if (rq.cdb[0] == kInquiry && !Carries(rq, kInquiryEnvelope)) {
            return WrongEnvelope();
        }
        const std::string tail = host.Param("bridge_signature") == "no" ? "" : Signature();
        if (AnswerStandardScsi(host, rq, tail, reply)) {
            return reply;
        }
        return Tunnel(host, rq);
    }

    void PowerLost() override { stage_ = Stage::Idle; }

protected:
    // Idle: no command. Commanded: a command phase was taken, its data phase is due. Executed:
    // the drive ran the command; its completion is owed to the host before another command.
    // Failed: the drive failed it and the data phase said so; the completion may still be read.
    enum class Stage { Idle, Commanded, Executed, Failed };

    // The sense length and timeout a family's requests carry.
    struct Envelope {
        uint8_t senseLength;
        uint32_t timeout;
    };
    static constexpr uint8_t kInquiry = 0x12;
    static constexpr Envelope kInquiryEnvelope = {64, 10};

    static bool Carries(const ScsiRequest& rq, const Envelope& e) {
        return rq.wire || (rq.senseLength == e.senseLength && rq.timeout == e.timeout);
    }
    // A request of the family that does not carry its envelope never reaches the chip as the
    // program means it: the call fails.
    static ScsiReply WrongEnvelope() { return ScsiReply::Fail(ERROR_INVALID_PARAMETER); }

    virtual std::string Signature() const = 0;
    virtual ScsiReply Tunnel(BridgeHost& host, const ScsiRequest& rq) = 0;

    // A command phase while the completion of the command before is still owed is refused.
    bool CompletionOwed() const { return stage_ == Stage::Executed; }
    bool CompletionReadable() const { return stage_ == Stage::Executed || stage_ == Stage::Failed; }

    // True (with the reply) when a fault of the disk takes this phase. The faulted phase does
    // nothing, except that a faulted completion phase has taken the completion off the chip.
    bool PhaseFault(BridgeHost& host, const char* phase, ScsiReply& reply) {
        if (host.TakeFault(std::string("bridge_fail_") + phase)) {
            reply = ScsiReply::Fail(ERROR_IO_DEVICE);
        } else if (host.TakeFault(std::string("bridge_check_") + phase)) {
            reply = ScsiReply::Check(0x0B, 0x47, 0x00);
        } else {
            return false;
        }
        if (std::strcmp(phase, "completion") == 0 && CompletionReadable()) {
            stage_ = Stage::Idle;
        }
        return true;
    }

    void Accept(const uint8_t* command64, uint8_t kind) {
        cmd_ = NvmeCommand::FromBytes(command64);
        kind_ = kind;
        stage_ = Stage::Commanded;
    }

    // Runs the pending command on the drive with the data phase's buffer.
    ScsiReply RunPending(BridgeHost& host, const ScsiRequest& rq) {
        NvmeDrive* drive = host.Drive();
        if (drive == nullptr) {
            stage_ = Stage::Idle;
            return NoDrive();
        }
        NvmeAdminRequest request;
        request.cmd = cmd_;
        request.dir = XferOfKind(kind_);
        request.data = rq.length != 0 ? rq.data : nullptr;
        request.length = rq.length;
        done_ = drive->Admin(request);
        if (!done_.Ok() && host.Param("bridge_errors") != "completion") {
            stage_ = Stage::Failed;
            return CommandFailed();
        }
        stage_ = Stage::Executed;
        ZeroIdsIfAsked(host, cmd_, rq);
        return ScsiReply::Good(rq.length);
    }

    // A bridge that answers Identify Controller itself, with zero PCI ids.
    static void ZeroIdsIfAsked(BridgeHost& host, const NvmeCommand& cmd, const ScsiRequest& rq) {
        if (host.Param("bridge_zero_ids") == "yes" && cmd.Opcode() == kNvmeIdentify &&
            (cmd.cdw[10] & 0xFF) == 1 && rq.length >= 4) {
            std::memset(rq.data, 0, 4);
        }
    }

    // Writes the completion of the executed command (16 bytes) to out.
    void Complete(uint8_t* out16) {
        done_.ToBytes(out16);
        stage_ = Stage::Idle;
    }

    Stage stage_ = Stage::Idle;
    NvmeCommand cmd_;
    uint8_t kind_ = 0;
    NvmeCompletion done_;
};

// --- ASMedia ---------------------------------------------------------------------------------

class AsmediaBridge : public TunnelBridge {
public:
    const char* Name() const override { return "asmedia"; }

protected:
    std::string Signature() const override { return std::string("\x60\x23", 2); }

    ScsiReply Tunnel(BridgeHost& host, const ScsiRequest& rq) override {
        const uint8_t* cdb = rq.cdb;
        const bool tunnel = (cdb[0] == 0xEA || cdb[0] == 0xEB) && cdb[1] == 0x5A;
        if (cdb[0] != 0xE6 && !tunnel) {
            return InvalidOpcode();
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope();
        }
        if (cdb[0] == 0xE6) {
            return OneRequest(host, rq);
        }
        const uint8_t phase = cdb[2];
        if (phase < 0x80 || phase > 0x82) {
            if (!IsPowerRequest(rq)) {
                return InvalidCdbField();
            }
            // Value 1: the chip cuts the enclosure's power once it has answered.
            host.PowerCycle();
            return ScsiReply::Good(0);
        }
        // EA/EB 5A phase 00 kind 00*5 length(4) 00 00
        const uint8_t kind = cdb[4];
        const uint32_t length = Be32(cdb + 10);
        if (!KindValid(kind) || length != rq.length || cdb[3] != 0 || !Zero(cdb, 5, 10) ||
            !Zero(cdb, 14, 16)) {
            return InvalidCdbField();
        }
        ScsiReply reply;
        switch (phase) {
        case 0x80: // command: the 64-byte submission entry, host to device
            if (PhaseFault(host, "command", reply)) {
                return reply;
            }
            if (cdb[0] != 0xEA || !rq.Moves(ScsiDir::Out) || rq.length != 64) {
                return InvalidCdbField();
            }
            if (CompletionOwed()) {
                return SequenceError();
            }
            Accept(rq.data, kind);
            return ScsiReply::Good(64);
        case 0x81: // data, in the direction the command phase announced
            if (PhaseFault(host, "data", reply)) {
                return reply;
            }
            if (stage_ != Stage::Commanded) {
                return SequenceError();
            }
            if (kind != kind_ || cdb[0] != (kind == 2 ? 0xEA : 0xEB) ||
                !rq.Moves(DirOfKind(kind)) || (kind == 0 && rq.length != 0)) {
                return InvalidCdbField();
            }
            return RunPending(host, rq);
        default: // 0x82 completion: 16 bytes, device to host, the command's transfer kind
            if (PhaseFault(host, "completion", reply)) {
                return reply;
            }
            if (!CompletionReadable()) {
                return SequenceError();
            }
            if (kind != kind_ || cdb[0] != 0xEB || !rq.Moves(ScsiDir::In) || rq.length != 16) {
                return InvalidCdbField();
            }
            Complete(rq.data);
            return ScsiReply::Good(16);
        }
    }

private:
    // E6 opcode 00 CNS 00 00 00 NSID and eight zero bytes: the chip's one-request Identify.
    ScsiReply OneRequest(BridgeHost& host, const ScsiRequest& rq) {
        const uint8_t* cdb = rq.cdb;
        if (cdb[1] != kNvmeIdentify || cdb[2] != 0 || !Zero(cdb, 4, 7) || !Zero(cdb, 8, 16)) {
            return InvalidCdbField();
        }
        if (!rq.Moves(ScsiDir::In) || rq.length == 0) {
            return InvalidCdbField();
        }
        NvmeDrive* drive = host.Drive();
        if (drive == nullptr) {
            return NoDrive();
        }
        NvmeAdminRequest request;
        request.cmd.cdw[0] = cdb[1];
        request.cmd.cdw[1] = cdb[7];
        request.cmd.cdw[10] = cdb[3];
        request.dir = NvmeXfer::FromDevice;
        request.data = rq.data;
        request.length = rq.length;
        const NvmeCompletion done = drive->Admin(request);
        if (!done.Ok()) {
            return CommandFailed();
        }
        ZeroIdsIfAsked(host, request.cmd, rq);
        return ScsiReply::Good(rq.length);
    }

    static constexpr Envelope kEnvelope = {24, 10};

    // The power request has one form only: EA 5A 01 and thirteen zero bytes, DataIn OUT, no
    // data. Value 1 power-cycles the enclosure; the chip knows no other value.
    static bool IsPowerRequest(const ScsiRequest& rq) {
        return rq.cdb[0] == 0xEA && rq.cdb[1] == 0x5A && rq.cdb[2] == 0x01 && Zero(rq.cdb, 3, 16) &&
               rq.Moves(ScsiDir::Out) && rq.length == 0;
    }
};

// --- JMicron ---------------------------------------------------------------------------------

constexpr uint32_t kJmiBlock = 512;

class JmicronBridge : public TunnelBridge {
public:
    const char* Name() const override { return "jmicron"; }

protected:
    std::string Signature() const override { return "05"; }

    ScsiReply Tunnel(BridgeHost& host, const ScsiRequest& rq) override {
        const uint8_t* cdb = rq.cdb;
        if (cdb[0] != 0xA1) {
            return InvalidOpcode();
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope();
        }
        // A1 code 00 length(3) and ten zero bytes.
        const uint32_t length = Be24(cdb + 3);
        if (length != rq.length || cdb[2] != 0 || !Zero(cdb, 6, 16)) {
            return InvalidCdbField();
        }
        ScsiReply reply;
        switch (cdb[1]) {
        case 0x80: { // command: the 512-byte request block
            if (PhaseFault(host, "command", reply)) {
                return reply;
            }
            if (!rq.Moves(ScsiDir::Out) || rq.length != kJmiBlock) {
                return InvalidCdbField();
            }
            // "NVME", four zero bytes, the NVMe command, zeros; a power request has an empty
            // command and its value in byte 72, and the chip knows the value 5 only.
            const bool power = Zero(rq.data, 8, 72) && rq.data[72] != 0;
            if (std::memcmp(rq.data, "NVME", 4) != 0 || !Zero(rq.data, 4, 8) ||
                (!power && rq.data[72] != 0) || (power && rq.data[72] != kPowerCycle) ||
                !Zero(rq.data, 73, kJmiBlock)) {
                return InvalidParameter();
            }
            if (CompletionOwed()) {
                return SequenceError();
            }
            power_ = power;
            Accept(rq.data + 8, 0);
            return ScsiReply::Good(kJmiBlock);
        }
        case 0x81:   // no data
        case 0x82:   // data in
        case 0x83: { // data out
            if (PhaseFault(host, "data", reply)) {
                return reply;
            }
            if (stage_ != Stage::Commanded) {
                return SequenceError();
            }
            if (power_) {
                // The power request's non-data phase: no data, DataIn IN.
                if (cdb[1] != 0x81 || rq.length != 0 || !rq.Moves(ScsiDir::In)) {
                    return InvalidCdbField();
                }
                done_ = NvmeCompletion::Of(nvme_status::kSuccess);
                stage_ = Stage::Executed;
                return ScsiReply::Good(0);
            }
            const uint8_t kind = cdb[1] == 0x82 ? 1 : cdb[1] == 0x83 ? 2 : 0;
            if (!rq.Moves(DirOfKind(kind)) || (kind == 0 && rq.length != 0)) {
                return InvalidCdbField();
            }
            kind_ = kind;
            return RunPending(host, rq);
        }
        case 0x8F: { // response: the 512-byte block with the completion
            if (PhaseFault(host, "completion", reply)) {
                return reply;
            }
            if (!CompletionReadable()) {
                return SequenceError();
            }
            if (!rq.Moves(ScsiDir::In) || rq.length != kJmiBlock) {
                return InvalidCdbField();
            }
            std::memset(rq.data, 0, kJmiBlock);
            std::memcpy(rq.data, "NVME", 4);
            Complete(rq.data + 8);
            if (power_) {
                // The power request is carried out once its response has been read.
                power_ = false;
                host.PowerCycle();
            }
            return ScsiReply::Good(kJmiBlock);
        }
        default:
            return InvalidCdbField();
        }
    }

    void PowerLost() override {
        TunnelBridge::PowerLost();
        power_ = false;
    }

private:
    static constexpr Envelope kEnvelope = {24, 10};
    static constexpr uint8_t kPowerCycle = 5;
    bool power_ = false;
};

// --- Realtek ---------------------------------------------------------------------------------

class RealtekBridge : public TunnelBridge {
public:
    const char* Name() const override { return "realtek"; }

protected:
    // Known by its product text, not by bytes 36-37.
    std::string Signature() const override { return std::string(); }

    ScsiReply Tunnel(BridgeHost& host, const ScsiRequest& rq) override {
        const uint8_t* cdb = rq.cdb;
        if (cdb[0] != 0xE4 && cdb[0] != 0xE5) {
            return InvalidOpcode();
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope();
        }
        // E4/E5 length(2) phase 00 00 kind and nine zero bytes; the kind only in the data phase.
        const uint32_t length = Le16(cdb + 1);
        if (length != rq.length || !Zero(cdb, 4, 6) || !Zero(cdb, 7, 16)) {
            return InvalidCdbField();
        }
        ScsiReply reply;
        switch (cdb[3]) {
        case 0xF7: // command: the 64-byte submission entry
            if (PhaseFault(host, "command", reply)) {
                return reply;
            }
            if (cdb[0] != 0xE5 || !rq.Moves(ScsiDir::Out) || rq.length != 64 || cdb[6] != 0) {
                return InvalidCdbField();
            }
            if (CompletionOwed()) {
                return SequenceError();
            }
            Accept(rq.data, 0);
            return ScsiReply::Good(64);
        case 0xF8: { // data, kind in byte 6
            if (PhaseFault(host, "data", reply)) {
                return reply;
            }
            if (stage_ != Stage::Commanded) {
                return SequenceError();
            }
            const uint8_t kind = cdb[6];
            if (!KindValid(kind) || cdb[0] != (kind == 1 ? 0xE4 : 0xE5) ||
                !rq.Moves(DirOfKind(kind)) || (kind == 0 && rq.length != 0)) {
                return InvalidCdbField();
            }
            kind_ = kind;
            return RunPending(host, rq);
        }
        case 0xF9: // completion: 16 bytes
            if (PhaseFault(host, "completion", reply)) {
                return reply;
            }
            if (!CompletionReadable()) {
                return SequenceError();
            }
            if (cdb[0] != 0xE4 || !rq.Moves(ScsiDir::In) || rq.length != 16 || cdb[6] != 0) {
                return InvalidCdbField();
            }
            Complete(rq.data);
            return ScsiReply::Good(16);
        default:
            return InvalidCdbField();
        }
    }

private:
    static constexpr Envelope kEnvelope = {64, 60};
};

} // namespace

std::unique_ptr<UsbBridge> MakeAsmediaBridge() {
    return std::make_unique<AsmediaBridge>();
}
std::unique_ptr<UsbBridge> MakeJmicronBridge() {
    return std::make_unique<JmicronBridge>();
}
std::unique_ptr<UsbBridge> MakeRealtekBridge() {
    return std::make_unique<RealtekBridge>();
}

} // namespace sim
