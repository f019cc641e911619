// The NVMe transports' requests, checked through the simulated NVMe and RST drivers and the
// request trace.
#include "devquery/device_queries.h"
#include "disklib/nvme_transport.h"
#include "tests/support/sim_fixture.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// STORAGE_PROTOCOL_COMMAND as the current winioctl.h has it: FixedProtocolReturnData2 and
// Reserved1[2] after FixedProtocolReturnData, the command at 80.
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData) == 64, "");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, FixedProtocolReturnData2) == 68, "");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Reserved1) == 72, "");
static_assert(sizeof(STORAGE_PROTOCOL_COMMAND{}.Reserved1) == 8, "");
static_assert(offsetof(STORAGE_PROTOCOL_COMMAND, Command) == 80, "");

const char kScenario[] = R"(
[disk native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
serial = ZX5016A0000000000001
firmware = ZX16A100
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
bus = 2
scsi_port = 0

[controller rst0]
kind = rst
scsi_port = 3

[disk rst]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
serial = ZX5012B0000000000002
firmware = ZX12B105
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216
)";

class NvmeTransportTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(kScenario);
        native_ = Open(L"\\\\.\\PhysicalDrive1");
        port_ = Open(L"\\\\.\\scsi3:");
        ASSERT_NE(native_, INVALID_HANDLE_VALUE);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        nvme_.iCmdType = CMD_NVME;
        nvme_.hScsiPort = INVALID_HANDLE_VALUE;
        rst_.iCmdType = CMD_RST;
        rst_.hScsiPort = port_;
        rst_.iScsiPathId = 1;
        StartTrace();
    }
    void TearDown() override {
        CloseHandle(native_);
        CloseHandle(port_);
        SimTest::TearDown();
    }

    HANDLE native_ = INVALID_HANDLE_VALUE;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    CommandContext nvme_ = {};
    CommandContext rst_ = {};
};

// The SRB_IO_CONTROL of an "IntelNvm" request with the given Length, then version 1, path 1,
// target 0, LUN 0.
std::string IntelNvmHead(const char* lengthLe) {
    return std::string("1c000000") + "496e74656c4e766d" + "28000000" + "082800f0" + "00000000" +
           lengthLe + "01010000";
}

TEST_F(NvmeTransportTest, GetLogPageOverRstCarriesTheZeroBasedDwordCount) {
    std::vector<uint8_t> page(4096, 0xCD);
    EXPECT_EQ(DISKLIB_NVME_GetLogPage(&rst_, native_, 0x05, page.data(), 4096), 1);
    std::vector<uint8_t> small(512, 0xCD);
    EXPECT_EQ(DISKLIB_NVME_GetLogPage(&rst_, native_, 0x05, small.data(), 512), 1);

    auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    const struct {
        uint64_t inLen, srbLen, retLen;
        const char* lengthLe;
        const char* cdw10;
    } want[] = {{4263, 4235, 4096, "8b100000", "0500ff03"},
                {679, 651, 512, "8b020000", "05007f00"}};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(r[i], "op"), "DeviceIoControl");
        EXPECT_EQ(Field(r[i], "path"), "\\\\.\\scsi3:");
        EXPECT_EQ(Field(r[i], "ioctl"), "IOCTL_SCSI_MINIPORT");
        EXPECT_EQ(Num(r[i], "code"), 315400u);
        EXPECT_EQ(Num(r[i], "in_len"), want[i].inLen);
        EXPECT_EQ(Num(r[i], "out_len"), want[i].inLen);
        EXPECT_EQ(Field(r[i], "signature"), "IntelNvm");
        EXPECT_EQ(Num(r[i], "header_length"), 28u);
        EXPECT_EQ(Num(r[i], "timeout"), 40u);
        EXPECT_EQ(Num(r[i], "control_code"), 0xF0002808u);
        EXPECT_EQ(Num(r[i], "srb_length"), want[i].srbLen);
        EXPECT_EQ(Num(r[i], "version"), 1u);
        EXPECT_EQ(Num(r[i], "path_id"), 1u);
        EXPECT_EQ(Num(r[i], "target_id"), 0u);
        EXPECT_EQ(Num(r[i], "lun"), 0u);
        EXPECT_EQ(Field(r[i], "cmd"), "02000000ffffffff" + Zeros(32) + want[i].cdw10 + Zeros(20));
        EXPECT_EQ(Num(r[i], "queue_id"), 0u);
        EXPECT_EQ(Num(r[i], "param_len"), 164u);
        EXPECT_EQ(Num(r[i], "ret_len"), want[i].retLen);
        EXPECT_TRUE(r[i].fields["ok"].b);
        const std::string in = Field(r[i], "in");
        EXPECT_EQ(in.substr(0, 64), IntelNvmHead(want[i].lengthLe));
        // Completion, queue id, parameter length, return length, 40 reserved bytes.
        EXPECT_EQ(in.substr(192, 136), Zeros(16) + "00000000" + "a4000000" +
                                           (i == 0 ? "00100000" : "00020000") + Zeros(40));
    }
    // Commands Supported and Effects: Get Log Page (0x02) and Identify (0x06) are listed.
    EXPECT_EQ(page[8], 1);
    EXPECT_EQ(page[24], 1);
    EXPECT_EQ(small[24], 1);
}

