// The Linux backend on a sysfs tree and a device folder the test makes: disk order and numbers,
// the device tree SetupAPI and the configuration manager answer, the requests a disk answers
// from sysfs, and the refusals (a controller node that is no character device, texts too long,
// links that leave the tree). No real device is opened: the roots are the test's folders.
#include "platform/device_backend.h"
#include "platform/linux/linux_backend.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char kPciNvme[] = "devices/pci0000:00/0000:00:02.0/0000:01:00.0";
const char kAta[] = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0";

class LinuxBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("zx-linux-backend-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        sys_ = root_ / "sys";
        dev_ = root_ / "dev";
        fs::create_directories(dev_);
        MakeTree();
        ASSERT_EQ(LinuxBackendInstall(sys_.c_str(), dev_.c_str()), 1);
    }
    void TearDown() override {
        InstallDeviceBackend(nullptr);
        fs::remove_all(root_);
    }

    void File(const std::string& path, const std::string& text) {
        fs::create_directories((sys_ / path).parent_path());
        std::ofstream(sys_ / path) << text;
    }
    void Device(const std::string& path) { File(path + "/uevent", ""); }
    void Link(const std::string& path, const std::string& target) {
        fs::create_directories((sys_ / path).parent_path());
        fs::create_directory_symlink(target, sys_ / path);
    }

    // A PCIe NVMe controller (nvme0) with namespace 1, a fabrics controller (nvme1, TCP) with
    // namespace 1, a SATA disk (sda), and block devices that are no disks of the program.
    void MakeTree() {
        Device("devices/pci0000:00");
        Device("devices/pci0000:00/0000:00:02.0");
        const std::string pci = kPciNvme;
        Device(pci);
        File(pci + "/vendor", "0x1e5c\n");
        File(pci + "/device", "0x5016\n");
        File(pci + "/current_link_speed", "8.0 GT/s PCIe\n");
        File(pci + "/current_link_width", "4\n");
        File(pci + "/max_link_speed", "16.0 GT/s PCIe\n");
        File(pci + "/max_link_width", "4\n");
        Device("bus/pci/drivers/nvme");
        Link(pci + "/driver", "../../../../bus/pci/drivers/nvme");
        const std::string c0 = pci + "/nvme/nvme0";
        Device(c0);
        File(c0 + "/transport", "pcie\n");
        File(c0 + "/dev", "242:0\n");
        File(c0 + "/model", "ZELTARIX ZX5016 1TB\n");
        File(c0 + "/firmware_rev", "041k0207\n");
        File(c0 + "/serial", "ZX5016A0000000000001\n");
        Link(c0 + "/device", "../../../0000:01:00.0");
        Device(c0 + "/nvme0n1");
        File(c0 + "/nvme0n1/removable", "0\n");
        Link(c0 + "/nvme0n1/device", "../../nvme0");
        Link("block/nvme0n1", "../" + c0 + "/nvme0n1");
        Link("class/nvme/nvme0", "../../" + c0);

        const std::string c1 = "devices/virtual/nvme-fabrics/ctl/nvme1";
        Device("devices/virtual/nvme-fabrics/ctl");
        Device(c1);
        File(c1 + "/transport", "tcp\n");
        File(c1 + "/dev", "242:1\n");
        Device(c1 + "/nvme1n1");
        Link(c1 + "/nvme1n1/device", "../../nvme1");
        Link("block/nvme1n1", "../" + c1 + "/nvme1n1");
        Link("class/nvme/nvme1", "../../" + c1);

        const std::string ata = kAta;
        Device(ata);
        File(ata + "/vendor", "ATA     \n");
        File(ata + "/model", "ZELTARIX ZX3000\n");
        File(ata + "/rev", "0207\n");
        Device(ata + "/block/sda");
        File(ata + "/block/sda/removable", "0\n");
        Link(ata + "/block/sda/device", "../../../0:0:0:0");
        Link("block/sda", "../" + ata + "/block/sda");

        Device("devices/virtual/block/loop0");
        Link("block/loop0", "../devices/virtual/block/loop0");
        // A multipath head: its device is the subsystem, which no controller answers for.
        Device("devices/virtual/nvme-subsystem/nvme-subsys2");
        Device("devices/virtual/nvme-subsystem/nvme-subsys2/nvme2n1");
        Link("devices/virtual/nvme-subsystem/nvme-subsys2/nvme2n1/device", "../../nvme-subsys2");
        Link("block/nvme2n1", "../devices/virtual/nvme-subsystem/nvme-subsys2/nvme2n1");
        // The controllers' nodes: regular files, no character devices.
        std::ofstream(dev_ / "nvme0") << "";
        std::ofstream(dev_ / "nvme1") << "";
    }

    fs::path root_, sys_, dev_;
};

