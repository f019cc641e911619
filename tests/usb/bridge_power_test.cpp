// The ASMedia and JMicron power requests through the simulated bridges, checked byte by byte in
// the request trace, with their Debug log lines.
#include "disklib/disk_record.h"
#include "disklib/usb/usb_power.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"
#include "tests/usb/pass_through_checks.h"

#include <string>
#include <vector>

using testsupport::UsbDisk;
using tracetest::Field;
using tracetest::Record;
using usbtest::ExpectPassThrough;

namespace {

static_assert(sizeof(void*) == 8, "the envelopes below are the 64-bit layout");

// The 128-byte pass-through envelope as it goes in: SCSI_PASS_THROUGH_DIRECT with Length 56,
// ScsiStatus, PathId, TargetId and Lun 0, CdbLength 16, SenseInfoLength 24, DataIn,
// DataTransferLength, TimeOutValue 10, DataBuffer (bytes 24..31), SenseInfoOffset 60, the CDB;
// then the filler, the 64-byte sense area and the padding, all zero.
std::string Envelope(const char* dataIn, const char* lengthLe, const std::string& dataBuffer,
                     const std::string& cdb) {
    return std::string("3800") + "00" + "000000" + "10" + "18" + dataIn + "000000" + lengthLe +
           "0a000000" + "00000000" + dataBuffer + "3c000000" + cdb + "00000000" + "00000000" +
           Zeros(64) + "00000000";
}

// The DataBuffer bytes of an envelope's hex, and the hex with them masked.
const size_t kDataBufferHexAt = 48;
const size_t kDataBufferHexChars = 16;
const std::string kMasked(kDataBufferHexChars, 'p');

std::string DataBufferOf(const Record& r) {
    return Field(r, "in").substr(kDataBufferHexAt, kDataBufferHexChars);
}
std::string Masked(const Record& r) {
    std::string in = Field(r, "in");
    return in.replace(kDataBufferHexAt, kDataBufferHexChars, kMasked);
}

class BridgePowerTest : public SimTest {
protected:
    HANDLE LoadBridge(const std::string& bridge) {
        Load(UsbDisk("enc", 4, bridge, "1/2", "VENDOR", "2362"));
        return OpenDrive(4);
    }
};

TEST_F(BridgePowerTest, AsmediaSendsOneRequestWithTheValueInTheCdbAndNoData) {
    HANDLE h = LoadBridge("asmedia");
    StartTrace();
    EXPECT_EQ(IO_USB_ASM_PowerCtrl(h, 1), DISKLIB_OK);
    const std::vector<Record> trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectPassThrough(trace[0], "ea5a0100000000000000000000000000", SCSI_IOCTL_DATA_OUT, 0, 24, 10);
    // No data buffer: DataBuffer is null.
    EXPECT_EQ(Field(trace[0], "in"),
              Envelope("00", "00000000", "0000000000000000", "ea5a0100000000000000000000000000"));
    EXPECT_EQ(Field(trace[0], "ok"), "true");
    EXPECT_EQ(Field(trace[0], "scsi_status"), "0");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"IO_USB_ASM_PowerCtrl IN 1",
                                                    "IO_USB_ASM_PowerCtrl Success OUT"}));
}