// The STORAGE_PROTOCOL_COMMAND header of a native admin command, dword by dword: Version 1,
// Length 84, ProtocolType 3 (NVMe), Flags 0x80000000 (adapter request), ReturnStatus 0,
// ErrorCode 0, CommandLength 64, ErrorInfoLength 0, DataToDeviceTransferLength,
// DataFromDeviceTransferLength, TimeOutValue 10, ErrorInfoOffset 0, DataToDeviceBufferOffset
// 144, DataFromDeviceBufferOffset 144, CommandSpecific 1 (admin command), Reserved0,
// FixedProtocolReturnData, FixedProtocolReturnData2, Reserved1[2].
std::string ProtocolHeader(const char* toLenLe, const char* fromLenLe) {
    return std::string("01000000") + "54000000" + "03000000" + "00000080" + "00000000" +
           "00000000" + "40000000" + "00000000" + toLenLe + fromLenLe + "0a000000" + "00000000" +
           "90000000" + "90000000" + "01000000" + "00000000" + "00000000" + "00000000" +
           "00000000" + "00000000";
}

TEST_F(NvmeTransportTest, ProtocolCommandOf4096BytesAnd144BytesWithoutData) {
    std::vector<uint8_t> data(4096, 0xCD);
    EXPECT_EQ(
        IO_NVME_ProtocolCommand(native_, XFER_IN, 0x06, 0x11, 0x22, 0x33, 0x44, data.data(), 4096),
        1);
    EXPECT_EQ(data[130], 9); // LBADS of LBA format 0
    EXPECT_EQ(IO_NVME_ProtocolCommand(native_, XFER_NONE, 0x08, 0, 0, 0, 0, NULL, 0), 1);

    auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    const struct {
        uint64_t len, fromLen;
        std::vector<uint64_t> cdw;
        std::string head; // the header and the command, the 144 bytes before the data
    } want[] = {{4240,
                 4096,
                 {6, 0xFFFFFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 1024, 0, 0x11, 0x22, 0x33, 0x44},
                 ProtocolHeader("00000000", "00100000") + "06000000" + "ffffffff" + Zeros(32) +
                     "00040000" + "00000000" + "11000000" + "22000000" + "33000000" + "44000000"},
                {144,
                 0,
                 {8, 0xFFFFFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                 ProtocolHeader("00000000", "00000000") + "08000000" + "ffffffff" + Zeros(56)}};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(r[i], "ioctl"), "IOCTL_STORAGE_PROTOCOL_COMMAND");
        EXPECT_EQ(Num(r[i], "code"), 0x002DD3C0u);
        EXPECT_EQ(Field(r[i], "path"), "\\\\.\\PhysicalDrive1");
        EXPECT_EQ(Num(r[i], "in_len"), want[i].len);
        EXPECT_EQ(Num(r[i], "out_len"), want[i].len);
        EXPECT_EQ(Num(r[i], "version"), 1u);
        EXPECT_EQ(Num(r[i], "length"), 84u);
        EXPECT_EQ(Num(r[i], "protocol_type"), 3u);
        EXPECT_EQ(Num(r[i], "flags"), 0x80000000u);
        EXPECT_EQ(Num(r[i], "command_length"), 64u);
        EXPECT_EQ(Num(r[i], "timeout"), 10u);
        EXPECT_EQ(Num(r[i], "to_dev_len"), 0u);
        EXPECT_EQ(Num(r[i], "from_dev_len"), want[i].fromLen);
        EXPECT_EQ(Num(r[i], "to_dev_off"), 144u);
        EXPECT_EQ(Num(r[i], "from_dev_off"), 144u);
        EXPECT_EQ(Num(r[i], "command_specific"), 1u);
        const auto& cdw = r[i].fields["cdw"].items;
        ASSERT_EQ(cdw.size(), 16u);
        for (int k = 0; k < 16; ++k) {
            EXPECT_EQ(cdw[k].U(), want[i].cdw[k]) << "CDW" << k;
        }
        // The data area of a read goes out zeroed.
        EXPECT_EQ(Field(r[i], "in"), want[i].head + Zeros(size_t(want[i].fromLen)));
        EXPECT_TRUE(r[i].fields["ok"].b);
        EXPECT_EQ(Num(r[i], "error"), 0u);
    }
    EXPECT_EQ(Num(r[0], "data_len"), 4096u);
    EXPECT_EQ(Field(r[1], "data"), "");
}

