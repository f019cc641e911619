// The ASMedia, JMicron and Realtek NVMe-to-USB bridges: INQUIRY signatures, the three-phase
// NVMe tunnels, the ASMedia one-request command and the power requests.
#include "sim/byte_order.h"
#include "sim/nvme_bridges.h"

#include "platform/win32.h"
#include "sim/refusal.h"

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
            return WrongEnvelope("INQUIRY must carry sense length 64 and timeout 10");
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
    ScsiReply WrongEnvelope(const std::string& reason) const {
        return Refuse(ScsiReply::Fail(ERROR_INVALID_PARAMETER), reason);
    }

    // A refusal of the chip, with its reason noted (sim/refusal.h).
    ScsiReply Refuse(const ScsiReply& reply, const std::string& reason) const {
        NoteRefusal((std::string(Name()) + " bridge").c_str(), reason);
        return reply;
    }

    virtual std::string Signature() const = 0;
    virtual ScsiReply Tunnel(BridgeHost& host, const ScsiRequest& rq) = 0;

    // A command phase while the completion of the command before is still owed is refused.
    bool CompletionOwed() const { return stage_ == Stage::Executed; }
    bool CompletionReadable() const { return stage_ == Stage::Executed || stage_ == Stage::Failed; }

    // True (with the reply) when a fault of the disk takes this phase. The faulted phase does
    // nothing, except that a faulted completion phase has taken the completion off the chip.
    bool PhaseFault(BridgeHost& host, const char* phase, ScsiReply& reply) {
        if (host.TakeFault(std::string("bridge_fail_") + phase)) {
            reply =
                Refuse(ScsiReply::Fail(ERROR_IO_DEVICE), "fault bridge_fail_" + std::string(phase));
        } else if (host.TakeFault(std::string("bridge_check_") + phase)) {
            reply = Refuse(ScsiReply::Check(0x0B, 0x47, 0x00),
                           "fault bridge_check_" + std::string(phase));
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
            return Refuse(NoDrive(), "no drive behind the bridge");
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
            cmd.Cns() == kNvmeCnsController && rq.length >= 4) {
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
            return Refuse(InvalidOpcode(), "the CDB must be E6, or EA/EB 5A");
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope("the request must carry sense length 24 and timeout 10");
        }
        if (cdb[0] == 0xE6) {
            return OneRequest(host, rq);
        }
        const uint8_t phase = cdb[2];
        if (phase < 0x80 || phase > 0x82) {
            if (!IsPowerRequest(rq)) {
                return Refuse(InvalidCdbField(),
                              "byte 2 must be a phase (80-82) or the power request EA 5A 01");
            }
            // Value 1: the chip cuts the enclosure's power once it has answered.
            host.PowerCycle();
            return ScsiReply::Good(0);
        }
        // EA/EB 5A phase 00 kind 00*5 length(4) 00 00
        const uint8_t kind = cdb[4];
        if (!KindValid(kind)) {
            return Refuse(InvalidCdbField(), "the transfer kind (byte 4) must be 0, 1 or 2");
        }
        if (GetBe32(cdb + 10) != rq.length) {
            return Refuse(InvalidCdbField(), "the length (bytes 10-13) must be DataTransferLength");
        }
        if (cdb[3] != 0 || !Zero(cdb, 5, 10) || !Zero(cdb, 14, 16)) {
            return Refuse(InvalidCdbField(), "bytes 3, 5-9 and 14-15 must be zero");
        }
        switch (phase) {
        case 0x80:
            return CommandPhase(host, rq, kind);
        case 0x81:
            return DataPhase(host, rq, kind);
        default:
            return CompletionPhase(host, rq, kind);
        }
    }

