// The simulated USB bridges refuse what the chips refuse: a request of the family without the
// sense length and timeout its requests carry, a new command while the completion of the one
// before is owed, a power request with a value the chip does not know. The trace record of each
// refused request says why.
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

namespace {

using simreq::Bridge;
using simreq::Cdb;
using simreq::Phase;
using simreq::Scsi;

std::string Enclosure(const std::string& bridge, const std::string& product) {
    return "[disk e]\nkind = usb\ndrive = 4\nbridge = " + bridge +
           "\nusb = 1/2\nvendor = VENDOR\nproduct = " + product +
           "\nmodel = ZELTARIX ZX5016 1TB\nfirmware = 041k0207\nvendor_id = 0x1E5C\n"
           "ssvid = 0x1E5C\nsectors = 1953525168\nvsc = 1\n";
}

// Get Log Page 05 of 4096 bytes: CDW0 02, NSID FFFFFFFF, CDW10 03FF0005.
std::vector<uint8_t> LogPageCommand() {
    std::vector<uint8_t> c(64, 0);
    simreq::Put32(c, 0, 0x02);
    simreq::Put32(c, 4, 0xFFFFFFFFu);
    simreq::Put32(c, 40, 0x03FF0005);
    return c;
}

struct Family {
    const char* bridge;
    const char* envelope; // why a request without the family's sense length and timeout fails
    const char* product;
    std::string command; // the command phase of a data-in command, its data: the request
    std::string data;    // the data-in phase of 4096 bytes
    std::string completion;
    uint8_t sense;
    ULONG timeout;
    uint32_t commandBytes; // 64, or the 512-byte JMicron request block
};

const Family kFamilies[] = {
    {"asmedia", "the request must carry sense length 24 and timeout 10", "2362",
     "ea5a8000010000000000000000400000", "eb5a8100010000000000000010000000",
     "eb5a8200010000000000000000100000", 24, 10, 64},
    {"jmicron", "the request must carry sense length 24 and timeout 10", "Tech",
     "a1800000020000000000000000000000", "a1820000100000000000000000000000",
     "a18f0000020000000000000000000000", 24, 10, 512},
    {"realtek", "the request must carry sense length 64 and timeout 60", "RTL9210B NVME",
     "e54000f7000000000000000000000000", "e40010f8000001000000000000000000",
     "e41000f9000000000000000000000000", 64, 60, 64},
};

class BridgeRefusalsTest : public SimTest {
protected:
    HANDLE LoadFamily(const Family& f) {
        Load(Enclosure(f.bridge, f.product));
        HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        return h;
    }

    // The command phase's data: the command, or for JMicron the request block around it.
    static std::vector<uint8_t> CommandData(const Family& f) {
        std::vector<uint8_t> command = LogPageCommand();
        if (f.commandBytes == 64) {
            return command;
        }
        std::vector<uint8_t> block(512, 0);
        std::memcpy(block.data(), "NVME", 4);
        std::memcpy(block.data() + 8, command.data(), 64);
        return block;
    }

    static Phase Command(HANDLE h, const Family& f, uint8_t sense, ULONG timeout) {
        std::vector<uint8_t> data = CommandData(f);
        return Scsi(h, Cdb(f.command), SCSI_IOCTL_DATA_OUT, data.data(), ULONG(data.size()), sense,
                    timeout);
    }
};

TEST_F(BridgeRefusalsTest, ARequestWithoutItsFamilysSenseLengthAndTimeoutIsRefused) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.bridge);
        const struct {
            const char* what;
            uint8_t sense;
            ULONG timeout;
            bool ok;
        } cases[] = {
            {"the family's", f.sense, f.timeout, true},
            {"another sense length", uint8_t(f.sense == 24 ? 64 : 24), f.timeout, false},
            {"no sense area", 0, f.timeout, false},
            {"another timeout", f.sense, f.timeout == 10 ? 60u : 10u, false},
            {"one second more", f.sense, f.timeout + 1, false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            HANDLE h = LoadFamily(f);
            StartTrace();
            const Phase p = Command(h, f, c.sense, c.timeout);
            if (c.ok) {
                EXPECT_EQ(p.status, 0);
                EXPECT_EQ(LastRefusal(), "");
            } else {
                EXPECT_EQ(p.status, -1); // the call fails
                EXPECT_EQ(p.error, 87u); // ERROR_INVALID_PARAMETER
                EXPECT_EQ(LastRefusal(), f.envelope);
            }
            CloseHandle(h);
        }
        // The INQUIRY of the detection carries 64 bytes of sense and 10 s on every bridge.
        HANDLE h = LoadFamily(f);
        uint8_t inquiry[38] = {};
        const std::vector<uint8_t> cdb = Cdb("12000000260000000000000000000000");
        EXPECT_EQ(Scsi(h, cdb, SCSI_IOCTL_DATA_IN, inquiry, 38, 64, 10).status, 0);
        const char* inquiryEnvelope = "INQUIRY must carry sense length 64 and timeout 10";
        StartTrace();
        const Phase shortSense = Scsi(h, cdb, SCSI_IOCTL_DATA_IN, inquiry, 38, 24, 10);
        EXPECT_EQ(shortSense.status, -1);
        EXPECT_EQ(shortSense.error, 87u);
        EXPECT_EQ(LastRefusal(), inquiryEnvelope);
        StartTrace();
        const Phase longTimeout = Scsi(h, cdb, SCSI_IOCTL_DATA_IN, inquiry, 38, 64, 60);
        EXPECT_EQ(longTimeout.status, -1);
        EXPECT_EQ(longTimeout.error, 87u);
        EXPECT_EQ(LastRefusal(), inquiryEnvelope);
        CloseHandle(h);
    }
    // The ASMedia one-request Identify and its power request carry the family's values too.
    HANDLE h = LoadFamily(kFamilies[0]);
    std::vector<uint8_t> id(4096, 0);
    const std::vector<uint8_t> identify = Cdb("e6060001000000000000000000000000");
    EXPECT_EQ(Scsi(h, identify, SCSI_IOCTL_DATA_IN, id.data(), 4096, 24, 10).status, 0);
    StartTrace();
    EXPECT_EQ(Scsi(h, identify, SCSI_IOCTL_DATA_IN, id.data(), 4096, 64, 60).error, 87u);
    EXPECT_EQ(LastRefusal(), kFamilies[0].envelope);
    StartTrace();
    EXPECT_EQ(Scsi(h, Cdb("ea5a01"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 64, 10).error, 87u);
    EXPECT_EQ(LastRefusal(), kFamilies[0].envelope);
    EXPECT_TRUE(sim::IsPresent("e")); // the refused power request did nothing
    CloseHandle(h);
}

