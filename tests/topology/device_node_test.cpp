// Device-node lookup, driver services, bus numbers and PCIe link information on the simulated
// PC's device tree.
#include "topology/device_node.h"

#include "tests/support/sim_fixture.h"

#include <string>

namespace {

const char kScenario[] = R"(
[disk native]
kind = nvme
drive = 1
model = ZELTARIX ZX5016 1TB
vendor_id = 0x1E5C
ssvid = 0x1E5C
sectors = 1953525168
bus = 2
root_bus = 0
link = 3,4,4,8

[disk nolink]
kind = nvme
drive = 2
model = SAMSUNG MZVL2512HCJQ-00B00
vendor_id = 0x144D
ssvid = 0x144D
sectors = 1000215216
bus = 4
root_bus = 1
link = none

[controller rst0]
kind = rst
service = iaStorAC

[disk rst]
kind = rst
drive = 3
controller = rst0
model = ZELTARIX ZX5012 512GB
sectors = 1000215216
)";

class DeviceNodeTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        Load(kScenario);
    }

    static std::wstring IdOf(DEVINST node) {
        WCHAR id[260] = {};
        if (CM_Get_Device_IDW(node, id, 260, 0) != CR_SUCCESS) {
            return L"<none>";
        }
        return id;
    }
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(DeviceNodeTest, DiskNodeParentAndGrandparentByPathWithoutRegardToCase) {
    DEVINST disk = GetDiskDevInst(L"\\\\.\\PhysicalDrive1", 0);
    ASSERT_NE(disk, 0u);
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PHYSICALDRIVE1", 0), disk);
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\physicaldrive1", 0), disk);
    EXPECT_TRUE(StartsWith(IdOf(disk), L"SCSI\\Disk&Ven_NVMe&Prod_ZELTARIX_ZX5016\\"));
    EXPECT_TRUE(StartsWith(IdOf(GetDiskDevInst(L"\\\\.\\PhysicalDrive1", 1)),
                           L"PCI\\VEN_1E5C&DEV_5016&SUBSYS_1E5C1E5C"));
    EXPECT_TRUE(
        StartsWith(IdOf(GetDiskDevInst(L"\\\\.\\PhysicalDrive1", 2)), L"PCI\\VEN_8086&DEV_7A38"));
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PhysicalDrive1", 3), 0u);
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PhysicalDrive1", -1), 0u);
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PhysicalDrive9", 0), 0u);
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PhysicalDrive11", 0), 0u);
}

// OpenDiskInterface's CreateFileW (GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
// FILE_SHARE_WRITE, OPEN_EXISTING) and IOCTL_STORAGE_GET_DEVICE_NUMBER without input and with
// the 12-byte STORAGE_DEVICE_NUMBER, on the same interface.
void ExpectNumberQuery(const tracetest::Value& open, const tracetest::Value& query,
                       const char* disk) {
    const std::string guid = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    const std::string path = Field(open, "path");
    EXPECT_EQ(Field(open, "op"), "CreateFileW");
    EXPECT_EQ(path.rfind("\\\\.\\", 0), 0u);
    EXPECT_TRUE(path.size() > guid.size() && path.substr(path.size() - guid.size()) == guid)
        << path;
    EXPECT_EQ(Field(open, "disk"), disk);
    EXPECT_EQ(Num(open, "access"), 0xC0000000u);
    EXPECT_EQ(Num(open, "share"), 3u);
    EXPECT_EQ(Num(open, "disposition"), 3u);
    EXPECT_EQ(Field(query, "op"), "DeviceIoControl");
    EXPECT_EQ(Field(query, "path"), path);
    EXPECT_EQ(Field(query, "ioctl"), "IOCTL_STORAGE_GET_DEVICE_NUMBER");
    EXPECT_EQ(Num(query, "code"), 0x002D1080u);
    EXPECT_EQ(Num(query, "in_len"), 0u);
    EXPECT_EQ(Num(query, "out_len"), 12u);
    EXPECT_EQ(Field(query, "in"), "");
}

