// The simulated inbox NVMe driver and Intel RST miniport take each request in the one form the
// program sends and refuse every other: each case changes one field of a request that is taken,
// and the request's trace record says why it was refused.
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

#include <fstream>
#include <functional>
#include <iterator>

namespace {

using simreq::Get32;
using simreq::Ioctl;
using simreq::Put32;
using simreq::Result;

using Bytes = std::vector<uint8_t>;
using Change = std::function<void(Bytes&)>;

const char kScenario[] = R"(
[disk native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
firmware = 041k0207
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
vsc = 1

[controller rst0]
kind = rst
scsi_port = 3

[disk rst]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
firmware = 041k020A
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1000215216
vsc = 0
)";

struct Case {
    const char* what;
    Change change;
    DWORD error;
    const char* refused; // the trace record's reason, "" for none
};

class DriverRefusalsTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(kScenario);
    }

    // Sends the request, changed by each case, as input and output of one buffer (or input only
    // when inputOnly) and checks the error and the reason its trace record gives.
    void Expect(HANDLE h, DWORD code, const Bytes& request, const Case* cases, size_t n,
                bool inputOnly = false) {
        for (size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(cases[i].what);
            Bytes in = request;
            cases[i].change(in);
            Bytes out(in.size(), 0);
            StartTrace();
            Result r = inputOnly ? Ioctl(h, code, in.data(), DWORD(in.size()), nullptr, 0)
                                 : Ioctl(h, code, in.data(), DWORD(in.size()), out.data(),
                                         DWORD(out.size()));
            EXPECT_EQ(r.error, cases[i].error);
            EXPECT_EQ(LastRefusal(), cases[i].refused);
        }
    }
};

const Change kAsGiven = [](Bytes&) {};

TEST_F(DriverRefusalsTest, TheProtocolCommandCarriesTheProgramsFlagsTimeoutAndOffsets) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    // Get Log Page 05 of 4096 bytes from the device; both offsets 144.
    Bytes logPage = simreq::ProtocolCommand(0x02, 2, 4096);
    Put32(logPage, 80 + 40, 0x03FF0005);
    const Case cases[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"Flags 0", [](Bytes& b) { Put32(b, 12, 0); }, 87, "Flags must be 0x80000000"},
        {"Flags 80000001", [](Bytes& b) { Put32(b, 12, 0x80000001u); }, 87,
         "Flags must be 0x80000000"},
        {"TimeOutValue 0", [](Bytes& b) { Put32(b, 40, 0); }, 87, "TimeOutValue must be 10"},
        {"TimeOutValue 9", [](Bytes& b) { Put32(b, 40, 9); }, 87, "TimeOutValue must be 10"},
        {"TimeOutValue 11", [](Bytes& b) { Put32(b, 40, 11); }, 87, "TimeOutValue must be 10"},
        {"TimeOutValue 60", [](Bytes& b) { Put32(b, 40, 60); }, 87, "TimeOutValue must be 10"},
        // The unused direction's offset: 0, or past the command inside the buffer.
        {"to-device offset 0", [](Bytes& b) { Put32(b, 48, 0); }, 0, ""},
        {"to-device offset at the buffer's end", [](Bytes& b) { Put32(b, 48, 4240); }, 0, ""},
        {"to-device offset inside the command", [](Bytes& b) { Put32(b, 48, 100); }, 87,
         "DataToDeviceBufferOffset without data must be 0 or past the command"},
        {"to-device offset inside the header", [](Bytes& b) { Put32(b, 48, 8); }, 87,
         "DataToDeviceBufferOffset without data must be 0 or past the command"},
        {"to-device offset past the buffer", [](Bytes& b) { Put32(b, 48, 4241); }, 87,
         "DataToDeviceBufferOffset without data must be 0 or past the command"},
    };
    Expect(h, IOCTL_STORAGE_PROTOCOL_COMMAND, logPage, cases, std::size(cases));
    // A command without data: 144 bytes, both offsets 144.
    const Bytes abort = simreq::ProtocolCommand(0x08, 0, 0);
    const Case none[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"both offsets 0",
         [](Bytes& b) {
             Put32(b, 48, 0);
             Put32(b, 52, 0);
         },
         0, ""},
        {"from-device offset 145", [](Bytes& b) { Put32(b, 52, 145); }, 87,
         "DataFromDeviceBufferOffset without data must be 0 or past the command"},
        {"to-device offset 80", [](Bytes& b) { Put32(b, 48, 80); }, 87,
         "DataToDeviceBufferOffset without data must be 0 or past the command"},
    };
    Expect(h, IOCTL_STORAGE_PROTOCOL_COMMAND, abort, none, std::size(none));
    CloseHandle(h);
}

