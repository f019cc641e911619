// The trace records of the pass-through requests: SCSI (INQUIRY to the USB stick), ATA (to the
// SATA disk; refused for now, still traced) and the RST miniport ("IntelNvm" Abort), each with
// the decoded fields of its kind and the command it carried.
#include "tests/sim/trace_checks.h"

#include <cstring>
#include <vector>

namespace {

TEST_F(TraceTest, PassThroughRequestsRecordTheirDecodedFieldsAndCommand) {
    StartTrace();
    HANDLE usb = Open(L"\\\\.\\PhysicalDrive7");
    HANDLE sata = Open(L"\\\\.\\PhysicalDrive8");
    HANDLE port = Open(L"\\\\.\\scsi2:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
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
    // ATA pass-through.
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
    for (HANDLE h : {usb, sata, port}) {
        CloseHandle(h);
    }

    auto r = Records();
    ASSERT_EQ(r.size(), 6u);
    for (size_t i = 0; i < 3; ++i) {
        ExpectContractFields(r[i], "CreateFileW");
    }
    ExpectContractFields(r[3], "DeviceIoControl",
                         {"length", "cdb_len", "data_in", "transfer_len", "timeout", "sense_len",
                          "sense_off", "scsi_status"});
    ExpectContractFields(r[4], "DeviceIoControl",
                         {"length", "ata_flags", "transfer_len", "timeout"});
    ExpectContractFields(r[5], "DeviceIoControl",
                         {"header_length", "timeout", "control_code", "srb_length", "version",
                          "path_id", "target_id", "lun", "queue_id", "param_len", "ret_len"});
    EXPECT_EQ(Field(r[3], "cdb"), "120000002400");
    EXPECT_EQ(Field(r[3], "data").substr(16, 14), "53616e4469736b"); // "SanDisk"
    EXPECT_EQ(Field(r[4], "prev_tf"), "0000000000000000");
    EXPECT_EQ(Field(r[4], "cur_tf"), "000000000000e500");
    EXPECT_EQ(Field(r[5], "signature"), "IntelNvm");
    EXPECT_TRUE(r[5].fields["ok"].b);
    EXPECT_EQ(Field(r[5], "cmd"), "08" + Zeros(63));
    EXPECT_EQ(Field(r[5], "data"), "");
    EXPECT_EQ(Field(r[5], "data_crc32"), "<missing>");
}

} // namespace
