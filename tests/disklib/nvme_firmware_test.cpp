// The firmware download and commit on the five NVMe paths, checked request by request in the
// simulated PC's trace, with the Debug log and the progress reported to the sink.
#include "disklib/nvme_firmware.h"
#include "disklib/progress.h"
#include "tests/support/scenario_builders.h"
#include "tests/support/sim_fixture.h"
#include "tests/usb/pass_through_checks.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using tracetest::Field;
using tracetest::Record;
using usbtest::Context;

namespace {

// Every percentage the disk library reported, in order.
std::vector<int> g_progress;

void RecordProgress(int percent) {
    g_progress.push_back(percent);
}

// One disk of every NVMe path: the platform's driver, Intel RST (SCSI port 3, path id 1) and
// the three bridges.
const std::string kScenario =
    testsupport::NativeDisk("native", 1, 2) + testsupport::RstDisk("rst", 2) +
    testsupport::UsbDisk("asmedia", 3, "asmedia", "1/1", "VENDOR", "2362") +
    testsupport::UsbDisk("jmicron", 4, "jmicron", "1/2", "VENDOR", "2362") +
    testsupport::UsbDisk("realtek", 5, "realtek", "1/3", "VENDOR", "RTL9210B NVME");

struct Path {
    const char* disk; // the scenario's name of the disk
    int32_t cmdType;
    int drive;
};
const Path kAsmedia = {"asmedia", CMD_USB_ASM, 3};
const Path kJmicron = {"jmicron", CMD_USB_JMI, 4};
const Path kRealtek = {"realtek", CMD_USB_RTK, 5};
const Path kNative = {"native", CMD_NVME, 1};
const Path kRst = {"rst", CMD_RST, 2};

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// A request of the trace in one line: a pass-through as its CDB, DataIn, transfer length, sense
// length, timeout and (host to device) the bytes it carried; a firmware request as its path,
// lengths and whole input.
std::string Request(const Record& r) {
    const std::string ioctl = Field(r, "ioctl");
    if (ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT") {
        std::string line = Field(r, "cdb") + " dir=" + Field(r, "data_in") +
                           " len=" + Field(r, "transfer_len") + " sense=" + Field(r, "sense_len") +
                           " timeout=" + Field(r, "timeout");
        if (Field(r, "data_in") == "0") {
            line += " data=" + Field(r, "data");
        }
        return line;
    }
    return ioctl + " " + Field(r, "path") + " in_len=" + Field(r, "in_len") +
           " out_len=" + Field(r, "out_len") + " in=" + Field(r, "in");
}

std::vector<std::string> Requests(const std::vector<Record>& trace) {
    std::vector<std::string> out;
    for (const Record& r : trace) {
        out.push_back(Request(r));
    }
    return out;
}

// The lines Request() gives for the pass-through requests of each bridge.
std::string Asm(const std::string& cdb, int dir, int len, const std::string& data = "") {
    return cdb + " dir=" + std::to_string(dir) + " len=" + std::to_string(len) +
           " sense=24 timeout=10" + (dir == 0 ? " data=" + data : "");
}
// JMicron requests carry the ASMedia ones' sense length and timeout.
std::string Jmi(const std::string& cdb, int dir, int len, const std::string& data = "") {
    return Asm(cdb, dir, len, data);
}
std::string Rtk(const std::string& cdb, int dir, int len, const std::string& data = "") {
    return cdb + " dir=" + std::to_string(dir) + " len=" + std::to_string(len) +
           " sense=64 timeout=60" + (dir == 0 ? " data=" + data : "");
}
std::string Native(const std::string& ioctl, int inLen, const std::string& in) {
    return ioctl + " \\\\.\\PhysicalDrive1 in_len=" + std::to_string(inLen) + " out_len=0 in=" + in;
}
std::string Miniport(int inLen, const std::string& in) {
    return "IOCTL_SCSI_MINIPORT \\\\.\\scsi3: in_len=" + std::to_string(inLen) +
           " out_len=0 in=" + in;
}

// Firmware Image Download commands: opcode 11, CDW10 the zero-based dword count, CDW11 the
// offset in dwords.
const std::string kChunk0 = "11000000" + Zeros(36) + "ff030000" + "00000000" + Zeros(16);
const std::string kChunk1 = "11000000" + Zeros(36) + "ff030000" + "00040000" + Zeros(16);
const std::string kChunk2 = "11000000" + Zeros(36) + "c3010000" + "00080000" + Zeros(16);
// Firmware Commit of slot 1 with commit action 1: CDW10 09.
const std::string kCommit = "10000000" + Zeros(36) + "09000000" + Zeros(20);

std::string JmiBlock(const std::string& command) {
    return "4e564d4500000000" + command + Zeros(440);
}

// STORAGE_HW_FIRMWARE_DOWNLOAD before its ImageBuffer: Version 40, Size, Flags 1 (controller),
// Slot 1, Offset, BufferSize.
std::string NativeDownloadHead(const char* sizeLe, const char* offsetLe, const char* lengthLe) {
    return std::string("28000000") + sizeLe + "01000000" + "01000000" + offsetLe + lengthLe;
}

// The head of an "IntelFw " request: SRB_IO_CONTROL (HeaderLength 28, "IntelFw ", Timeout 200,
// ControlCode F0000040, ReturnCode 0, Length), version 1, path id 1, two zero bytes, then
// FIRMWARE_REQUEST_BLOCK (Version 1, Size 24, Function, Flags 1, DataBufferOffset 56,
// DataBufferLength).
std::string IntelFwHead(const char* lengthLe, const char* functionLe, const char* dataLengthLe) {
    return std::string("1c000000") + "496e74656c467720" + "c8000000" + "400000f0" + "00000000" +
           lengthLe + "01010000" + "01000000" + "18000000" + functionLe + "01000000" + "38000000" +
           dataLengthLe;
}

// STORAGE_FIRMWARE_DOWNLOAD_V2 before its image: Version 2, Size 32, Offset, BufferSize,
// Slot FF, ImageSize 0.
std::string RstDownloadHead(const char* offsetLe, const char* lengthLe) {
    return std::string("02000000") + "20000000" + offsetLe + lengthLe + "ff000000" + "00000000";
}

// The whole 4184-byte "IntelFw " activate: Length 4156, Function 3, DataBufferLength 12,
// STORAGE_FIRMWARE_ACTIVATE (Version 1, Size 12, SlotToActivate 1), the dwords 5 and 7 at 68,
// zeros to the end.
const std::string kRstActivate = IntelFwHead("3c100000", "03000000", "0c000000") + "01000000" +
                                 "0c000000" + "01000000" + "05000000" + "07000000" +
                                 Zeros(4184 - 76);

class FirmwareTransferTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        // Data phases of more than 512 bytes are written out whole.
        setenv("ZX_SIM_TRACE_FULL", "1", 1);
        g_progress.clear();
        DISKLIB_SetProgressSink(RecordProgress);
        Load(kScenario);
        image_.resize(10000);
        for (size_t i = 0; i < image_.size(); ++i) {
            image_[i] = uint8_t(i * 7 + i / 256 + 3);
        }
    }
    void TearDown() override {
        DISKLIB_SetProgressSink(nullptr);
        unsetenv("ZX_SIM_TRACE_FULL");
        SimTest::TearDown();
    }

    // Opens the path's disk and fills its Command context as the disk's open would.
    CommandContext OpenPathOf(const Path& path, HANDLE* device) {
        *device = OpenDrive(path.drive);
        CommandContext context = Context(path.cmdType);
        if (path.cmdType == CMD_RST) {
            context.hScsiPort = OpenPath(L"\\\\.\\scsi3:");
            context.iScsiPathId = 1;
        }
        return context;
    }

    std::string Slice(size_t offset, size_t length) const {
        return Hex(image_.data() + offset, length);
    }

    std::vector<uint8_t> image_;
};

