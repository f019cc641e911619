// Port ids on the topologies of the simulated PC, and the search for a disk by its port id.
#include "topology/port_id.h"

#include "app/state/app_state.h"
#include "disklib/disk_record.h"
#include "platform/posix/control.h"
#include "tests/support/sim_fixture.h"

#include <cstdlib>

namespace {

class PortIdTest : public SimTest {};

uint32_t DriveNumberOf(HANDLE h) {
    STORAGE_DEVICE_NUMBER n = {};
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n), &returned,
                         NULL)) {
        return 0xFFFFFFFF;
    }
    return n.DeviceNumber;
}

TEST(ReverseDigitPairs, ReversesPairsAndARemainingHundredGivesZeroZero) {
    EXPECT_EQ(ReverseDigitPairs(30201), 10203u);
    EXPECT_EQ(ReverseDigitPairs(402), 204u);
    EXPECT_EQ(ReverseDigitPairs(7), 7u);
    EXPECT_EQ(ReverseDigitPairs(10002), 200u);
    EXPECT_EQ(ReverseDigitPairs(1000203), 30200u);
}

TEST_F(PortIdTest, DeviceBehindAHubAndDeviceOnARootPort) {
    Load(R"(
[disk hub]
kind = usb
drive = 1
usb = 1/2/3
serial = A1
sectors = 60063744
[disk root]
kind = usb
drive = 2
usb = 2/4
serial = B2
sectors = 60063744
)");
    EXPECT_EQ(GetDiskPortID(7, 1), 10203);
    EXPECT_EQ(GetDiskPortID(7, 2), 204);
    EXPECT_EQ(GetDiskPortID(7, 3), -1);
    EXPECT_EQ(GetUsbPathCode(L"USB\\VID_174C&PID_2362\\A1"), 30201u);
    EXPECT_EQ(GetUsbPathCode(L"USB\\VID_174C&PID_2362\\B2"), 402u);
    EXPECT_EQ(GetUsbPathCode(L"usb\\vid_174c&pid_2362\\a1"), 0u); // IDs compare with case
    EXPECT_EQ(GetUsbPathCode(L"USB\\VID_174C&PID_2362\\C3"), 0u);
}

TEST_F(PortIdTest, HubsWithoutLocationText) {
    Load(R"(
[usbhub 2/1]
location = none
[usbhub 1/3]
location = none
[disk first-hub]
kind = usb
drive = 1
usb = 2/1/1
serial = A1
sectors = 60063744
[disk second-hub]
kind = usb
drive = 2
usb = 1/3/5/2
serial = B2
sectors = 60063744
)");
    // Port 1 of a hub without text (port 0) on controller 2: path code 10002, and the
    // reversal's remaining 100 gives the pair 00.
    EXPECT_EQ(GetUsbPathCode(L"USB\\VID_174C&PID_2362\\A1"), 10002u);
    EXPECT_EQ(GetDiskPortID(7, 1), 200);
    // The upper hub has no text and takes the 5 read at the hub below it.
    EXPECT_EQ(GetUsbPathCode(L"USB\\VID_174C&PID_2362\\B2"), 2050501u);
    EXPECT_EQ(GetDiskPortID(7, 2), 1050502);
}

