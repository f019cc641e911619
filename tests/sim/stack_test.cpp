// The simulated storage stacks refuse what the platform's drivers refuse, with their errors.
#include "platform/posix/control.h"
#include "tests/support/sim_fixture.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

namespace {

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
scsi_port = 0
volumes = D E

[controller rst0]
kind = rst
scsi_port = 3

[disk rst]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216

[disk stick]
kind = usb
drive = 4
usb = 1/3
vendor = SanDisk
product = Ultra Fit
revision = 1.00
serial = 4C530001230511104223
sectors = 60063744
)";

class StackTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(kScenario);
    }
};

struct Result {
    bool ok;
    DWORD error;
    DWORD returned;
};

Result Ioctl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0xDEAD;
    SetLastError(0);
    BOOL ok = DeviceIoControl(h, code, in, inSize, out, outSize, &returned, NULL);
    return Result{ok != 0, ok ? 0 : GetLastError(), returned};
}

// An Identify Controller as a protocol command of 144 + 4096 bytes, as the SDK describes it.
std::vector<uint8_t> IdentifyCommand() {
    std::vector<uint8_t> buf(144 + 4096, 0);
    auto* header = reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
    header->Version = STORAGE_PROTOCOL_STRUCTURE_VERSION;
    header->Length = sizeof(STORAGE_PROTOCOL_COMMAND);
    header->ProtocolType = ProtocolTypeNvme;
    header->Flags = STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST;
    header->CommandLength = 64;
    header->TimeOutValue = 10;
    header->DataFromDeviceTransferLength = 4096;
    header->DataFromDeviceBufferOffset = 144;
    header->DataToDeviceBufferOffset = 144;
    header->CommandSpecific = STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND;
    buf[80] = 0x06;   // Identify
    buf[80 + 40] = 1; // CNS 1
    return buf;
}

STORAGE_PROTOCOL_COMMAND* Header(std::vector<uint8_t>& buf) {
    return reinterpret_cast<STORAGE_PROTOCOL_COMMAND*>(buf.data());
}

TEST_F(StackTest, ProtocolCommandChecks) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        DWORD error;
    } cases[] = {
        {"as the SDK says", [](std::vector<uint8_t>&) {}, 0},
        {"Length 80", [](std::vector<uint8_t>& b) { Header(b)->Length = 80; }, 87},
        {"Version 2", [](std::vector<uint8_t>& b) { Header(b)->Version = 2; }, 87},
        {"ProtocolType ATA",
         [](std::vector<uint8_t>& b) { Header(b)->ProtocolType = ProtocolTypeAta; }, 87},
        {"CommandLength 32", [](std::vector<uint8_t>& b) { Header(b)->CommandLength = 32; }, 87},
        {"both directions",
         [](std::vector<uint8_t>& b) { Header(b)->DataToDeviceTransferLength = 16; }, 87},
        {"data inside the command",
         [](std::vector<uint8_t>& b) { Header(b)->DataFromDeviceBufferOffset = 100; }, 87},
        {"data past the buffer",
         [](std::vector<uint8_t>& b) { Header(b)->DataFromDeviceTransferLength = 4100; }, 87},
        {"an NVM command",
         [](std::vector<uint8_t>& b) {
             Header(b)->CommandSpecific = STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND;
         },
         50},
        {"an opcode the effects log does not list", [](std::vector<uint8_t>& b) { b[80] = 0xE6; },
         1},
        {"a queue-management opcode", [](std::vector<uint8_t>& b) { b[80] = 0x01; }, 1},
        {"data to the device for Identify",
         [](std::vector<uint8_t>& b) {
             Header(b)->DataFromDeviceTransferLength = 0;
             Header(b)->DataToDeviceTransferLength = 4096;
         },
         1117},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buf = IdentifyCommand();
        c.change(buf);
        Result r = Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()),
                         buf.data(), DWORD(buf.size()));
        EXPECT_EQ(r.ok, c.error == 0);
        EXPECT_EQ(r.error, c.error);
        if (c.error == 0) {
            EXPECT_EQ(Header(buf)->ReturnStatus, STORAGE_PROTOCOL_STATUS_SUCCESS);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[144 + 24]), 19),
                      "ZELTARIX ZX5016 1TB");
        }
    }
    CloseHandle(h);
    // Only the NVMe driver knows the request.
    for (const wchar_t* path : {L"\\\\.\\PhysicalDrive2", L"\\\\.\\PhysicalDrive4"}) {
        HANDLE other = Open(path);
        std::vector<uint8_t> buf = IdentifyCommand();
        Result r = Ioctl(other, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()),
                         buf.data(), DWORD(buf.size()));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, 1u);
        CloseHandle(other);
    }
}