TEST_F(FirmwareTransferTest, TenThousandBytesGoOutAsThreeChunksWithProgressFortyAndEighty) {
    struct Case {
        Path path;
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {kAsmedia,
         {Asm("ea5a8000020000000000000000400000", 0, 64, kChunk0),
          Asm("ea5a8100020000000000000010000000", 0, 4096, Slice(0, 4096)),
          Asm("eb5a8200020000000000000000100000", 1, 16),
          Asm("ea5a8000020000000000000000400000", 0, 64, kChunk1),
          Asm("ea5a8100020000000000000010000000", 0, 4096, Slice(4096, 4096)),
          Asm("eb5a8200020000000000000000100000", 1, 16),
          Asm("ea5a8000020000000000000000400000", 0, 64, kChunk2),
          Asm("ea5a8100020000000000000007100000", 0, 1808, Slice(8192, 1808)),
          Asm("eb5a8200020000000000000000100000", 1, 16)}},
        {kJmicron,
         {Jmi("a1800000020000000000000000000000", 0, 512, JmiBlock(kChunk0)),
          Jmi("a1830000100000000000000000000000", 0, 4096, Slice(0, 4096)),
          Jmi("a18f0000020000000000000000000000", 1, 512),
          Jmi("a1800000020000000000000000000000", 0, 512, JmiBlock(kChunk1)),
          Jmi("a1830000100000000000000000000000", 0, 4096, Slice(4096, 4096)),
          Jmi("a18f0000020000000000000000000000", 1, 512),
          Jmi("a1800000020000000000000000000000", 0, 512, JmiBlock(kChunk2)),
          Jmi("a1830000071000000000000000000000", 0, 1808, Slice(8192, 1808)),
          Jmi("a18f0000020000000000000000000000", 1, 512)}},
        {kRealtek,
         {Rtk("e54000f7000000000000000000000000", 0, 64, kChunk0),
          Rtk("e50010f8000002000000000000000000", 0, 4096, Slice(0, 4096)),
          Rtk("e41000f9000000000000000000000000", 1, 16),
          Rtk("e54000f7000000000000000000000000", 0, 64, kChunk1),
          Rtk("e50010f8000002000000000000000000", 0, 4096, Slice(4096, 4096)),
          Rtk("e41000f9000000000000000000000000", 1, 16),
          Rtk("e54000f7000000000000000000000000", 0, 64, kChunk2),
          Rtk("e51007f8000002000000000000000000", 0, 1808, Slice(8192, 1808)),
          Rtk("e41000f9000000000000000000000000", 1, 16)}},
        // Size 40 + chunk, the chunk at 32, the structure's 8 last bytes zero.
        {kNative,
         {Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 4136,
                 NativeDownloadHead("28100000", "0000000000000000", "0010000000000000") +
                     Slice(0, 4096) + Zeros(8)),
          Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 4136,
                 NativeDownloadHead("28100000", "0010000000000000", "0010000000000000") +
                     Slice(4096, 4096) + Zeros(8)),
          Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 1848,
                 NativeDownloadHead("38070000", "0020000000000000", "1007000000000000") +
                     Slice(8192, 1808) + Zeros(8))}},
        // 88 + chunk bytes: Length chunk + 60, DataBufferLength chunk + 32, the chunk at 88.
        {kRst,
         {Miniport(4184, IntelFwHead("3c100000", "02000000", "20100000") +
                             RstDownloadHead("0000000000000000", "0010000000000000") +
                             Slice(0, 4096)),
          Miniport(4184, IntelFwHead("3c100000", "02000000", "20100000") +
                             RstDownloadHead("0010000000000000", "0010000000000000") +
                             Slice(4096, 4096)),
          Miniport(1896, IntelFwHead("4c070000", "02000000", "30070000") +
                             RstDownloadHead("0020000000000000", "1007000000000000") +
                             Slice(8192, 1808))}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.disk);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(c.path, &device);
        g_progress.clear();
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 10000), DISKLIB_OK);
        EXPECT_EQ(Requests(Trace()), c.requests);
        EXPECT_EQ(g_progress, (std::vector<int>{40, 80}));
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN",
                                                        "DownloadFW  40%", "DownloadFW  80%",
                                                        "DISKLIB_NVME_DownloadFW Success OUT"}));
        // The drive holds the whole image, piece by piece where it was sent.
        std::vector<uint8_t> staged;
        ASSERT_TRUE(
            sim::WithDrive(c.path.disk, [&](sim::NvmeDrive& d) { staged = d.State().staging; }));
        EXPECT_EQ(staged, image_);
    }
}