TEST_F(DriverRefusalsTest, EveryProtocolCommandRefusalSaysWhichFieldIsWrong) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    // Get Log Page 05 of 4096 bytes from the device, in a buffer of 4240 bytes.
    Bytes logPage = simreq::ProtocolCommand(0x02, 2, 4096);
    Put32(logPage, 80 + 40, 0x03FF0005);
    const Case cases[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"an input of 83 bytes", [](Bytes& b) { b.resize(83); }, 87,
         "the input must hold STORAGE_PROTOCOL_COMMAND"},
        {"Version 2", [](Bytes& b) { Put32(b, 0, 2); }, 87, "Version must be 1"},
        {"Length 80", [](Bytes& b) { Put32(b, 4, 80); }, 87, "Length must be 84"},
        {"ProtocolType 2", [](Bytes& b) { Put32(b, 8, 2); }, 87,
         "ProtocolType must be ProtocolTypeNvme (3)"},
        {"CommandLength 32", [](Bytes& b) { Put32(b, 24, 32); }, 87, "CommandLength must be 64"},
        {"an input of 100 bytes", [](Bytes& b) { b.resize(100); }, 87,
         "the input must hold the 64-byte command"},
        {"CommandSpecific 2", [](Bytes& b) { Put32(b, 56, 2); }, 50,
         "CommandSpecific must be an admin command (1)"},
        {"16 bytes to the device as well", [](Bytes& b) { Put32(b, 32, 16); }, 87,
         "data must move one way only"},
        {"4100 bytes from the device", [](Bytes& b) { Put32(b, 36, 4100); }, 87,
         "the data from the device must lie past the command inside the output"},
        {"the data from the device at 100", [](Bytes& b) { Put32(b, 52, 100); }, 87,
         "the data from the device must lie past the command inside the output"},
        {"4100 bytes to the device",
         [](Bytes& b) {
             Put32(b, 32, 4100);
             Put32(b, 36, 0);
         },
         87, "the data to the device must lie past the command inside the input"},
        {"16 bytes of error information at 4230",
         [](Bytes& b) {
             Put32(b, 28, 16);
             Put32(b, 44, 4230);
         },
         87, "the error information must lie inside the output"},
        {"a queue-management opcode", [](Bytes& b) { b[80] = 0x01; }, 1,
         "queue management is the driver's own"},
        {"an opcode the effects log does not list", [](Bytes& b) { b[80] = 0xE6; }, 1,
         "the opcode is not in the Commands Supported and Effects log"},
    };
    Expect(h, IOCTL_STORAGE_PROTOCOL_COMMAND, logPage, cases, std::size(cases));
    // A command without data and without buffer offsets, answered into 64 bytes.
    Bytes abort = simreq::ProtocolCommand(0x08, 0, 0);
    Put32(abort, 48, 0);
    Put32(abort, 52, 0);
    Bytes out(64, 0);
    StartTrace();
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, abort.data(), DWORD(abort.size()),
                    out.data(), DWORD(out.size()))
                  .error,
              122u); // ERROR_INSUFFICIENT_BUFFER
    EXPECT_EQ(LastRefusal(), "the output must hold the 80-byte header");
    CloseHandle(h);
    // The RST disk is not the NVMe driver's.
    HANDLE rst = Open(L"\\\\.\\PhysicalDrive2");
    const Case other[] = {
        {"on the RST disk", kAsGiven, 1, "protocol commands need the NVMe driver"},
    };
    Expect(rst, IOCTL_STORAGE_PROTOCOL_COMMAND, logPage, other, std::size(other));
    CloseHandle(rst);
}