TEST_F(DeviceNodeTest, ADiskWhoseNumberCannotBeReadMatchesNoPath) {
    ASSERT_TRUE(sim::InjectFault("native", "no_device_number"));
    StartTrace();
    EXPECT_EQ(GetDiskDevInst(L"\\\\.\\PhysicalDrive1", 0), 0u);
    auto r = Records();
    // Every disk is opened and asked in interface order; none has the number 1.
    ASSERT_EQ(r.size(), 6u);
    const char* disks[] = {"native", "nolink", "rst"};
    for (size_t i = 0; i < 6; i += 2) {
        SCOPED_TRACE(i);
        ExpectNumberQuery(r[i], r[i + 1], disks[i / 2]);
    }
    EXPECT_FALSE(r[1].fields["ok"].b);
    EXPECT_EQ(Num(r[1], "error"), 1u);
    EXPECT_TRUE(r[3].fields["ok"].b);
    EXPECT_EQ(Num(r[3], "device_number"), 2u);
    EXPECT_TRUE(r[5].fields["ok"].b);
    EXPECT_EQ(Num(r[5], "device_number"), 3u);
    // The disks after it are still found.
    EXPECT_NE(GetDiskDevInst(L"\\\\.\\PhysicalDrive3", 0), 0u);
}

TEST_F(DeviceNodeTest, TheSearchStopsAtTheDiskItMatches) {
    StartTrace();
    EXPECT_TRUE(StartsWith(IdOf(GetDiskDevInst(L"\\\\.\\PhysicalDrive2", 0)),
                           L"SCSI\\Disk&Ven_NVMe&Prod_SAMSUNG_MZVL2512\\"));
    auto r = Records();
    // The second disk matches; the third is never opened.
    ASSERT_EQ(r.size(), 4u);
    ExpectNumberQuery(r[0], r[1], "native");
    ExpectNumberQuery(r[2], r[3], "nolink");
    EXPECT_EQ(Num(r[1], "device_number"), 1u);
    EXPECT_EQ(Num(r[3], "device_number"), 2u);
}

TEST_F(DeviceNodeTest, DriverServiceOfTheParent) {
    WCHAR service[128];
    GetDiskDriverService(L"\\\\.\\PhysicalDrive1", service, 128);
    EXPECT_EQ(std::wstring(service), L"stornvme");
    GetDiskDriverService(L"\\\\.\\PhysicalDrive3", service, 128);
    EXPECT_EQ(std::wstring(service), L"iaStorAC");
    wcscpy(service, L"left over");
    GetDiskDriverService(L"\\\\.\\PhysicalDrive7", service, 128);
    EXPECT_EQ(std::wstring(service), L"");
    WCHAR tiny[4] = {L'x', L'y', L'z', 0};
    GetDiskDriverService(L"\\\\.\\PhysicalDrive3", tiny, 4); // "iaStorAC" does not fit
    EXPECT_EQ(std::wstring(tiny), L"");
}

TEST_F(DeviceNodeTest, PcieLinkPresentMissingOrNoDisk) {
    int32_t speed = 7;
    uint32_t width = 7, maxSpeed = 7, maxWidth = 7;
    GetPcieLinkInfo(L"\\\\.\\PhysicalDrive1", &speed, &width, &maxSpeed, &maxWidth);
    EXPECT_EQ(speed, 3);
    EXPECT_EQ(width, 4u);
    EXPECT_EQ(maxSpeed, 4u);
    EXPECT_EQ(maxWidth, 8u);
    speed = 7;
    width = maxSpeed = maxWidth = 7;
    GetPcieLinkInfo(L"\\\\.\\PhysicalDrive2", &speed, &width, &maxSpeed, &maxWidth);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(width, 0u);
    EXPECT_EQ(maxSpeed, 0u);
    EXPECT_EQ(maxWidth, 0u);
    speed = 7;
    width = maxSpeed = maxWidth = 7;
    GetPcieLinkInfo(L"\\\\.\\PhysicalDrive5", &speed, &width, &maxSpeed, &maxWidth);
    EXPECT_EQ(speed, 7);
    EXPECT_EQ(width, 7u);
    EXPECT_EQ(maxSpeed, 7u);
    EXPECT_EQ(maxWidth, 7u);
}

TEST_F(DeviceNodeTest, BusNumbersOfParentAndGrandparent) {
    DEVINST disk = GetDiskDevInst(L"\\\\.\\PhysicalDrive2", 0);
    ASSERT_NE(disk, 0u);
    EXPECT_EQ(GetBusNumber(disk, 1), 4);
    EXPECT_EQ(GetBusNumber(disk, 2), 1);
    EXPECT_EQ(GetBusNumber(disk, 3), 0);
    EXPECT_EQ(GetBusNumber(0, 1), 0);
}

TEST_F(DeviceNodeTest, OpenDiskInterfaceByIndex) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    HANDLE h = OpenDiskInterface(set, 2);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n),
                                &returned, NULL));
    EXPECT_EQ(n.DeviceNumber, 3u);
    CloseHandle(h);
    EXPECT_EQ(OpenDiskInterface(set, 3), INVALID_HANDLE_VALUE);
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace
