// Bridge detection on the simulated PC: INQUIRY signatures first, then the Identify probes in
// the order JMicron, ASMedia, Realtek.
#include "disklib/usb/usb_bridge.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"
#include "tests/usb/pass_through_checks.h"

using testsupport::UsbDisk;
using tracetest::Field;
using usbtest::ExpectPassThrough;

namespace {

const char kInquiry[] = "12000000260000000000000000000000";
const char kJmiCommand[] = "a1800000020000000000000000000000";
const char kJmiDataIn4096[] = "a1820000100000000000000000000000";
const char kJmiResponse[] = "a18f0000020000000000000000000000";
const char kAsmIdentifyController[] = "e6060001000000000000000000000000";
const char kRtkCommand[] = "e54000f7000000000000000000000000";
const char kRtkDataIn4096[] = "e40010f8000001000000000000000000";
const char kRtkCompletion[] = "e41000f9000000000000000000000000";

class BridgeDetectTest : public SimTest {
protected:
    // Loads one enclosure as PhysicalDrive4 and detects its bridge with the trace on.
    int32_t Detect(const std::string& bridge, const std::string& vendor, const std::string& product,
                   const std::string& extra = "") {
        Load(UsbDisk("enclosure", 4, bridge, "1/2", vendor, product, extra));
        HANDLE h = OpenDrive(4);
        StartTrace();
        return IO_USB_GetBridgeType(h);
    }

