// The simulated PC's device tree through SetupAPI and the configuration manager, on the
// embedded default scenario.
#include "tests/support/sim_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class DevTreeTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim::LoadDefaultScenario());
    }
};

std::wstring IdOf(DEVINST node) {
    WCHAR id[260] = {};
    return CM_Get_Device_IDW(node, id, 260, 0) == CR_SUCCESS ? std::wstring(id) : L"<none>";
}

TEST_F(DevTreeTest, DiskInterfacesInScenarioOrderWithTheirDriveNumbers) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<uint32_t> numbers;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_DISK, i, &iface)) {
            EXPECT_EQ(GetLastError(), 259u); // ERROR_NO_MORE_ITEMS
            break;
        }
        DWORD size = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &size, NULL));
        EXPECT_EQ(GetLastError(), 122u);
        std::vector<uint8_t> buf(size, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, NULL, NULL));
        EXPECT_EQ(size, 4 + (std::wcslen(detail->DevicePath) + 1) * sizeof(WCHAR));
        HANDLE h = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        STORAGE_DEVICE_NUMBER n = {};
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &n, sizeof(n),
                                    &returned, NULL));
        numbers.push_back(n.DeviceNumber);
        CloseHandle(h);
    }
    EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DevTreeTest, SizesAndStructureChecksOfTheSetupFunctions) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data) - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), 1784u); // ERROR_INVALID_USER_BUFFER
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 12, &data));
    EXPECT_EQ(GetLastError(), 259u);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_DISK, 0, &iface));
    std::vector<uint8_t> buf(512, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = 6; // the 32-bit size is wrong for this build
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, 512, NULL, NULL));
    EXPECT_EQ(GetLastError(), 1784u);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, 16, NULL, NULL));
    EXPECT_EQ(GetLastError(), 122u);
    // A class-less set needs DIGCF_ALLCLASSES.
    EXPECT_EQ(SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), 6u);
}

// Finds a node's element in the all-device set.
bool Element(HDEVINFO all, DEVINST node, SP_DEVINFO_DATA& data) {
    for (DWORD i = 0;; ++i) {
        data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInfo(all, i, &data)) {
            return false;
        }
        if (data.DevInst == node) {
            return true;
        }
    }
}