// A refused protocol command is still traced as the program gave it: the command's dwords and
// the data to the device, before any check.
TEST_F(DriverRefusalsTest, ARefusedProtocolCommandIsTracedWithItsCommandAndData) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    Bytes request = simreq::ProtocolCommand(0xC1, 1, 8);
    for (uint8_t i = 0; i < 8; ++i) {
        request[144 + i] = uint8_t(0xA0 + i);
    }
    Put32(request, 12, 0); // Flags 0
    StartTrace();
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, request.data(), DWORD(request.size()),
                    request.data(), DWORD(request.size()))
                  .error,
              87u);
    const std::vector<tracetest::Value> records = Records();
    ASSERT_EQ(records.size(), 1u);
    const tracetest::Value& r = records[0];
    EXPECT_EQ(r.fields.at("refused").text, "Flags must be 0x80000000");
    const std::vector<tracetest::Value>& cdw = r.fields.at("cdw").items;
    ASSERT_EQ(cdw.size(), 16u);
    EXPECT_EQ(cdw[0].text, "193");        // C1
    EXPECT_EQ(cdw[1].text, "4294967295"); // FFFFFFFF
    EXPECT_EQ(cdw[10].text, "2");
    EXPECT_EQ(r.fields.at("data").text, "a0a1a2a3a4a5a6a7");
    EXPECT_EQ(r.fields.count("return_status"), 0u);
    CloseHandle(h);
}

TEST_F(DriverRefusalsTest, IdentifyIsTheAdaptersDataAndLogPagesTheDevices) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    const struct {
        const char* what;
        uint32_t property;
        uint32_t dataType;
        uint32_t value;
        uint32_t subValue;
        uint32_t length;
        DWORD error;
        const char* refused;
    } cases[] = {
        {"Identify Controller, adapter", 49, 1, 1, 0, 4096, 0, ""},
        {"Identify Namespace 1, adapter", 49, 1, 0, 1, 4096, 0, ""},
        {"Identify Controller, device", 50, 1, 1, 0, 4096, 87,
         "Identify data is the adapter's property (49)"},
        {"Identify Namespace 1, device", 50, 1, 0, 1, 4096, 87,
         "Identify data is the adapter's property (49)"},
        {"log page 05, device", 50, 2, 5, 0, 4096, 0, ""},
        {"log page 05, adapter", 49, 2, 5, 0, 4096, 87, "a log page is the device's property (50)"},
        {"log page 05 of 4094 bytes", 50, 2, 5, 0, 4094, 87,
         "ProtocolDataLength must be whole dwords"},
        {"data type 3", 50, 3, 5, 0, 4096, 50, "DataType must be Identify (1) or a log page (2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes q = simreq::ProtocolQuery(c.property, c.dataType, c.value, c.subValue, c.length);
        StartTrace();
        EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_QUERY_PROPERTY, q.data(), DWORD(q.size()), q.data(),
                        DWORD(q.size()))
                      .error,
                  c.error);
        EXPECT_EQ(LastRefusal(), c.refused);
    }
    CloseHandle(h);
}

TEST_F(DriverRefusalsTest, NativeFirmwareRequestsHaveTheirOneForm) {
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    const Bytes download = simreq::NativeDownload(0, Bytes(4096, 0x5A));
    ASSERT_EQ(download.size(), 4136u);
    const Case pieces[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"Version 32", [](Bytes& b) { Put32(b, 0, 32); }, 87, "Version must be 40"},
        {"Size without the structure's padding", [](Bytes& b) { Put32(b, 4, 4128); }, 87,
         "Size must be the input length"},
        {"an input longer than Size", [](Bytes& b) { b.resize(4140); }, 87,
         "Size must be the input length"},
        {"Flags 0", [](Bytes& b) { Put32(b, 8, 0); }, 87, "Flags must be 0x00000001"},
        {"Flags with the last segment", [](Bytes& b) { Put32(b, 8, 3); }, 87,
         "Flags must be 0x00000001"},
        {"Slot 0", [](Bytes& b) { b[12] = 0; }, 0x80030208, "Slot must be 1 to 3"},
        {"Slot 4", [](Bytes& b) { b[12] = 4; }, 0x80030208, "Slot must be 1 to 3"},
        {"a reserved byte", [](Bytes& b) { b[14] = 1; }, 87, "Reserved must be zero"},
        {"Offset 2", [](Bytes& b) { b[16] = 2; }, 87, "Offset must be a dword offset below 16 GiB"},
        {"BufferSize 4095",
         [](Bytes& b) {
             Put32(b, 24, 4095);
             b.resize(4135);
             Put32(b, 4, 4135);
         },
         87, "BufferSize must be whole dwords"},
    };
    // Each accepted piece lands at offset 0: a fresh drive for each case.
    for (const Case& c : pieces) {
        Load(kScenario);
        HANDLE fresh = Open(L"\\\\.\\PhysicalDrive1");
        Expect(fresh, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, download, &c, 1, true);
        CloseHandle(fresh);
    }
    CloseHandle(h);
    h = Open(L"\\\\.\\PhysicalDrive1");
    // Nothing downloaded: a request in its form reaches the drive, whose commit finds no image.
    const Bytes activate = simreq::NativeActivate(1, 1);
    const Case activates[] = {
        {"as the program sends it", kAsGiven, 0x80030209,
         "Firmware Commit: no whole image was downloaded"},
        {"switching to the image in the slot", [](Bytes& b) { Put32(b, 8, 0x80000001u); }, 0x30207,
         ""}, // slot 1 holds the running image; a power cycle runs it
        {"Version 12", [](Bytes& b) { Put32(b, 0, 12); }, 87, "Version must be 16"},
        {"Size 20", [](Bytes& b) { Put32(b, 4, 20); }, 87, "Size must be 16"},
        {"an input of 20 bytes", [](Bytes& b) { b.resize(20); }, 87,
         "the input must be the 16-byte structure"},
        {"Flags 0", [](Bytes& b) { Put32(b, 8, 0); }, 87, "Flags must be 0x00000001 or 0x80000001"},
        {"Flags 80000000", [](Bytes& b) { Put32(b, 8, 0x80000000u); }, 87,
         "Flags must be 0x00000001 or 0x80000001"},
        {"Slot 0", [](Bytes& b) { b[12] = 0; }, 0x80030208, "Slot must be 1 to 3"},
        {"Slot 4", [](Bytes& b) { b[12] = 4; }, 0x80030208, "Slot must be 1 to 3"},
        {"a reserved byte", [](Bytes& b) { b[15] = 1; }, 87, "Reserved0 must be zero"},
    };
    Expect(h, IOCTL_STORAGE_FIRMWARE_ACTIVATE, activate, activates, std::size(activates), true);
    CloseHandle(h);
}

