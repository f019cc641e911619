// The trace records of the storage requests on the native NVMe disk: the device number, the
// SCSI address, the standard and the protocol-specific property queries and the protocol
// command, each with the decoded fields of its kind.
#include "tests/sim/trace_checks.h"

#include <cstring>
#include <vector>

namespace {

TEST_F(TraceTest, StorageRequestsRecordTheirDecodedFields) {
    StartTrace();
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
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
    auto* header = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
    header->Version = 1;
    header->Length = sizeof(STORAGE_PROTOCOL_COMMAND);
    header->ProtocolType = ProtocolTypeNvme;
    header->Flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST;
    header->CommandLength = 64;
    header->TimeOutValue = 10;
    header->CommandSpecific = 1;
    buf[80] = 0x08;
    Send(native, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), 144, buf.data(), 144);
    CloseHandle(native);

    auto r = Records();
    ASSERT_EQ(r.size(), 6u);
    ExpectContractFields(r[0], "CreateFileW");
    const struct {
        const char* ioctl;
        std::initializer_list<const char*> decoded;
    } want[] = {
        {"IOCTL_STORAGE_GET_DEVICE_NUMBER", {"device_type", "device_number", "partition_number"}},
        {"IOCTL_SCSI_GET_ADDRESS", {"length", "port_number", "path_id", "target_id", "lun"}},
        {"IOCTL_STORAGE_QUERY_PROPERTY", {"property_id", "query_type"}},
        {"IOCTL_STORAGE_QUERY_PROPERTY",
         {"property_id", "query_type", "protocol_type", "data_type", "request_value",
          "request_subvalue", "data_off", "data_len"}},
        {"IOCTL_STORAGE_PROTOCOL_COMMAND",
         {"version", "length", "protocol_type", "flags", "command_length", "timeout", "to_dev_len",
          "from_dev_len", "to_dev_off", "from_dev_off", "command_specific"}},
    };
    for (size_t i = 1; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Field(r[i], "ioctl"), want[i - 1].ioctl);
        ExpectContractFields(r[i], "DeviceIoControl", want[i - 1].decoded);
    }
    // The log page: Commands Supported and Effects of a ZELTARIX drive of the second
    // generation. CSUPP (dword 1) for admin opcodes 02 06 08 09 0A 10 11 F1 F2 FC FD FE; the I/O
    // entries Flush 1, Write 3 (CSUPP, LBCC), Read 1 at byte 1024; the CRC-32 of these 4096
    // bytes.
    EXPECT_EQ(Num(r[4], "data_len"), 4096u);
    EXPECT_EQ(Num(r[4], "data_crc32"), 231457856u);
    EXPECT_EQ(Field(r[4], "data"), "<missing>");
    // Abort, no data.
    ASSERT_EQ(r[5].fields["cdw"].items.size(), 16u);
    for (size_t k = 0; k < 16; ++k) {
        EXPECT_EQ(r[5].fields["cdw"].items[k].text, k == 0 ? "8" : "0") << "CDW" << k;
    }
    EXPECT_EQ(Field(r[5], "data"), "");
    EXPECT_EQ(Field(r[5], "data_crc32"), "<missing>");
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