std::wstring InterfacePath(HDEVINFO set, DWORD index) {
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_DISK, index, &iface)) {
        return L"(none)";
    }
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &size, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, NULL, NULL)) {
        return L"(failed)";
    }
    return detail->DevicePath;
}

std::wstring InstanceId(DEVINST node) {
    WCHAR id[260] = {};
    return CM_Get_Device_IDW(node, id, 260, 0) == CR_SUCCESS ? id : L"(none)";
}

// Finds the node's element in an all-device set.
bool Element(HDEVINFO set, DEVINST node, SP_DEVINFO_DATA* data) {
    for (DWORD i = 0;; ++i) {
        *data = {};
        data->cbSize = sizeof(*data);
        if (!SetupDiEnumDeviceInfo(set, i, data)) {
            return false;
        }
        if (data->DevInst == node) {
            return true;
        }
    }
}

std::wstring Service(HDEVINFO set, SP_DEVINFO_DATA* data) {
    WCHAR text[64] = {};
    DWORD type = 0;
    return SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_SERVICE, &type, (PBYTE)text,
                                             sizeof(text), NULL)
               ? text
               : L"(none)";
}

DWORD Bus(HDEVINFO set, SP_DEVINFO_DATA* data) {
    DWORD bus = 0xDEADBEEF;
    DWORD type = 0;
    return SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_BUSNUMBER, &type, (PBYTE)&bus,
                                             sizeof(bus), NULL)
               ? bus
               : 0xFFFFFFFF;
}

DWORD LinkValue(HDEVINFO set, SP_DEVINFO_DATA* data, const DEVPROPKEY& key) {
    DWORD value = 0;
    DEVPROPTYPE type = 0;
    return SetupDiGetDevicePropertyW(set, data, &key, &type, (PBYTE)&value, sizeof(value), NULL, 0)
               ? value
               : 0xFFFFFFFF;
}