TEST_F(FirmwareTransferTest, AnImageOfOneChunkGoesOutWholeWithoutProgress) {
    struct Case {
        Path path;
        uint32_t size;
        std::string request;
    };
    const Case cases[] = {
        {kNative, 4096,
         Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 4136,
                NativeDownloadHead("28100000", "0000000000000000", "0010000000000000") +
                    Slice(0, 4096) + Zeros(8))},
        {kNative, 2048,
         Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 2088,
                NativeDownloadHead("28080000", "0000000000000000", "0008000000000000") +
                    Slice(0, 2048) + Zeros(8))},
        {kRst, 4096,
         Miniport(4184, IntelFwHead("3c100000", "02000000", "20100000") +
                            RstDownloadHead("0000000000000000", "0010000000000000") +
                            Slice(0, 4096))},
        {kRst, 2048,
         Miniport(2136, IntelFwHead("3c080000", "02000000", "20080000") +
                            RstDownloadHead("0000000000000000", "0008000000000000") +
                            Slice(0, 2048))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.disk) + " " + std::to_string(c.size));
        Load(kScenario);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(c.path, &device);
        g_progress.clear();
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), c.size), DISKLIB_OK);
        EXPECT_EQ(Requests(Trace()), std::vector<std::string>{c.request});
        EXPECT_TRUE(g_progress.empty());
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN",
                                                        "DISKLIB_NVME_DownloadFW Success OUT"}));
    }
}

