// The simulated drivers read only the bytes a request gives, write the caller's output buffer
// wherever it lies, and a slow request survives the PC being replaced while it waits.
#include "tests/support/sim_fixture.h"
#include "tests/sim/sim_requests.h"

#include <future>
#include <thread>

namespace {

using simreq::Ioctl;
using simreq::Put32;
using simreq::Result;

const char kScenario[] = R"(
[disk native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
firmware = ZX16A100
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168

[controller rst0]
kind = rst
scsi_port = 3

[disk rst]
kind = rst
drive = 2
controller = rst0
scsi_path = 1
model = ZELTARIX ZX5012 512GB
sectors = 1000215216

[disk enclosure]
kind = usb
drive = 4
usb = 1/3
bridge = asmedia
vendor = ASMT
product = 2362
model = ZELTARIX ZX5016 1TB
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
)";

class RequestSafetyTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(kScenario);
    }
};

TEST_F(RequestSafetyTest, NativeDownloadShorterThanItsStructureIsRefused) {
    // STORAGE_HW_FIRMWARE_DOWNLOAD is 40 bytes; an input of 32..39 bytes holds its fields up to
    // BufferSize but not the structure. Only the given bytes may be read.
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    for (uint32_t size = 32; size < 40; ++size) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> in(size, 0);
        Put32(in, 0, 40);
        Put32(in, 4, size);
        Put32(in, 8, 1);
        in[12] = 1;
        Put32(in, 24, size - 32); // BufferSize: the bytes after the fields
        StartTrace();
        Result r = Ioctl(h, IOCTL_STORAGE_FIRMWARE_DOWNLOAD, in.data(), size, nullptr, 0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, 87u);
        EXPECT_EQ(LastRefusal(), "the input must hold the 40-byte structure");
    }
    CloseHandle(h);
}

TEST_F(RequestSafetyTest, IntelFwDownloadWhoseStructureEndsTheInputIsRefused) {
    // STORAGE_FIRMWARE_DOWNLOAD_V2 is 32 bytes before its image; the request ends there.
    HANDLE port = Open(L"\\\\.\\scsi3:");
    std::vector<uint8_t> in = simreq::IntelFwDownload(1, 0, {});
    ASSERT_EQ(in.size(), 88u);
    StartTrace();
    Result r = Ioctl(port, IOCTL_SCSI_MINIPORT, in.data(), DWORD(in.size()), nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 87u);
    EXPECT_EQ(LastRefusal(), "BufferSize must be whole dwords, not 0");
    CloseHandle(port);
}