TEST_F(LinuxBackendTest, ListsTheDisksInDriveNumberOrderWithTheirInterfacePaths) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InterfacePath(set, 0),
              L"\\\\.\\block#nvme0n1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(InterfacePath(set, 1),
              L"\\\\.\\block#nvme1n1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(InterfacePath(set, 2), L"\\\\.\\block#sda#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(InterfacePath(set, 3), L"(none)"); // loop0 and the multipath head are no disks here
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 2, &data));
    EXPECT_EQ(InstanceId(data.DevInst), L"BLOCK\\sda");
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 3, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(LinuxBackendTest, PutsAnNvmeDiskUnderItsPciFunctionWithBusServiceAndLink) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL,
                                          DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 0, &data));
    EXPECT_EQ(InstanceId(data.DevInst), L"BLOCK\\nvme0n1");
    DEVINST controller = 0;
    ASSERT_EQ(CM_Get_Parent(&controller, data.DevInst, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(InstanceId(controller), L"PCI\\VEN_1E5C&DEV_5016\\0000:01:00.0");
    DEVINST port = 0;
    ASSERT_EQ(CM_Get_Parent(&port, controller, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(InstanceId(port), L"PCI\\VEN_0000&DEV_0000\\0000:00:02.0");
    DEVINST rootNode = 0;
    ASSERT_EQ(CM_Get_Parent(&rootNode, port, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(InstanceId(rootNode), L"SYSFS\\pci0000:00");
    DEVINST above = 0;
    EXPECT_EQ(CM_Get_Parent(&above, rootNode, 0), (CONFIGRET)CR_NO_SUCH_DEVNODE);
    SetupDiDestroyDeviceInfoList(disks);

    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    ASSERT_TRUE(Element(all, controller, &element));
    EXPECT_EQ(Service(all, &element), L"nvme");
    EXPECT_EQ(Bus(all, &element), 1u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_CurrentLinkSpeed), 3u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_CurrentLinkWidth), 4u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_MaxLinkSpeed), 4u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_MaxLinkWidth), 4u);
    ASSERT_TRUE(Element(all, port, &element));
    EXPECT_EQ(Bus(all, &element), 0u);
    ASSERT_TRUE(Element(all, rootNode, &element));
    EXPECT_EQ(Bus(all, &element), 0u);
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(LinuxBackendTest, GivesAFabricsControllerABusNumberOutsidePciAndNoLink) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL,
                                          DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 1, &data));
    DEVINST controller = 0;
    ASSERT_EQ(CM_Get_Parent(&controller, data.DevInst, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(InstanceId(controller), L"NVME\\nvme1");
    DEVINST ctl = 0;
    ASSERT_EQ(CM_Get_Parent(&ctl, controller, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(InstanceId(ctl), L"SYSFS\\ctl");
    SetupDiDestroyDeviceInfoList(disks);
    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    ASSERT_TRUE(Element(all, controller, &element));
    EXPECT_EQ(Service(all, &element), L"nvme-tcp");
    EXPECT_EQ(Bus(all, &element), 0x10001u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_CurrentLinkSpeed), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    ASSERT_TRUE(Element(all, ctl, &element));
    EXPECT_EQ(Bus(all, &element), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(LinuxBackendTest, AnswersASataDiskFromSysfs) {
    HANDLE disk = CreateFileW(L"\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    BYTE out[128] = {};
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, out, 12, &returned, NULL));
    EXPECT_EQ(returned, 12u);
    const BYTE number[12] = {7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out, number, 12));
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_SCSI_GET_ADDRESS, NULL, 0, out, 8, &returned, NULL));
    const BYTE address[8] = {8, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out, address, 8));
    // The device descriptor: Version 40, Size 40 + the texts, BusType 11 (SATA) at 28, the
    // vendor, product and revision texts after the fixed part.
    BYTE query[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    memset(out, 0xEE, sizeof(out));
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof(query), out,
                                sizeof(out), &returned, NULL));
    const BYTE fixed[40] = {40, 0, 0, 0, 65, 0, 0, 0, 0,  0, 0, 0, 40, 0, 0, 0, 44, 0, 0, 0,
                            60, 0, 0, 0, 0,  0, 0, 0, 11, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0};
    EXPECT_EQ(0, memcmp(out, fixed, 40));
    EXPECT_EQ(std::string((const char*)out + 40, 26), std::string("ATA\0ZELTARIX ZX3000\0"
                                                                  "0207\0",
                                                                  25) +
                                                          std::string(1, '\xEE'));
    EXPECT_EQ(returned, 65u);
    // A pass-through request too short to hold its structure is refused before anything else.
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, query, sizeof(query), out,
                                 sizeof(out), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // The miniport requests (the RST path) have no Linux counterpart.
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_MINIPORT, query, sizeof(query), out, sizeof(out),
                                 &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(CloseHandle(disk));
}

TEST_F(LinuxBackendTest, OpensNoControllerNodeThatIsNoCharacterDevice) {
    HANDLE disk = CreateFileW(L"\\\\.\\PHYSICALDRIVE0", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(disk, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    // Drive numbers past the disks, volumes and SCSI ports are not found.
    for (const wchar_t* path : {L"\\\\.\\PhysicalDrive3", L"\\\\.\\C:", L"\\\\.\\scsi0:",
                                L"\\\\.\\block#loop0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}) {
        SetLastError(0);
        EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(LinuxBackendTest, RefusesTextsTooLongAndLinksOutOfTheTree) {
    File(std::string(kPciNvme) + "/current_link_width", std::string(300, '4') + "\n");
    File(std::string(kPciNvme) + "/max_link_speed", "2.5 MT/s\n");
    Link("block/sdb", root_.string()); // outside sysfs
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL,
                                          DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(InterfacePath(disks, 3), L"(none)");
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 0, &data));
    DEVINST controller = 0;
    ASSERT_EQ(CM_Get_Parent(&controller, data.DevInst, 0), (CONFIGRET)CR_SUCCESS);
    SetupDiDestroyDeviceInfoList(disks);
    HDEVINFO all = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    ASSERT_TRUE(Element(all, controller, &element));
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_CurrentLinkSpeed), 3u);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_CurrentLinkWidth), 0xFFFFFFFFu);
    EXPECT_EQ(LinkValue(all, &element, DEVPKEY_PciDevice_MaxLinkSpeed), 0xFFFFFFFFu);
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(LinuxBackendTest, InstallsOnlyOnFoldersThatExist) {
    EXPECT_EQ(LinuxBackendInstall((root_ / "nothing").c_str(), dev_.c_str()), -1);
    EXPECT_EQ(LinuxBackendInstall(sys_.c_str(), (sys_ / "block" / "nvme0n1" / "removable").c_str()),
              -1);
    EXPECT_EQ(LinuxBackendInstall("", dev_.c_str()), -1);
}

} // namespace
