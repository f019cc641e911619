// The request trace is JSON Lines with the fields the trace contract names: every record
// numbered in order and marked with the thread that sent it, and a refused request still
// recorded with the data it gave the device.
#include "tests/sim/trace_checks.h"
#include "sim/trace.h"
#include "tools/zxsim/text_output.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST_F(TraceTest, RecordsAreNumberedInOrderWithTheThreadThatSentThem) {
    StartTrace();
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n;
    Send(native, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n));
    // A request from another thread.
    std::thread([&] {
        Send(native, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n));
    }).join();
    CloseHandle(native);

    auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    const struct {
        const char* op;
        uint64_t tid;
    } want[] = {{"CreateFileW", 1}, {"DeviceIoControl", 1}, {"DeviceIoControl", 2}};
    for (size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Num(r[i], "seq"), i + 1);
        EXPECT_EQ(Num(r[i], "tid"), want[i].tid);
        ExpectContractFields(r[i], want[i].op,
                             i == 0 ? std::initializer_list<const char*>{}
                                    : std::initializer_list<const char*>{
                                          "device_type", "device_number", "partition_number"});
    }
}

// A protocol command of 144 + length bytes for the native NVMe driver, laid out as the SDK
// describes STORAGE_PROTOCOL_COMMAND, with data to the device (8 bytes A0..A7) or from it.
std::vector<uint8_t> ProtocolCommand(uint8_t opcode, bool toDevice, uint32_t length) {
    std::vector<uint8_t> buf(144 + length, 0);
    auto* header = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
    header->Version = 1;
    header->Length = 84;
    header->ProtocolType = ProtocolTypeNvme;
    header->Flags = 0x80000000;
    header->CommandLength = 64;
    header->TimeOutValue = 10;
    header->DataToDeviceBufferOffset = 144;
    header->DataFromDeviceBufferOffset = 144;
    (toDevice ? header->DataToDeviceTransferLength : header->DataFromDeviceTransferLength) = length;
    header->CommandSpecific = 1;
    buf[80] = opcode;
    for (uint32_t i = 0; toDevice && i < length; ++i) {
        buf[144 + i] = uint8_t(0xA0 + i);
    }
    return buf;
}

// An "IntelNvm" request for path 1 with `length` bytes of data (A0..A7 for 8).
std::vector<uint8_t> IntelNvmRequest(uint8_t opcode, uint32_t length) {
    std::vector<uint8_t> buf(167 + length, 0);
    auto* srb = reinterpret_cast<SRB_IO_CONTROL*>(buf.data());
    srb->HeaderLength = 28;
    std::memcpy(srb->Signature, "IntelNvm", 8);
    srb->Timeout = 40;
    srb->ControlCode = 0xF0002808;
    srb->Length = DWORD(buf.size() - 28);
    buf[28] = 1;
    buf[29] = 1;
    buf[32] = opcode;
    buf[116] = 164;
    std::memcpy(&buf[120], &length, 4);
    for (uint32_t i = 0; i < length; ++i) {
        buf[164 + i] = uint8_t(0xA0 + i);
    }
    return buf;
}

TEST_F(TraceTest, ARefusedRequestStillRecordsTheDataGivenToTheDevice) {
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    HANDLE port = Open(L"\\\\.\\scsi2:");
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    StartTrace();
    // Opcode 0x85 (vendor-specific, data to the device) is not in the effects log: the driver
    // refuses it before the drive sees it.
    std::vector<uint8_t> out = ProtocolCommand(0x85, true, 8);
    Send(native, IOCTL_STORAGE_PROTOCOL_COMMAND, out.data(), 152, out.data(), 152);
    // Opcode 0x86 (data from the device), unlisted as well: nothing moved, no data.
    std::vector<uint8_t> in = ProtocolCommand(0x86, false, 8);
    Send(native, IOCTL_STORAGE_PROTOCOL_COMMAND, in.data(), 152, in.data(), 152);
    // Firmware Image Download (0x11, data to the device) for target 1: refused by the RST
    // driver, which knows no such target.
    std::vector<uint8_t> nvm = IntelNvmRequest(0x11, 8);
    nvm[30] = 1;
    std::vector<uint8_t> nvmOut(nvm.size(), 0);
    Send(port, IOCTL_SCSI_MINIPORT, nvm.data(), DWORD(nvm.size()), nvmOut.data(),
         DWORD(nvmOut.size()));
    // Get Log Page (0x02, data from the device) for target 1: no data.
    std::vector<uint8_t> read = IntelNvmRequest(0x02, 8);
    read[30] = 1;
    Send(port, IOCTL_SCSI_MINIPORT, read.data(), DWORD(read.size()), nvmOut.data(),
         DWORD(nvmOut.size()));
    CloseHandle(native);
    CloseHandle(port);

    auto r = Records();
    ASSERT_EQ(r.size(), 4u);
    const struct {
        const char* ioctl;
        uint64_t error;
        const char* data;
    } want[] = {
        {"IOCTL_STORAGE_PROTOCOL_COMMAND", 1, "a0a1a2a3a4a5a6a7"},
        {"IOCTL_STORAGE_PROTOCOL_COMMAND", 1, "<missing>"},
        {"IOCTL_SCSI_MINIPORT", 87, "a0a1a2a3a4a5a6a7"},
        {"IOCTL_SCSI_MINIPORT", 87, "<missing>"},
    };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(r[i], "ioctl"), want[i].ioctl);
        EXPECT_FALSE(r[i].fields["ok"].b);
        EXPECT_EQ(Num(r[i], "error"), want[i].error);
        EXPECT_EQ(Field(r[i], "data"), want[i].data);
        EXPECT_EQ(Field(r[i], "data_crc32"), "<missing>");
    }
    EXPECT_EQ(Num(r[0], "to_dev_len"), 8u);
    EXPECT_EQ(Num(r[1], "from_dev_len"), 8u);
    EXPECT_EQ(Field(r[2], "cmd"), "11" + Zeros(63));
    EXPECT_EQ(Num(r[2], "target_id"), 1u);
}

// The one JSON string escaper of the simulated side (the trace's texts and every text zxsim and
// the win64-sim driver print): the quotes, " and \ escaped, LF CR tab by name, the other control
// characters as \u00xx, DEL and UTF-8 bytes as they are.
struct JsonCase {
    std::string text; // UTF-8
    const char* json; // the literal expected
};

TEST(JsonStringTest, EscapesQuotesBackslashAndControlCharactersOnly) {
    const JsonCase cases[] = {
        {"", "\"\""},
        {"Zeltarix Z1 1TB", "\"Zeltarix Z1 1TB\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\fw\\", "\"C:\\\\fw\\\\\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("\0", 1), "\"\\u0000\""},
        {"\x01\x08\x0b\x0c\x1b\x1f", "\"\\u0001\\u0008\\u000b\\u000c\\u001b\\u001f\""},
        {" \x7f~", "\" \x7f~\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim::JsonString(c.text), c.json) << c.json;
    }
}

TEST(JsonStringTest, WideTextIsQuotedInUtf8) {
    EXPECT_EQ(zxsim::Quote(L""), "\"\"");
    EXPECT_EQ(zxsim::Quote(L"Caf\u00e9 \"1.2\"\n"), "\"Caf\xc3\xa9 \\\"1.2\\\"\\n\"");
    EXPECT_EQ(zxsim::Quote(L"\\\\.\\PhysicalDrive1\u20ac\t"),
              "\"\\\\\\\\.\\\\PhysicalDrive1\xe2\x82\xac\\t\"");
    EXPECT_EQ(zxsim::Quote(std::wstring(L"\x01\x1f", 2)), "\"\\u0001\\u001f\"");
}

} // namespace
