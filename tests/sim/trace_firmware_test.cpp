// The trace records of the native firmware requests: the download with the CRC-32 of its data,
// and the activate, which the drive refuses for an image of zero bytes.
#include "tests/sim/trace_checks.h"

#include <vector>

namespace {

TEST_F(TraceTest, FirmwareRequestsRecordTheirDecodedFieldsAndData) {
    StartTrace();
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
    // A download of 4096 zero bytes and an activate.
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
    CloseHandle(native);

    auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    ExpectContractFields(r[0], "CreateFileW");
    ExpectContractFields(
        r[1], "DeviceIoControl",
        {"version", "size", "flags", "slot", "offset", "buffer_size", "data_len", "data_crc32"});
    ExpectContractFields(r[2], "DeviceIoControl", {"version", "size", "slot", "flags"});
    EXPECT_EQ(Num(r[1], "data_len"), 4096u);
    EXPECT_EQ(Num(r[1], "data_crc32"), 3340501009u);
    // The drive's image check refuses 4096 zero bytes at the commit.
    EXPECT_FALSE(r[2].fields["ok"].b);
    EXPECT_EQ(Num(r[2], "error"), 0x80030209u); // STG_E_FIRMWARE_IMAGE_INVALID
}

} // namespace