TEST_F(FirmwareTransferTest, AnEmptyImageSendsNothingAndSucceeds) {
    for (const Path& path : {kAsmedia, kJmicron, kRealtek, kNative, kRst}) {
        SCOPED_TRACE(path.disk);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(path, &device);
        g_progress.clear();
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 0), DISKLIB_OK);
        EXPECT_TRUE(Trace().empty());
        EXPECT_TRUE(g_progress.empty());
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN",
                                                        "DISKLIB_NVME_DownloadFW Success OUT"}));
    }
}

TEST_F(FirmwareTransferTest, CommandTypesWithoutTransportSendNothing) {
    HANDLE device = OpenDrive(1);
    for (int32_t type : {16, 17, 18, 255, 5}) {
        SCOPED_TRACE(type);
        CommandContext context = Context(type);
        context.hScsiPort = OpenPath(L"\\\\.\\scsi3:");
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 10000),
                  DISKLIB_ERR_UNSUPPORTED);
        // Also an empty image: nothing is reported as sent to a disk without transport.
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 0),
                  DISKLIB_ERR_UNSUPPORTED);
        EXPECT_EQ(DISKLIB_NVME_FWActive(&context, device, 1, 1), DISKLIB_ERR_UNSUPPORTED);
        EXPECT_TRUE(Trace().empty());
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN",
                                                        "DISKLIB_NVME_DownloadFW IN",
                                                        "DISKLIB_NVME_FWActive IN"}));
    }
    EXPECT_TRUE(g_progress.empty());
}

TEST_F(FirmwareTransferTest, ChunksOutsideOneToFourKiBAndAMissingImageAreRefusedUnsent) {
    HANDLE native = OpenDrive(1);
    HANDLE port = OpenPath(L"\\\\.\\scsi3:");
    std::vector<uint8_t> chunk(8192, 0x5A);
    StartTrace();
    for (uint32_t length : {0u, 4100u, 8192u}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(IO_NVME_FirmwareDownload(native, 0, chunk.data(), length), DISKLIB_ERR_IO);
        EXPECT_EQ(IO_RST_FirmwareDownload(port, 1, 0, chunk.data(), length), DISKLIB_ERR_IO);
    }
    EXPECT_EQ(IO_NVME_FirmwareDownload(native, 0, nullptr, 4096), DISKLIB_ERR_IO);
    EXPECT_EQ(IO_RST_FirmwareDownload(port, 1, 0, nullptr, 4096), DISKLIB_ERR_IO);
    // An image that is not there, with a size.
    const CommandContext context = Context(CMD_NVME);
    EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, native, nullptr, 4096), DISKLIB_ERR_IO);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(LogLines(), std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN"});
}