TEST_F(DriverRefusalsTest, IntelNvmCarriesItsTimeoutAndZerosWhereItReservesThem) {
    HANDLE port = Open(L"\\\\.\\scsi3:");
    const uint32_t logPage[16] = {0x02, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, 0, 0, 0x03FF0005};
    const Bytes request = simreq::IntelNvm(1, logPage, 4096);
    const Case cases[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"Timeout 39", [](Bytes& b) { Put32(b, 12, 39); }, 87, "Timeout must be 40"},
        {"Timeout 200", [](Bytes& b) { Put32(b, 12, 200); }, 87, "Timeout must be 40"},
        {"ReturnCode 1", [](Bytes& b) { Put32(b, 20, 1); }, 87, "ReturnCode must be 0"},
        {"a completion byte", [](Bytes& b) { b[100] = 1; }, 87,
         "the completion entry must be zero"},
        {"the first reserved byte after the lengths", [](Bytes& b) { b[124] = 1; }, 87,
         "the bytes 124 to 163 must be zero"},
        {"the last reserved byte after the lengths", [](Bytes& b) { b[163] = 1; }, 87,
         "the bytes 124 to 163 must be zero"},
        {"the padding after the data", [](Bytes& b) { b.back() = 1; }, 87,
         "the padding after the data must be zero"},
    };
    Expect(port, IOCTL_SCSI_MINIPORT, request, cases, std::size(cases));
    CloseHandle(port);
}