TEST_F(StackTest, UnlistedOpcodeIsNotPassedToTheDrive) {
    Load(std::string(kScenario).replace(std::string(kScenario).find("scsi_port = 0"), 13,
                                        "scsi_port = 0\nunlisted = 0x06"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    std::vector<uint8_t> buf = IdentifyCommand();
    Result r = Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()), buf.data(),
                     DWORD(buf.size()));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 1u);
    CloseHandle(h);
}

// An "IntelNvm" request of 167 + length bytes, built from the layout the RST driver reads.
std::vector<uint8_t> IntelNvm(uint8_t opcode, uint32_t cdw10, uint32_t length) {
    std::vector<uint8_t> buf(167 + length, 0);
    auto* srb = reinterpret_cast<SRB_IO_CONTROL*>(buf.data());
    srb->HeaderLength = 28;
    std::memcpy(srb->Signature, "IntelNvm", 8);
    srb->Timeout = 40;
    srb->ControlCode = 0xF0002808;
    srb->Length = DWORD(buf.size() - 28);
    buf[28] = 1; // version
    buf[29] = 1; // path id
    buf[32] = opcode;
    std::memcpy(&buf[36], "\xff\xff\xff\xff", 4);
    std::memcpy(&buf[32 + 40], &cdw10, 4);
    const uint32_t params = 164;
    std::memcpy(&buf[116], &params, 4);
    std::memcpy(&buf[120], &length, 4);
    return buf;
}

TEST_F(StackTest, IntelNvmChecks) {
    HANDLE port = Open(L"\\\\.\\scsi3:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const uint32_t logPage4096 = 0x03FF0005;
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        DWORD outShort;
        DWORD error;
    } cases[] = {
        {"as the driver reads it", [](std::vector<uint8_t>&) {}, 0, 0},
        {"Length one more",
         [](std::vector<uint8_t>& b) { reinterpret_cast<SRB_IO_CONTROL*>(b.data())->Length++; }, 0,
         87},
        {"HeaderLength 24",
         [](std::vector<uint8_t>& b) {
             reinterpret_cast<SRB_IO_CONTROL*>(b.data())->HeaderLength = 24;
         },
         0, 87},
        {"signature IntelFw", [](std::vector<uint8_t>& b) { std::memcpy(&b[4], "IntelFw ", 8); }, 0,
         1},
        {"another control code", [](std::vector<uint8_t>& b) { b[16] = 0x09; }, 0, 1},
        {"version 2", [](std::vector<uint8_t>& b) { b[28] = 2; }, 0, 87},
        {"no disk at path id 5", [](std::vector<uint8_t>& b) { b[29] = 5; }, 0, 87},
        {"an I/O queue", [](std::vector<uint8_t>& b) { b[112] = 1; }, 0, 87},
        {"return length short of the data", [](std::vector<uint8_t>& b) { b[121] = 0x02; }, 0, 87},
        {"output buffer too small", [](std::vector<uint8_t>&) {}, 100, 122},
        {"dword count for 512 bytes",
         [](std::vector<uint8_t>& b) {
             const uint32_t cdw10 = 0x007F0005;
             std::memcpy(&b[72], &cdw10, 4);
         },
         0, 1117},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> in = IntelNvm(0x02, logPage4096, 4096);
        c.change(in);
        std::vector<uint8_t> out(in.size() - c.outShort, 0);
        Result r = Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(),
                         DWORD(out.size()));
        EXPECT_EQ(r.error, c.error);
        if (c.error == 0) {
            EXPECT_EQ(out[164 + 4 * 0x06], 1); // Identify is listed
            EXPECT_EQ(out[96 + 14], 0);        // completion status: success
            EXPECT_EQ(out[96 + 15], 0);
        }
    }
    CloseHandle(port);
    // The NVMe driver's port and a disk handle do not know the request.
    for (const wchar_t* path : {L"\\\\.\\scsi0:", L"\\\\.\\PhysicalDrive2"}) {
        HANDLE h = Open(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::vector<uint8_t> in = IntelNvm(0x02, logPage4096, 4096);
        std::vector<uint8_t> out(in.size(), 0);
        Result r = Ioctl(h, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(),
                         DWORD(out.size()));
        EXPECT_EQ(r.error, 1u);
        CloseHandle(h);
    }
}

