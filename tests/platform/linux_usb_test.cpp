// The Linux backend's USB disks on a sysfs tree the test makes: a disk in an enclosure on a vhci
// root port and one behind a hub on a PCI xHCI controller. Their USB devices, hubs and host
// controllers as the Windows device tree gives them, the port ids the program computes from
// them, and the pass-through requests refused before anything is opened. No real device is
// opened: the roots are the test's folders, and they hold no device node.
#include "platform/device_backend.h"
#include "platform/linux/linux_backend.h"
#include "platform/win32.h"
#include "topology/port_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kVhci[] = "devices/platform/vhci_hcd.0";
const char kXhci[] = "devices/pci0000:00/0000:00:14.0";

class LinuxUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("zx-linux-usb-" + std::to_string(getpid()) + "-" +
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
    // A USB device (or root hub) with its ids, and its link in bus/usb/devices.
    void Usb(const std::string& path, const char* vendor, const char* product, const char* devpath,
             const char* devnum, const char* deviceClass) {
        Device(path);
        File(path + "/idVendor", std::string(vendor) + "\n");
        File(path + "/idProduct", std::string(product) + "\n");
        File(path + "/devpath", std::string(devpath) + "\n");
        File(path + "/devnum", std::string(devnum) + "\n");
        File(path + "/bDeviceClass", std::string(deviceClass) + "\n");
        const std::string name = fs::path(path).filename();
        Link("bus/usb/devices/" + name, "../../../" + path);
    }
    // The SCSI disk of a USB mass-storage interface: host, target, device, block and sg nodes.
    void UsbDisk(const std::string& device, const std::string& usbName, const std::string& host,
                 const std::string& disk, const std::string& sg, const std::string& model) {
        const std::string iface = device + "/" + usbName + ":1.0";
        Device(iface);
        const std::string scsi =
            iface + "/host" + host + "/target" + host + ":0:0/" + host + ":0:0:0";
        Device(scsi);
        File(scsi + "/vendor", "ZXTEST  \n");
        File(scsi + "/model", model + "\n");
        File(scsi + "/rev", "0100\n");
        Device(scsi + "/block/" + disk);
        File(scsi + "/block/" + disk + "/removable", "1\n");
        Link(scsi + "/block/" + disk + "/device", "../../../" + host + ":0:0:0");
        Link("block/" + disk, "../" + scsi + "/block/" + disk);
        Device(scsi + "/scsi_generic/" + sg);
        File(scsi + "/scsi_generic/" + sg + "/dev", "21:" + sg.substr(2) + "\n");
    }

    // vhci_hcd.0: root hubs usb3 (high speed) and usb4 (super speed), the enclosure 3-3 on port
    // 3 with disk sda. The xHCI function 0000:00:14.0: root hub usb1, hub 1-2 on port 2, the
    // enclosure 1-2.4 on the hub's port 4 with disk sdb.
    void MakeTree() {
        const std::string vhci = kVhci;
        Device("devices/platform");
        Device(vhci);
        Usb(vhci + "/usb3", "1d6b", "0002", "0", "1", "09");
        File(vhci + "/usb3/speed", "480\n");
        Usb(vhci + "/usb4", "1d6b", "0003", "0", "1", "09");
        File(vhci + "/usb4/speed", "5000\n");
        Usb(vhci + "/usb3/3-3", "174c", "2362", "3", "2", "00");
        File(vhci + "/usb3/3-3/serial", "ZX5016D0000000000004\n");
        UsbDisk(vhci + "/usb3/3-3", "3-3", "7", "sda", "sg0", "2362");

        const std::string xhci = kXhci;
        Device("devices/pci0000:00");
        Device(xhci);
        File(xhci + "/vendor", "0x8086\n");
        File(xhci + "/device", "0xa36d\n");
        Usb(xhci + "/usb1", "1d6b", "0002", "0", "1", "09");
        File(xhci + "/usb1/speed", "480\n");
        Usb(xhci + "/usb1/1-2", "05e3", "0610", "2", "2", "09");
        Usb(xhci + "/usb1/1-2/1-2.4", "0bda", "9210", "2.4", "3", "00");
        File(xhci + "/usb1/1-2/1-2.4/serial", "ZX5016F0000000000006\n");
        UsbDisk(xhci + "/usb1/1-2/1-2.4", "1-2.4", "8", "sdb", "sg1", "RTL9210B NVME");
    }

    HANDLE OpenDisk(const wchar_t* path) {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    }

    fs::path root_, sys_, dev_;
};