TEST_F(DevTreeTest, UsbChainWithLocationTextsAndRootHub) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    SP_DEVINFO_DATA disk = {};
    disk.cbSize = sizeof(disk);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 4, &disk)); // usb-asmedia
    SetupDiDestroyDeviceInfoList(disks);
    DEVINST device = 0, hub = 0, root = 0, controller = 0;
    ASSERT_EQ(CM_Get_Parent(&device, disk.DevInst, 0), CR_SUCCESS);
    ASSERT_EQ(CM_Get_Parent(&hub, device, 0), CR_SUCCESS);
    ASSERT_EQ(CM_Get_Parent(&root, hub, 0), CR_SUCCESS);
    ASSERT_EQ(CM_Get_Parent(&controller, root, 0), CR_SUCCESS);
    EXPECT_EQ(IdOf(disk.DevInst),
              L"USBSTOR\\Disk&Ven_ASMT&Prod_2362&Rev_0\\ZX5016D0000000000004&0");
    EXPECT_EQ(IdOf(device), L"USB\\VID_174C&PID_2362\\ZX5016D0000000000004");
    EXPECT_EQ(IdOf(root).substr(0, 16), L"USB\\ROOT_HUB30\\4");

    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    ASSERT_TRUE(Element(all, device, data));
    DWORD size = 0, type = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_LOCATION_INFORMATION, &type,
                                                   NULL, 0, &size));
    EXPECT_EQ(GetLastError(), 122u);
    EXPECT_EQ(size, 21 * sizeof(WCHAR));
    WCHAR text[64] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_LOCATION_INFORMATION, &type,
                                                  reinterpret_cast<PBYTE>(text), sizeof(text),
                                                  &size));
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(std::wstring(text), L"Port_#0003.Hub_#0003");
    ASSERT_TRUE(Element(all, hub, data));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_LOCATION_INFORMATION, &type,
                                                  reinterpret_cast<PBYTE>(text), sizeof(text),
                                                  &size));
    EXPECT_EQ(std::wstring(text), L"Port_#0002.Hub_#0001");
    // The root hub has no location text.
    ASSERT_TRUE(Element(all, root, data));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_LOCATION_INFORMATION, &type,
                                                   reinterpret_cast<PBYTE>(text), sizeof(text),
                                                   &size));
    EXPECT_EQ(GetLastError(), 13u); // ERROR_INVALID_DATA
    // The controller is listed among the host controllers.
    HDEVINFO hosts = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, NULL, NULL, 0x1A);
    SP_DEVINFO_DATA first = {};
    first.cbSize = sizeof(first);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(hosts, 0, &first));
    EXPECT_EQ(first.DevInst, controller);
    SetupDiDestroyDeviceInfoList(hosts);
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(DevTreeTest, BusNumbersServicesAndLinkProperties) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    SP_DEVINFO_DATA disk = {};
    disk.cbSize = sizeof(disk);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 1, &disk)); // zx-native
    SetupDiDestroyDeviceInfoList(disks);
    DEVINST controller = 0;
    ASSERT_EQ(CM_Get_Parent(&controller, disk.DevInst, 0), CR_SUCCESS);
    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data;
    ASSERT_TRUE(Element(all, controller, data));
    DWORD bus = 0, size = 0, type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_BUSNUMBER, &type,
                                                  reinterpret_cast<PBYTE>(&bus), 4, &size));
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(bus, 2u);
    WCHAR service[16] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &data, SPDRP_SERVICE, &type,
                                                  reinterpret_cast<PBYTE>(service), sizeof(service),
                                                  &size));
    EXPECT_EQ(std::wstring(service), L"stornvme");
    EXPECT_EQ(size, 9 * sizeof(WCHAR));
    uint32_t speed = 0;
    DEVPROPTYPE ptype = 0;
    ASSERT_TRUE(SetupDiGetDevicePropertyW(all, &data, &DEVPKEY_PciDevice_CurrentLinkSpeed, &ptype,
                                          reinterpret_cast<PBYTE>(&speed), 4, NULL, 0));
    EXPECT_EQ(ptype, DWORD(DEVPROP_TYPE_UINT32));
    EXPECT_EQ(speed, 3u);
    EXPECT_FALSE(SetupDiGetDevicePropertyW(all, &data, &DEVPKEY_PciDevice_MaxLinkWidth, &ptype,
                                           reinterpret_cast<PBYTE>(&speed), 2, NULL, 0));
    EXPECT_EQ(GetLastError(), 122u);
    // The disk node itself has no link.
    ASSERT_TRUE(Element(all, disk.DevInst, data));
    EXPECT_FALSE(SetupDiGetDevicePropertyW(all, &data, &DEVPKEY_PciDevice_CurrentLinkSpeed, &ptype,
                                           reinterpret_cast<PBYTE>(&speed), 4, NULL, 0));
    EXPECT_EQ(GetLastError(), 1168u); // ERROR_NOT_FOUND
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(DevTreeTest, AnElementIsNamedOnlyByWhatItsOwnSetWrote) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    SP_DEVINFO_DATA disk = {};
    disk.cbSize = sizeof(disk);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 1, &disk)); // zx-native
    DEVINST controller = 0;
    ASSERT_EQ(CM_Get_Parent(&controller, disk.DevInst, 0), CR_SUCCESS);
    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    HDEVINFO other = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    ASSERT_TRUE(Element(all, controller, element));
    WCHAR service[16] = {};
    DWORD size = 0, type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &element, SPDRP_SERVICE, &type,
                                                  reinterpret_cast<PBYTE>(service), sizeof(service),
                                                  &size));
    EXPECT_EQ(std::wstring(service), L"stornvme");

    auto refused = [&](HDEVINFO set, SP_DEVINFO_DATA data, DWORD error) {
        DWORD bus = 0x77;
        SetLastError(0);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_BUSNUMBER, &type,
                                                       reinterpret_cast<PBYTE>(&bus), 4, &size));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(bus, 0x77u);
        uint32_t speed = 0x77;
        DEVPROPTYPE ptype = 0;
        SetLastError(0);
        EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_PciDevice_CurrentLinkSpeed,
                                               &ptype, reinterpret_cast<PBYTE>(&speed), 4, NULL,
                                               0));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(speed, 0x77u);
    };
    {
        SCOPED_TRACE("built by hand, with the right DevInst");
        SP_DEVINFO_DATA hand = {};
        hand.cbSize = sizeof(hand);
        hand.ClassGuid = element.ClassGuid;
        hand.DevInst = controller;
        refused(all, hand, 87u); // ERROR_INVALID_PARAMETER
    }
    {
        SCOPED_TRACE("an element of another set of the same kind");
        refused(other, element, 87u);
    }
    {
        SCOPED_TRACE("the disk's element of the interface set, given to the all-device set");
        refused(all, disk, 87u);
    }
    {
        SCOPED_TRACE("cbSize one short: an input structure's size is ERROR_INVALID_PARAMETER");
        SP_DEVINFO_DATA shortened = element;
        shortened.cbSize = sizeof(shortened) - 1;
        refused(all, shortened, 87u);
    }
    {
        SCOPED_TRACE("the 32-bit cbSize 28");
        SP_DEVINFO_DATA narrow = element;
        narrow.cbSize = 28;
        refused(all, narrow, 87u);
    }
    // The same structure still names its element in its own set.
    DWORD bus = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(all, &element, SPDRP_BUSNUMBER, &type,
                                                  reinterpret_cast<PBYTE>(&bus), 4, &size));
    EXPECT_EQ(bus, 2u);

    // SetupDiEnumDeviceInterfaces filtered by an element checks it the same way.
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    SP_DEVINFO_DATA hand = {};
    hand.cbSize = sizeof(hand);
    hand.DevInst = disk.DevInst;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(disks, &hand, &GUID_DEVINTERFACE_DISK, 0, &iface));
    EXPECT_EQ(GetLastError(), 87u);
    SP_DEVINFO_DATA first = {};
    first.cbSize = sizeof(first);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 0, &first)); // system
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(disks, &disk, &GUID_DEVINTERFACE_DISK, 0, &iface));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(disks, &disk, &GUID_DEVINTERFACE_DISK, 1, &iface));
    EXPECT_EQ(GetLastError(), 259u); // ERROR_NO_MORE_ITEMS: one interface per disk
    // The element SetupDiGetDeviceInterfaceDetailW writes names the interface's disk.
    std::vector<uint8_t> buf(512, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA owner = {};
    owner.cbSize = sizeof(owner);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(disks, &iface, detail, 512, NULL, &owner));
    EXPECT_EQ(owner.DevInst, disk.DevInst);
    WCHAR enumerator[16] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(disks, &owner, SPDRP_ENUMERATOR_NAME, &type,
                                                  reinterpret_cast<PBYTE>(enumerator),
                                                  sizeof(enumerator), &size));
    EXPECT_EQ(std::wstring(enumerator), L"SCSI");
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(disks, &owner, &GUID_DEVINTERFACE_DISK, 0, &iface));
    EXPECT_FALSE(
        SetupDiEnumDeviceInterfaces(disks, &first, &GUID_DEVINTERFACE_USB_DEVICE, 0, &iface));
    EXPECT_EQ(GetLastError(), 259u);
    SetupDiDestroyDeviceInfoList(other);
    SetupDiDestroyDeviceInfoList(all);
    SetupDiDestroyDeviceInfoList(disks);
}

