// The ATA transport on the simulated PC: the command type from the bus type, the two forms of a
// command byte for byte (task files, CDBs, the request envelopes), the SAT fallback, the ERR and
// DRQ rule and the copy-back only on success.
#include "disklib/sata/ata_command.h"
#include "disklib/sata/sata_discovery.h"
#include "disklib/sata/sata_identify.h"
#include "tests/sata/sata_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using satatest::Field;
using satatest::MaskPointer;
using satatest::Record;
using testsupport::SataDisk;

// Offsets of DataBuffer in the x86_64 ATA_PASS_THROUGH_DIRECT and SCSI_PASS_THROUGH_DIRECT.
constexpr size_t kAtaDataBufferAt = 24;
constexpr size_t kScsiDataBufferAt = 24;

class AtaTransportTest : public satatest::SataTest {
protected:
    HANDLE OpenForCommands(int drive, CommandContext* context) {
        memset(context, 0, sizeof(*context));
        const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(drive);
        HANDLE h = OpenDiskForCommands(path.c_str(), context);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        handles_.push_back(h);
        return h;
    }
    void TearDown() override {
        for (HANDLE h : handles_) {
            CloseHandle(h);
        }
        satatest::SataTest::TearDown();
    }
    std::vector<HANDLE> handles_;
};

