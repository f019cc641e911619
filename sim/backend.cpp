// The simulated PC as the platform layer's device backend.
#include "platform/device_backend.h"
#include "sim/control.h"
#include "sim/handles.h"
#include "sim/windows_api.h"

namespace sim {
namespace {

HDEVINFO ClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
    return GetClassDevs(classGuid, enumerator, flags);
}

const DevicePower kPower = {
    OpenProcessToken, LookupPrivilegeValue, AdjustTokenPrivileges,
    ExitWindowsEx,    GetSystemPowerStatus,
};

const DeviceBackend kBackend = {
    OpenDevice,
    CloseHandle,
    IoControl,
    ClassDevs,
    EnumDeviceInfo,
    EnumDeviceInterfaces,
    GetDeviceInterfaceDetail,
    GetDeviceRegistryProperty,
    GetDeviceProperty,
    DestroyDeviceInfoList,
    GetParent,
    GetDeviceId,
    GetDeviceIdSize,
    &kPower,
};

} // namespace

void Install() {
    InstallDeviceBackend(&kBackend);
}

} // namespace sim
