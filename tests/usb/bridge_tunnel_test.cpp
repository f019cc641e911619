// NVMe commands and firmware chunks through the ASMedia, JMicron and Realtek tunnels of the
// simulated bridges, checked request by request in the trace.
#include "disklib/nvme_transport.h"
#include "disklib/usb/usb_bridge.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"
#include "tests/usb/pass_through_checks.h"

#include <cstring>

using testsupport::UsbDisk;
using tracetest::Field;
using usbtest::Context;
using usbtest::ExpectPassThrough;

namespace {

// Get Log Page 05 with 4096 bytes: CDW0 02, NSID FFFFFFFF, CDW10 03FF0005.
NvmeCommandBlock LogPageCommand() {
    NvmeCommandBlock c;
    memset(&c, 0, sizeof(c));
    c.CDW0 = 0x02;
    c.CDW1 = 0xFFFFFFFF;
    c.CDW10 = 0x03FF0005;
    return c;
}
const std::string kLogPageHex = "02000000ffffffff" + Zeros(32) + "0500ff03" + Zeros(20);

// The unlock: a vendor command without data.
NvmeCommandBlock UnlockCommand() {
    NvmeCommandBlock c;
    memset(&c, 0, sizeof(c));
    c.CDW0 = 0xFC;
    c.CDW1 = 0xFFFFFFFF;
    c.CDW2 = 0x6B716D77;
    c.CDW12 = 0x1F;
    c.CDW13 = 0x6B716D77;
    c.CDW14 = 1;
    return c;
}

// Firmware Image Download of 4096 bytes at offset 8192: NUMD 3FF, OFST 800.
const std::string kChunkCommandHex = "11000000" + Zeros(36) + "ff030000" + "00080000" + Zeros(16);

// Bytes from hex digits.
std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// One raw pass-through request: its CDB, DataIn and the bytes it moves (their count is the
// transfer length).
struct Step {
    std::vector<uint8_t> cdb;
    UCHAR dataIn;
    std::vector<uint8_t> data;
};

// The GOOD statuses of `n` requests and the CHECK CONDITION of the one after them.
std::vector<int> RefusedAfter(size_t n) {
    std::vector<int> statuses(n, 0);
    statuses.push_back(2);
    return statuses;
}

class BridgeTunnelTest : public SimTest {
protected:
    HANDLE LoadBridge(const std::string& bridge, const std::string& product = "2362") {
        Load(UsbDisk("enc", 4, bridge, "1/2", "VENDOR", product));
        // The sense length and timeout the family's requests carry.
        realtek_ = bridge == "realtek";
        return OpenDrive(4);
    }

    // One raw pass-through request; the SCSI status, or -1 when the call failed.
    int Raw(HANDLE h, const uint8_t (&cdb)[16], UCHAR dataIn, void* data, ULONG length) {
        PassThroughRequest rq;
        memset(&rq, 0, sizeof(rq));
        rq.Sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        rq.Sptd.CdbLength = 16;
        rq.Sptd.SenseInfoLength = realtek_ ? 64 : 24;
        rq.Sptd.SenseInfoOffset = offsetof(PassThroughRequest, SenseBuffer);
        rq.Sptd.DataIn = dataIn;
        rq.Sptd.DataTransferLength = length;
        rq.Sptd.DataBuffer = length ? data : nullptr;
        rq.Sptd.TimeOutValue = realtek_ ? 60 : 10;
        memcpy(rq.Sptd.Cdb, cdb, 16);
        DWORD returned = 0;
        if (!DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq, sizeof(rq),
                             &returned, nullptr)) {
            return -1;
        }
        return rq.Sptd.ScsiStatus;
    }

    int Raw(HANDLE h, const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data, ULONG length) {
        uint8_t bytes[16];
        EXPECT_EQ(cdb.size(), 16u);
        memcpy(bytes, cdb.data(), 16);
        return Raw(h, bytes, dataIn, data, length);
    }

    // Sends the requests in order on a freshly loaded bridge and returns their SCSI statuses
    // up to the first that is not GOOD.
    std::vector<int> Run(const std::string& bridge, std::vector<Step> steps) {
        HANDLE h = LoadBridge(bridge);
        std::vector<int> statuses;
        for (Step& step : steps) {
            const int status =
                Raw(h, step.cdb, step.dataIn, step.data.empty() ? nullptr : step.data.data(),
                    ULONG(step.data.size()));
            statuses.push_back(status);
            if (status != 0) {
                break;
            }
        }
        return statuses;
    }

    bool realtek_ = false;

    std::vector<uint8_t> Staged() {
        std::vector<uint8_t> staged;
        EXPECT_TRUE(sim::WithDrive("enc", [&](sim::NvmeDrive& d) { staged = d.State().staging; }));
        return staged;
    }
};