TEST_F(FirmwareTransferTest, ARefusedChunkEndsTheDownloadWithNothingAfterIt) {
    // The second chunk fails: refused by the drive on the native, RST and Realtek paths; on
    // ASMedia and JMicron, whose chunks are judged by their calls only, its data-phase call
    // fails.
    struct Case {
        Path path;
        const char* fault;
        std::vector<std::string> requests; // after the first chunk's
        const char* lastOk;                // the failed request's call
    };
    const Case cases[] = {
        {kAsmedia,
         "bridge_fail_data@1*1",
         {Asm("ea5a8000020000000000000000400000", 0, 64, kChunk1),
          Asm("ea5a8100020000000000000010000000", 0, 4096, Slice(4096, 4096))},
         "false"},
        {kJmicron,
         "bridge_fail_data@1*1",
         {Jmi("a1800000020000000000000000000000", 0, 512, JmiBlock(kChunk1)),
          Jmi("a1830000100000000000000000000000", 0, 4096, Slice(4096, 4096))},
         "false"},
        {kRealtek,
         "download_fail@1*1",
         {Rtk("e54000f7000000000000000000000000", 0, 64, kChunk1),
          Rtk("e50010f8000002000000000000000000", 0, 4096, Slice(4096, 4096))},
         "true"}, // answered with CHECK CONDITION
        {kNative,
         "download_fail@1*1",
         {Native("IOCTL_STORAGE_FIRMWARE_DOWNLOAD", 4136,
                 NativeDownloadHead("28100000", "0010000000000000", "0010000000000000") +
                     Slice(4096, 4096) + Zeros(8))},
         "false"},
        {kRst,
         "download_fail@1*1",
         {Miniport(4184, IntelFwHead("3c100000", "02000000", "20100000") +
                             RstDownloadHead("0010000000000000", "0010000000000000") +
                             Slice(4096, 4096))},
         "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.disk);
        Load(kScenario);
        ASSERT_TRUE(sim::InjectFault(c.path.disk, c.fault));
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(c.path, &device);
        g_progress.clear();
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 10000), DISKLIB_ERR_IO);
        const std::vector<Record> trace = Trace();
        const size_t firstChunk = c.path.cmdType == CMD_NVME || c.path.cmdType == CMD_RST ? 1 : 3;
        ASSERT_EQ(trace.size(), firstChunk + c.requests.size());
        const std::vector<std::string> requests = Requests(trace);
        EXPECT_EQ(std::vector<std::string>(requests.begin() + long(firstChunk), requests.end()),
                  c.requests);
        EXPECT_EQ(Field(trace.back(), "ok"), c.lastOk);
        EXPECT_EQ(g_progress, std::vector<int>{40});
        EXPECT_EQ(LogLines(),
                  (std::vector<std::string>{"DISKLIB_NVME_DownloadFW IN", "DownloadFW  40%"}));
    }
}

// The drive refuses the second chunk. A bridge answers that chunk's data phase with CHECK
// CONDITION, or (bridge_errors = completion) answers GOOD and carries the drive's error in the
// completion only: either way every bridge ends the download at that chunk, with nothing sent
// after it.
TEST_F(FirmwareTransferTest, EveryBridgeEndsTheDownloadAtTheChunkTheDriveRefuses) {
    struct Case {
        Path path;
        const char* form;
        size_t requests;
        const char* lastStatus; // the SCSI status of the last request
    };
    const Case cases[] = {
        {kAsmedia, "check", 5, "2"},      {kJmicron, "check", 5, "2"},
        {kRealtek, "check", 5, "2"},      {kAsmedia, "completion", 6, "0"},
        {kJmicron, "completion", 6, "0"}, {kRealtek, "completion", 6, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.disk) + " " + c.form);
        std::string scenario = kScenario;
        if (std::string(c.form) == "completion") {
            scenario = testsupport::UsbDisk("asmedia", 3, "asmedia", "1/1", "VENDOR", "2362",
                                            "bridge_errors = completion\n") +
                       testsupport::UsbDisk("jmicron", 4, "jmicron", "1/2", "VENDOR", "2362",
                                            "bridge_errors = completion\n") +
                       testsupport::UsbDisk("realtek", 5, "realtek", "1/3", "Realtek",
                                            "RTL9210B NVME", "bridge_errors = completion\n");
        }
        Load(scenario);
        ASSERT_TRUE(sim::InjectFault(c.path.disk, "download_fail@1*1"));
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(c.path, &device);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 10000), DISKLIB_ERR_IO);
        const std::vector<Record> trace = Trace();
        ASSERT_EQ(trace.size(), c.requests);
        EXPECT_EQ(Field(trace.back(), "scsi_status"), c.lastStatus);
    }
}