TEST_F(DriverRefusalsTest, IntelFwRequestsHaveTheirOneForm) {
    HANDLE port = Open(L"\\\\.\\scsi3:");
    const Bytes download = simreq::IntelFwDownload(1, 0, Bytes(4096, 0x5A));
    ASSERT_EQ(download.size(), 4184u);
    const Case pieces[] = {
        {"as the program sends it", kAsGiven, 0, ""},
        {"Timeout 40", [](Bytes& b) { Put32(b, 12, 40); }, 87, "Timeout must be 200"},
        {"ReturnCode 1", [](Bytes& b) { Put32(b, 20, 1); }, 87, "ReturnCode must be 0"},
        {"byte 30", [](Bytes& b) { b[30] = 1; }, 87, "TargetId and Lun must be 0"},
        {"byte 31", [](Bytes& b) { b[31] = 1; }, 87, "TargetId and Lun must be 0"},
        {"request flags 3", [](Bytes& b) { Put32(b, 44, 3); }, 87,
         "FIRMWARE_REQUEST_BLOCK Flags must be 1"},
        {"DataBufferOffset 60", [](Bytes& b) { Put32(b, 48, 60); }, 87,
         "DataBufferOffset must be 56"},
        {"DataBufferLength without the structure", [](Bytes& b) { Put32(b, 52, 4096); }, 87,
         "DataBufferLength must be 32 + BufferSize"},
        {"structure Version 1", [](Bytes& b) { Put32(b, 56, 1); }, 87,
         "STORAGE_FIRMWARE_DOWNLOAD_V2 Version must be 2"},
        {"structure Size 40", [](Bytes& b) { Put32(b, 60, 40); }, 87,
         "STORAGE_FIRMWARE_DOWNLOAD_V2 Size must be 32"},
        {"Offset beyond 32 bits of dwords", [](Bytes& b) { b[64 + 5] = 1; }, 87,
         "Offset must be a dword offset below 16 GiB"},
        {"BufferSize 4092", [](Bytes& b) { Put32(b, 72, 4092); }, 87,
         "DataBufferLength must be 32 + BufferSize"},
        {"Slot 1", [](Bytes& b) { b[80] = 1; }, 87, "Slot must be 0xFF"},
        {"Slot 0", [](Bytes& b) { b[80] = 0; }, 87, "Slot must be 0xFF"},
        {"a reserved byte", [](Bytes& b) { b[82] = 1; }, 87, "Reserved must be zero"},
        {"ImageSize 4096", [](Bytes& b) { Put32(b, 84, 4096); }, 87, "ImageSize must be 0"},
    };
    for (const Case& c : pieces) {
        Load(kScenario);
        HANDLE fresh = Open(L"\\\\.\\scsi3:");
        Expect(fresh, IOCTL_SCSI_MINIPORT, download, &c, 1, true);
        CloseHandle(fresh);
    }
    CloseHandle(port);
    port = Open(L"\\\\.\\scsi3:");
    // Nothing downloaded: a request in its form reaches the drive, whose commit finds no image.
    const Bytes activate = simreq::IntelFwActivate(1);
    ASSERT_EQ(activate.size(), 4184u);
    const Case activates[] = {
        {"as the program sends it", kAsGiven, 1117,
         "Firmware Commit: no whole image was downloaded"},
        {"Timeout 40", [](Bytes& b) { Put32(b, 12, 40); }, 87, "Timeout must be 200"},
        {"Function 4", [](Bytes& b) { Put32(b, 40, 4); }, 1,
         "Function must be download (2) or activate (3)"},
        {"DataBufferLength 16", [](Bytes& b) { Put32(b, 52, 16); }, 87,
         "DataBufferLength must be 12"},
        {"SlotToActivate 2", [](Bytes& b) { b[64] = 2; }, 87, "SlotToActivate must be 1"},
        {"a reserved byte of the structure", [](Bytes& b) { b[65] = 1; }, 87,
         "Reserved0 must be zero"},
        {"the dword 5 at 68", [](Bytes& b) { Put32(b, 68, 4); }, 87,
         "the dwords after the structure must be 5 and 7"},
        {"the dword 7 at 72", [](Bytes& b) { Put32(b, 72, 0); }, 87,
         "the dwords after the structure must be 5 and 7"},
        {"a byte of the zeros after them", [](Bytes& b) { b[4183] = 1; }, 87,
         "the bytes after the dwords 5 and 7 must be zero"},
        {"4180 bytes",
         [](Bytes& b) {
             b.resize(4180);
             Put32(b, 24, 4152);
         },
         87, "the input must be 4184 bytes"},
    };
    Expect(port, IOCTL_SCSI_MINIPORT, activate, activates, std::size(activates), true);
    CloseHandle(port);
}

} // namespace

namespace {

std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(DriverRefusalsTest, ARefusalIsWrittenToTheSimulatedPcsDebugLogAndNotTheProgramsOwn) {
    char dir[] = "/tmp/zx_sim_log_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/sim.log";
    sim::SetSimDebugLog(path);
    ClearLog();
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    Bytes logPage = simreq::ProtocolCommand(0x02, 2, 4096);
    Put32(logPage, 80 + 40, 0x03FF0005);
    Put32(logPage, 12, 0);
    // Without a trace too: the log does not depend on it.
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, logPage.data(), DWORD(logPage.size()),
                    logPage.data(), DWORD(logPage.size()))
                  .error,
              87u);
    CloseHandle(h);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive9"), INVALID_HANDLE_VALUE);
    sim::SetSimDebugLog("");
    EXPECT_EQ(FileLines(path), (std::vector<std::string>{
                                   "sim: stornvme refuses: Flags must be 0x80000000",
                                   "sim: I/O manager refuses: no device has this path",
                               }));
    EXPECT_EQ(LogLines(), std::vector<std::string>());
    std::remove(path.c_str());
    rmdir(dir);
}

} // namespace