SCSI_PASS_THROUGH_DIRECT Sptd(const uint8_t* cdb, uint8_t cdbLen, uint8_t dir, void* data,
                              uint32_t length) {
    SCSI_PASS_THROUGH_DIRECT s = {};
    s.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    s.CdbLength = cdbLen;
    s.DataIn = dir;
    s.DataBuffer = data;
    s.DataTransferLength = length;
    s.TimeOutValue = 10;
    std::memcpy(s.Cdb, cdb, cdbLen);
    return s;
}

TEST_F(StackTest, ScsiPassThroughDirect) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct {
        SCSI_PASS_THROUGH_DIRECT sptd;
        uint8_t sense[32];
    } req;
    const size_t senseAt = offsetof(decltype(req), sense);
    uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
    uint8_t data[64];
    std::memset(data, 0xCC, sizeof(data));

    req.sptd = Sptd(inquiry, 6, SCSI_IOCTL_DATA_IN, data, 36);
    req.sptd.SenseInfoLength = 32;
    req.sptd.SenseInfoOffset = ULONG(senseAt);
    Result r = Ioctl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &req, sizeof(req), &req, sizeof(req));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(req.sptd.ScsiStatus, 0);
    EXPECT_EQ(req.sptd.DataTransferLength, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 28), "SanDisk Ultra Fit       1.00");
    EXPECT_EQ(data[36], 0xCC);

    uint8_t unknown[16] = {0xE6, 0x06};
    req.sptd = Sptd(unknown, 16, SCSI_IOCTL_DATA_IN, data, 64);
    req.sptd.SenseInfoLength = 32;
    req.sptd.SenseInfoOffset = ULONG(senseAt);
    StartTrace();
    r = Ioctl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &req, sizeof(req), &req, sizeof(req));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(LastRefusal(), "the operation code is not one the disk answers");
    EXPECT_EQ(req.sptd.ScsiStatus, 2);
    EXPECT_EQ(req.sense[2], 0x05);  // ILLEGAL REQUEST
    EXPECT_EQ(req.sense[12], 0x20); // invalid command operation code

    const struct {
        const char* what;
        std::function<void(SCSI_PASS_THROUGH_DIRECT&)> change;
        const char* reason;
    } refused[] = {
        {"the 32-bit Length 44", [](SCSI_PASS_THROUGH_DIRECT& s) { s.Length = 44; },
         "Length must be sizeof(SCSI_PASS_THROUGH_DIRECT)"},
        {"CdbLength 0", [](SCSI_PASS_THROUGH_DIRECT& s) { s.CdbLength = 0; },
         "CdbLength must be 1 to 16"},
        {"CdbLength 17", [](SCSI_PASS_THROUGH_DIRECT& s) { s.CdbLength = 17; },
         "CdbLength must be 1 to 16"},
        {"DataIn 3", [](SCSI_PASS_THROUGH_DIRECT& s) { s.DataIn = 3; }, "DataIn must be 0, 1 or 2"},
        {"TimeOutValue 0", [](SCSI_PASS_THROUGH_DIRECT& s) { s.TimeOutValue = 0; },
         "TimeOutValue must be 1 to 108000"},
        {"no DataBuffer", [](SCSI_PASS_THROUGH_DIRECT& s) { s.DataBuffer = nullptr; },
         "DataBuffer must be given with DataTransferLength"},
        {"sense past the output",
         [](SCSI_PASS_THROUGH_DIRECT& s) { s.SenseInfoOffset = sizeof(req) - 8; },
         "the sense area must lie past the structure inside the output"},
        {"sense over the structure", [](SCSI_PASS_THROUGH_DIRECT& s) { s.SenseInfoOffset = 8; },
         "the sense area must lie past the structure inside the output"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        req.sptd = Sptd(inquiry, 6, SCSI_IOCTL_DATA_IN, data, 36);
        req.sptd.SenseInfoLength = 32;
        req.sptd.SenseInfoOffset = ULONG(senseAt);
        c.change(req.sptd);
        StartTrace();
        r = Ioctl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &req, sizeof(req), &req, sizeof(req));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, 87u);
        EXPECT_EQ(LastRefusal(), c.reason);
    }
    CloseHandle(h);
}