TEST_F(AtaTransportTest, CommandTypeFromTheBusTypeOfTheDeviceDescriptor) {
    const struct {
        int busType;
        int32_t cmdType;
    } cases[] = {
        {11, CMD_SATA},     {7, CMD_SATA_USB},   {1, CMD_SATA_SCSI},
        {9, CMD_SATA_SCSI}, {10, CMD_SATA_SCSI}, {8, CMD_NONE},
        {17, CMD_NONE},     {3, CMD_NONE},       {0, CMD_NONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("bus type " + std::to_string(c.busType));
        Load(SataDisk("d", 2, "bus_type = " + std::to_string(c.busType)));
        CommandContext context;
        memset(&context, 0x5A, sizeof(context));
        context.iBusType = 77;
        StartTrace();
        HANDLE h = OpenDiskForCommands(L"\\\\.\\PhysicalDrive2", &context);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
        EXPECT_EQ(context.iCmdType, c.cmdType);
        // A bus type of 0 reads as a failed query: iBusType stays.
        EXPECT_EQ(context.iBusType, c.busType == 0 ? 77u : uint32_t(c.busType));
        EXPECT_EQ(context.hScsiPort, INVALID_HANDLE_VALUE);
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(Field(trace[0], "op"), "CreateFileW");
        EXPECT_EQ(Field(trace[0], "access"), "3221225472"); // GENERIC_READ | GENERIC_WRITE
        EXPECT_EQ(Field(trace[0], "share"), "3");
        EXPECT_EQ(Field(trace[1], "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
        EXPECT_EQ(Field(trace[1], "in"), "000000000000000000000000");
        EXPECT_EQ(Field(trace[1], "out_len"), "40");
    }
}

TEST_F(AtaTransportTest, ADeviceThatDoesNotOpenLeavesTheCommandType) {
    Load(SataDisk("d", 2));
    CommandContext context;
    memset(&context, 0, sizeof(context));
    context.iCmdType = 77;
    context.hScsiPort = nullptr;
    EXPECT_EQ(OpenDiskForCommands(L"\\\\.\\PhysicalDrive5", &context), INVALID_HANDLE_VALUE);
    EXPECT_EQ(context.iCmdType, 77);
    EXPECT_EQ(context.hScsiPort, INVALID_HANDLE_VALUE);
}

// IDENTIFY DEVICE through the ATA pass-through, the whole 48-byte request byte for byte: Length
// 48, AtaFlags 3, DataTransferLength 512, TimeOutValue 60, PreviousTaskFile zero,
// CurrentTaskFile 00 01 00 00 00 40 EC 00; the data buffer 16-byte aligned.
TEST_F(AtaTransportTest, IdentifyThroughTheAtaPassThroughByteForByte) {
    Load(SataDisk("d", 2));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    ASSERT_EQ(context.iCmdType, CMD_SATA);
    uint8_t identify[512];
    StartTrace();
    ASSERT_EQ(IdentifyDevice(context.iCmdType, h, identify), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    const Record& r = trace[0];
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_ATA_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(r, "code"), "315440"); // 0x0004D030
    EXPECT_EQ(Field(r, "in_len"), "48");
    EXPECT_EQ(Field(r, "out_len"), "48");
    EXPECT_EQ(MaskPointer(Field(r, "in"), kAtaDataBufferAt), "3000030000000000"
                                                             "000200003c000000"
                                                             "0000000000000000"
                                                             "xxxxxxxxxxxxxxxx"
                                                             "0000000000000000"
                                                             "000100000040ec00");
    EXPECT_EQ(Field(r, "length"), "48");
    EXPECT_EQ(Field(r, "ata_flags"), "3");
    EXPECT_EQ(Field(r, "transfer_len"), "512");
    EXPECT_EQ(Field(r, "timeout"), "60");
    EXPECT_EQ(Field(r, "status"), "64"); // DRDY
    const std::string in = Field(r, "in");
    EXPECT_EQ(in.substr(2 * kAtaDataBufferAt, 2), "10"); // the allocation's start + 16
    // The model in ATA string order reached the caller's buffer.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(identify) + 54, 8), "EZTLRAXI");
}

// The same command in the SAT form, the whole request: Length 56, CdbLength 12, SenseInfoLength
// 64, DataIn 1, DataTransferLength 512, TimeOutValue 60, SenseInfoOffset 60, the CDB A1 08 0E 00
// 01 00 00 00 40 EC 00 00, the caller's buffer as DataBuffer.
TEST_F(AtaTransportTest, IdentifyInTheSatFormByteForByte) {
    Load(SataDisk("d", 2));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    uint8_t identify[512];
    StartTrace();
    ASSERT_EQ(SatPassThroughCommand(h, 0xEC, 0, 3, 0, 0, identify, 512), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    const Record& r = trace[0];
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_SCSI_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(r, "in_len"), "128");
    EXPECT_EQ(Field(r, "out_len"), "128");
    EXPECT_EQ(MaskPointer(Field(r, "in"), kScsiDataBufferAt),
              "3800000000000c40"
              "01000000"
              "00020000"
              "3c000000"
              "00000000"
              "xxxxxxxxxxxxxxxx"
              "3c000000"
              "a1080e000100000040ec0000"
              "00000000" // the CDB's last four bytes
              "00000000" // padding to the structure's end
              "00000000" // filler
                  + Zeros(64) + "00000000");
    char pointer[17];
    snprintf(
        pointer, sizeof(pointer), "%016llx",
        static_cast<unsigned long long>(__builtin_bswap64(reinterpret_cast<uintptr_t>(identify))));
    EXPECT_EQ(Field(r, "in").substr(2 * kScsiDataBufferAt, 16), pointer);
    EXPECT_EQ(Field(r, "cdb"), "a1080e000100000040ec0000");
    EXPECT_EQ(Field(r, "scsi_status"), "0");
}

// The USB and SAS disks take the SAT form only: a whole probe sends them no ATA pass-through.
TEST_F(AtaTransportTest, UsbAndSasDisksNeverReceiveTheAtaPassThrough) {
    const struct {
        const char* name;
        std::string scenario;
        int drive;
        int32_t cmdType;
    } cases[] = {
        {"USB", testsupport::UsbSataDisk("u", 3, 2), 3, CMD_SATA_USB},
        {"SAS", testsupport::SasSataDisk("s", 4), 4, CMD_SATA_SCSI},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c.scenario);
        CommandContext context;
        HANDLE h = OpenForCommands(c.drive, &context);
        ASSERT_EQ(context.iCmdType, c.cmdType);
        uint8_t identify[512];
        StartTrace();
        ASSERT_EQ(IdentifyDevice(context.iCmdType, h, identify), 1);
        EXPECT_EQ(
            satatest::Summaries(Trace()),
            (std::vector<std::string>{"IOCTL_SCSI_PASS_THROUGH_DIRECT a1080e000100000040ec0000"}));

        StartTrace();
        DiskRecord record;
        const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(c.drive);
        ASSERT_EQ(ProbeSataDisk(path.c_str(), &record), DISKLIB_OK);
        for (const Record& r : Trace()) {
            EXPECT_NE(Field(r, "ioctl"), "IOCTL_ATA_PASS_THROUGH_DIRECT");
        }
    }
}

// A CMD_SATA disk whose ATA pass-through fails (the call, the drive's ERR, or DRQ left set)
// still gets IDENTIFY DEVICE through the SAT form, tried once right after.
TEST_F(AtaTransportTest, IdentifySucceedsInTheSatFormWhenTheAtaFormFails) {
    const struct {
        const char* fault;
        const char* ataOk;
        const char* ataStatus;
    } cases[] = {
        {"ioctl_fail:IOCTL_ATA_PASS_THROUGH_DIRECT*1", "false", "<missing>"},
        {"ata_fail:0xec*1", "true", "65"}, // DRDY, ERR
        {"ata_drq*1", "true", "72"},       // DRDY, DRQ
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Load(SataDisk("d", 2, std::string("faults = ") + c.fault));
        CommandContext context;
        HANDLE h = OpenForCommands(2, &context);
        uint8_t identify[512];
        StartTrace();
        ASSERT_EQ(IdentifyDevice(context.iCmdType, h, identify), 1);
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(satatest::Summary(trace[0]),
                  std::string("IOCTL_ATA_PASS_THROUGH_DIRECT") +
                      (std::string(c.ataOk) == "true" ? "" : " failed") + " 000100000040ec00");
        EXPECT_EQ(Field(trace[0], "status"), c.ataStatus);
        EXPECT_EQ(satatest::Summary(trace[1]),
                  "IOCTL_SCSI_PASS_THROUGH_DIRECT a1080e000100000040ec0000");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(identify) + 54, 8), "EZTLRAXI");
    }
}