TEST_F(BridgePowerTest, JmicronSendsCommandNonDataAndResponsePhasesOverOneBlock) {
    HANDLE h = LoadBridge("jmicron");
    StartTrace();
    EXPECT_EQ(IO_USB_JMI_PowerCtrl(h, 5), DISKLIB_OK);
    const std::vector<Record> trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    // Command phase: A1 80, 512 bytes out: "NVME", zeros, the value 5 at 72, zeros.
    EXPECT_EQ(Masked(trace[0]),
              Envelope("00", "00020000", kMasked, "a1800000020000000000000000000000"));
    EXPECT_EQ(Field(trace[0], "data"), "4e564d45" + Zeros(68) + "05" + Zeros(439));
    // Non-data phase: A1 81, DataIn IN with length 0, the zeroed block as its buffer.
    EXPECT_EQ(Masked(trace[1]),
              Envelope("01", "00000000", kMasked, "a1810000000000000000000000000000"));
    EXPECT_EQ(Field(trace[1], "data"), "");
    // Response phase: A1 8F, 512 bytes in.
    EXPECT_EQ(Masked(trace[2]),
              Envelope("01", "00020000", kMasked, "a18f0000020000000000000000000000"));
    // All three name the same block.
    EXPECT_NE(DataBufferOf(trace[0]), Zeros(8));
    EXPECT_EQ(DataBufferOf(trace[1]), DataBufferOf(trace[0]));
    EXPECT_EQ(DataBufferOf(trace[2]), DataBufferOf(trace[0]));
    for (const Record& r : trace) {
        EXPECT_EQ(Field(r, "ok"), "true");
        EXPECT_EQ(Field(r, "scsi_status"), "0");
    }
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"IO_USB_JMI_PowerCtrl IN 5",
                                                    "IO_USB_JMI_PowerCtrl Success OUT"}));
}

TEST_F(BridgePowerTest, FailuresEndTheRequestWithTheValueLoggedInDecimal) {
    struct Case {
        const char* name;
        const char* bridge;
        uint8_t value;
        const char* faults;
        int32_t result;
        std::vector<std::string> requests; // the envelopes sent, in order, DataBuffer masked
        std::vector<std::string> statuses;
        std::vector<std::string> log;
    };
    const std::string jmiCommand =
        Envelope("00", "00020000", kMasked, "a1800000020000000000000000000000");
    const std::string jmiNoData =
        Envelope("01", "00000000", kMasked, "a1810000000000000000000000000000");
    const std::string jmiResponse =
        Envelope("01", "00020000", kMasked, "a18f0000020000000000000000000000");
    const Case cases[] = {
        {"ASMedia call fails",
         "asmedia",
         200,
         "ioctl_fail*1",
         DISKLIB_ERR_IO,
         {Envelope("00", "00000000", kMasked, "ea5ac800000000000000000000000000")},
         {"<missing>"},
         {"IO_USB_ASM_PowerCtrl IN 200"}},
        {"JMicron command call fails",
         "jmicron",
         17,
         "bridge_fail_command*1",
         DISKLIB_ERR_IO,
         {jmiCommand},
         {"<missing>"},
         {"IO_USB_JMI_PowerCtrl IN 17"}},
        {"JMicron non-data call fails",
         "jmicron",
         5,
         "bridge_fail_data*1",
         DISKLIB_ERR_IO,
         {jmiCommand, jmiNoData},
         {"0", "<missing>"},
         {"IO_USB_JMI_PowerCtrl IN 5"}},
        // The response phase's outcome is not examined.
        {"JMicron response call fails",
         "jmicron",
         5,
         "bridge_fail_completion*1",
         DISKLIB_OK,
         {jmiCommand, jmiNoData, jmiResponse},
         {"0", "0", "<missing>"},
         {"IO_USB_JMI_PowerCtrl IN 5", "IO_USB_JMI_PowerCtrl Success OUT"}},
        // CHECK CONDITION is examined in no phase.
        {"JMicron CHECK CONDITION",
         "jmicron",
         5,
         "bridge_check_command*1",
         DISKLIB_OK,
         {jmiCommand, jmiNoData, jmiResponse},
         {"2", "2", "2"},
         {"IO_USB_JMI_PowerCtrl IN 5", "IO_USB_JMI_PowerCtrl Success OUT"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE h = LoadBridge(c.bridge);
        ASSERT_TRUE(sim::InjectFault("enc", c.faults));
        StartTrace();
        const int32_t result = std::string(c.bridge) == "asmedia"
                                   ? IO_USB_ASM_PowerCtrl(h, c.value)
                                   : IO_USB_JMI_PowerCtrl(h, c.value);
        EXPECT_EQ(result, c.result);
        std::vector<std::string> requests, statuses;
        for (const Record& r : Trace()) {
            requests.push_back(Masked(r));
            statuses.push_back(Field(r, "scsi_status"));
        }
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(statuses, c.statuses);
        EXPECT_EQ(LogLines(), c.log);
    }
}

} // namespace