TEST_F(NvmeTransportTest, ProtocolCommandWritesDataAfterTheCommandAndFailsWithoutTouching) {
    // A log page read whose dword count (CDW10 = 1024) does not match a Get Log Page: the
    // drive refuses it and the caller's buffer keeps what it held.
    std::vector<uint8_t> data(4096, 0xCD);
    EXPECT_EQ(IO_NVME_ProtocolCommand(native_, XFER_IN, 0x02, 0, 0, 0, 0, data.data(), 4096), -4);
    EXPECT_EQ(data, std::vector<uint8_t>(4096, 0xCD));
    // Data to the device sits at offset 144 of the request. (A Firmware Image Download takes a
    // zero-based dword count, so the drive refuses this one after the driver passed it.)
    std::vector<uint8_t> chunk(8, 0);
    for (int i = 0; i < 8; ++i) {
        chunk[i] = uint8_t(0xA0 + i);
    }
    EXPECT_EQ(IO_NVME_ProtocolCommand(native_, XFER_OUT, 0x11, 0, 0, 0, 0, chunk.data(), 8), -4);
    auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Field(r[0], "in"), ProtocolHeader("00000000", "00100000") + "02000000" + "ffffffff" +
                                     Zeros(32) + "00040000" + Zeros(20) + Zeros(4096));
    EXPECT_FALSE(r[0].fields["ok"].b);
    EXPECT_EQ(Num(r[0], "error"), 1117u); // ERROR_IO_DEVICE
    EXPECT_EQ(Num(r[1], "in_len"), 152u);
    EXPECT_EQ(Num(r[1], "out_len"), 152u);
    EXPECT_EQ(Num(r[1], "to_dev_len"), 8u);
    EXPECT_EQ(Num(r[1], "from_dev_len"), 0u);
    // CDW10 = 8 / 4 = 2 dwords.
    EXPECT_EQ(Field(r[1], "in"), ProtocolHeader("08000000", "00000000") + "11000000" + "ffffffff" +
                                     Zeros(32) + "02000000" + Zeros(20) + "a0a1a2a3a4a5a6a7");
    EXPECT_EQ(Field(r[1], "data"), "a0a1a2a3a4a5a6a7");
    EXPECT_FALSE(r[1].fields["ok"].b);
    EXPECT_EQ(Num(r[1], "error"), 1117u);
}