TEST_F(RequestSafetyTest, ReplyHeadersLandInUnalignedOutputBuffers) {
    // Each request is given one byte into a larger buffer, so no structure in it is aligned.
    HANDLE native = Open(L"\\\\.\\PhysicalDrive1");
    std::vector<uint8_t> command = simreq::ProtocolCommand(0x06, 2, 4096);
    Put32(command, 80 + 40, 1); // CNS 1: the controller
    std::vector<uint8_t> shifted(command.size() + 1, 0);
    std::memcpy(shifted.data() + 1, command.data(), command.size());
    Result r = Ioctl(native, IOCTL_STORAGE_PROTOCOL_COMMAND, shifted.data() + 1,
                     DWORD(command.size()), shifted.data() + 1, DWORD(command.size()));
    ASSERT_TRUE(r.ok) << r.error;
    std::vector<uint8_t> reply(shifted.begin() + 1, shifted.end());
    EXPECT_EQ(simreq::Get32(reply, 16), 1u); // ReturnStatus: STORAGE_PROTOCOL_STATUS_SUCCESS
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&reply[144 + 24]), 19), "ZELTARIX ZX5016 1TB");
    CloseHandle(native);

    HANDLE port = Open(L"\\\\.\\scsi3:");
    const uint32_t logPage[16] = {0x02, 0xFFFFFFFFu, 0, 0, 0, 0, 0, 0, 0, 0, 0x03FF0005};
    std::vector<uint8_t> nvm = simreq::IntelNvm(1, logPage, 4096);
    std::vector<uint8_t> out(nvm.size() + 1, 0xEE);
    r = Ioctl(port, IOCTL_SCSI_MINIPORT, nvm.data(), DWORD(nvm.size()), out.data() + 1,
              DWORD(nvm.size()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(simreq::Get32(std::vector<uint8_t>(out.begin() + 1, out.end()), 20), 0u);
    EXPECT_EQ(out[1 + 164 + 4 * 0x06], 1); // Identify is listed
    CloseHandle(port);

    HANDLE usb = Open(L"\\\\.\\PhysicalDrive4");
    std::vector<uint8_t> raw(sizeof(simreq::PassThrough) + 1, 0);
    simreq::PassThrough rq;
    std::memset(&rq, 0, sizeof(rq));
    uint8_t inquiry[64] = {};
    rq.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    rq.sptd.CdbLength = 16;
    rq.sptd.SenseInfoLength = 64;
    rq.sptd.SenseInfoOffset = ULONG(offsetof(simreq::PassThrough, sense));
    rq.sptd.DataIn = SCSI_IOCTL_DATA_IN;
    rq.sptd.DataTransferLength = 38;
    rq.sptd.DataBuffer = inquiry;
    rq.sptd.TimeOutValue = 10;
    rq.sptd.Cdb[0] = 0x12;
    rq.sptd.Cdb[4] = 0x26;
    std::memcpy(raw.data() + 1, &rq, sizeof(rq));
    r = Ioctl(usb, IOCTL_SCSI_PASS_THROUGH_DIRECT, raw.data() + 1, sizeof(rq), raw.data() + 1,
              sizeof(rq));
    ASSERT_TRUE(r.ok) << r.error;
    std::memcpy(&rq, raw.data() + 1, sizeof(rq));
    EXPECT_EQ(rq.sptd.ScsiStatus, 0);
    EXPECT_EQ(rq.sptd.DataTransferLength, 38u);
    EXPECT_EQ(inquiry[36], 0x60); // the ASMedia signature
    EXPECT_EQ(inquiry[37], 0x23);
    CloseHandle(usb);
}

TEST_F(RequestSafetyTest, ASlowRequestFindsThePcReplacedWhileItWaited) {
    ASSERT_TRUE(sim::InjectFault("native", "slow:5000*1"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    std::promise<uint32_t> waiting;
    std::promise<void> proceed;
    std::shared_future<void> go = proceed.get_future().share();
    sim::SetSlowWaitHook([&waiting, go](uint32_t ms) {
        waiting.set_value(ms);
        go.wait();
    });
    std::future<Result> request = std::async(std::launch::async, [h] {
        STORAGE_DEVICE_NUMBER n = {};
        return Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof(n));
    });
    EXPECT_EQ(waiting.get_future().get(), 5000u);
    Load(kScenario); // a new PC while the request waits without the PC's lock
    proceed.set_value();
    Result r = request.get();
    sim::SetSlowWaitHook(nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 433u); // ERROR_NO_SUCH_DEVICE: the handle's PC is gone
    CloseHandle(h);
    // The new PC's disk answers at once: its fault list is the scenario's, without the fault.
    h = Open(L"\\\\.\\PhysicalDrive1");
    STORAGE_DEVICE_NUMBER n = {};
    r = Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof(n));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(n.DeviceNumber, 1u);
    CloseHandle(h);
}

TEST_F(RequestSafetyTest, FaultListsNameOnlyKnownKindsWithTheirArguments) {
    const struct {
        const char* faults;
        bool ok;
    } cases[] = {
        {"download_fail", true},
        {"download_fail:8192", true},
        {"download_fail:0x2000@1*2", true},
        {"download_vanish:4096", true},
        {"commit_fail*1", true},
        {"nvme_fail:0x6", true},
        {"no_return", true},
        {"slow:20", true},
        {"downlaod_fail", false},   // misspelt
        {"commit_fail:1", false},   // takes no argument
        {"nvme_fail", false},       // needs its opcode
        {"nvme_fail:0x100", false}, // not an opcode
        {"slow", false},            // needs its time
        {"download_fail:8k", false},
        {"no_return,bogus", false}, // one unknown kind spoils the list
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        sim::ClearFaults("native");
        EXPECT_EQ(sim::InjectFault("native", c.faults), c.ok);
    }
    std::string error;
    EXPECT_FALSE(
        sim::LoadScenarioText("[disk a]\nkind = nvme\ndrive = 1\nfaults = bogus:1\n", &error));
    EXPECT_EQ(error, "line 4: [disk a] fault 'bogus:1': unknown kind 'bogus'");
    // An opcode is matched whichever way it was written.
    sim::ClearFaults("native");
    ASSERT_TRUE(sim::InjectFault("native", "nvme_fail:6*1"));
    HANDLE h = Open(L"\\\\.\\PhysicalDrive1");
    std::vector<uint8_t> identify = simreq::ProtocolCommand(0x06, 2, 4096);
    Put32(identify, 80 + 40, 1);
    EXPECT_EQ(Ioctl(h, IOCTL_STORAGE_PROTOCOL_COMMAND, identify.data(), DWORD(identify.size()),
                    identify.data(), DWORD(identify.size()))
                  .error,
              1117u);
    CloseHandle(h);
}

} // namespace
