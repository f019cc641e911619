// The request trace is JSON Lines with the fields the trace contract names.
#include "tests/sim/sim_fixture.h"

#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

class TraceTest : public SimTest {
protected:
    void SetUp() override { ASSERT_TRUE(sim::LoadDefaultScenario()); }
};

bool Is(const tracetest::Value& r, const char* key, tracetest::Value::Kind kind) {
    auto it = r.fields.find(key);
    return it != r.fields.end() && it->second.kind == kind;
}

void Send(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    DeviceIoControl(h, code, in, inSize, out, outSize, &returned, NULL);
}

TEST_F(TraceTest, EveryRecordCarriesTheContractFields) {
    StartTrace();
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    HANDLE usb = Open(L"\\\\.\\PhysicalDrive7");
    HANDLE sata = Open(L"\\\\.\\PhysicalDrive8");
    HANDLE port = Open(L"\\\\.\\scsi2:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> buf(8192, 0);

    STORAGE_DEVICE_NUMBER n;
    Send(native, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n));
    SCSI_ADDRESS a = {};
    a.Length = 8;
    Send(native, IOCTL_SCSI_GET_ADDRESS, &a, 8, &a, 8);
    STORAGE_PROPERTY_QUERY q = {};
    Send(native, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof(q), buf.data(), 40);
    // Protocol-specific log page.
    std::memset(buf.data(), 0, buf.size());
    auto* pq = reinterpret_cast<STORAGE_PROPERTY_QUERY*>(buf.data());
    pq->PropertyId = StorageDeviceProtocolSpecificProperty;
    auto* psd = reinterpret_cast<STORAGE_PROTOCOL_SPECIFIC_DATA*>(buf.data() + 8);
    psd->ProtocolType = ProtocolTypeNvme;
    psd->DataType = NVMeDataTypeLogPage;
    psd->ProtocolDataRequestValue = 5;
    psd->ProtocolDataOffset = 40;
    psd->ProtocolDataLength = 4096;
    Send(native, IOCTL_STORAGE_QUERY_PROPERTY, buf.data(), 48 + 4096, buf.data(), 48 + 4096);
    // Protocol command: Abort, no data.
    std::memset(buf.data(), 0, buf.size());
    auto* pc = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
    pc->Version = 1;
    pc->Length = sizeof(STORAGE_PROTOCOL_COMMAND);
    pc->ProtocolType = ProtocolTypeNvme;
    pc->Flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST;
    pc->CommandLength = 64;
    pc->TimeOutValue = 10;
    pc->CommandSpecific = 1;
    buf[80] = 0x08;
    Send(native, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), 144, buf.data(), 144);
    // SCSI pass-through: INQUIRY.
    struct {
        SCSI_PASS_THROUGH_DIRECT s;
        uint8_t sense[32];
    } sp = {};
    uint8_t inquiry[36];
    sp.s.Length = sizeof(sp.s);
    sp.s.CdbLength = 6;
    sp.s.DataIn = SCSI_IOCTL_DATA_IN;
    sp.s.DataTransferLength = 36;
    sp.s.TimeOutValue = 10;
    sp.s.DataBuffer = inquiry;
    sp.s.SenseInfoLength = 32;
    sp.s.SenseInfoOffset = sizeof(sp.s);
    sp.s.Cdb[0] = 0x12;
    sp.s.Cdb[4] = 36;
    Send(usb, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sp, sizeof(sp), &sp, sizeof(sp));
    // ATA pass-through (refused for now, still traced).
    ATA_PASS_THROUGH_DIRECT ata = {};
    ata.Length = sizeof(ata);
    ata.AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
    ata.TimeOutValue = 10;
    ata.CurrentTaskFile[6] = 0xE5;
    Send(sata, IOCTL_ATA_PASS_THROUGH_DIRECT, &ata, sizeof(ata), &ata, sizeof(ata));
    // RST miniport: Abort through "IntelNvm".
    std::vector<uint8_t> nvm(167, 0);
    auto* srb = reinterpret_cast<SRB_IO_CONTROL*>(nvm.data());
    srb->HeaderLength = 28;
    std::memcpy(srb->Signature, "IntelNvm", 8);
    srb->Timeout = 40;
    srb->ControlCode = 0xF0002808;
    srb->Length = 139;
    nvm[28] = 1;
    nvm[29] = 1;
    nvm[32] = 0x08;
    nvm[116] = 164;
    std::vector<uint8_t> nvmOut(167, 0);
    Send(port, IOCTL_SCSI_MINIPORT, nvm.data(), 167, nvmOut.data(), 167);
    // Native firmware download of 4096 zero bytes and an activate.
    std::vector<uint8_t> fw(4136, 0);
    auto* dl = reinterpret_cast<STORAGE_HW_FIRMWARE_DOWNLOAD*>(fw.data());
    dl->Version = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);
    dl->Size = 4136;
    dl->Flags = 1;
    dl->Slot = 1;
    dl->BufferSize = 4096;
    Send(native, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, fw.data(), 4136, NULL, 0);
    STORAGE_HW_FIRMWARE_ACTIVATE act = {};
    act.Version = act.Size = sizeof(act);
    act.Slot = 1;
    act.Flags = 1;
    Send(native, IOCTL_STORAGE_FIRMWARE_ACTIVATE, &act, sizeof(act), NULL, 0);
    // A request from another thread.
    std::thread([&] {
        Send(native, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n));
    }).join();
    for (HANDLE h : {native, usb, sata, port}) {
        CloseHandle(h);
    }

    auto r = Records();
    ASSERT_EQ(r.size(), 15u);
    const std::vector<std::vector<const char*>> decoded = {
        {}, // CreateFileW
        {},
        {},
        {},
        {"device_type", "device_number", "partition_number"},
        {"length", "port_number", "path_id", "target_id", "lun"},
        {"property_id", "query_type"},
        {"property_id", "query_type", "protocol_type", "data_type", "request_value",
         "request_subvalue", "data_off", "data_len"},
        {"version", "length", "protocol_type", "flags", "command_length", "timeout", "to_dev_len",
         "from_dev_len", "to_dev_off", "from_dev_off", "command_specific"},
        {"length", "cdb_len", "data_in", "transfer_len", "timeout", "sense_len", "sense_off",
         "scsi_status"},
        {"length", "ata_flags", "transfer_len", "timeout"},
        {"header_length", "timeout", "control_code", "srb_length", "version", "path_id",
         "target_id", "lun", "queue_id", "param_len", "ret_len"},
        {"version", "size", "flags", "slot", "offset", "buffer_size", "data_len", "data_crc32"},
        {"version", "size", "slot", "flags"},
        {"device_type", "device_number", "partition_number"},
    };
    for (size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Num(r[i], "seq"), i + 1);
        EXPECT_TRUE(Is(r[i], "tid", tracetest::Value::Number));
        EXPECT_TRUE(Is(r[i], "path", tracetest::Value::String));
        EXPECT_TRUE(Is(r[i], "ok", tracetest::Value::Bool));
        EXPECT_TRUE(Is(r[i], "error", tracetest::Value::Number));
        if (i < 4) {
            EXPECT_EQ(Field(r[i], "op"), "CreateFileW");
            continue;
        }
        EXPECT_EQ(Field(r[i], "op"), "DeviceIoControl");
        for (const char* key : {"ioctl", "in"}) {
            EXPECT_TRUE(Is(r[i], key, tracetest::Value::String)) << key;
        }
        for (const char* key : {"code", "in_len", "out_len"}) {
            EXPECT_TRUE(Is(r[i], key, tracetest::Value::Number)) << key;
        }
        EXPECT_EQ(Field(r[i], "in").size(), 2 * Num(r[i], "in_len"));
        for (const char* key : decoded[i]) {
            EXPECT_TRUE(Is(r[i], key, tracetest::Value::Number)) << key;
        }
    }
    EXPECT_EQ(Num(r[14], "tid"), 2u);
    EXPECT_EQ(Num(r[13], "tid"), 1u);
    // The log page: Commands Supported and Effects of a ZELTARIX drive of the second
    // generation. CSUPP (dword 1) for admin opcodes 02 06 08 09 0A 10 11 F1 F2 FC FD FE; the I/O
    // entries Flush 1, Write 3 (CSUPP, LBCC), Read 1 at byte 1024; the CRC-32 of these 4096
    // bytes.
    EXPECT_EQ(Field(r[7], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
    EXPECT_EQ(Num(r[7], "data_len"), 4096u);
    EXPECT_EQ(Num(r[7], "data_crc32"), 231457856u);
    EXPECT_EQ(Field(r[7], "data"), "<missing>");
    // Abort, no data.
    EXPECT_EQ(Field(r[8], "ioctl"), "IOCTL_STORAGE_PROTOCOL_COMMAND");
    ASSERT_EQ(r[8].fields["cdw"].items.size(), 16u);
    for (size_t k = 0; k < 16; ++k) {
        EXPECT_EQ(r[8].fields["cdw"].items[k].text, k == 0 ? "8" : "0") << "CDW" << k;
    }
    EXPECT_EQ(Field(r[8], "data"), "");
    EXPECT_EQ(Field(r[8], "data_crc32"), "<missing>");
    EXPECT_EQ(Field(r[11], "cmd"), "08" + Zeros(63));
    EXPECT_EQ(Field(r[11], "data"), "");
    EXPECT_EQ(Field(r[11], "data_crc32"), "<missing>");
    EXPECT_EQ(Field(r[9], "cdb"), "120000002400");
    EXPECT_EQ(Field(r[9], "data").substr(16, 14), "53616e4469736b"); // "SanDisk"
    EXPECT_EQ(Field(r[10], "prev_tf"), "0000000000000000");
    EXPECT_EQ(Field(r[10], "cur_tf"), "000000000000e500");
    EXPECT_EQ(Field(r[11], "signature"), "IntelNvm");
    EXPECT_TRUE(r[11].fields["ok"].b);
    EXPECT_EQ(Num(r[12], "data_len"), 4096u);
    EXPECT_EQ(Num(r[12], "data_crc32"), 3340501009u);
    // The drive's image check refuses 4096 zero bytes at the commit.
    EXPECT_FALSE(r[13].fields["ok"].b);
    EXPECT_EQ(Num(r[13], "error"), 0x80030209u); // STG_E_FIRMWARE_IMAGE_INVALID
}

// A protocol command of 144 + length bytes for the native NVMe driver, laid out as the SDK
// describes STORAGE_PROTOCOL_COMMAND, with data to the device (8 bytes A0..A7) or from it.
std::vector<uint8_t> ProtocolCommand(uint8_t opcode, bool toDevice, uint32_t length) {
    std::vector<uint8_t> buf(144 + length, 0);
    auto* pc = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
    pc->Version = 1;
    pc->Length = 84;
    pc->ProtocolType = ProtocolTypeNvme;
    pc->Flags = 0x80000000;
    pc->CommandLength = 64;
    pc->TimeOutValue = 10;
    pc->DataToDeviceBufferOffset = 144;
    pc->DataFromDeviceBufferOffset = 144;
    (toDevice ? pc->DataToDeviceTransferLength : pc->DataFromDeviceTransferLength) = length;
    pc->CommandSpecific = 1;
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

TEST_F(TraceTest, AProtocolQueryRecordsTheWholeDataAreaItDescribes) {
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
    StartTrace();
    // Identify Namespace (CNS 0, NSID 1) into areas of 4096 and of 8192 bytes. The structure
    // is 4096 bytes: NSZE, NCAP and NUSE 1953525168, LBA format 0 of 2^9 bytes; the larger
    // area ends in 4096 zeros.
    for (uint32_t length : {4096u, 8192u}) {
        std::vector<uint8_t> buf(48 + length, 0xCC);
        std::memset(buf.data(), 0, 48);
        auto* psd = reinterpret_cast<STORAGE_PROTOCOL_SPECIFIC_DATA*>(buf.data() + 8);
        reinterpret_cast<STORAGE_PROPERTY_QUERY*>(buf.data())->PropertyId =
            StorageAdapterProtocolSpecificProperty;
        psd->ProtocolType = ProtocolTypeNvme;
        psd->DataType = NVMeDataTypeIdentify;
        psd->ProtocolDataRequestValue = 0;
        psd->ProtocolDataRequestSubValue = 1;
        psd->ProtocolDataOffset = 40;
        psd->ProtocolDataLength = length;
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(native, IOCTL_STORAGE_QUERY_PROPERTY, buf.data(),
                                    DWORD(buf.size()), buf.data(), DWORD(buf.size()), &returned,
                                    NULL));
        EXPECT_EQ(returned, 48 + length);
        EXPECT_EQ(buf[48 + 130], 9);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 48 + 4096, buf.end()),
                  std::vector<uint8_t>(length - 4096, 0));
    }
    CloseHandle(native);
    auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Num(r[0], "data_len"), 4096u);
    EXPECT_EQ(Num(r[0], "data_crc32"), 1288631203u);
    EXPECT_EQ(Num(r[1], "data_len"), 8192u);
    EXPECT_EQ(Num(r[1], "data_crc32"), 849022050u);
}

} // namespace