TEST_F(BridgeTunnelTest, AsmediaDataInCommandAndItsCompletionOverTheCommandBlock) {
    HANDLE h = LoadBridge("asmedia");
    NvmeCommandBlock cmd = LogPageCommand();
    uint8_t data[4096];
    memset(data, 0xCC, sizeof(data));
    StartTrace();
    EXPECT_EQ(IO_USB_ASM_NvmePassThrough(h, XFER_IN, &cmd, data, sizeof(data)), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[0],
                      "ea5a8000010000000000"
                      "00000040"
                      "0000",
                      SCSI_IOCTL_DATA_OUT, 64, 24, 10);
    EXPECT_EQ(Field(trace[0], "data"), kLogPageHex);
    ExpectPassThrough(trace[1],
                      "eb5a8100010000000000"
                      "00001000"
                      "0000",
                      SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[2],
                      "eb5a8200010000000000"
                      "00000010"
                      "0000",
                      SCSI_IOCTL_DATA_IN, 16, 24, 10);
    for (const auto& r : trace) {
        EXPECT_EQ(Field(r, "scsi_status"), "0");
    }
    // The log page arrived: Identify (06) and Get Log Page (02) are listed as supported.
    EXPECT_EQ(data[4 * 0x02], 1);
    EXPECT_EQ(data[4 * 0x06], 1);
    // The 16-byte completion (all zero for a success) replaced CDW0..CDW3; the rest is kept.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&cmd);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
    }
    EXPECT_EQ(cmd.CDW10, 0x03FF0005u);
}

TEST_F(BridgeTunnelTest, JmicronDataInCommandCarriesTheNvmeBlock) {
    HANDLE h = LoadBridge("jmicron");
    NvmeCommandBlock cmd = LogPageCommand();
    uint8_t data[4096];
    memset(data, 0xCC, sizeof(data));
    StartTrace();
    EXPECT_EQ(IO_USB_JMI_NvmePassThrough(h, XFER_IN, &cmd, data, sizeof(data)), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[0], "a1800000020000000000000000000000", SCSI_IOCTL_DATA_OUT, 512, 24,
                      10);
    EXPECT_EQ(Field(trace[0], "data"), "4e564d4500000000" + kLogPageHex + Zeros(440));
    ExpectPassThrough(trace[1], "a1820000100000000000000000000000", SCSI_IOCTL_DATA_IN, 4096, 24,
                      10);
    ExpectPassThrough(trace[2], "a18f0000020000000000000000000000", SCSI_IOCTL_DATA_IN, 512, 24,
                      10);
    EXPECT_EQ(data[4 * 0x06], 1);
    // Only the ASMedia command leaves the completion in the caller's block.
    EXPECT_EQ(cmd.CDW0, 0x02u);
    EXPECT_EQ(cmd.CDW1, 0xFFFFFFFFu);
}

TEST_F(BridgeTunnelTest, RealtekDataInCommandUsesItsOwnPhases) {
    HANDLE h = LoadBridge("realtek", "RTL9210B NVME");
    NvmeCommandBlock cmd = LogPageCommand();
    uint8_t data[4096];
    memset(data, 0xCC, sizeof(data));
    StartTrace();
    EXPECT_EQ(IO_USB_RTK_NvmePassThrough(h, XFER_IN, &cmd, data, sizeof(data)), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[0], "e54000f7000000000000000000000000", SCSI_IOCTL_DATA_OUT, 64, 64,
                      60);
    EXPECT_EQ(Field(trace[0], "data"), kLogPageHex);
    ExpectPassThrough(trace[1], "e40010f8000001000000000000000000", SCSI_IOCTL_DATA_IN, 4096, 64,
                      60);
    ExpectPassThrough(trace[2], "e41000f9000000000000000000000000", SCSI_IOCTL_DATA_IN, 16, 64, 60);
    EXPECT_EQ(data[4 * 0x06], 1);
    EXPECT_EQ(cmd.CDW0, 0x02u);
}