std::wstring InstanceId(DEVINST node) {
    WCHAR id[260] = {};
    return CM_Get_Device_IDW(node, id, 260, 0) == CR_SUCCESS ? id : L"(none)";
}

std::wstring Location(HDEVINFO set, SP_DEVINFO_DATA* data) {
    WCHAR text[64] = {};
    DWORD type = 0;
    return SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, &type,
                                             (PBYTE)text, sizeof(text), NULL)
               ? text
               : L"(none)";
}

// The instance ids (and location texts) of a USB interface class's set, in its order.
std::vector<std::wstring> Members(const GUID& guid) {
    std::vector<std::wstring> out;
    HDEVINFO set = SetupDiGetClassDevsW(&guid, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            break;
        }
        out.push_back(InstanceId(data.DevInst) + L" " + Location(set, &data));
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

TEST_F(LinuxUsbTest, GivesTheUsbDevicesHubsAndHostControllersAsWindowsSetsDo) {
    EXPECT_EQ(Members(GUID_DEVINTERFACE_USB_DEVICE),
              (std::vector<std::wstring>{
                  L"USB\\VID_05E3&PID_0610\\1-2 Port_#0002.Hub_#0001",
                  L"USB\\VID_174C&PID_2362\\ZX5016D0000000000004 Port_#0003.Hub_#0001",
                  L"USB\\VID_0BDA&PID_9210\\ZX5016F0000000000006 Port_#0004.Hub_#0002",
              }));
    EXPECT_EQ(Members(GUID_DEVINTERFACE_USB_HUB),
              (std::vector<std::wstring>{
                  L"USB\\ROOT_HUB20\\usb1 (none)",
                  L"USB\\ROOT_HUB20\\usb3 (none)",
                  L"USB\\ROOT_HUB30\\usb4 (none)",
                  L"USB\\VID_05E3&PID_0610\\1-2 Port_#0002.Hub_#0001",
              }));
    EXPECT_EQ(Members(GUID_DEVINTERFACE_USB_HOST_CONTROLLER),
              (std::vector<std::wstring>{
                  L"PCI\\VEN_8086&DEV_A36D\\0000:00:14.0 (none)",
                  L"SYSFS\\vhci_hcd.0 (none)",
              }));
}

TEST_F(LinuxUsbTest, PutsADiskInAnEnclosureUnderItsUsbDevice) {
    HDEVINFO disks = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, NULL, NULL,
                                          DIGCF_PRESENT | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(disks, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(disks, 1, &data));
    EXPECT_EQ(InstanceId(data.DevInst), L"BLOCK\\sdb");
    DEVINST node = data.DevInst;
    const wchar_t* const chain[] = {L"USB\\VID_0BDA&PID_9210\\ZX5016F0000000000006",
                                    L"USB\\VID_05E3&PID_0610\\1-2", L"USB\\ROOT_HUB20\\usb1",
                                    L"PCI\\VEN_8086&DEV_A36D\\0000:00:14.0"};
    for (const wchar_t* id : chain) {
        DEVINST parent = 0;
        ASSERT_EQ(CM_Get_Parent(&parent, node, 0), (CONFIGRET)CR_SUCCESS);
        EXPECT_EQ(InstanceId(parent), id);
        node = parent;
    }
    SetupDiDestroyDeviceInfoList(disks);

    // The device descriptor: bus type 7 (USB) at 28, the SCSI device's texts.
    HANDLE disk = OpenDisk(L"\\\\.\\PhysicalDrive0");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    BYTE query[12] = {};
    BYTE out[128] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof(query), out,
                                sizeof(out), &returned, NULL));
    EXPECT_EQ(out[28], 7);
    EXPECT_EQ(out[10], 1); // RemovableMedia
    EXPECT_EQ(std::string((const char*)out + 40, 17), std::string("ZXTEST\0"
                                                                  "2362\0"
                                                                  "0100\0",
                                                                  17));
    EXPECT_TRUE(CloseHandle(disk));
}

TEST_F(LinuxUsbTest, GivesTheEnclosuresThePortIdsOfTheirUsbPorts) {
    // Controller 2 (vhci_hcd.0), root port 3; controller 1 (the xHCI), hub port 2, port 4.
    EXPECT_EQ(GetDiskPortID(7, 0), 203);
    EXPECT_EQ(GetDiskPortID(7, 1), 10204);
    EXPECT_EQ(GetDiskPortID(7, 2), -1);
}

TEST_F(LinuxUsbTest, RefusesPassThroughRequestsItCannotCarryBeforeOpeningAnything) {
    HANDLE disk = OpenDisk(L"\\\\.\\PhysicalDrive0");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    struct Request {
        SCSI_PASS_THROUGH_DIRECT sptd;
        ULONG filler;
        UCHAR sense[64];
    } rq;
    BYTE data[512] = {};
    auto fresh = [&] {
        std::memset(&rq, 0, sizeof(rq));
        rq.sptd.Length = sizeof(rq.sptd);
        rq.sptd.CdbLength = 16;
        rq.sptd.SenseInfoLength = 24;
        rq.sptd.DataIn = SCSI_IOCTL_DATA_IN;
        rq.sptd.DataTransferLength = sizeof(data);
        rq.sptd.TimeOutValue = 10;
        rq.sptd.DataBuffer = data;
        rq.sptd.SenseInfoOffset = offsetof(Request, sense);
        rq.sptd.Cdb[0] = 0x12;
    };
    DWORD returned = 0;
    struct Case {
        const char* what;
        void (*change)(Request&);
    };
    const Case cases[] = {
        {"a wrong Length", [](Request& r) { r.sptd.Length = 44; }},
        {"no CDB", [](Request& r) { r.sptd.CdbLength = 0; }},
        {"a CDB of 17 bytes", [](Request& r) { r.sptd.CdbLength = 17; }},
        {"no timeout", [](Request& r) { r.sptd.TimeOutValue = 0; }},
        {"data of no direction", [](Request& r) { r.sptd.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED; }},
        {"a sense area past the buffer", [](Request& r) { r.sptd.SenseInfoOffset = 120; }},
        {"data without a buffer", [](Request& r) { r.sptd.DataBuffer = nullptr; }},
    };
    for (const Case& c : cases) {
        fresh();
        c.change(rq);
        EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq,
                                     sizeof(rq), &returned, NULL))
            << c.what;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.what;
    }
    // A sound request, but the disk's sg node is not in the device folder: the disk is gone.
    fresh();
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq,
                                 sizeof(rq), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_DEVICE);
    EXPECT_TRUE(CloseHandle(disk));
    // A node of that name that is no character device is not taken for it.
    std::ofstream(dev_ / "sg0") << "";
    disk = OpenDisk(L"\\\\.\\PhysicalDrive0");
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    fresh();
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH_DIRECT, &rq, sizeof(rq), &rq,
                                 sizeof(rq), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    // The ATA pass-through reaches disks on an ATA port only.
    ATA_PASS_THROUGH_DIRECT ata = {};
    ata.Length = sizeof(ata);
    ata.TimeOutValue = 60;
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_ATA_PASS_THROUGH_DIRECT, &ata, sizeof(ata), &ata,
                                 sizeof(ata), &returned, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(disk));
}

TEST_F(LinuxUsbTest, HasNoNoticeWhenNothingWasRefused) {
    char notice[600] = "unchanged";
    EXPECT_EQ(LinuxBackendNotice(0, notice, sizeof(notice)), 0);
    EXPECT_STREQ(notice, "unchanged");
}

} // namespace