// A commit whose completion, carried back by a bridge, says the activation needs a reset is a
// success that is pending (10Bh and 111h: a reset; 110h: an NVM subsystem reset or power
// cycle); any other error status there is a refused commit, also under GOOD.
TEST_F(FirmwareTransferTest, ABridgedCommitThatNeedsAResetIsASuccessThatIsPending) {
    struct Case {
        const char* keys;
        int result;
        int activation;
    };
    const Case cases[] = {
        {"fw_commit_status = 0x10B\n", DISKLIB_OK, FW_ACTIVATION_NEEDS_RESET},
        {"fw_commit_status = 0x111\n", DISKLIB_OK, FW_ACTIVATION_NEEDS_RESET},
        {"fw_commit_status = 0x110\n", DISKLIB_OK, FW_ACTIVATION_NEEDS_POWER_CYCLE},
        {"", DISKLIB_OK, FW_ACTIVATION_UNKNOWN},
        {"bridge_errors = completion\nfaults = commit_fail\n", DISKLIB_ERR_IO,
         FW_ACTIVATION_UNKNOWN},
    };
    for (const Path& path : {kAsmedia, kJmicron, kRealtek}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(path.disk) + " " + c.keys);
            const char* product = path.cmdType == CMD_USB_RTK ? "RTL9210B NVME" : "2362";
            const char* where = path.cmdType == CMD_USB_ASM   ? "1/1"
                                : path.cmdType == CMD_USB_JMI ? "1/2"
                                                              : "1/3";
            Load(testsupport::UsbDisk(path.disk, path.drive, path.disk, where, "VENDOR", product,
                                      c.keys));
            HANDLE device = INVALID_HANDLE_VALUE;
            const CommandContext context = OpenPathOf(path, &device);
            ASSERT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 4096), DISKLIB_OK);
            int activation = -1;
            EXPECT_EQ(DISKLIB_NVME_FWActiveAndSay(&context, device, 1, 1, &activation), c.result);
            EXPECT_EQ(activation, c.activation);
        }
    }
}

TEST_F(FirmwareTransferTest, CommitOnEveryBridgeIsFirmwareCommitWithCdw10Nine) {
    struct Case {
        Path path;
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {kAsmedia,
         {Asm("ea5a8000000000000000000000400000", 0, 64, kCommit),
          Asm("eb5a8100000000000000000000000000", 2, 0),
          Asm("eb5a8200000000000000000000100000", 1, 16)}},
        {kJmicron,
         {Jmi("a1800000020000000000000000000000", 0, 512, JmiBlock(kCommit)),
          Jmi("a1810000000000000000000000000000", 2, 0),
          Jmi("a18f0000020000000000000000000000", 1, 512)}},
        {kRealtek,
         {Rtk("e54000f7000000000000000000000000", 0, 64, kCommit),
          Rtk("e50000f8000000000000000000000000", 2, 0),
          Rtk("e41000f9000000000000000000000000", 1, 16)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.disk);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(c.path, &device);
        ASSERT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 8192), DISKLIB_OK);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_FWActive(&context, device, 1, 1), DISKLIB_OK);
        EXPECT_EQ(Requests(Trace()), c.requests);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_FWActive IN",
                                                        "DISKLIB_NVME_FWActive Success OUT "}));
        // The drive took the image into slot 1, to run it after its next reset.
        int pending = 0;
        ASSERT_TRUE(sim::WithDrive(c.path.disk,
                                   [&](sim::NvmeDrive& d) { pending = d.State().pendingSlot; }));
        EXPECT_EQ(pending, 1);
    }
}