TEST_F(BridgeTunnelTest, CommandWithoutDataSendsAnEmptyDataPhase) {
    struct Case {
        const char* bridge;
        int32_t (*send)(HANDLE, int32_t, NvmeCommandBlock*, void*, uint32_t);
        std::string cdbs[3];
        unsigned sense, timeout;
        unsigned lengths[3];
    };
    const Case cases[] = {
        {"asmedia",
         IO_USB_ASM_NvmePassThrough,
         {"ea5a8000000000000000"
          "00000040"
          "0000",
          "eb5a8100000000000000"
          "00000000"
          "0000",
          "eb5a8200000000000000"
          "00000010"
          "0000"},
         24,
         10,
         {64, 0, 16}},
        {"jmicron",
         IO_USB_JMI_NvmePassThrough,
         {"a1800000020000000000000000000000", "a1810000000000000000000000000000",
          "a18f0000020000000000000000000000"},
         24,
         10,
         {512, 0, 512}},
        {"realtek",
         IO_USB_RTK_NvmePassThrough,
         {"e54000f7000000000000000000000000", "e50000f8000000000000000000000000",
          "e41000f9000000000000000000000000"},
         64,
         60,
         {64, 0, 16}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bridge);
        HANDLE h = LoadBridge(c.bridge);
        NvmeCommandBlock cmd = UnlockCommand();
        StartTrace();
        EXPECT_EQ(c.send(h, XFER_NONE, &cmd, nullptr, 0), DISKLIB_OK);
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 3u);
        ExpectPassThrough(trace[0], c.cdbs[0], SCSI_IOCTL_DATA_OUT, c.lengths[0], c.sense,
                          c.timeout);
        ExpectPassThrough(trace[1], c.cdbs[1], SCSI_IOCTL_DATA_UNSPECIFIED, 0, c.sense, c.timeout);
        ExpectPassThrough(trace[2], c.cdbs[2], SCSI_IOCTL_DATA_IN, c.lengths[2], c.sense,
                          c.timeout);
        for (const auto& r : trace) {
            EXPECT_EQ(Field(r, "scsi_status"), "0");
        }
    }
}

TEST_F(BridgeTunnelTest, CompletionPhaseFailuresAsmediaAndJmicronIgnoreButRealtekDoesNot) {
    struct Case {
        const char* bridge;
        int32_t (*send)(HANDLE, int32_t, NvmeCommandBlock*, void*, uint32_t);
        int32_t failedCall; // the completion call fails without a SCSI status
        int32_t checkCondition;
    };
    const Case cases[] = {
        {"asmedia", IO_USB_ASM_NvmePassThrough, DISKLIB_OK, DISKLIB_ERR_IO},
        {"jmicron", IO_USB_JMI_NvmePassThrough, DISKLIB_OK, DISKLIB_ERR_IO},
        {"realtek", IO_USB_RTK_NvmePassThrough, DISKLIB_ERR_IO, DISKLIB_ERR_IO},
    };
    uint8_t data[4096];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bridge);
        HANDLE h = LoadBridge(c.bridge);
        ASSERT_TRUE(sim::InjectFault("enc", "bridge_fail_completion*1"));
        NvmeCommandBlock cmd = LogPageCommand();
        StartTrace();
        EXPECT_EQ(c.send(h, XFER_IN, &cmd, data, sizeof(data)), c.failedCall);
        auto trace = Trace();
        ASSERT_EQ(trace.size(), 3u);
        EXPECT_EQ(Field(trace[2], "ok"), "false");
        EXPECT_EQ(Field(trace[2], "scsi_status"), "<missing>");

        ASSERT_TRUE(sim::InjectFault("enc", "bridge_check_completion*1"));
        cmd = LogPageCommand();
        StartTrace();
        EXPECT_EQ(c.send(h, XFER_IN, &cmd, data, sizeof(data)), c.checkCondition);
        trace = Trace();
        ASSERT_EQ(trace.size(), 3u);
        EXPECT_EQ(Field(trace[2], "ok"), "true");
        EXPECT_EQ(Field(trace[2], "scsi_status"), "2");
    }
}

TEST_F(BridgeTunnelTest, FailedCommandOrDataPhaseEndsTheCommandAtOnce) {
    const char* bridges[] = {"asmedia", "jmicron", "realtek"};
    int32_t (*sends[])(HANDLE, int32_t, NvmeCommandBlock*, void*, uint32_t) = {
        IO_USB_ASM_NvmePassThrough, IO_USB_JMI_NvmePassThrough, IO_USB_RTK_NvmePassThrough};
    uint8_t data[4096];
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(bridges[i]);
        HANDLE h = LoadBridge(bridges[i]);
        ASSERT_TRUE(sim::InjectFault("enc", "bridge_check_command*1"));
        NvmeCommandBlock cmd = LogPageCommand();
        StartTrace();
        EXPECT_EQ(sends[i](h, XFER_IN, &cmd, data, sizeof(data)), DISKLIB_ERR_IO);
        EXPECT_EQ(Trace().size(), 1u);

        ASSERT_TRUE(sim::InjectFault("enc", "bridge_fail_data*1"));
        cmd = LogPageCommand();
        StartTrace();
        EXPECT_EQ(sends[i](h, XFER_IN, &cmd, data, sizeof(data)), DISKLIB_ERR_IO);
        EXPECT_EQ(Trace().size(), 2u);
    }
}