TEST_F(DevTreeTest, ConfigurationManagerEdges) {
    DEVINST parent = 77;
    EXPECT_EQ(CM_Get_Parent(&parent, 1, 0), DWORD(CR_NO_SUCH_DEVNODE)); // the root
    EXPECT_EQ(parent, 0u);
    EXPECT_EQ(CM_Get_Parent(&parent, 100000, 0), DWORD(CR_INVALID_DEVNODE));
    WCHAR id[4];
    EXPECT_EQ(CM_Get_Device_IDW(1, id, 4, 0), DWORD(CR_BUFFER_SMALL)); // "HTREE\ROOT\0"
    WCHAR exact[12];
    EXPECT_EQ(CM_Get_Device_IDW(1, exact, 12, 0), DWORD(CR_SUCCESS)); // no room for the end
    EXPECT_EQ(std::wstring(exact, 12), L"HTREE\\ROOT\\0");
}

TEST_F(DevTreeTest, ARemovedDiskLeavesThePresentSets) {
    ASSERT_TRUE(sim::RemoveDisk("usb-stick"));
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL, 0x1A);
    DWORD count = 0;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    while (SetupDiEnumDeviceInfo(set, count, &data)) {
        ++count;
    }
    EXPECT_EQ(count, 11u);
    SetupDiDestroyDeviceInfoList(set);
    HDEVINFO usb = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, NULL, NULL, 0x1A);
    count = 0;
    while (SetupDiEnumDeviceInfo(usb, count, &data)) {
        ++count;
    }
    EXPECT_EQ(count, 4u);
    SetupDiDestroyDeviceInfoList(usb);
    ASSERT_TRUE(sim::AddDisk("usb-stick"));
    EXPECT_TRUE(sim::IsPresent("usb-stick"));
}

} // namespace