TEST_F(FirmwareTransferTest, NativeActivateCarriesTheSlotAndTheFlagsOfTheAction) {
    // STORAGE_HW_FIRMWARE_ACTIVATE: Version 16, Size 16, Flags, Slot and three zero bytes; the
    // vendor pass-through is never used for the commit.
    struct Case {
        uint32_t slot, action;
        std::string in;
    };
    const Case cases[] = {
        {1, 1, std::string("10000000") + "10000000" + "01000000" + "01000000"},
        {1, 3, std::string("10000000") + "10000000" + "01000080" + "01000000"},
        {2, 0, std::string("10000000") + "10000000" + "01000080" + "02000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.slot) + "/" + std::to_string(c.action));
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(kNative, &device);
        StartTrace();
        DISKLIB_NVME_FWActive(&context, device, c.slot, c.action);
        EXPECT_EQ(Requests(Trace()),
                  std::vector<std::string>{Native("IOCTL_STORAGE_FIRMWARE_ACTIVATE", 16, c.in)});
    }
}

TEST_F(FirmwareTransferTest, NativeActivateNeedingAPowerCycleIsASuccess) {
    // The drive takes a downloaded image and needs a power cycle to run it: the request fails
    // with STG_S_POWER_CYCLE_REQUIRED (0x30207). Without an image it fails with
    // STG_E_FIRMWARE_IMAGE_INVALID, for a slot the drive lacks with STG_E_FIRMWARE_SLOT_INVALID.
    struct Case {
        const char* name;
        uint32_t downloaded, slot;
        const char* error;
        int result;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"power cycle",
         8192,
         1,
         "197127",
         DISKLIB_OK,
         {"DISKLIB_NVME_FWActive IN", "DISKLIB_NVME_FWActive Success OUT "}},
        {"no image", 0, 1, "2147680777", DISKLIB_ERR_IO, {"DISKLIB_NVME_FWActive IN"}},
        {"no slot", 8192, 9, "2147680776", DISKLIB_ERR_IO, {"DISKLIB_NVME_FWActive IN"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(kScenario);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(kNative, &device);
        ASSERT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), c.downloaded),
                  DISKLIB_OK);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_FWActive(&context, device, c.slot, 1), c.result);
        const std::vector<Record> trace = Trace();
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_EQ(Field(trace[0], "ioctl"), "IOCTL_STORAGE_FIRMWARE_ACTIVATE");
        EXPECT_EQ(Field(trace[0], "ok"), "false");
        EXPECT_EQ(Field(trace[0], "error"), c.error);
        EXPECT_EQ(LogLines(), c.log);
    }
}

TEST_F(FirmwareTransferTest, RstActivateRunsTheSlotItIsGivenAndIgnoresTheAction) {
    // The update's slot and action give the one activate request; another action changes
    // nothing in it.
    const uint32_t actions[] = {NVME_UPDATE_COMMIT_ACTION, 3, 0, 2};
    for (const uint32_t action : actions) {
        SCOPED_TRACE(action);
        HANDLE device = INVALID_HANDLE_VALUE;
        const CommandContext context = OpenPathOf(kRst, &device);
        ASSERT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 8192), DISKLIB_OK);
        StartTrace();
        EXPECT_EQ(DISKLIB_NVME_FWActive(&context, device, NVME_UPDATE_SLOT, action), DISKLIB_OK);
        EXPECT_EQ(Requests(Trace()), std::vector<std::string>{Miniport(4184, kRstActivate)});
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"DISKLIB_NVME_FWActive IN",
                                                        "DISKLIB_NVME_FWActive Success OUT "}));
    }
    // The slot the caller commits reaches the miniport, which runs slot 1 only.
    HANDLE device = INVALID_HANDLE_VALUE;
    const CommandContext context = OpenPathOf(kRst, &device);
    ASSERT_EQ(DISKLIB_NVME_DownloadFW(&context, device, image_.data(), 8192), DISKLIB_OK);
    StartTrace();
    EXPECT_EQ(DISKLIB_NVME_FWActive(&context, device, 2, NVME_UPDATE_COMMIT_ACTION),
              DISKLIB_ERR_IO);
    const std::vector<Record> trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(Field(trace[0], "slot"), "2");
    EXPECT_EQ(Field(trace[0], "refused"), "SlotToActivate must be 1");
}

} // namespace