TEST_F(BridgeTunnelTest, FirmwareChunksGoOutAsHostToDeviceCommands) {
    struct Case {
        const char* bridge;
        int32_t (*send)(HANDLE, uint32_t, const void*, uint32_t);
        std::string cdbs[3];
        std::string commandData;
        unsigned sense, timeout;
        unsigned lengths[3];
    };
    const Case cases[] = {
        {"asmedia",
         IO_USB_ASM_FirmwareDownload,
         {"ea5a8000020000000000"
          "00000040"
          "0000",
          "ea5a8100020000000000"
          "00001000"
          "0000",
          "eb5a8200020000000000"
          "00000010"
          "0000"},
         kChunkCommandHex,
         24,
         10,
         {64, 4096, 16}},
        {"jmicron",
         IO_USB_JMI_FirmwareDownload,
         {"a1800000020000000000000000000000", "a1830000100000000000000000000000",
          "a18f0000020000000000000000000000"},
         "4e564d4500000000" + kChunkCommandHex + Zeros(440),
         24,
         10,
         {512, 4096, 512}},
        {"realtek",
         IO_USB_RTK_FirmwareDownload,
         {"e54000f7000000000000000000000000", "e50010f8000002000000000000000000",
          "e41000f9000000000000000000000000"},
         kChunkCommandHex,
         64,
         60,
         {64, 4096, 16}},
    };
    std::vector<uint8_t> chunk(4096);
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = uint8_t(i * 7 + 3);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bridge);
        HANDLE h = LoadBridge(c.bridge);
        StartTrace();
        EXPECT_EQ(c.send(h, 8192, chunk.data(), 4096), DISKLIB_OK);
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 3u);
        ExpectPassThrough(trace[0], c.cdbs[0], SCSI_IOCTL_DATA_OUT, c.lengths[0], c.sense,
                          c.timeout);
        EXPECT_EQ(Field(trace[0], "data"), c.commandData);
        ExpectPassThrough(trace[1], c.cdbs[1], SCSI_IOCTL_DATA_OUT, c.lengths[1], c.sense,
                          c.timeout);
        ExpectPassThrough(trace[2], c.cdbs[2], SCSI_IOCTL_DATA_IN, c.lengths[2], c.sense,
                          c.timeout);
        // The drive staged the piece at 8192.
        const std::vector<uint8_t> staged = Staged();
        ASSERT_EQ(staged.size(), 12288u);
        EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), staged.begin() + 8192));
    }
}

TEST_F(BridgeTunnelTest, ShortLastChunkCarriesItsLengthInEveryFamilysCdb) {
    std::vector<uint8_t> chunk(1808, 0x5A);
    // 1808 bytes: NUMD (1808 - 1) >> 2 = 0x1C3.
    const std::string command = "11000000" + Zeros(36) + "c3010000" + "00080000" + Zeros(16);

    HANDLE h = LoadBridge("asmedia");
    StartTrace();
    EXPECT_EQ(IO_USB_ASM_FirmwareDownload(h, 8192, chunk.data(), 1808), DISKLIB_OK);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(Field(trace[0], "data"), command);
    ExpectPassThrough(trace[1],
                      "ea5a8100020000000000"
                      "00000710"
                      "0000",
                      SCSI_IOCTL_DATA_OUT, 1808, 24, 10);

    h = LoadBridge("jmicron");
    StartTrace();
    EXPECT_EQ(IO_USB_JMI_FirmwareDownload(h, 8192, chunk.data(), 1808), DISKLIB_OK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[1], "a1830000071000000000000000000000", SCSI_IOCTL_DATA_OUT, 1808, 24,
                      10);

    h = LoadBridge("realtek");
    StartTrace();
    EXPECT_EQ(IO_USB_RTK_FirmwareDownload(h, 8192, chunk.data(), 1808), DISKLIB_OK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[1], "e51007f8000002000000000000000000", SCSI_IOCTL_DATA_OUT, 1808, 64,
                      60);
}