TEST_F(PortIdTest, ControllerMissingFromItsSet) {
    Load(R"(
[usbhost 1]
listed = no
id = PCI\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\3&11583659&0&A1
[usbhost 2]
id = PCI\VEN_8086&DEV_A36E&SUBSYS_00000000&REV_10\3&11583659&0&A2
[disk unlisted]
kind = usb
drive = 1
usb = 1/4
serial = A1
sectors = 60063744
[disk listed]
kind = usb
drive = 2
usb = 2/1
serial = B2
sectors = 60063744
)");
    EXPECT_EQ(
        GetUsbControllerIndex(L"PCI\\VEN_8086&DEV_A36E&SUBSYS_00000000&REV_10\\3&11583659&0&A2"),
        1u);
    EXPECT_EQ(
        GetUsbControllerIndex(L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&A1"),
        2u);
    EXPECT_EQ(GetDiskPortID(7, 1), 204);
    EXPECT_EQ(GetDiskPortID(7, 2), 101);
}

TEST_F(PortIdTest, ParentMissingFromTheUsbDeviceSet) {
    Load(R"(
[disk hidden]
kind = usb
drive = 1
usb = 1/2
usb_iface = no
serial = A1
sectors = 60063744
)");
    EXPECT_EQ(GetDiskPortID(7, 1), 0);
}

TEST_F(PortIdTest, BusNumberFormWithTheMultiplier99) {
    Load(R"(
[disk native]
kind = nvme
drive = 0
model = ZELTARIX ZX5016 1TB
sectors = 1953525168
bus = 0
root_bus = 1
[controller raid]
kind = rst
bus = 7
root_bus = 2
[disk rst]
kind = rst
drive = 1
bus_type = 8
controller = raid
model = ZELTARIX ZX5012 512GB
sectors = 1000215216
)");
    EXPECT_EQ(GetDiskPortID(17, 0), 9000000000000000099LL);
    // A match writes its line to the Debug log.
    ClearLog();
    HANDLE native = GetPortDeviceHandle(CMD_NVME, 17, 9000000000000000099LL);
    ASSERT_NE(native, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriveNumberOf(native), 0u);
    CloseHandle(native);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "[0] GetPortDeviceHandle 9000000000000000099, 9000000000000000099 "
                              "Target"}));
    EXPECT_EQ(GetDiskPortID(8, 1), 9000000000000000205LL);
    HANDLE h = GetPortDeviceHandle(CMD_RST, 8, 9000000000000000205LL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriveNumberOf(h), 1u);
    CloseHandle(h);
    // The bus type must match too.
    EXPECT_EQ(GetPortDeviceHandle(CMD_RST, 17, 9000000000000000205LL), INVALID_HANDLE_VALUE);
}

TEST_F(PortIdTest, TwoSataDisksWithPathIdZeroGiveTheFirstInInterfaceOrder) {
    Load(R"(
[controller ahci0]
kind = ahci
[controller ahci1]
kind = ahci
bus = 5
[disk later-number]
kind = sata
drive = 5
controller = ahci0
model = ZELTARIX ZX3000 SATA 480GB
sectors = 937703088
[disk earlier-number]
kind = sata
drive = 3
controller = ahci1
model = WDC WDS500G2B0A-00SM50
sectors = 976773168
)");
    HANDLE h = GetPortDeviceHandle(CMD_SATA, 11, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriveNumberOf(h), 5u);
    CloseHandle(h);
    EXPECT_EQ(GetPortDeviceHandle(CMD_SATA, 11, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetDiskPortID(11, 3), 0);
}

const char kEnclosureOnPort3[] = R"(
[disk enclosure]
kind = usb
drive = 4
bridge = asmedia
usb = 1/2/3
serial = ZX5016D0000000000004
model = ZELTARIX ZX5016 1TB
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
)";

TEST_F(PortIdTest, AnEnclosureBackOnItsPortIsFoundUnderANewDriveNumber) {
    Load(kEnclosureOnPort3);
    ASSERT_EQ(GetDiskPortID(7, 4), 10203);
    ASSERT_TRUE(sim::ResetDisk("enclosure", 2000, 6));
    EXPECT_EQ(GetPortDeviceHandle(CMD_USB_ASM, 7, 10203), INVALID_HANDLE_VALUE);
    zxposix::SetClockSpeed(100);
    Sleep(2500);
    zxposix::SetClockSpeed(1);
    HANDLE h = GetPortDeviceHandle(CMD_USB_ASM, 7, 10203);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DriveNumberOf(h), 6u);
    CloseHandle(h);
    EXPECT_EQ(GetDiskPortID(7, 4), -1);
}

TEST_F(PortIdTest, AnEnclosureOnAnotherPortIsNotFound) {
    std::string moved = kEnclosureOnPort3;
    moved.replace(moved.find("1/2/3"), 5, "1/2/4");
    Load(moved);
    EXPECT_EQ(GetPortDeviceHandle(CMD_USB_ASM, 7, 10203), INVALID_HANDLE_VALUE);
    HANDLE h = GetPortDeviceHandle(CMD_USB_ASM, 7, 10204);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    std::string otherController = kEnclosureOnPort3;
    otherController.replace(otherController.find("1/2/3"), 5, "2/2/3");
    Load(otherController);
    EXPECT_EQ(GetPortDeviceHandle(CMD_USB_ASM, 7, 10203), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetDiskPortID(7, 4), 20203);
}