TEST_F(BridgeRefusalsTest, ANewCommandWhileTheCompletionIsOwedIsRefused) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.bridge);
        HANDLE h = LoadFamily(f);
        std::vector<uint8_t> data(4096, 0);
        std::vector<uint8_t> completion(f.commandBytes == 512 ? 512 : 16, 0);
        const ULONG completionBytes = ULONG(completion.size());
        EXPECT_EQ(Command(h, f, f.sense, f.timeout).status, 0);
        EXPECT_EQ(
            Scsi(h, Cdb(f.data), SCSI_IOCTL_DATA_IN, data.data(), 4096, f.sense, f.timeout).status,
            0);
        // The drive ran the command; the next command phase comes before its completion.
        StartTrace();
        const Phase early = Command(h, f, f.sense, f.timeout);
        EXPECT_EQ(LastRefusal(), std::string(f.bridge) == "jmicron"
                                     ? "the response of the command before is owed"
                                     : "the completion of the command before is owed");
        EXPECT_EQ(early.status, 2);
        EXPECT_EQ(early.senseKey, 0x05); // ILLEGAL REQUEST
        EXPECT_EQ(early.asc, 0x2C);      // command sequence error
        EXPECT_EQ(early.ascq, 0x00);
        // The completion is still there; once read, commands go on.
        EXPECT_EQ(Scsi(h, Cdb(f.completion), SCSI_IOCTL_DATA_IN, completion.data(), completionBytes,
                       f.sense, f.timeout)
                      .status,
                  0);
        EXPECT_EQ(Command(h, f, f.sense, f.timeout).status, 0);
        CloseHandle(h);
    }
}

TEST_F(BridgeRefusalsTest, ACommandTheDriveFailedOwesNoCompletion) {
    // Opcode C2 (data from the device) is no command of the drive: its data phase ends in CHECK
    // CONDITION, after which the program sends no completion phase; the next command is taken.
    const std::vector<uint32_t> unknown = {0xC2, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, 0, 0, 1024};
    const struct {
        Bridge family;
        const Family* f;
    } cases[] = {{Bridge::Asmedia, &kFamilies[0]},
                 {Bridge::Jmicron, &kFamilies[1]},
                 {Bridge::Realtek, &kFamilies[2]}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.f->bridge);
        HANDLE h = LoadFamily(*c.f);
        uint32_t cdw[16] = {};
        std::copy(unknown.begin(), unknown.end(), cdw);
        std::vector<uint8_t> data(4096, 0);
        StartTrace();
        EXPECT_EQ(simreq::Tunnel(h, c.family, cdw, 1, data.data(), 4096), (std::vector<int>{0, 2}));
        // The drive refused the opcode; its data phase says so.
        EXPECT_EQ(LastRefusal(), "the drive does not know the opcode");
        EXPECT_EQ(Command(h, *c.f, c.f->sense, c.f->timeout).status, 0);
        CloseHandle(h);
    }
}

TEST_F(BridgeRefusalsTest, PowerRequestsKnowOneValueEach) {
    // ASMedia: EA 5A 02 is no request of the chip.
    HANDLE h = LoadFamily(kFamilies[0]);
    StartTrace();
    const Phase asm2 = Scsi(h, Cdb("ea5a02"), SCSI_IOCTL_DATA_OUT, nullptr, 0, 24, 10);
    EXPECT_EQ(LastRefusal(), "byte 2 must be a phase (80-82) or the power request EA 5A 01");
    EXPECT_EQ(asm2.status, 2);
    EXPECT_EQ(asm2.asc, 0x24); // invalid field in CDB
    EXPECT_TRUE(sim::IsPresent("e"));
    CloseHandle(h);
    // JMicron: a request block with the value 1 at 72.
    h = LoadFamily(kFamilies[1]);
    std::vector<uint8_t> block(512, 0);
    std::memcpy(block.data(), "NVME", 4);
    block[72] = 1;
    StartTrace();
    const Phase jmi1 = Scsi(h, Cdb("a18000000200"), SCSI_IOCTL_DATA_OUT, block.data(), 512, 24, 10);
    EXPECT_EQ(LastRefusal(), "the power request's value (byte 72) must be 5");
    EXPECT_EQ(jmi1.status, 2);
    EXPECT_EQ(jmi1.asc, 0x26); // invalid field in parameter list
    EXPECT_TRUE(sim::IsPresent("e"));
    CloseHandle(h);
}

} // namespace