// A firmware chunk is refused when a phase answers CHECK CONDITION, on every bridge: the chunk
// ends at that phase. A failed data-phase call fails every family's chunk; a failed completion
// call only Realtek's (ASMedia and JMicron leave it to the next request).
TEST_F(BridgeTunnelTest, AChunkEndsAtTheFirstPhaseThatAnswersCheckCondition) {
    std::vector<uint8_t> chunk(4096, 0x11);
    const char* bridges[] = {"asmedia", "jmicron", "realtek"};
    int32_t (*sends[])(HANDLE, uint32_t, const void*, uint32_t) = {
        IO_USB_ASM_FirmwareDownload, IO_USB_JMI_FirmwareDownload, IO_USB_RTK_FirmwareDownload};
    const int32_t completionFailed[] = {DISKLIB_OK, DISKLIB_OK, DISKLIB_ERR_IO};
    const struct {
        const char* fault;
        size_t requests;
    } checks[] = {{"bridge_check_command*1", 1},
                  {"bridge_check_data*1", 2},
                  {"bridge_check_completion*1", 3}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(bridges[i]);
        HANDLE h = LoadBridge(bridges[i]);
        for (const auto& c : checks) {
            SCOPED_TRACE(c.fault);
            ASSERT_TRUE(sim::InjectFault("enc", c.fault));
            StartTrace();
            EXPECT_EQ(sends[i](h, 0, chunk.data(), 4096), DISKLIB_ERR_IO);
            auto trace = Trace();
            ASSERT_EQ(trace.size(), c.requests);
            EXPECT_EQ(Field(trace.back(), "scsi_status"), "2");
        }

        h = LoadBridge(bridges[i]);
        ASSERT_TRUE(sim::InjectFault("enc", "bridge_fail_data*1"));
        StartTrace();
        EXPECT_EQ(sends[i](h, 0, chunk.data(), 4096), DISKLIB_ERR_IO);
        EXPECT_EQ(Trace().size(), 2u);

        ASSERT_TRUE(sim::InjectFault("enc", "bridge_fail_completion*1"));
        StartTrace();
        EXPECT_EQ(sends[i](h, 4096, chunk.data(), 4096), completionFailed[i]);
        EXPECT_EQ(Trace().size(), 3u);
    }
}

TEST_F(BridgeTunnelTest, DispatchPicksTheBridgeOperations) {
    // ASMedia Identify is the one-request command; its Get Log Page the three-phase one.
    HANDLE h = LoadBridge("asmedia");
    CommandContext ctx = Context(CMD_USB_ASM);
    uint8_t data[4096];
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_Identify(&ctx, h, 1, 0, data, sizeof(data)), DISKLIB_OK);
    EXPECT_EQ(DISKLIB_NVME_Identify(&ctx, h, 0, 1, data, sizeof(data)), DISKLIB_OK);
    EXPECT_EQ(DISKLIB_NVME_GetLogPage(&ctx, h, 5, data, sizeof(data)), DISKLIB_OK);
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 5u);
    ExpectPassThrough(trace[0], "e6060001000000000000000000000000", SCSI_IOCTL_DATA_IN, 4096, 24,
                      10);
    ExpectPassThrough(trace[1], "e6060000000000010000000000000000", SCSI_IOCTL_DATA_IN, 4096, 24,
                      10);
    ExpectPassThrough(trace[2],
                      "ea5a8000010000000000"
                      "00000040"
                      "0000",
                      SCSI_IOCTL_DATA_OUT, 64, 24, 10);
    EXPECT_EQ(Field(trace[2], "data"), kLogPageHex);
    ExpectPassThrough(trace[3],
                      "eb5a8100010000000000"
                      "00001000"
                      "0000",
                      SCSI_IOCTL_DATA_IN, 4096, 24, 10);
    ExpectPassThrough(trace[4],
                      "eb5a8200010000000000"
                      "00000010"
                      "0000",
                      SCSI_IOCTL_DATA_IN, 16, 24, 10);

    // JMicron and Realtek carry Identify through their three-phase commands.
    h = LoadBridge("jmicron");
    ctx = Context(CMD_USB_JMI);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_Identify(&ctx, h, 0, 1, data, sizeof(data)), DISKLIB_OK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    // Identify Namespace: opcode 06, NSID 1, CNS 0.
    EXPECT_EQ(Field(trace[0], "data"), "4e564d4500000000"
                                       "0600000001000000" +
                                           Zeros(496));

    h = LoadBridge("realtek");
    ctx = Context(CMD_USB_RTK);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_Identify(&ctx, h, 1, 0, data, sizeof(data)), DISKLIB_OK);
    trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[0], "e54000f7000000000000000000000000", SCSI_IOCTL_DATA_OUT, 64, 64,
                      60);
    // PCI vendor id 1E5C of the drive behind the bridge.
    EXPECT_EQ(data[0], 0x5C);
    EXPECT_EQ(data[1], 0x1E);
}