TEST_F(PortIdTest, PortIdRequestsInOrder) {
    Load(R"(
[disk native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
sectors = 1953525168
bus = 2
[disk usb]
kind = usb
drive = 3
usb = 1/2
serial = A1
sectors = 60063744
)");
    StartTrace();
    EXPECT_EQ(GetDiskPortID(7, 3), 102);
    auto r = Records();
    // Each disk interface is opened and asked its number; the USB form needs nothing more.
    ASSERT_EQ(r.size(), 4u);
    const char* wantOp[] = {"CreateFileW", "DeviceIoControl", "CreateFileW", "DeviceIoControl"};
    for (size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Num(r[i], "seq"), i + 1);
        EXPECT_EQ(Field(r[i], "op"), wantOp[i]);
    }
    EXPECT_EQ(Field(r[0], "path").rfind("\\\\.\\scsi#disk&ven_nvme&prod_zeltarix_zx5016#", 0), 0u);
    EXPECT_EQ(Num(r[0], "access"), 0xC0000000u);
    EXPECT_EQ(Num(r[0], "share"), 3u);
    EXPECT_EQ(Num(r[0], "disposition"), 3u);
    EXPECT_EQ(Field(r[1], "ioctl"), "IOCTL_STORAGE_GET_DEVICE_NUMBER");
    EXPECT_EQ(Num(r[1], "in_len"), 0u);
    EXPECT_EQ(Num(r[1], "out_len"), 12u);
    EXPECT_EQ(Num(r[1], "device_number"), 1u);
    EXPECT_EQ(Field(r[2], "path"),
              "\\\\.\\usbstor#disk&ven_&prod_&rev_#a1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(Num(r[3], "device_number"), 3u);
}

const char kDiskInterfaceGuid[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A CreateFileW of a disk interface as OpenDiskInterface makes it: GENERIC_READ | GENERIC_WRITE,
// FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING.
void ExpectInterfaceOpen(const tracetest::Value& r, const char* disk) {
    EXPECT_EQ(Field(r, "op"), "CreateFileW");
    EXPECT_EQ(Field(r, "path").rfind("\\\\.\\", 0), 0u);
    EXPECT_TRUE(EndsWith(Field(r, "path"), kDiskInterfaceGuid)) << Field(r, "path");
    EXPECT_EQ(Field(r, "disk"), disk);
    EXPECT_EQ(Num(r, "access"), 0xC0000000u);
    EXPECT_EQ(Num(r, "share"), 3u);
    EXPECT_EQ(Num(r, "disposition"), 3u);
    EXPECT_TRUE(r.fields.at("ok").b);
}

// The bus-type query: IOCTL_STORAGE_QUERY_PROPERTY with a 12-byte STORAGE_PROPERTY_QUERY
// (StorageDeviceProperty, PropertyStandardQuery) and a 40-byte descriptor.
void ExpectBusTypeQuery(const tracetest::Value& r, const char* disk, uint64_t busType) {
    EXPECT_EQ(Field(r, "op"), "DeviceIoControl");
    EXPECT_TRUE(EndsWith(Field(r, "path"), kDiskInterfaceGuid)) << Field(r, "path");
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_STORAGE_QUERY_PROPERTY");
    EXPECT_EQ(Num(r, "code"), 0x002D1400u);
    EXPECT_EQ(Num(r, "in_len"), 12u);
    EXPECT_EQ(Num(r, "out_len"), 40u);
    EXPECT_EQ(Field(r, "in"), "000000000000000000000000");
    EXPECT_EQ(Num(r, "property_id"), 0u);
    EXPECT_EQ(Num(r, "query_type"), 0u);
    EXPECT_TRUE(r.fields.at("ok").b) << disk;
    EXPECT_EQ(Num(r, "bus_type"), busType);
}

// IOCTL_SCSI_GET_ADDRESS: SCSI_ADDRESS with Length 8, input and output 8 bytes.
void ExpectScsiAddress(const tracetest::Value& r, uint64_t pathId) {
    EXPECT_EQ(Field(r, "op"), "DeviceIoControl");
    EXPECT_EQ(Field(r, "ioctl"), "IOCTL_SCSI_GET_ADDRESS");
    EXPECT_EQ(Num(r, "code"), 0x00041018u);
    EXPECT_EQ(Num(r, "in_len"), 8u);
    EXPECT_EQ(Num(r, "out_len"), 8u);
    EXPECT_EQ(Field(r, "in"), "0800000000000000");
    EXPECT_TRUE(r.fields.at("ok").b);
    EXPECT_EQ(Num(r, "path_id"), pathId);
}

const char kMixedDisks[] = R"(
[disk native]
kind = nvme
drive = 0
model = ZELTARIX ZX5016 1TB
sectors = 1953525168
bus = 3
root_bus = 1
[controller ahci0]
kind = ahci
[controller ahci1]
kind = ahci
[disk sata-path0]
kind = sata
drive = 5
controller = ahci0
scsi_path = 0
model = ZELTARIX ZX3000 SATA 480GB
sectors = 937703088
[disk stick]
kind = usb
drive = 3
usb = 1/2
serial = A1
sectors = 60063744
[disk sata-path2]
kind = sata
drive = 4
controller = ahci1
scsi_path = 2
model = WDC WDS500G2B0A-00SM50
sectors = 976773168
[disk sata-path2-later]
kind = sata
drive = 6
controller = ahci1
scsi_path = 2
scsi_target = 1
model = WDC WDS500G2B0A-00SM50
sectors = 976773168
)";

TEST_F(PortIdTest, SataSearchRequestsInOrderAndComplete) {
    Load(kMixedDisks);
    StartTrace();
    HANDLE h = GetPortDeviceHandle(CMD_SATA, 11, 2);
    auto r = Records();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Every disk interface is opened and asked its bus type; the SATA ones are asked their
    // SCSI address; the search ends at the first match and leaves the last disk alone.
    ASSERT_EQ(r.size(), 10u);
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(Num(r[i], "seq"), i + 1);
    }
    ExpectInterfaceOpen(r[0], "native");
    ExpectBusTypeQuery(r[1], "native", 17);
    ExpectInterfaceOpen(r[2], "sata-path0");
    ExpectBusTypeQuery(r[3], "sata-path0", 11);
    ExpectScsiAddress(r[4], 0);
    ExpectInterfaceOpen(r[5], "stick");
    ExpectBusTypeQuery(r[6], "stick", 7);
    ExpectInterfaceOpen(r[7], "sata-path2");
    ExpectBusTypeQuery(r[8], "sata-path2", 11);
    ExpectScsiAddress(r[9], 2);
    EXPECT_EQ(Field(r[9], "path"), Field(r[7], "path"));
    EXPECT_EQ(DriveNumberOf(h), 4u);
    CloseHandle(h);
}