TEST_F(NvmeTransportTest, RstPassThroughWithoutDataIs167Bytes) {
    NvmeCommandBlock abort = {};
    abort.CDW0 = 0x08;
    EXPECT_EQ(IO_RST_NvmePassThrough(port_, 1, &abort, NULL, 0), 1);
    auto r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Num(r[0], "in_len"), 167u);
    EXPECT_EQ(Num(r[0], "out_len"), 167u);
    EXPECT_EQ(Num(r[0], "srb_length"), 139u);
    EXPECT_EQ(Num(r[0], "ret_len"), 0u);
    EXPECT_EQ(Field(r[0], "in"), IntelNvmHead("8b000000") + "08000000" + Zeros(60) + Zeros(16) +
                                     "00000000" + "a4000000" + "00000000" + Zeros(40) + Zeros(3));
    EXPECT_TRUE(r[0].fields["ok"].b);
    EXPECT_EQ(Num(r[0], "error"), 0u);
}

TEST_F(NvmeTransportTest, RstPassThroughCopiesTheCallersDataForEveryDirection) {
    // An Identify goes out with the caller's buffer in the data area and comes back with the
    // controller data.
    std::vector<uint8_t> data(4096, 0x5E);
    EXPECT_EQ(DISKLIB_NVME_Identify(&rst_, native_, 1, 0, data.data(), 4096), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&data[24]), 21), "ZELTARIX ZX5012 512GB");
    auto r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Field(r[0], "cmd"), "0600000000000000" + Zeros(32) + "01000000" + Zeros(20));
    // Header with Length 4096 + 139, the command block whole, completion 0, queue 0,
    // parameter length 164, return length 4096, 40 zero bytes, the caller's 4096 bytes, 3 zeros.
    std::string callers;
    for (int i = 0; i < 4096; ++i) {
        callers += "5e";
    }
    EXPECT_EQ(Field(r[0], "in"), IntelNvmHead("8b100000") + "06000000" + "00000000" + Zeros(32) +
                                     "01000000" + Zeros(20) + Zeros(16) + "00000000" + "a4000000" +
                                     "00100000" + Zeros(40) + callers + Zeros(3));
    EXPECT_TRUE(r[0].fields["ok"].b);
    EXPECT_EQ(Num(r[0], "error"), 0u);
}

TEST_F(NvmeTransportTest, NativeIdentifyAndLogPageUseTheProtocolSpecificQueries) {
    std::vector<uint8_t> controller(4096, 0);
    std::vector<uint8_t> ns(4096, 0);
    std::vector<uint8_t> log(4096, 0);
    EXPECT_EQ(DISKLIB_NVME_Identify(&nvme_, native_, 1, 0, controller.data(), 4096), 1);
    EXPECT_EQ(DISKLIB_NVME_Identify(&nvme_, native_, 0, 1, ns.data(), 4096), 1);
    EXPECT_EQ(DISKLIB_NVME_GetLogPage(&nvme_, native_, 0x05, log.data(), 4096), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&controller[24]), 19), "ZELTARIX ZX5016 1TB");
    EXPECT_EQ(controller[0], 0x5C);
    EXPECT_EQ(controller[1], 0x1E);
    uint64_t nsze = 0;
    std::memcpy(&nsze, ns.data(), 8);
    EXPECT_EQ(nsze, 1953525168u);
    EXPECT_EQ(log[24], 1);

    auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    // STORAGE_PROPERTY_QUERY (PropertyId, QueryType 0), then the whole
    // STORAGE_PROTOCOL_SPECIFIC_DATA: ProtocolType 3, DataType, ProtocolDataRequestValue,
    // ProtocolDataRequestSubValue, ProtocolDataOffset 40, ProtocolDataLength 4096,
    // FixedProtocolReturnData 0, ProtocolDataRequestSubValue2..4 0.
    const struct {
        uint64_t property, dataType, value, subValue;
        std::string head;
    } want[] = {
        {49, 1, 1, 0,
         std::string("31000000") + "00000000" + "03000000" + "01000000" + "01000000" + "00000000" +
             "28000000" + "00100000" + "00000000" + "00000000" + "00000000" + "00000000"},
        {49, 1, 0, 1,
         std::string("31000000") + "00000000" + "03000000" + "01000000" + "00000000" + "01000000" +
             "28000000" + "00100000" + "00000000" + "00000000" + "00000000" + "00000000"},
        {50, 2, 5, 0,
         std::string("32000000") + "00000000" + "03000000" + "02000000" + "05000000" + "00000000" +
             "28000000" + "00100000" + "00000000" + "00000000" + "00000000" + "00000000"}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(r[i], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
        EXPECT_EQ(Num(r[i], "code"), 0x002D1400u);
        EXPECT_EQ(Num(r[i], "in_len"), 4144u);
        EXPECT_EQ(Num(r[i], "out_len"), 4144u);
        EXPECT_EQ(Num(r[i], "property_id"), want[i].property);
        EXPECT_EQ(Num(r[i], "query_type"), 0u);
        EXPECT_EQ(Num(r[i], "protocol_type"), 3u);
        EXPECT_EQ(Num(r[i], "data_type"), want[i].dataType);
        EXPECT_EQ(Num(r[i], "request_value"), want[i].value);
        EXPECT_EQ(Num(r[i], "request_subvalue"), want[i].subValue);
        EXPECT_EQ(Num(r[i], "data_off"), 40u);
        EXPECT_EQ(Num(r[i], "data_len"), 4096u);
        // The data area goes out zeroed.
        EXPECT_EQ(Field(r[i], "in"), want[i].head + Zeros(4096));
        EXPECT_TRUE(r[i].fields["ok"].b);
        EXPECT_EQ(Num(r[i], "error"), 0u);
    }
}