TEST_F(StackTest, DeviceNumbersAddressesAndVolumes) {
    HANDLE disk = Open(L"\\\\.\\PhysicalDrive2");
    HANDLE volume = Open(L"\\\\.\\e:");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n = {};
    ASSERT_TRUE(Ioctl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n)).ok);
    EXPECT_EQ(n.DeviceType, 7u);
    EXPECT_EQ(n.DeviceNumber, 1u);
    EXPECT_EQ(n.PartitionNumber, 2u);
    EXPECT_EQ(Ioctl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, 8).error, 122u);
    SCSI_ADDRESS a = {};
    a.Length = sizeof(a);
    Result r = Ioctl(disk, IOCTL_SCSI_GET_ADDRESS, &a, sizeof(a), &a, sizeof(a));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(a.PortNumber, 3);
    EXPECT_EQ(a.PathId, 1);
    EXPECT_EQ(a.TargetId, 0);
    EXPECT_EQ(a.Lun, 0);
    // Asynchronous requests and a missing byte count are refused.
    DWORD returned = 0;
    StartTrace();
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_GET_ADDRESS, &a, 8, &a, 8, NULL, NULL));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(LastRefusal(), "lpBytesReturned must be given without an OVERLAPPED");
    StartTrace();
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_GET_ADDRESS, &a, 8, &a, 8, &returned,
                                 reinterpret_cast<LPOVERLAPPED>(&returned)));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(LastRefusal(), "the handle was not opened for overlapped I/O");
    CloseHandle(disk);
    CloseHandle(volume);
}