TEST_F(BridgeTunnelTest, BridgesRefuseWhatTheChipWouldRefuse) {
    uint8_t block[512];
    memset(block, 0, sizeof(block));

    HANDLE h = LoadBridge("asmedia");
    // A data phase with no command before it.
    const uint8_t asmData[16] = {0xEB, 0x5A, 0x81, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0};
    EXPECT_EQ(Raw(h, asmData, SCSI_IOCTL_DATA_IN, block, 512), 2);
    // A command phase whose length is not the 64-byte command.
    const uint8_t asmShort[16] = {0xEA, 0x5A, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0};
    EXPECT_EQ(Raw(h, asmShort, SCSI_IOCTL_DATA_OUT, block, 32), 2);
    // The CDB's length and the transfer length disagree.
    const uint8_t asmMismatch[16] = {0xEA, 0x5A, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0};
    EXPECT_EQ(Raw(h, asmMismatch, SCSI_IOCTL_DATA_OUT, block, 32), 2);
    // The ASMedia power request is taken.
    const uint8_t asmPower[16] = {0xEA, 0x5A, 0x01};
    EXPECT_EQ(Raw(h, asmPower, SCSI_IOCTL_DATA_OUT, nullptr, 0), 0);

    h = LoadBridge("jmicron");
    // A request block without the "NVME" signature.
    const uint8_t jmiCommand[16] = {0xA1, 0x80, 0, 0, 0x02, 0};
    EXPECT_EQ(Raw(h, jmiCommand, SCSI_IOCTL_DATA_OUT, block, 512), 2);
    // The response phase before any command.
    const uint8_t jmiResponse[16] = {0xA1, 0x8F, 0, 0, 0x02, 0};
    EXPECT_EQ(Raw(h, jmiResponse, SCSI_IOCTL_DATA_IN, block, 512), 2);
    // The JMicron power sequence: block with the value at 72, non-data phase with DataIn IN,
    // response phase.
    memcpy(block, "NVME", 4);
    block[72] = 5;
    EXPECT_EQ(Raw(h, jmiCommand, SCSI_IOCTL_DATA_OUT, block, 512), 0);
    const uint8_t jmiNoData[16] = {0xA1, 0x81};
    EXPECT_EQ(Raw(h, jmiNoData, SCSI_IOCTL_DATA_IN, nullptr, 0), 0);
    memset(block, 0, sizeof(block));
    EXPECT_EQ(Raw(h, jmiResponse, SCSI_IOCTL_DATA_IN, block, 512), 0);

    h = LoadBridge("realtek");
    NvmeCommandBlock cmd = LogPageCommand();
    const uint8_t rtkCommand[16] = {0xE5, 0x40, 0x00, 0xF7};
    EXPECT_EQ(Raw(h, rtkCommand, SCSI_IOCTL_DATA_OUT, &cmd, 64), 0);
    // A data-in phase sent with DataIn OUT.
    uint8_t data[4096];
    const uint8_t rtkData[16] = {0xE4, 0x00, 0x10, 0xF8, 0, 0, 1};
    EXPECT_EQ(Raw(h, rtkData, SCSI_IOCTL_DATA_OUT, data, 4096), 2);
    // Another family's tunnel is an unknown CDB.
    const uint8_t asmCommand[16] = {0xEA, 0x5A, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0};
    EXPECT_EQ(Raw(h, asmCommand, SCSI_IOCTL_DATA_OUT, &cmd, 64), 2);
}

TEST_F(BridgeTunnelTest, RealtekLengthBeyondSixteenBitsIsRefusedBeforeAnyRequest) {
    HANDLE h = LoadBridge("realtek", "RTL9210B NVME");
    std::vector<uint8_t> data(65536);
    NvmeCommandBlock cmd = LogPageCommand();
    StartTrace();
    EXPECT_EQ(IO_USB_RTK_NvmePassThrough(h, XFER_IN, &cmd, data.data(), 65536), DISKLIB_ERR_IO);
    EXPECT_EQ(IO_USB_RTK_FirmwareDownload(h, 0, data.data(), 65536), DISKLIB_ERR_IO);
    EXPECT_EQ(Trace().size(), 0u);
}