TEST_F(PortIdTest, BusNumberSearchAsksNothingButTheBusType) {
    Load(kMixedDisks);
    StartTrace();
    HANDLE h = GetPortDeviceHandle(CMD_NVME, 17, 9000000000000000102LL);
    auto r = Records();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The first disk matches: 99 x root bus 1 + bus 3 = 102.
    ASSERT_EQ(r.size(), 2u);
    ExpectInterfaceOpen(r[0], "native");
    ExpectBusTypeQuery(r[1], "native", 17);
    EXPECT_EQ(DriveNumberOf(h), 0u);
    CloseHandle(h);
    // No disk matches: every disk is opened and asked once, and nothing more.
    StartTrace();
    EXPECT_EQ(GetPortDeviceHandle(CMD_NVME, 17, 9000000000000000103LL), INVALID_HANDLE_VALUE);
    r = Records();
    ASSERT_EQ(r.size(), 10u);
    const char* disks[] = {"native", "sata-path0", "stick", "sata-path2", "sata-path2-later"};
    const uint64_t busTypes[] = {17, 11, 7, 11, 11};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ExpectInterfaceOpen(r[2 * i], disks[i]);
        ExpectBusTypeQuery(r[2 * i + 1], disks[i], busTypes[i]);
    }
}

} // namespace