TEST_F(StackTest, DevicePathsThatDoNotOpen) {
    const struct {
        const wchar_t* path;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {L"\\\\.\\PhysicalDrive3", OPEN_EXISTING, 2},
        {L"\\\\.\\PhysicalDrive", OPEN_EXISTING, 2},
        {L"\\\\.\\C:", OPEN_EXISTING, 2},
        {L"\\\\.\\scsi7:", OPEN_EXISTING, 2},
        {L"\\\\.\\scsi#nothing", OPEN_EXISTING, 2},
        {L"\\\\.\\PhysicalDrive1", OPEN_ALWAYS, 87},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        HANDLE h =
            CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        NULL, c.disposition, FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    ASSERT_TRUE(sim::InjectFault("native", "open_fail*1"));
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(StackTest, SharingFollowsTheOpenHandles) {
    HANDLE exclusive = CreateFileW(L"\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 32u);
    CloseHandle(exclusive);
    HANDLE a = Open(L"\\\\.\\PhysicalDrive1");
    HANDLE b = Open(L"\\\\.\\PhysicalDrive1");
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    CloseHandle(a);
    CloseHandle(b);
}

HANDLE OpenWith(const wchar_t* path, DWORD access) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

TEST_F(StackTest, ControlCodesNeedTheAccessTheirCodeNames) {
    // 0x002DD3C0 IOCTL_STORAGE_PROTOCOL_COMMAND, 0x0004D008 IOCTL_SCSI_MINIPORT and 0x0004D014
    // IOCTL_SCSI_PASS_THROUGH_DIRECT name FILE_READ_ACCESS | FILE_WRITE_ACCESS.
    const struct {
        const char* what;
        DWORD access;
        bool readWrite;
    } handles[] = {
        {"no access", 0, false},
        {"GENERIC_READ", 0x80000000u, false},
        {"GENERIC_WRITE", 0x40000000u, false},
        {"FILE_READ_DATA", 0x0001u, false},
        {"FILE_WRITE_DATA", 0x0002u, false},
        {"GENERIC_READ | GENERIC_WRITE", 0xC0000000u, true},
        {"FILE_READ_DATA | FILE_WRITE_DATA", 0x0003u, true},
        {"GENERIC_ALL", 0x10000000u, true},
    };
    for (const auto& c : handles) {
        SCOPED_TRACE(c.what);
        const DWORD want = c.readWrite ? 0 : 5; // ERROR_ACCESS_DENIED
        HANDLE native = OpenWith(L"\\\\.\\PhysicalDrive1", c.access);
        HANDLE port = OpenWith(L"\\\\.\\scsi3:", c.access);
        HANDLE stick = OpenWith(L"\\\\.\\PhysicalDrive4", c.access);
        ASSERT_NE(native, INVALID_HANDLE_VALUE);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_NE(stick, INVALID_HANDLE_VALUE);

        std::vector<uint8_t> identify = IdentifyCommand();
        Result r = Ioctl(native, 0x002DD3C0, identify.data(), DWORD(identify.size()),
                         identify.data(), DWORD(identify.size()));
        EXPECT_EQ(r.error, want);
        EXPECT_EQ(r.ok, want == 0);
        // A refused request never reaches the drive: the data area keeps its zeros.
        EXPECT_EQ(identify[144 + 24], c.readWrite ? 'Z' : 0);

        std::vector<uint8_t> in = IntelNvm(0x02, 0x03FF0005, 4096);
        std::vector<uint8_t> out(in.size(), 0);
        r = Ioctl(port, 0x0004D008, in.data(), DWORD(in.size()), out.data(), DWORD(out.size()));
        EXPECT_EQ(r.error, want);
        EXPECT_EQ(out[164 + 4 * 0x06], c.readWrite ? 1 : 0);

        struct {
            SCSI_PASS_THROUGH_DIRECT sptd;
            uint8_t sense[32];
        } req;
        uint8_t inquiry[6] = {0x12, 0, 0, 0, 0x24, 0};
        uint8_t data[36] = {};
        req.sptd = Sptd(inquiry, 6, SCSI_IOCTL_DATA_IN, data, 36);
        req.sptd.SenseInfoLength = 32;
        req.sptd.SenseInfoOffset = ULONG(offsetof(decltype(req), sense));
        r = Ioctl(stick, 0x0004D014, &req, sizeof(req), &req, sizeof(req));
        EXPECT_EQ(r.error, want);
        EXPECT_EQ(data[8], c.readWrite ? 'S' : 0);

        // 0x002D1400 IOCTL_STORAGE_QUERY_PROPERTY names FILE_ANY_ACCESS: every handle may ask.
        STORAGE_PROPERTY_QUERY q = {};
        uint8_t descriptor[40] = {};
        r = Ioctl(native, 0x002D1400, &q, sizeof(q), descriptor, sizeof(descriptor));
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(descriptor[28], 17); // BusTypeNvme

        for (HANDLE h : {native, port, stick}) {
            CloseHandle(h);
        }
    }
}

TEST_F(StackTest, ReadOnlyAndWriteOnlyControlCodesCheckTheirOneRight) {
    // Control codes of device type 0x2D that no driver here knows: 0x002D4000 names
    // FILE_READ_ACCESS, 0x002D8000 FILE_WRITE_ACCESS. The I/O manager's check comes first;
    // past it the driver refuses them with ERROR_INVALID_FUNCTION (1).
    HANDLE reader = OpenWith(L"\\\\.\\PhysicalDrive1", 0x80000000u);
    HANDLE writer = OpenWith(L"\\\\.\\PhysicalDrive1", 0x40000000u);
    HANDLE none = OpenWith(L"\\\\.\\PhysicalDrive1", 0);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_NE(none, INVALID_HANDLE_VALUE);
    uint8_t buf[16] = {};
    StartTrace();
    EXPECT_EQ(Ioctl(reader, 0x002D4000, buf, 16, buf, 16).error, 1u);
    EXPECT_EQ(LastRefusal(), "no driver of the stack knows the code");
    StartTrace();
    EXPECT_EQ(Ioctl(writer, 0x002D4000, buf, 16, buf, 16).error, 5u);
    EXPECT_EQ(LastRefusal(), "the handle lacks the access the control code requires");
    EXPECT_EQ(Ioctl(none, 0x002D4000, buf, 16, buf, 16).error, 5u);
    EXPECT_EQ(Ioctl(reader, 0x002D8000, buf, 16, buf, 16).error, 5u);
    EXPECT_EQ(Ioctl(writer, 0x002D8000, buf, 16, buf, 16).error, 1u);
    EXPECT_EQ(Ioctl(none, 0x002D8000, buf, 16, buf, 16).error, 5u);
    // 0x002D1080 IOCTL_STORAGE_GET_DEVICE_NUMBER names FILE_ANY_ACCESS.
    STORAGE_DEVICE_NUMBER n = {};
    EXPECT_TRUE(Ioctl(none, 0x002D1080, NULL, 0, &n, sizeof(n)).ok);
    EXPECT_EQ(n.DeviceNumber, 1u);
    for (HANDLE h : {reader, writer, none}) {
        CloseHandle(h);
    }
}

TEST_F(StackTest, AResetDiskLeavesItsHandlesDeadAndComesBack) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive4");
    sim::HoldReturns(true); // looked at while away, however late this thread runs
    ASSERT_TRUE(sim::ResetDisk("stick", 1000, 9));
    STORAGE_DEVICE_NUMBER n = {};
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n)).error, 433u);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive4"), INVALID_HANDLE_VALUE);
    sim::HoldReturns(false);
    zxposix::SetClockSpeed(100);
    ASSERT_TRUE(sim::WaitForPresence("stick", true, std::chrono::seconds(30)));
    zxposix::SetClockSpeed(1);
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n)).error, 433u);
    CloseHandle(h);
    h = Open(L"\\\\.\\PhysicalDrive9");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n)).ok);
    EXPECT_EQ(n.DeviceNumber, 9u);
    CloseHandle(h);
    // A disk that does not come back stays away.
    ASSERT_TRUE(sim::InjectFault("native", "no_return"));
    ASSERT_TRUE(sim::ResetDisk("native", 10));
    Sleep(30);
    EXPECT_FALSE(sim::IsPresent("native"));
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive1"), INVALID_HANDLE_VALUE);
}

