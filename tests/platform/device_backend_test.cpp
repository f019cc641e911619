// The device backend seam: without a backend device paths are not found and the device tree is
// empty; with one, device paths, the handles it made and the device tree go to it, whole and in
// order, and only its own handles reach it.
#include "platform/device_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// What the recording backends were asked, one line per call.
std::vector<std::string> g_calls;
int g_device = 0; // the objects behind the recording backends' handles
int g_set = 0;

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out.push_back(static_cast<char>(*text));
    }
    return out;
}

void Call(const std::string& line) {
    g_calls.push_back(line);
}

HANDLE Open(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    Call("open " + Narrow(path) + " " + std::to_string(access) + " " + std::to_string(share) + " " +
         std::to_string(disposition) + " " + std::to_string(flags));
    if (Narrow(path) == "\\\\.\\PhysicalDrive9") {
        SetLastError(ERROR_NOT_READY);
        return INVALID_HANDLE_VALUE;
    }
    return NewBackendHandle(&g_device);
}

BOOL Close(HANDLE handle) {
    void* object = DropBackendHandle(handle);
    Call(std::string("close ") + (object == &g_device ? "device" : object == &g_set ? "set" : "?"));
    return object != nullptr;
}

BOOL IoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
               LPDWORD returned, LPOVERLAPPED overlapped) {
    Call("ioctl " + std::string(BackendHandleObject(device) == &g_device ? "device" : "?") + " " +
         std::to_string(code) + " " + std::to_string(inSize) + " " + std::to_string(outSize) +
         (in != nullptr ? " in" : "") + (out != nullptr ? " out" : "") +
         (overlapped != nullptr ? " overlapped" : ""));
    *returned = 12;
    return TRUE;
}

HDEVINFO ClassDevs(const GUID* cls, PCWSTR enumerator, HWND parent, DWORD flags) {
    Call("classdevs " + std::to_string(cls != nullptr ? cls->Data1 : 0) + " " + Narrow(enumerator) +
         " " + Hex(parent) + " " + std::to_string(flags));
    return NewBackendHandle(&g_set);
}

std::string SetName(HDEVINFO set) {
    return BackendHandleObject(set) == &g_set ? "set" : "?";
}

BOOL EnumInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA) {
    Call("enuminfo " + SetName(set) + " " + std::to_string(index));
    return TRUE;
}

BOOL EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* cls, DWORD index,
                    PSP_DEVICE_INTERFACE_DATA) {
    Call("enuminterfaces " + SetName(set) + " " + std::to_string(cls->Data1) + " " +
         std::to_string(index));
    return TRUE;
}

BOOL Detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD size,
            PDWORD, PSP_DEVINFO_DATA) {
    Call("detail " + SetName(set) + " " + std::to_string(size));
    return TRUE;
}

BOOL RegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA, DWORD property, PDWORD, PBYTE, DWORD size,
                      PDWORD) {
    Call("registry " + SetName(set) + " " + std::to_string(property) + " " + std::to_string(size));
    return TRUE;
}

BOOL Property(HDEVINFO set, PSP_DEVINFO_DATA, const DEVPROPKEY* key, DEVPROPTYPE*, PBYTE,
              DWORD size, PDWORD, DWORD flags) {
    Call("property " + SetName(set) + " " + std::to_string(key->pid) + " " + std::to_string(size) +
         " " + std::to_string(flags));
    return TRUE;
}

BOOL Destroy(HDEVINFO set) {
    void* object = DropBackendHandle(set);
    Call(std::string("destroy ") + (object == &g_set ? "set" : "?"));
    return TRUE;
}

CONFIGRET Parent(PDEVINST parent, DEVINST inst, ULONG flags) {
    Call("parent " + std::to_string(inst) + " " + std::to_string(flags));
    *parent = 77;
    return CR_SUCCESS;
}

CONFIGRET DeviceId(DEVINST inst, PWSTR, ULONG length, ULONG flags) {
    Call("id " + std::to_string(inst) + " " + std::to_string(length) + " " + std::to_string(flags));
    return CR_BUFFER_SMALL;
}

CONFIGRET DeviceIdSize(PULONG length, DEVINST inst, ULONG flags) {
    Call("idsize " + std::to_string(inst) + " " + std::to_string(flags));
    *length = 41;
    return CR_SUCCESS;
}

const DeviceBackend kRecorder = {
    Open,     Close,   IoControl, ClassDevs, EnumInfo,     EnumInterfaces, Detail, RegistryProperty,
    Property, Destroy, Parent,    DeviceId,  DeviceIdSize,
};

// A second backend that only opens, so that a test can tell which one a handle goes to.
HANDLE OpenOther(LPCWSTR, DWORD, DWORD, DWORD, DWORD) {
    Call("other open");
    return NewBackendHandle(&g_device);
}
BOOL CloseOther(HANDLE handle) {
    Call("other close");
    return DropBackendHandle(handle) != nullptr;
}
BOOL IoControlOther(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    Call("other ioctl");
    return TRUE;
}
const DeviceBackend kOther = {
    OpenOther,        CloseOther, IoControlOther, ClassDevs, EnumInfo, EnumInterfaces, Detail,
    RegistryProperty, Property,   Destroy,        Parent,    DeviceId, DeviceIdSize,
};

HANDLE OpenDrive(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

class DeviceBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallDeviceBackend(nullptr);
        g_calls.clear();
    }
    void TearDown() override { InstallDeviceBackend(nullptr); }
};

TEST_F(DeviceBackendTest, WithoutABackendDevicePathsAreNotFoundAndTheTreeIsEmpty) {
    EXPECT_EQ(InstalledDeviceBackend(), nullptr);
    for (const wchar_t* path :
         {L"\\\\.\\PhysicalDrive0", L"\\\\.\\C:", L"\\\\.\\scsi3:", L"//./PhysicalDrive1"}) {
        SetLastError(0);
        EXPECT_EQ(OpenDrive(path), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 2u) << "ERROR_FILE_NOT_FOUND";
    }

    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &info));
    EXPECT_EQ(GetLastError(), 259u) << "ERROR_NO_MORE_ITEMS";
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &iface));
    EXPECT_EQ(GetLastError(), 259u) << "ERROR_NO_MORE_ITEMS";
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), 87u) << "ERROR_INVALID_PARAMETER";
    BYTE buffer[8];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_SERVICE, nullptr, buffer,
                                                   sizeof(buffer), nullptr));
    EXPECT_EQ(GetLastError(), 87u) << "ERROR_INVALID_PARAMETER";
    DEVPROPTYPE type = 0;
    EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_PciDevice_CurrentLinkSpeed, &type,
                                           buffer, sizeof(buffer), nullptr, 0));
    EXPECT_EQ(GetLastError(), 87u) << "ERROR_INVALID_PARAMETER";
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &info));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";

    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 87u) << "ERROR_INVALID_PARAMETER";

    DEVINST parent = 5;
    EXPECT_EQ(CM_Get_Parent(&parent, 1, 0), 0x05u) << "CR_INVALID_DEVNODE";
    EXPECT_EQ(parent, 0u);
    WCHAR id[MAX_DEVICE_ID_LEN];
    EXPECT_EQ(CM_Get_Device_IDW(1, id, MAX_DEVICE_ID_LEN, 0), 0x05u) << "CR_INVALID_DEVNODE";
    ULONG length = 9;
    EXPECT_EQ(CM_Get_Device_ID_Size(&length, 1, 0), 0x05u) << "CR_INVALID_DEVNODE";
    EXPECT_EQ(length, 0u);

    int object = 0;
    EXPECT_EQ(NewBackendHandle(&object), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 1u) << "ERROR_INVALID_FUNCTION";
}