TEST_F(BridgeTunnelTest, AsmediaRefusesReservedBytesAndAForeignTransferKind) {
    const std::vector<Step> logPage = {
        {Bytes("ea5a8000010000000000"
               "00000040"
               "0000"),
         SCSI_IOCTL_DATA_OUT, Bytes(kLogPageHex)},
        {Bytes("eb5a8100010000000000"
               "00001000"
               "0000"),
         SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(4096)},
        {Bytes("eb5a8200010000000000"
               "00000010"
               "0000"),
         SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(16)},
    };
    EXPECT_EQ(Run("asmedia", logPage), (std::vector<int>{0, 0, 0}));
    for (size_t step = 0; step < logPage.size(); ++step) {
        for (int index : {3, 5, 6, 7, 8, 9, 14, 15}) {
            SCOPED_TRACE("phase " + std::to_string(step) + ", CDB byte " + std::to_string(index));
            std::vector<Step> altered = logPage;
            altered[step].cdb[size_t(index)] = 1;
            EXPECT_EQ(Run("asmedia", altered), RefusedAfter(step));
        }
    }
    // The completion phase carries the transfer kind of the command phase (1, data in).
    for (uint8_t kind : {0, 2}) {
        SCOPED_TRACE("completion kind " + std::to_string(kind));
        std::vector<Step> altered = logPage;
        altered[2].cdb[4] = kind;
        EXPECT_EQ(Run("asmedia", altered), RefusedAfter(2));
    }

    // The one-request Identify: E6 06 00 CNS 00 00 00 NSID and eight zero bytes.
    const Step identify = {Bytes("e6060001000000000000000000000000"), SCSI_IOCTL_DATA_IN,
                           std::vector<uint8_t>(4096)};
    EXPECT_EQ(Run("asmedia", {identify}), (std::vector<int>{0}));
    for (int index : {2, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15}) {
        SCOPED_TRACE("Identify CDB byte " + std::to_string(index));
        Step altered = identify;
        altered.cdb[size_t(index)] = 1;
        EXPECT_EQ(Run("asmedia", {altered}), (std::vector<int>{2}));
    }

    // The power request only in its exact form: EA 5A value, thirteen zero bytes, DataIn OUT,
    // no data.
    const Step power = {Bytes("ea5a0100000000000000000000000000"), SCSI_IOCTL_DATA_OUT, {}};
    EXPECT_EQ(Run("asmedia", {power}), (std::vector<int>{0}));
    for (int index = 3; index < 16; ++index) {
        SCOPED_TRACE("power CDB byte " + std::to_string(index));
        Step altered = power;
        altered.cdb[size_t(index)] = 1;
        EXPECT_EQ(Run("asmedia", {altered}), (std::vector<int>{2}));
    }
    Step fromDevice = power;
    fromDevice.cdb[0] = 0xEB;
    EXPECT_EQ(Run("asmedia", {fromDevice}), (std::vector<int>{2}));
    for (UCHAR dataIn : {UCHAR(SCSI_IOCTL_DATA_IN), UCHAR(SCSI_IOCTL_DATA_UNSPECIFIED)}) {
        SCOPED_TRACE("power DataIn " + std::to_string(dataIn));
        Step altered = power;
        altered.dataIn = dataIn;
        EXPECT_EQ(Run("asmedia", {altered}), (std::vector<int>{2}));
    }
    Step withData = power;
    withData.data.assign(16, 0);
    EXPECT_EQ(Run("asmedia", {withData}), (std::vector<int>{2}));
}