    static void ExpectInquiry(const tracetest::Record& r) {
        ExpectPassThrough(r, kInquiry, SCSI_IOCTL_DATA_IN, 38, 64, 10);
        EXPECT_EQ(Field(r, "scsi_status"), "0");
    }
};

TEST_F(BridgeDetectTest, SignatureBytesDecideBeforeTheProductText) {
    // ASMedia bytes 36-37 win over a product text holding "9210B".
    EXPECT_EQ(Detect("asmedia", "ASMT", "RTL9210B NVME"), CMD_USB_ASM);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectInquiry(trace[0]);

    EXPECT_EQ(Detect("jmicron", "JMicron", "Tech"), CMD_USB_JMI);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectInquiry(trace[0]);

    EXPECT_EQ(Detect("realtek", "Realtek", "RTL9210B NVME"), CMD_USB_RTK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectInquiry(trace[0]);
}

TEST_F(BridgeDetectTest, JmicronWithoutSignatureAnswersTheFirstProbe) {
    EXPECT_EQ(Detect("jmicron", "JMicron", "Tech", "bridge_signature = no"), CMD_USB_JMI);
    const auto trace = Trace();
    // Nothing of ASMedia or Realtek is sent once JMicron has answered.
    ASSERT_EQ(trace.size(), 4u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    // The request block: "NVME", four zero bytes, Identify Controller (opcode 06, CDW10 1).
    EXPECT_EQ(Field(trace[1], "data"),
              "4e564d45" + Zeros(4) + "06000000" + Zeros(36) + "01000000" + Zeros(20) + Zeros(440));
    ExpectPassThrough(trace[2], kJmiDataIn4096, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[3], kJmiResponse, SCSI_IOCTL_DATA_IN, 512, 24, 10);
    for (const auto& r : trace) {
        EXPECT_EQ(Field(r, "scsi_status"), "0");
    }
}

TEST_F(BridgeDetectTest, AsmediaWithoutSignatureIsProbedAfterJmicron) {
    EXPECT_EQ(Detect("asmedia", "ASMT", "2362", "bridge_signature = no"), CMD_USB_ASM);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    EXPECT_EQ(Field(trace[1], "scsi_status"), "2");
    ExpectPassThrough(trace[2], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    EXPECT_EQ(Field(trace[2], "scsi_status"), "0");
}

TEST_F(BridgeDetectTest, RealtekWithoutProductTextIsProbedLast) {
    EXPECT_EQ(Detect("realtek", "Realtek", "USB NVME"), CMD_USB_RTK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 6u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    EXPECT_EQ(Field(trace[1], "scsi_status"), "2");
    ExpectPassThrough(trace[2], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    EXPECT_EQ(Field(trace[2], "scsi_status"), "2");
    ExpectPassThrough(trace[3], kRtkCommand, SCSI_IOCTL_DATA_OUT, 64, 64, 60);
    // The Realtek command phase sends the 64-byte command block only.
    EXPECT_EQ(Field(trace[3], "data"), "06000000" + Zeros(36) + "01000000" + Zeros(20));
    ExpectPassThrough(trace[4], kRtkDataIn4096, SCSI_IOCTL_DATA_IN, 4096, 64, 60);
    ExpectPassThrough(trace[5], kRtkCompletion, SCSI_IOCTL_DATA_IN, 16, 64, 60);
    for (size_t i = 3; i < trace.size(); ++i) {
        EXPECT_EQ(Field(trace[i], "scsi_status"), "0");
    }
}

TEST_F(BridgeDetectTest, UsbDiskWithoutKnownBridgeIsNone) {
    EXPECT_EQ(Detect("plain", "SanDisk", "Ultra Fit"), CMD_NONE);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    ExpectPassThrough(trace[2], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[3], kRtkCommand, SCSI_IOCTL_DATA_OUT, 64, 64, 60);
    for (size_t i = 1; i < trace.size(); ++i) {
        EXPECT_EQ(Field(trace[i], "scsi_status"), "2");
    }
}

TEST_F(BridgeDetectTest, ZeroVendorIdsRejectACandidateAndTheNextIsTried) {
    // The JMicron tunnel answers, but with zero PCI ids: ASMedia and Realtek are tried next.
    EXPECT_EQ(Detect("jmicron", "JMicron", "Tech", "bridge_signature = no\nbridge_zero_ids = yes"),
              CMD_NONE);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 6u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    ExpectPassThrough(trace[2], kJmiDataIn4096, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[3], kJmiResponse, SCSI_IOCTL_DATA_IN, 512, 24, 10);
    EXPECT_EQ(Field(trace[3], "scsi_status"), "0");
    ExpectPassThrough(trace[4], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[5], kRtkCommand, SCSI_IOCTL_DATA_OUT, 64, 64, 60);

    // A zero subsystem vendor id alone rejects the ASMedia answer; Realtek is tried next.
    std::string text =
        UsbDisk("enclosure", 4, "asmedia", "1/2", "ASMT", "2362", "bridge_signature = no");
    text.replace(text.find("ssvid = 0x1E5C"), 14, "ssvid = 0x0000");
    Load(text);
    HANDLE h = OpenDrive(4);
    StartTrace();
    EXPECT_EQ(IO_USB_GetBridgeType(h), CMD_NONE);
    trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    ExpectInquiry(trace[0]);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    ExpectPassThrough(trace[2], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    EXPECT_EQ(Field(trace[2], "scsi_status"), "0");
    ExpectPassThrough(trace[3], kRtkCommand, SCSI_IOCTL_DATA_OUT, 64, 64, 60);
}

TEST_F(BridgeDetectTest, FailedInquiryGivesNoneAndSendsNothingMore) {
    // The ASMedia signature would be seen if INQUIRY went through.
    Load(UsbDisk("enclosure", 4, "asmedia", "1/2", "ASMT", "RTL9210B NVME"));
    HANDLE h = OpenDrive(4);
    ASSERT_TRUE(sim::InjectFault("enclosure", "ioctl_fail:IOCTL_SCSI_PASS_THROUGH_DIRECT*1"));
    StartTrace();
    EXPECT_EQ(IO_USB_GetBridgeType(h), CMD_NONE);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_SCSI_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(trace[0], "ok"), "false");

    ASSERT_TRUE(sim::InjectFault("enclosure", "bridge_check_inquiry*1"));
    StartTrace();
    EXPECT_EQ(IO_USB_GetBridgeType(h), CMD_NONE);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectPassThrough(trace[0], kInquiry, SCSI_IOCTL_DATA_IN, 38, 64, 10);
    EXPECT_EQ(Field(trace[0], "ok"), "true");
    EXPECT_EQ(Field(trace[0], "scsi_status"), "2");

    // Without the fault the same disk is ASMedia.
    StartTrace();
    EXPECT_EQ(IO_USB_GetBridgeType(h), CMD_USB_ASM);
    EXPECT_EQ(Trace().size(), 1u);
}

TEST_F(BridgeDetectTest, RealtekTextAfterAZeroByteIsNotSeen) {
    // Standard INQUIRY data: vendor "Realtek ", product "USB" 00 "9210B NVME  ", revision
    // "1.00", bytes 36-37 zero. The product text ends at the zero byte.
    const std::string head = "0080060221000000"
                             "5265616c74656b20";
    const std::string zeroFirst = "55534200393231304220"
                                  "4e564d452020";
    const std::string tail = "312e3030"
                             "0000";
    EXPECT_EQ(Detect("realtek", "Realtek", "USB", "bridge_inquiry = " + head + zeroFirst + tail),
              CMD_USB_RTK);
    auto trace = Trace();
    // Found only by the probes, JMicron and ASMedia first.
    ASSERT_EQ(trace.size(), 6u);
    ExpectInquiry(trace[0]);
    EXPECT_EQ(Field(trace[0], "data"), head + zeroFirst + tail);
    ExpectPassThrough(trace[1], kJmiCommand, SCSI_IOCTL_DATA_OUT, 512, 24, 10);
    EXPECT_EQ(Field(trace[1], "scsi_status"), "2");
    ExpectPassThrough(trace[2], kAsmIdentifyController, SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    EXPECT_EQ(Field(trace[2], "scsi_status"), "2");
    ExpectPassThrough(trace[3], kRtkCommand, SCSI_IOCTL_DATA_OUT, 64, 64, 60);
    ExpectPassThrough(trace[4], kRtkDataIn4096, SCSI_IOCTL_DATA_IN, 4096, 64, 60);
    ExpectPassThrough(trace[5], kRtkCompletion, SCSI_IOCTL_DATA_IN, 16, 64, 60);

    // A blank in place of the zero byte: the text holds "9210B" and INQUIRY alone decides.
    const std::string blankFirst = "55534220393231304220"
                                   "4e564d452020";
    EXPECT_EQ(Detect("realtek", "Realtek", "USB", "bridge_inquiry = " + head + blankFirst + tail),
              CMD_USB_RTK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    ExpectInquiry(trace[0]);
}

TEST_F(BridgeDetectTest, DefaultPcHasOneEnclosureOfEachFamilyAndAStick) {
    ASSERT_TRUE(sim::LoadDefaultScenario());
    const int drives[] = {4, 5, 6, 7};
    const int32_t expected[] = {CMD_USB_ASM, CMD_USB_JMI, CMD_USB_RTK, CMD_NONE};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(drives[i]);
        HANDLE h = OpenDrive(drives[i]);
        EXPECT_EQ(IO_USB_GetBridgeType(h), expected[i]);
    }
}

} // namespace
