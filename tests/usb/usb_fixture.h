// Shared set-up of the bridge and vendor-command tests: a scenario of the simulated PC, the
// request trace and the Debug log captured to temporary files, and device handles.
#pragma once

#include "app/state/app_state.h"
#include "disklib/disk_record.h"
#include "platform/win32.h"
#include "sim/control.h"
#include "tests/support/log_capture.h"
#include "tests/support/trace_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace usbtest {

// The pass-through envelope as the build lays it out: the 32-bit layout has Length 44, sense
// area at 48 and 112 bytes in all; the 64-bit one Length 56, sense area at 60, 128 bytes.
constexpr bool k64 = sizeof(void*) == 8;
constexpr unsigned kSptdLength = k64 ? 56 : 44;
constexpr unsigned kSenseOffset = k64 ? 60 : 48;
constexpr unsigned kRequestBytes = k64 ? 128 : 112;

// One USB enclosure of a scenario.
inline std::string UsbDisk(const std::string& name, int drive, const std::string& bridge,
                           const std::string& usbPath, const std::string& vendor,
                           const std::string& product, const std::string& extra = "") {
    return "[disk " + name + "]\nkind = usb\ndrive = " + std::to_string(drive) +
           "\nbridge = " + bridge + "\nusb = " + usbPath +
           "\nusb_vid = 174C\nusb_pid = 2362\nvendor = " + vendor + "\nproduct = " + product +
           "\nrevision = 0\nmodel = ZELTARIX ZX5016 1TB\nserial = ZX5016D000000000000" +
           std::to_string(drive) +
           "\nfirmware = ZX16A100\nvendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = "
           "1953525168\nvsc = 1\n" +
           extra + "\n";
}

// A ZELTARIX disk on the platform's NVMe driver.
inline std::string NativeDisk(const std::string& name, int drive, int bus,
                              const std::string& extra = "") {
    return "[disk " + name + "]\nkind = nvme\ndrive = " + std::to_string(drive) +
           "\nmodel = ZELTARIX ZX5016 1TB\nserial = ZX5016A000000000000" + std::to_string(drive) +
           "\nfirmware = ZX16A100\nvendor_id = 0x1E5C\nssvid = 0x1E5C\nsectors = "
           "1953525168\nbus = " +
           std::to_string(bus) + "\nroot_bus = 0\nlink = 3,4,4,4\n" + extra + "\n";
}

// An Intel RST controller on SCSI port 3 and a ZELTARIX disk at path id 1 behind it.
inline std::string RstDisk(const std::string& name, int drive, const std::string& extra = "") {
    return "[controller rst0]\nkind = rst\nservice = iaStorAC\nbus = 7\nroot_bus = 0\n"
           "scsi_port = 3\n\n[disk " +
           name + "]\nkind = rst\ndrive = " + std::to_string(drive) +
           "\ncontroller = rst0\nscsi_path = 1\nmodel = ZELTARIX ZX5012 512GB\nserial = "
           "ZX5012B0000000000002\nfirmware = ZX12B105\nvendor_id = 0x1E5C\nssvid = "
           "0x1E5C\nsectors = 1000215216\n" +
           extra + "\n";
}

class SimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim::Install(); }
    void SetUp() override {
        char dir[] = "/tmp/zx_usb_test_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        tracePath_ = dir_ + "/trace.jsonl";
        log_.Start(dir_ + "/debug.log");
        GetAppState()->DebugFlag = 1;
    }

    void TearDown() override {
        sim::SetTraceFile("");
        for (HANDLE h : handles_) {
            CloseHandle(h);
        }
        handles_.clear();
        log_.Stop();
        GetAppState()->DebugFlag = 0;
        std::remove(tracePath_.c_str());
        rmdir(dir_.c_str());
    }

    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(sim::LoadScenarioText(scenario, &error)) << error;
    }

    HANDLE OpenPath(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "cannot open the device";
        if (h != INVALID_HANDLE_VALUE) {
            handles_.push_back(h);
        }
        return h;
    }

    HANDLE OpenDrive(int number) {
        return OpenPath(L"\\\\.\\PhysicalDrive" + std::to_wstring(number));
    }

    // Starts the trace and the log afresh; what happened before is not looked at.
    void StartRecording() {
        ASSERT_TRUE(sim::SetTraceFile(tracePath_));
        log_.Clear();
    }

    std::vector<tracetest::Record> Trace() {
        sim::SetTraceFile("");
        return tracetest::ReadTrace(tracePath_);
    }

    // The Debug log lines without their prefix.
    std::vector<std::string> LogLines() { return log_.Lines(); }

    static CommandContext Context(int32_t cmdType, uint32_t vscType = 0) {
        CommandContext c;
        memset(&c, 0, sizeof(c));
        c.iCmdType = cmdType;
        c.hScsiPort = INVALID_HANDLE_VALUE;
        c.iVSCType = vscType;
        return c;
    }

private:
    std::string dir_;
    std::string tracePath_;
    testsupport::LogCapture log_;
    std::vector<HANDLE> handles_;
};

// Checks one pass-through record: its CDB (16 bytes, hex), DataIn, transfer length, the
// family's sense length and timeout, and the envelope's fixed fields.
inline void ExpectPassThrough(const tracetest::Record& r, const std::string& cdb, int dataIn,
                              unsigned transferLength, unsigned senseLength, unsigned timeout) {
    using tracetest::Field;
    EXPECT_EQ(Field(r, "op"), "DeviceIoControl");
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_SCSI_PASS_THROUGH_DIRECT");
    EXPECT_EQ(Field(r, "cdb"), cdb);
    EXPECT_EQ(Field(r, "cdb_len"), "16");
    EXPECT_EQ(Field(r, "data_in"), std::to_string(dataIn));
    EXPECT_EQ(Field(r, "transfer_len"), std::to_string(transferLength));
    EXPECT_EQ(Field(r, "sense_len"), std::to_string(senseLength));
    EXPECT_EQ(Field(r, "timeout"), std::to_string(timeout));
    EXPECT_EQ(Field(r, "length"), std::to_string(kSptdLength));
    EXPECT_EQ(Field(r, "sense_off"), std::to_string(kSenseOffset));
    EXPECT_EQ(Field(r, "in_len"), std::to_string(kRequestBytes));
    EXPECT_EQ(Field(r, "out_len"), std::to_string(kRequestBytes));
}

inline std::string Zeros(size_t bytes) {
    return std::string(bytes * 2, '0');
}

} // namespace usbtest