TEST_F(NvmeTransportTest, AFailedReadLeavesTheBufferAsItWas) {
    // The RST disk's own handle does not answer protocol-specific queries.
    HANDLE rstDisk = Open(L"\\\\.\\PhysicalDrive2");
    ASSERT_NE(rstDisk, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> data(4096, 0x77);
    EXPECT_EQ(IO_NVME_QueryIdentify(rstDisk, 1, 0, data.data(), 4096), -4);
    EXPECT_EQ(IO_NVME_QueryLogPage(rstDisk, 5, data.data(), 4096), -4);
    EXPECT_EQ(data, std::vector<uint8_t>(4096, 0x77));
    // An RST request for a path id with no disk fails the same way.
    EXPECT_EQ(DISKLIB_NVME_Identify(&rst_, native_, 1, 0, data.data(), 4096), 1);
    CommandContext wrongPath = rst_;
    wrongPath.iScsiPathId = 2;
    std::vector<uint8_t> kept(4096, 0x66);
    EXPECT_EQ(DISKLIB_NVME_Identify(&wrongPath, native_, 1, 0, kept.data(), 4096), -4);
    EXPECT_EQ(kept, std::vector<uint8_t>(4096, 0x66));
    CloseHandle(rstDisk);
}

TEST_F(NvmeTransportTest, CommandTypesWithoutTransportSendNothing) {
    std::vector<uint8_t> data(4096, 0);
    for (int type : {16, 17, 18, 255}) {
        CommandContext ctx = {};
        ctx.iCmdType = type;
        ctx.hScsiPort = port_;
        EXPECT_EQ(DISKLIB_NVME_Identify(&ctx, native_, 1, 0, data.data(), 4096), -5) << type;
        EXPECT_EQ(DISKLIB_NVME_GetLogPage(&ctx, native_, 5, data.data(), 4096), -5) << type;
    }
    EXPECT_TRUE(Records().empty());
}

TEST_F(NvmeTransportTest, BusTypeOfAnOpenDevice) {
    HANDLE rstDisk = Open(L"\\\\.\\PhysicalDrive2");
    EXPECT_EQ(IO_GetBusType(native_), 17u);
    EXPECT_EQ(IO_GetBusType(rstDisk), 17u);
    EXPECT_EQ(IO_GetBusType(port_), 0u); // a SCSI port has no device descriptor
    CloseHandle(rstDisk);
    auto r = Records();
    ASSERT_EQ(r.size(), 4u); // the three queries and the CreateFileW before them
    EXPECT_EQ(Field(r[0], "op"), "CreateFileW");
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(Num(r[i], "in_len"), 12u);
        EXPECT_EQ(Num(r[i], "out_len"), 40u);
        EXPECT_EQ(Num(r[i], "property_id"), 0u);
        EXPECT_EQ(Field(r[i], "in"), "000000000000000000000000");
    }
    EXPECT_FALSE(r[3].fields["ok"].b);
}

} // namespace
