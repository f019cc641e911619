// The USB bridges of the simulated PC: the table of bridge kinds, the SCSI commands every USB
// disk answers alike, and the plain bridge of an ordinary USB disk.
#include "sim/byte_order.h"
#include "sim/bridge_model.h"

#include "sim/nvme_bridges.h"
#include "sim/refusal.h"
#include "sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sim {

ScsiReply ScsiReply::Check(uint8_t key, uint8_t asc, uint8_t ascq) {
    ScsiReply r;
    r.status = kScsiCheckCondition;
    r.sense[0] = 0x70; // current error, fixed format
    r.sense[2] = key;
    r.sense[7] = 10; // additional sense length
    r.sense[12] = asc;
    r.sense[13] = ascq;
    r.senseLength = 18;
    return r;
}

namespace {

// CHECK CONDITION, ILLEGAL REQUEST, with the reason noted: what a USB disk refuses of the
// commands it answers like any other.
ScsiReply Refuse(uint8_t asc, const char* reason) {
    NoteRefusal("disk", reason);
    return ScsiReply::Check(0x05, asc, 0x00);
}
constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kLbaOutOfRange = 0x21;
constexpr uint8_t kInvalidFieldInCdb = 0x24;

// Copies a reply of `size` bytes, cut to the allocation length and the transfer length.
ScsiReply DataIn(const ScsiRequest& rq, const uint8_t* reply, uint32_t size, uint32_t alloc) {
    if (rq.length != 0 && rq.dir != ScsiDir::In) {
        return Refuse(kInvalidFieldInCdb, "the command's data must move in");
    }
    uint32_t n = std::min(std::min(size, alloc), rq.length);
    if (n != 0) {
        std::memcpy(rq.data, reply, n);
    }
    return ScsiReply::Good(n);
}

// An ordinary USB disk, and a USB-to-SATA enclosure (whose SAT translation of the ATA
// PASS-THROUGH CDBs the storage stack runs in front of the bridge, sim/sat_translation.cpp).
class PlainBridge : public UsbBridge {
public:
    explicit PlainBridge(const char* name) : name_(name) {}
    const char* Name() const override { return name_; }
    ScsiReply Execute(BridgeHost& host, const ScsiRequest& rq) override {
        ScsiReply reply;
        if (AnswerStandardScsi(host, rq, std::string(), reply)) {
            return reply;
        }
        return Refuse(kInvalidOpcode, "the operation code is not one the disk answers");
    }

private:
    const char* name_;
};

// INQUIRY: the vital product data pages 00 and 80 (the serial number), or the standard data,
// the enclosure's own bytes when the scenario gives them, else made of its names and `tail`.
ScsiReply AnswerInquiry(BridgeHost& host, const ScsiRequest& rq, const std::string& tail) {
    const uint32_t alloc = uint32_t(rq.cdb[3]) << 8 | rq.cdb[4]; // big-endian 16 bits
    if (rq.cdb[1] & 1) {                                         // vital product data
        uint8_t page[64] = {};
        page[1] = rq.cdb[2];
        if (rq.cdb[2] == 0x00) {
            page[3] = 2;
            page[4] = 0x00;
            page[5] = 0x80;
            return DataIn(rq, page, 6, alloc);
        }
        if (rq.cdb[2] == 0x80) {
            std::string serial = host.Param("serial");
            serial.resize(std::min<size_t>(serial.size(), 32));
            page[3] = uint8_t(serial.size());
            std::memcpy(page + 4, serial.data(), serial.size());
            return DataIn(rq, page, uint32_t(4 + serial.size()), alloc);
        }
        return Refuse(kInvalidFieldInCdb, "the VPD page must be 00 or 80");
    }
    if (rq.cdb[2] != 0) {
        return Refuse(kInvalidFieldInCdb, "the page code of a standard INQUIRY must be 0");
    }
    if (host.TakeFault("bridge_check_inquiry")) {
        return ScsiReply::Check(0x04, 0x44, 0x00); // hardware error, internal target failure
    }
    uint8_t data[96] = {};
    const std::vector<uint8_t> given = HexBytes(host.Param("bridge_inquiry"));
    if (!given.empty()) {
        // The enclosure's own INQUIRY data, byte for byte.
        const size_t n = std::min(given.size(), sizeof(data));
        std::memcpy(data, given.data(), n);
        return DataIn(rq, data, uint32_t(n), alloc);
    }
    data[0] = 0x00; // direct-access block device
    data[1] = 0x80; // removable medium
    data[2] = 0x06; // SPC-4
    data[3] = 0x02; // response data format
    PutBlankPadded(data + 8, 8, host.Vendor());
    PutBlankPadded(data + 16, 16, host.Product());
    PutBlankPadded(data + 32, 4, host.Revision());
    const size_t tailLen = std::min<size_t>(tail.size(), sizeof(data) - 36);
    std::memcpy(data + 36, tail.data(), tailLen);
    const uint32_t size = uint32_t(36 + tailLen);
    data[4] = uint8_t(size - 5);
    return DataIn(rq, data, size, alloc);
}

// READ (10) and READ (16): the medium reads as zeros.
ScsiReply AnswerRead(BridgeHost& host, const ScsiRequest& rq) {
    const bool ten = rq.cdb[0] == 0x28;
    uint64_t lba = 0;
    uint32_t blocks = 0;
    for (int i = 0; i < (ten ? 4 : 8); ++i) {
        lba = lba << 8 | rq.cdb[2 + i];
    }
    for (int i = 0; i < (ten ? 2 : 4); ++i) {
        blocks = blocks << 8 | rq.cdb[(ten ? 7 : 10) + i];
    }
    const uint64_t bytes = uint64_t(blocks) * host.BlockSize();
    if (lba + blocks > host.Blocks()) {
        return Refuse(kLbaOutOfRange, "the blocks lie past the medium's end");
    }
    if (bytes != rq.length || (bytes != 0 && rq.dir != ScsiDir::In)) {
        return Refuse(kInvalidFieldInCdb, "the blocks must be DataTransferLength, moved in");
    }
    if (rq.length != 0) {
        std::memset(rq.data, 0, rq.length);
    }
    return ScsiReply::Good(rq.length);
}

} // namespace

bool AnswerStandardScsi(BridgeHost& host, const ScsiRequest& rq, const std::string& tail,
                        ScsiReply& reply) {
    const uint8_t op = rq.cdb[0];
    switch (op) {
    case 0x00: // TEST UNIT READY
        reply = rq.length == 0 ? ScsiReply::Good(0)
                               : Refuse(kInvalidFieldInCdb, "TEST UNIT READY moves no data");
        return true;
    case 0x03: { // REQUEST SENSE
        uint8_t sense[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
        reply = DataIn(rq, sense, sizeof(sense), rq.cdb[4]);
        return true;
    }
    case 0x12: // INQUIRY
        reply = AnswerInquiry(host, rq, tail);
        return true;
    case 0x25: { // READ CAPACITY (10)
        uint8_t data[8];
        const uint64_t last = host.Blocks() ? host.Blocks() - 1 : 0;
        PutBe32(data, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(last));
        PutBe32(data + 4, host.BlockSize());
        reply = DataIn(rq, data, sizeof(data), 8);
        return true;
    }
    case 0x9E: { // READ CAPACITY (16)
        if ((rq.cdb[1] & 0x1F) != 0x10) {
            return false;
        }
        uint8_t data[32] = {};
        const uint64_t last = host.Blocks() ? host.Blocks() - 1 : 0;
        PutBe32(data, uint32_t(last >> 32));
        PutBe32(data + 4, uint32_t(last));
        PutBe32(data + 8, host.BlockSize());
        const uint32_t alloc = GetBe32(rq.cdb + 10);
        reply = DataIn(rq, data, sizeof(data), alloc);
        return true;
    }
    case 0x1A: { // MODE SENSE (6): a header only, no block descriptor, no page
        const uint8_t header[4] = {3, 0, 0, 0};
        reply = DataIn(rq, header, sizeof(header), rq.cdb[4]);
        return true;
    }
    case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35: // SYNCHRONIZE CACHE (10)
        reply = rq.length == 0 ? ScsiReply::Good(0)
                               : Refuse(kInvalidFieldInCdb, "the command moves no data");
        return true;
    case 0x28: // READ (10)
    case 0x88: // READ (16)
        reply = AnswerRead(host, rq);
        return true;
    default:
        return false;
    }
}

// Bridge kinds a scenario may name.
std::unique_ptr<UsbBridge> MakeBridge(const std::string& kind) {
    if (kind == "plain" || kind == "sata") {
        return std::make_unique<PlainBridge>(kind == "plain" ? "plain" : "sata");
    }
    if (kind == "asmedia") {
        return MakeAsmediaBridge();
    }
    if (kind == "jmicron") {
        return MakeJmicronBridge();
    }
    if (kind == "realtek") {
        return MakeRealtekBridge();
    }
    return nullptr;
}

} // namespace sim
