// A USB enclosure of the simulated PC takes commands as they come over its cable (the kernel
// test's adapter hands them so): the bridge does not judge what a bulk-only command block does
// not carry (the sense length, the timeout, the direction of a transfer without data), the
// enclosure keeps the sense of a failed command for the REQUEST SENSE that follows, its medium
// reads as zeros, and each command has its log line.
#include "tests/support/sim_fixture.h"

#include <cstring>

namespace {

sim::ScsiRequest Wire(std::initializer_list<uint8_t> cdb, sim::ScsiDir dir, uint8_t* data,
                      uint32_t length) {
    sim::ScsiRequest rq;
    std::memcpy(rq.cdb, cdb.begin(), cdb.size());
    rq.cdbLength = uint8_t(cdb.size());
    rq.dir = dir;
    rq.data = data;
    rq.length = length;
    rq.wire = true;
    return rq;
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

class UsbCableTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim::LoadDefaultScenario());
    }

    sim::ScsiReply Send(const char* disk, const sim::ScsiRequest& rq) {
        sim::ScsiReply reply;
        EXPECT_TRUE(sim::UsbCommand(disk, rq, &reply));
        return reply;
    }
};

TEST_F(UsbCableTest, DescribesTheEnclosureAsItShowsItselfOnTheCable) {
    sim::UsbView view;
    ASSERT_TRUE(sim::DescribeUsbDisk("usb-asmedia", &view));
    EXPECT_EQ(view.vendorId, 0x174C);
    EXPECT_EQ(view.productId, 0x2362);
    EXPECT_EQ(view.serial, "ZX5016D0000000000004");
    EXPECT_EQ(view.vendor, "ASMT");
    EXPECT_EQ(view.product, "2362");
    EXPECT_EQ(view.bridge, "asmedia");
    EXPECT_EQ(view.port, 3u);
    ASSERT_TRUE(sim::DescribeUsbDisk("sata-usb", &view));
    EXPECT_EQ(view.vendorId, 0x1A2B);
    EXPECT_EQ(view.productId, 0x0578);
    EXPECT_EQ(view.bridge, "sata");
    EXPECT_EQ(view.port, 3u);
    EXPECT_FALSE(sim::DescribeUsbDisk("sata-a", &view));
    EXPECT_FALSE(sim::DescribeUsbDisk("nothing", &view));
}

TEST_F(UsbCableTest, TakesTheJmicronPowerRequestWhoseNonDataPhaseCarriesNoDirection) {
    // The request block of the power request: "NVME", an empty command, 5 in byte 72.
    uint8_t block[512] = {'N', 'V', 'M', 'E'};
    block[72] = 5;
    sim::ScsiReply r =
        Send("usb-jmicron", Wire({0xA1, 0x80, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                 sim::ScsiDir::Out, block, 512));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiGood);
    // Over the cable a phase without data has no direction; the chip takes it.
    r = Send("usb-jmicron", Wire({0xA1, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                 sim::ScsiDir::Unspecified, nullptr, 0));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiGood);
    uint8_t response[512] = {};
    r = Send("usb-jmicron", Wire({0xA1, 0x8F, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                 sim::ScsiDir::In, response, 512));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiGood);
    EXPECT_EQ(Hex(response, 8), "4e564d4500000000");
    // The enclosure lost its power once the response was read.
    EXPECT_FALSE(sim::IsPresent("usb-jmicron"));
    sim::ScsiReply none;
    EXPECT_FALSE(sim::UsbCommand(
        "usb-jmicron", Wire({0x00, 0, 0, 0, 0, 0}, sim::ScsiDir::Unspecified, nullptr, 0), &none));
}

TEST_F(UsbCableTest, JudgesTheDirectionOfAPhaseWithDataOverTheCableToo) {
    // The ASMedia command phase must move its 64 bytes out; in, it is an invalid field.
    uint8_t command[64] = {0x06};
    sim::ScsiReply r =
        Send("usb-asmedia", Wire({0xEA, 0x5A, 0x80, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0},
                                 sim::ScsiDir::In, command, 64));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiCheckCondition);
    EXPECT_EQ(Hex(r.sense, 18), "700005000000000a0000000024000000"
                                "0000");
}