// In the ATA form the caller's buffer receives data only when the command succeeded: a failed
// try leaves it as it was, also when the drive moved its data into the transport's buffer.
TEST_F(AtaTransportTest, AFailedDataInTryLeavesTheCallersBufferAsItWas) {
    const char* faults[] = {"ata_drq", "ata_fail:0xec", "ioctl_fail:IOCTL_ATA_PASS_THROUGH_DIRECT"};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        Load(SataDisk("d", 2, std::string("faults = ") + fault));
        CommandContext context;
        HANDLE h = OpenForCommands(2, &context);
        std::vector<uint8_t> buffer(512, 0xA5);
        StartTrace();
        EXPECT_EQ(AtaPassThroughCommand(h, 0xEC, 0, 3, 0, 0, buffer.data(), 512), 0);
        EXPECT_EQ(buffer, std::vector<uint8_t>(512, 0xA5));
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 1u);
        if (std::string(fault) == "ata_drq") {
            EXPECT_EQ(Field(trace[0], "data").substr(108, 8), "455a544c"); // "EZTL" moved
        }
    }
}

// SECTOR COUNT is the length in 512-byte blocks: 8 for 4096 bytes, 1 for 512, in both forms.
TEST_F(AtaTransportTest, SectorCountOfTheLength) {
    Load(SataDisk("d", 2));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    const struct {
        uint8_t opcode;
        uint8_t features;
        uint32_t length;
        const char* curTf;
        const char* cdb;
    } cases[] = {
        {0xC3, 3, 4096, "030800000040c300", "a1080e030800000040c30000"},
        {0xEC, 0, 512, "000100000040ec00", "a1080e000100000040ec0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cdb);
        std::vector<uint8_t> buffer(c.length);
        StartTrace();
        EXPECT_EQ(AtaPassThroughCommand(h, c.opcode, c.features, 3, 0, 0, buffer.data(), c.length),
                  1);
        EXPECT_EQ(SatPassThroughCommand(h, c.opcode, c.features, 3, 0, 0, buffer.data(), c.length),
                  1);
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(Field(trace[0], "cur_tf"), c.curTf);
        EXPECT_EQ(Field(trace[0], "transfer_len"), std::to_string(c.length));
        EXPECT_EQ(Field(trace[1], "cdb"), c.cdb);
        EXPECT_EQ(Field(trace[1], "transfer_len"), std::to_string(c.length));
    }
}

// A non-data command: DataIn 2 (unspecified), PROTOCOL 3 (byte 1 0x06), byte 2 0x00, no data;
// on the ATA path AtaFlags 1 and no transfer.
TEST_F(AtaTransportTest, ANonDataCommand) {
    Load(SataDisk("d", 2));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    StartTrace();
    EXPECT_EQ(SatPassThroughCommand(h, 0xE7, 0, 1, 0, 0, nullptr, 0), 1);
    EXPECT_EQ(AtaPassThroughCommand(h, 0xE7, 0, 1, 0, 0, nullptr, 0), 1);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[0], "cdb"), "a10600000000000040e70000");
    EXPECT_EQ(Field(trace[0], "data_in"), "2");
    EXPECT_EQ(Field(trace[0], "transfer_len"), "0");
    EXPECT_EQ(MaskPointer(Field(trace[0], "in"), kScsiDataBufferAt).substr(0, 2 * 24),
              "3800000000000c40"
              "02000000"
              "00000000"
              "3c000000"
              "00000000");
    EXPECT_EQ(Field(trace[0], "in").substr(2 * kScsiDataBufferAt, 16), "0000000000000000");
    EXPECT_EQ(Field(trace[1], "ata_flags"), "1");
    EXPECT_EQ(Field(trace[1], "transfer_len"), "0");
    EXPECT_EQ(Field(trace[1], "cur_tf"), "000000000040e700");
    EXPECT_EQ(Field(trace[1], "status"), "64");
}