private:
    // Command: the 64-byte submission entry, host to device.
    ScsiReply CommandPhase(BridgeHost& host, const ScsiRequest& rq, uint8_t kind) {
        ScsiReply reply;
        if (PhaseFault(host, "command", reply)) {
            return reply;
        }
        if (rq.cdb[0] != 0xEA || !rq.Moves(ScsiDir::Out) || rq.length != 64) {
            return Refuse(InvalidCdbField(), "the command phase must be EA with 64 bytes out");
        }
        if (CompletionOwed()) {
            return Refuse(SequenceError(), "the completion of the command before is owed");
        }
        Accept(rq.data, kind);
        return ScsiReply::Good(64);
    }

    // Data, in the direction the command phase announced.
    ScsiReply DataPhase(BridgeHost& host, const ScsiRequest& rq, uint8_t kind) {
        ScsiReply reply;
        if (PhaseFault(host, "data", reply)) {
            return reply;
        }
        if (stage_ != Stage::Commanded) {
            return Refuse(SequenceError(), "a data phase must follow a command phase");
        }
        if (kind != kind_) {
            return Refuse(InvalidCdbField(), "the data phase's kind must be the command phase's");
        }
        if (rq.cdb[0] != (kind == 2 ? 0xEA : 0xEB) || !rq.Moves(DirOfKind(kind)) ||
            (kind == 0 && rq.length != 0)) {
            return Refuse(InvalidCdbField(), "the data phase must move data the kind's way");
        }
        return RunPending(host, rq);
    }

    // Completion: 16 bytes, device to host, the command's transfer kind.
    ScsiReply CompletionPhase(BridgeHost& host, const ScsiRequest& rq, uint8_t kind) {
        ScsiReply reply;
        if (PhaseFault(host, "completion", reply)) {
            return reply;
        }
        if (!CompletionReadable()) {
            return Refuse(SequenceError(), "no command has run whose completion could be read");
        }
        if (kind != kind_) {
            return Refuse(InvalidCdbField(), "the completion phase's kind must be the command's");
        }
        if (rq.cdb[0] != 0xEB || !rq.Moves(ScsiDir::In) || rq.length != 16) {
            return Refuse(InvalidCdbField(), "the completion phase must be EB with 16 bytes in");
        }
        Complete(rq.data);
        return ScsiReply::Good(16);
    }

    // E6 opcode 00 CNS 00 00 00 NSID and eight zero bytes: the chip's one-request Identify.
    ScsiReply OneRequest(BridgeHost& host, const ScsiRequest& rq) {
        const uint8_t* cdb = rq.cdb;
        if (cdb[1] != kNvmeIdentify) {
            return Refuse(InvalidCdbField(), "E6 carries Identify (06) only");
        }
        if (cdb[2] != 0 || !Zero(cdb, 4, 7) || !Zero(cdb, 8, 16)) {
            return Refuse(InvalidCdbField(), "bytes 2, 4-6 and 8-15 of E6 must be zero");
        }
        if (!rq.Moves(ScsiDir::In) || rq.length == 0) {
            return Refuse(InvalidCdbField(), "E6 must move data in");
        }
        NvmeDrive* drive = host.Drive();
        if (drive == nullptr) {
            return Refuse(NoDrive(), "no drive behind the bridge");
        }
        NvmeAdminRequest request;
        request.cmd = IdentifyCommand(cdb[3], cdb[7]);
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
            return Refuse(InvalidOpcode(), "the CDB must be A1");
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope("the request must carry sense length 24 and timeout 10");
        }
        // A1 code 00 length(3) and ten zero bytes.
        if (GetBe24(cdb + 3) != rq.length) {
            return Refuse(InvalidCdbField(), "the length (bytes 3-5) must be DataTransferLength");
        }
        if (cdb[2] != 0 || !Zero(cdb, 6, 16)) {
            return Refuse(InvalidCdbField(), "bytes 2 and 6-15 must be zero");
        }
        switch (cdb[1]) {
        case 0x80:
            return CommandPhase(host, rq);
        case 0x81: // no data
        case 0x82: // data in
        case 0x83: // data out
            return DataPhase(host, rq);
        case 0x8F:
            return ResponsePhase(host, rq);
        default:
            return Refuse(InvalidCdbField(), "byte 1 must be a phase (80-83, 8F)");
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

    // "NVME", four zero bytes, the NVMe command, zeros; a power request has an empty command
    // and its value in byte 72, and the chip knows the value 5 only.
    const char* BlockRefusal(const uint8_t* block, bool power) const {
        if (std::memcmp(block, "NVME", 4) != 0) {
            return "the request block must start with NVME";
        }
        if (!Zero(block, 4, 8)) {
            return "bytes 4-7 of the request block must be zero";
        }
        if (!power && block[72] != 0) {
            return "byte 72 of a command's request block must be zero";
        }
        if (power && block[72] != kPowerCycle) {
            return "the power request's value (byte 72) must be 5";
        }
        if (!Zero(block, 73, kJmiBlock)) {
            return "bytes 73-511 of the request block must be zero";
        }
        return nullptr;
    }

    // Command: the 512-byte request block.
    ScsiReply CommandPhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "command", reply)) {
            return reply;
        }
        if (!rq.Moves(ScsiDir::Out) || rq.length != kJmiBlock) {
            return Refuse(InvalidCdbField(), "the command phase must move 512 bytes out");
        }
        const bool power = Zero(rq.data, 8, 72) && rq.data[72] != 0;
        if (const char* refused = BlockRefusal(rq.data, power)) {
            return Refuse(InvalidParameter(), refused);
        }
        if (CompletionOwed()) {
            return Refuse(SequenceError(), "the response of the command before is owed");
        }
        power_ = power;
        Accept(rq.data + 8, 0);
        return ScsiReply::Good(kJmiBlock);
    }

    // No data (81), data in (82) or data out (83).
    ScsiReply DataPhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "data", reply)) {
            return reply;
        }
        if (stage_ != Stage::Commanded) {
            return Refuse(SequenceError(), "a data phase must follow a command phase");
        }
        const uint8_t code = rq.cdb[1];
        if (power_) {
            // The power request's non-data phase: no data, DataIn IN.
            if (code != 0x81 || rq.length != 0 || !rq.Moves(ScsiDir::In)) {
                return Refuse(InvalidCdbField(),
                              "the power request's phase must be 81 without data, DataIn IN");
            }
            done_ = NvmeCompletion::Of(nvme_status::kSuccess);
            stage_ = Stage::Executed;
            return ScsiReply::Good(0);
        }
        const uint8_t kind = code == 0x82 ? 1 : code == 0x83 ? 2 : 0;
        if (!rq.Moves(DirOfKind(kind)) || (kind == 0 && rq.length != 0)) {
            return Refuse(InvalidCdbField(), "the data phase must move data its code's way");
        }
        kind_ = kind;
        return RunPending(host, rq);
    }

    // Response: the 512-byte block with the completion.
    ScsiReply ResponsePhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "completion", reply)) {
            return reply;
        }
        if (!CompletionReadable()) {
            return Refuse(SequenceError(), "no command has run whose response could be read");
        }
        if (!rq.Moves(ScsiDir::In) || rq.length != kJmiBlock) {
            return Refuse(InvalidCdbField(), "the response phase must move 512 bytes in");
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
            return Refuse(InvalidOpcode(), "the CDB must be E4 or E5");
        }
        if (!Carries(rq, kEnvelope)) {
            return WrongEnvelope("the request must carry sense length 64 and timeout 60");
        }
        // E4/E5 length(2) phase 00 00 kind and nine zero bytes; the kind only in the data phase.
        if (GetLe16(cdb + 1) != rq.length) {
            return Refuse(InvalidCdbField(), "the length (bytes 1-2) must be DataTransferLength");
        }
        if (!Zero(cdb, 4, 6) || !Zero(cdb, 7, 16)) {
            return Refuse(InvalidCdbField(), "bytes 4-5 and 7-15 must be zero");
        }
        switch (cdb[3]) {
        case 0xF7:
            return CommandPhase(host, rq);
        case 0xF8:
            return DataPhase(host, rq);
        case 0xF9:
            return CompletionPhase(host, rq);
        default:
            return Refuse(InvalidCdbField(), "byte 3 must be a phase (F7-F9)");
        }
    }