TEST_F(BridgeTunnelTest, JmicronRefusesReservedBytesAndAPowerPhaseOfTheWrongDirection) {
    const std::string unlockHex = "fc000000"
                                  "ffffffff"
                                  "776d716b" +
                                  Zeros(36) +
                                  "1f000000"
                                  "776d716b"
                                  "01000000"
                                  "00000000";
    const Step logPageCommand = {Bytes("a1800000020000000000000000000000"), SCSI_IOCTL_DATA_OUT,
                                 Bytes("4e564d4500000000" + kLogPageHex + Zeros(440))};
    const std::vector<Step> logPage = {
        logPageCommand,
        {Bytes("a1820000100000000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(4096)},
        {Bytes("a18f0000020000000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(512)},
    };
    EXPECT_EQ(Run("jmicron", logPage), (std::vector<int>{0, 0, 0}));
    for (size_t step = 0; step < logPage.size(); ++step) {
        for (int index : {2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
            SCOPED_TRACE("phase " + std::to_string(step) + ", CDB byte " + std::to_string(index));
            std::vector<Step> altered = logPage;
            altered[step].cdb[size_t(index)] = 1;
            EXPECT_EQ(Run("jmicron", altered), RefusedAfter(step));
        }
    }
    // Request-block bytes 4..7 and 72..511 are zero in a command's block.
    for (int index : {4, 5, 6, 7, 72, 73, 300, 511}) {
        SCOPED_TRACE("request block byte " + std::to_string(index));
        std::vector<Step> altered = logPage;
        altered[0].data[size_t(index)] = 1;
        EXPECT_EQ(Run("jmicron", altered), RefusedAfter(0));
    }

    // An ordinary command without data: its non-data phase has DataIn UNSPECIFIED.
    const std::vector<Step> unlock = {
        {Bytes("a1800000020000000000000000000000"), SCSI_IOCTL_DATA_OUT,
         Bytes("4e564d4500000000" + unlockHex + Zeros(440))},
        {Bytes("a1810000000000000000000000000000"), SCSI_IOCTL_DATA_UNSPECIFIED, {}},
        {Bytes("a18f0000020000000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(512)},
    };
    EXPECT_EQ(Run("jmicron", unlock), (std::vector<int>{0, 0, 0}));
    std::vector<Step> unlockIn = unlock;
    unlockIn[1].dataIn = SCSI_IOCTL_DATA_IN;
    EXPECT_EQ(Run("jmicron", unlockIn), RefusedAfter(1));

    // The power request: "NVME", zeros, the value 5 at 72, zeros; its non-data phase has
    // DataIn IN.
    const std::vector<Step> power = {
        {Bytes("a1800000020000000000000000000000"), SCSI_IOCTL_DATA_OUT,
         Bytes("4e564d45" + Zeros(68) + "05" + Zeros(439))},
        {Bytes("a1810000000000000000000000000000"), SCSI_IOCTL_DATA_IN, {}},
        {Bytes("a18f0000020000000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(512)},
    };
    EXPECT_EQ(Run("jmicron", power), (std::vector<int>{0, 0, 0}));
    for (UCHAR dataIn : {UCHAR(SCSI_IOCTL_DATA_UNSPECIFIED), UCHAR(SCSI_IOCTL_DATA_OUT)}) {
        SCOPED_TRACE("power non-data phase DataIn " + std::to_string(dataIn));
        std::vector<Step> altered = power;
        altered[1].dataIn = dataIn;
        EXPECT_EQ(Run("jmicron", altered), RefusedAfter(1));
    }
    for (int index : {4, 7, 8, 71, 73, 511}) {
        SCOPED_TRACE("power block byte " + std::to_string(index));
        std::vector<Step> altered = power;
        altered[0].data[size_t(index)] = 1;
        EXPECT_EQ(Run("jmicron", altered), RefusedAfter(0));
    }
}

TEST_F(BridgeTunnelTest, RealtekRefusesReservedBytesAndAKindOutsideTheDataPhase) {
    const std::vector<Step> logPage = {
        {Bytes("e54000f7000000000000000000000000"), SCSI_IOCTL_DATA_OUT, Bytes(kLogPageHex)},
        {Bytes("e40010f8000001000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(4096)},
        {Bytes("e41000f9000000000000000000000000"), SCSI_IOCTL_DATA_IN, std::vector<uint8_t>(16)},
    };
    EXPECT_EQ(Run("realtek", logPage), (std::vector<int>{0, 0, 0}));
    for (size_t step = 0; step < logPage.size(); ++step) {
        for (int index : {4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
            SCOPED_TRACE("phase " + std::to_string(step) + ", CDB byte " + std::to_string(index));
            std::vector<Step> altered = logPage;
            altered[step].cdb[size_t(index)] = 1;
            EXPECT_EQ(Run("realtek", altered), RefusedAfter(step));
        }
    }
    // Byte 6 carries the transfer kind in the data phase only.
    for (size_t step : {size_t(0), size_t(2)}) {
        SCOPED_TRACE("phase " + std::to_string(step) + ", CDB byte 6");
        std::vector<Step> altered = logPage;
        altered[step].cdb[6] = 1;
        EXPECT_EQ(Run("realtek", altered), RefusedAfter(step));
    }
}

TEST_F(BridgeTunnelTest, AsmediaCompletionOfAnAbortLandsOverTheCommandBlock) {
    HANDLE h = LoadBridge("asmedia");
    // Abort (08) with nothing outstanding: DW0 bit 0 set, "not aborted", status success.
    NvmeCommandBlock cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.CDW0 = 0x08;
    cmd.CDW10 = 0x00070001;
    cmd.CDW15 = 0xA5A5A5A5;
    StartTrace();
    EXPECT_EQ(IO_USB_ASM_NvmePassThrough(h, XFER_NONE, &cmd, nullptr, 0), DISKLIB_OK);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 3u);
    ExpectPassThrough(trace[0],
                      "ea5a8000000000000000"
                      "00000040"
                      "0000",
                      SCSI_IOCTL_DATA_OUT, 64, 24, 10);
    EXPECT_EQ(Field(trace[0], "data"),
              "08000000" + Zeros(36) + "01000700" + Zeros(16) + "a5a5a5a5");
    ExpectPassThrough(trace[1],
                      "eb5a8100000000000000"
                      "00000000"
                      "0000",
                      SCSI_IOCTL_DATA_UNSPECIFIED, 0, 24, 10);
    ExpectPassThrough(trace[2],
                      "eb5a8200000000000000"
                      "00000010"
                      "0000",
                      SCSI_IOCTL_DATA_IN, 16, 24, 10);
    EXPECT_EQ(Field(trace[2], "data"), "01000000000000000000000000000000");
    // The first 16 bytes are the completion; bytes 16..63 are the command's own.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&cmd);
    const uint8_t want[64] = {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,
                              0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,    0,
                              0,    0, 0, 0, 0, 0, 0, 0, 1, 0, 7, 0, 0,    0,    0,    0,
                              0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 64), std::vector<uint8_t>(want, want + 64));
}

} // namespace