TEST_F(DeviceBackendTest, DevicePathsAndTheHandlesOfTheBackendGoToIt) {
    InstallDeviceBackend(&kRecorder);
    EXPECT_EQ(InstalledDeviceBackend(), &kRecorder);
    HANDLE h = OpenDrive(L"//./PhysicalDrive1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(BackendHandleObject(h), &g_device);

    BYTE in[4] = {};
    BYTE out[12] = {};
    DWORD returned = 0;
    EXPECT_TRUE(
        DeviceIoControl(h, 0x002D1080, in, sizeof(in), out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(returned, 12u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(BackendHandleObject(h), nullptr);
    EXPECT_FALSE(
        DeviceIoControl(h, 0x002D1080, in, sizeof(in), out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";

    // A refused open keeps the backend's last error.
    EXPECT_EQ(CreateFileW(L"\\\\.\\PhysicalDrive9", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 21u) << "ERROR_NOT_READY";

    EXPECT_EQ(g_calls, (std::vector<std::string>{
                           "open \\\\.\\PhysicalDrive1 3221225472 3 3 0",
                           "ioctl device 2953344 4 12 in out",
                           "close device",
                           "open \\\\.\\PhysicalDrive9 2147483648 0 3 128",
                       }));
}

TEST_F(DeviceBackendTest, OnlyTheBackendsOwnHandlesReachIt) {
    InstallDeviceBackend(&kRecorder);
    char pattern[] = "/tmp/zxbackend_XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    std::wstring path;
    for (const char* c = pattern; *c != 0; ++c) {
        path.push_back(static_cast<wchar_t>(*c));
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD returned = 5;
    BYTE out[4];
    EXPECT_FALSE(
        DeviceIoControl(file, 0x002D1080, nullptr, 0, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(GetLastError(), 1u) << "ERROR_INVALID_FUNCTION";
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7654320), 0x002D1080, nullptr, 0, out,
                                 sizeof(out), &returned, nullptr));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";
    EXPECT_EQ(BackendHandleObject(file), nullptr);
    EXPECT_EQ(DropBackendHandle(file), nullptr);
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(file, 0, &info));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(file));
    EXPECT_EQ(GetLastError(), 6u) << "ERROR_INVALID_HANDLE";
    EXPECT_TRUE(CloseHandle(file)); // still the platform's, and still open
    std::remove(pattern);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(DeviceBackendTest, TheDeviceTreeGoesToTheBackendWithItsArguments) {
    InstallDeviceBackend(&kRecorder);
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HUB, L"USB",
                                        reinterpret_cast<HWND>(0x40), DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info = {};
    SP_DEVICE_INTERFACE_DATA iface = {};
    BYTE buffer[16];
    DWORD required = 0;
    DEVPROPTYPE type = 0;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 2, &info));
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, &info, &GUID_DEVINTERFACE_DISK, 3, &iface));
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, &info));
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_LOCATION_INFORMATION, nullptr,
                                                  buffer, sizeof(buffer), &required));
    EXPECT_TRUE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_PciDevice_MaxLinkWidth, &type,
                                          buffer, 4, &required, 0));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    DEVINST parent = 0;
    EXPECT_EQ(CM_Get_Parent(&parent, 12, 0), 0u);
    EXPECT_EQ(parent, 77u);
    WCHAR id[4];
    EXPECT_EQ(CM_Get_Device_IDW(12, id, 4, 0), 0x1Au) << "CR_BUFFER_SMALL";
    ULONG length = 0;
    EXPECT_EQ(CM_Get_Device_ID_Size(&length, 12, 0), 0u);
    EXPECT_EQ(length, 41u);
    EXPECT_EQ(g_calls, (std::vector<std::string>{
                           "classdevs 4052356744 USB 0x40 16",
                           "enuminfo set 2",
                           "enuminterfaces set 1408590599 3",
                           "detail set 0",
                           "registry set 13 16",
                           "property set 12 4 0",
                           "destroy set",
                           "parent 12 0",
                           "id 12 4 0",
                           "idsize 12 0",
                       }));
}

TEST_F(DeviceBackendTest, AHandleStaysWithTheBackendThatMadeIt) {
    InstallDeviceBackend(&kOther);
    HANDLE h = OpenDrive(L"\\\\.\\PhysicalDrive2");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    InstallDeviceBackend(&kRecorder);
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, 0x002D1080, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    HANDLE mine = OpenDrive(L"\\\\.\\PhysicalDrive2");
    InstallDeviceBackend(nullptr);
    EXPECT_TRUE(CloseHandle(mine));
    EXPECT_EQ(g_calls, (std::vector<std::string>{
                           "other open",
                           "other ioctl",
                           "other close",
                           "open \\\\.\\PhysicalDrive2 3221225472 3 3 0",
                           "close device",
                       }));
}

} // namespace