TEST_F(UsbCableTest, KeepsTheSenseOfAFailedCommandForTheRequestSenseThatFollows) {
    // A CDB the Realtek bridge does not know: CHECK CONDITION, INVALID COMMAND OPERATION CODE.
    sim::ScsiReply r =
        Send("usb-realtek", Wire({0xEA, 0x5A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                 sim::ScsiDir::Unspecified, nullptr, 0));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiCheckCondition);
    uint8_t sense[18] = {};
    r = Send("usb-realtek", Wire({0x03, 0, 0, 0, 18, 0}, sim::ScsiDir::In, sense, 18));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiGood);
    EXPECT_EQ(r.transferred, 18u);
    EXPECT_EQ(Hex(sense, 18), "700005000000000a000000002000000000"
                              "00");
    // Read once: the next REQUEST SENSE has nothing to say.
    std::memset(sense, 0xEE, sizeof(sense));
    r = Send("usb-realtek", Wire({0x03, 0, 0, 0, 18, 0}, sim::ScsiDir::In, sense, 18));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Hex(sense, 18), "700000000000000a000000000000000000"
                              "00");
}

TEST_F(UsbCableTest, ReadsTheMediumAsZerosAndAnswersModeSense) {
    uint8_t data[1024];
    std::memset(data, 0xEE, sizeof(data));
    // READ (10) of blocks 1 and 2.
    sim::ScsiReply r =
        Send("usb-asmedia", Wire({0x28, 0, 0, 0, 0, 1, 0, 0, 2, 0}, sim::ScsiDir::In, data, 1024));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiGood);
    EXPECT_EQ(r.transferred, 1024u);
    EXPECT_EQ(Hex(data, 4) + Hex(data + 1020, 4), "0000000000000000");
    // READ (16) of the block after the last one (1953525167): LOGICAL BLOCK ADDRESS OUT OF RANGE.
    r = Send("usb-asmedia", Wire({0x88, 0, 0, 0, 0, 0, 0x74, 0x70, 0x6D, 0xB0, 0, 0, 0, 1, 0, 0},
                                 sim::ScsiDir::In, data, 512));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, sim::kScsiCheckCondition);
    EXPECT_EQ(Hex(r.sense + 12, 2), "2100");
    // MODE SENSE (6) of every page, 192 bytes asked: the 4-byte header alone.
    std::memset(data, 0xEE, sizeof(data));
    r = Send("usb-asmedia", Wire({0x1A, 0, 0x3F, 0, 0xC0, 0}, sim::ScsiDir::In, data, 192));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.transferred, 4u);
    EXPECT_EQ(Hex(data, 5), "03000000ee");
}

TEST_F(UsbCableTest, WritesOneLogLinePerCommand) {
    uint8_t data[8] = {};
    sim::ScsiRequest rq = Wire({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, sim::ScsiDir::In, data, 8);
    sim::ScsiReply r = Send("usb-asmedia", rq);
    EXPECT_EQ(sim::ScsiLogLine("S1", rq, r, false),
              "{\"disk\":\"S1\",\"cdb\":\"25000000000000000000\",\"dir\":\"in\",\"len\":8,"
              "\"data\":\"74706daf00000200\",\"status\":0,\"sense\":\"\"}");
    rq.timeout = 10;
    rq.senseLength = 4;
    r = sim::ScsiReply::Check(0x05, 0x24, 0x00);
    EXPECT_EQ(sim::ScsiLogLine("S1", rq, r, true),
              "{\"disk\":\"S1\",\"cdb\":\"25000000000000000000\",\"dir\":\"in\",\"len\":8,"
              "\"timeout\":10,\"sense_len\":4,\"data\":\"\",\"status\":2,\"sense\":\"70000500\"}");
    sim::ScsiRequest none = Wire({0x00, 0, 0, 0, 0, 0}, sim::ScsiDir::In, nullptr, 0);
    EXPECT_EQ(sim::ScsiLogLine("S1", none, sim::ScsiReply::Fail(433), false),
              "{\"disk\":\"S1\",\"cdb\":\"000000000000\",\"dir\":\"none\",\"len\":0,\"data\":\"\","
              "\"failed\":433}");
}

} // namespace