private:
    static constexpr Envelope kEnvelope = {64, 60};

    // Command: the 64-byte submission entry.
    ScsiReply CommandPhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "command", reply)) {
            return reply;
        }
        if (rq.cdb[0] != 0xE5 || !rq.Moves(ScsiDir::Out) || rq.length != 64 || rq.cdb[6] != 0) {
            return Refuse(InvalidCdbField(),
                          "the command phase must be E5 kind 0 with 64 bytes out");
        }
        if (CompletionOwed()) {
            return Refuse(SequenceError(), "the completion of the command before is owed");
        }
        Accept(rq.data, 0);
        return ScsiReply::Good(64);
    }

    // Data, kind in byte 6.
    ScsiReply DataPhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "data", reply)) {
            return reply;
        }
        if (stage_ != Stage::Commanded) {
            return Refuse(SequenceError(), "a data phase must follow a command phase");
        }
        const uint8_t kind = rq.cdb[6];
        if (!KindValid(kind)) {
            return Refuse(InvalidCdbField(), "the transfer kind (byte 6) must be 0, 1 or 2");
        }
        if (rq.cdb[0] != (kind == 1 ? 0xE4 : 0xE5) || !rq.Moves(DirOfKind(kind)) ||
            (kind == 0 && rq.length != 0)) {
            return Refuse(InvalidCdbField(), "the data phase must move data the kind's way");
        }
        kind_ = kind;
        return RunPending(host, rq);
    }

    // Completion: 16 bytes.
    ScsiReply CompletionPhase(BridgeHost& host, const ScsiRequest& rq) {
        ScsiReply reply;
        if (PhaseFault(host, "completion", reply)) {
            return reply;
        }
        if (!CompletionReadable()) {
            return Refuse(SequenceError(), "no command has run whose completion could be read");
        }
        if (rq.cdb[0] != 0xE4 || !rq.Moves(ScsiDir::In) || rq.length != 16 || rq.cdb[6] != 0) {
            return Refuse(InvalidCdbField(),
                          "the completion phase must be E4 kind 0 with 16 bytes in");
        }
        Complete(rq.data);
        return ScsiReply::Good(16);
    }
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
