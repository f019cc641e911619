// SetupAPI and configuration-manager functions of the POSIX layer, served by the simulated
// PC's device tree.
#include "platform/posix/setupapi.h"
#include "platform/posix/device_hook.h"
#include "sim/windows_api.h"

namespace {
const bool g_openerRegistered = (zxposix::SetDeviceOpener(&sim::OpenDevice), true);
} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    (void)parent;
    (void)g_openerRegistered;
    return sim::GetClassDevs(classGuid, enumerator, flags);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA deviceInfoData) {
    return sim::EnumDeviceInfo(set, memberIndex, deviceInfoData);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    return sim::EnumDeviceInterfaces(set, deviceInfoData, interfaceClassGuid, memberIndex,
                                     deviceInterfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData) {
    return sim::GetDeviceInterfaceDetail(set, deviceInterfaceData, detail, detailSize, requiredSize,
                                         deviceInfoData);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                                       DWORD property, PDWORD propertyRegDataType,
                                       PBYTE propertyBuffer, DWORD propertyBufferSize,
                                       PDWORD requiredSize) {
    return sim::GetDeviceRegistryProperty(set, deviceInfoData, property, propertyRegDataType,
                                          propertyBuffer, propertyBufferSize, requiredSize);
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags) {
    return sim::GetDeviceProperty(set, deviceInfoData, propertyKey, propertyType, propertyBuffer,
                                  propertyBufferSize, requiredSize, flags);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    return sim::DestroyDeviceInfoList(set);
}

CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST devInst, ULONG flags) {
    return sim::GetParent(parent, devInst, flags);
}

CONFIGRET CM_Get_Device_IDW(DEVINST devInst, PWSTR buffer, ULONG bufferLen, ULONG flags) {
    return sim::GetDeviceId(devInst, buffer, bufferLen, flags);
}

CONFIGRET CM_Get_Device_ID_Size(PULONG length, DEVINST devInst, ULONG flags) {
    return sim::GetDeviceIdSize(length, devInst, flags);
}