// Both task files and both CDBs: READ SECTORS (28-bit) at LBA 0x0123ABCD puts LBA bits 24-27
// into the device register; READ SECTORS EXT (48-bit) at LBA 0x009876543210 puts bits 24-47
// into PreviousTaskFile and the interleaved LBA bytes of ATA PASS-THROUGH (16), with EXTEND.
TEST_F(AtaTransportTest, TaskFilesAndCdbsOfA28BitAndA48BitOpcode) {
    Load(SataDisk("d", 2, "sectors = 1099511627776"));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    const struct {
        uint8_t opcode;
        uint32_t lbaLow;
        uint32_t lbaHigh;
        const char* ataFlags;
        const char* prevTf;
        const char* curTf;
        const char* cdb;
        const char* cdbLength;
    } cases[] = {
        {0x20, 0x0123ABCD, 0, "3", "0000000000000000", "0002cdab23412000",
         "a1080e0002cdab2341200000", "12"},
        {0x24, 0x76543210, 0x0098, "11", "0000769800000000", "0002103254402400",
         "85090e00000002761098320054402400", "16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cdb);
        std::vector<uint8_t> buffer(1024, 0xEE);
        StartTrace();
        EXPECT_EQ(
            AtaPassThroughCommand(h, c.opcode, 0, 3, c.lbaLow, c.lbaHigh, buffer.data(), 1024), 1);
        EXPECT_EQ(
            SatPassThroughCommand(h, c.opcode, 0, 3, c.lbaLow, c.lbaHigh, buffer.data(), 1024), 1);
        EXPECT_EQ(buffer, std::vector<uint8_t>(1024, 0)); // the medium reads as zeros
        const auto trace = Trace();
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(Field(trace[0], "ata_flags"), c.ataFlags);
        EXPECT_EQ(Field(trace[0], "prev_tf"), c.prevTf);
        EXPECT_EQ(Field(trace[0], "cur_tf"), c.curTf);
        EXPECT_EQ(Field(trace[1], "cdb"), c.cdb);
        EXPECT_EQ(Field(trace[1], "cdb_len"), c.cdbLength);
    }
}

// A command the drive aborts fails in both forms: ERR in the returned status, and in the SAT
// form CHECK CONDITION inside a call that succeeds.
TEST_F(AtaTransportTest, ACommandTheDriveAbortsFailsInBothForms) {
    Load(SataDisk("d", 2, "vsc = none"));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    std::vector<uint8_t> block(4096, 0x11);
    StartTrace();
    EXPECT_EQ(AtaPassThroughCommand(h, 0xC3, 3, 3, 0, 0, block.data(), 4096), 0);
    EXPECT_EQ(SatPassThroughCommand(h, 0xC3, 3, 3, 0, 0, block.data(), 4096), 0);
    EXPECT_EQ(SendAtaCommand(CMD_SATA, h, 0xC3, 3, 3, 0, 0, block.data(), 4096), 0);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(Field(trace[0], "ok"), "true");
    EXPECT_EQ(Field(trace[0], "status"), "65");
    EXPECT_EQ(Field(trace[1], "ok"), "true");
    EXPECT_EQ(Field(trace[1], "scsi_status"), "2");
    EXPECT_EQ(Field(trace[2], "ioctl"), "IOCTL_ATA_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(trace[3], "ioctl"), "IOCTL_SCSI_PASS_THROUGH_DIRECT");
}

// What the task file cannot carry is refused before anything is sent: more than 255 blocks, an
// LBA of 2^28 for a 28-bit opcode, LBA bits beyond 47 for a 48-bit one, data without a buffer.
TEST_F(AtaTransportTest, RequestsTheTaskFileCannotCarryAreNotSent) {
    Load(SataDisk("d", 2));
    CommandContext context;
    HANDLE h = OpenForCommands(2, &context);
    std::vector<uint8_t> buffer(256 * 512);
    const struct {
        const char* what;
        uint8_t opcode;
        uint32_t lbaLow;
        uint32_t lbaHigh;
        uint32_t length;
        bool withBuffer;
    } cases[] = {
        {"256 blocks", 0x20, 0, 0, 256 * 512, true},
        {"LBA 2^28, 28-bit", 0x20, 0x10000000, 0, 512, true},
        {"LBA high half, 28-bit", 0x20, 0, 1, 512, true},
        {"LBA 2^48, 48-bit", 0x24, 0, 0x10000, 512, true},
        {"no buffer", 0xEC, 0, 0, 512, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        void* data = c.withBuffer ? buffer.data() : nullptr;
        StartTrace();
        EXPECT_EQ(AtaPassThroughCommand(h, c.opcode, 0, 3, c.lbaLow, c.lbaHigh, data, c.length), 0);
        EXPECT_EQ(SatPassThroughCommand(h, c.opcode, 0, 3, c.lbaLow, c.lbaHigh, data, c.length), 0);
        EXPECT_TRUE(Trace().empty());
    }
    // 255 blocks and the largest LBAs still go (the last one beyond the medium's end).
    StartTrace();
    EXPECT_EQ(AtaPassThroughCommand(h, 0x20, 0, 3, 0x0FFFFFFF, 0, buffer.data(), 255 * 512), 1);
    EXPECT_EQ(AtaPassThroughCommand(h, 0x24, 0, 3, 0xFFFFFFFF, 0xFFFF, buffer.data(), 512), 0);
    const auto trace = Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Field(trace[0], "cur_tf"), "00ffffffff4f2000");
    EXPECT_EQ(Field(trace[1], "prev_tf"), "0000ffffff000000");
}

} // namespace