TEST_F(StackTest, FaultsStrikeAfterTheirSkipAndForTheirCount) {
    ASSERT_TRUE(sim::InjectFault("rst", "ioctl_fail:IOCTL_SCSI_GET_ADDRESS@1*2"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive2");
    SCSI_ADDRESS a = {};
    std::vector<DWORD> errors;
    for (int i = 0; i < 4; ++i) {
        errors.push_back(Ioctl(h, IOCTL_SCSI_GET_ADDRESS, &a, 8, &a, 8).error);
    }
    EXPECT_EQ(errors, (std::vector<DWORD>{0, 1117, 1117, 0}));
    CloseHandle(h);
}

TEST_F(StackTest, DriveFaultsStrikeWhateverTheTransport) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    ASSERT_TRUE(sim::InjectFault("native", "nvme_fail:0x06*1"));
    std::vector<uint8_t> buf = IdentifyCommand();
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()), buf.data(),
                    DWORD(buf.size()))
                  .error,
              1117u);
    buf = IdentifyCommand();
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()), buf.data(),
                    DWORD(buf.size()))
                  .error,
              0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[144 + 24]), 8), "ZELTARIX");
    ASSERT_TRUE(sim::InjectFault("native", "garbage_identify"));
    buf = IdentifyCommand();
    EXPECT_TRUE(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, buf.data(), DWORD(buf.size()), buf.data(),
                      DWORD(buf.size()))
                    .ok);
    EXPECT_NE(std::string(reinterpret_cast<char*>(&buf[144 + 24]), 8), "ZELTARIX");
    sim::ClearFaults("native");
    CloseHandle(h);
    // A refused download chunk, here on the RST path.
    HANDLE port = Open(L"\\\\.\\scsi3:");
    ASSERT_TRUE(sim::InjectFault("rst", "download_fail@1*1"));
    std::vector<DWORD> errors;
    for (uint32_t offset = 0; offset < 3; ++offset) {
        std::vector<uint8_t> in = IntelNvm(0x11, 0, 4); // one dword at dword offset `offset`
        std::memcpy(&in[32 + 44], &offset, 4);
        std::vector<uint8_t> out(in.size(), 0);
        errors.push_back(Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), out.data(),
                               DWORD(out.size()))
                             .error);
    }
    EXPECT_EQ(errors, (std::vector<DWORD>{0, 1117, 0}));
    CloseHandle(port);
}

} // namespace
