// The device tree of the simulated PC through SetupAPI and the configuration manager:
// device information sets are snapshots of the present nodes, taken when the set is made.
#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/pc.h"
#include "sim/windows_api.h"

#include <cstdint>
#include <cstring>
#include <cwctype>

namespace sim {
namespace {

struct DevInfoSet : HandleObject {
    struct Iface {
        DevInst inst;
        GUID cls;
        std::wstring path;
    };
    std::vector<DevInst> elements;
    std::vector<Iface> interfaces;
};

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool SameKey(const DEVPROPKEY& a, const DEVPROPKEY& b) {
    return SameGuid(a.fmtid, b.fmtid) && a.pid == b.pid;
}

std::shared_ptr<DevInfoSet> SetOf(HDEVINFO set) {
    auto s = GetHandleAs<DevInfoSet>(set);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return s;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// SP_DEVINFO_DATA.Reserved names the element: the address of its entry in the set's list, as
// SetupAPI keeps a pointer to its own element there. A structure filled by hand, or by another
// set, names no element of this set.
ULONG_PTR ElementToken(const DevInfoSet& set, size_t index) {
    return reinterpret_cast<ULONG_PTR>(&set.elements[index]);
}

// The node an SP_DEVINFO_DATA given as input names. A wrong cbSize of an input structure is
// ERROR_INVALID_PARAMETER (of an output structure ERROR_INVALID_USER_BUFFER), and so is an
// element that is not in the set.
const DevNode* NodeOf(Pc& pc, const DevInfoSet& set, PSP_DEVINFO_DATA data, DWORD& error) {
    error = ERROR_INVALID_PARAMETER;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || set.elements.empty()) {
        return nullptr;
    }
    const uintptr_t first = reinterpret_cast<uintptr_t>(set.elements.data());
    const uintptr_t token = uintptr_t(data->Reserved);
    if (token < first || (token - first) % sizeof(DevInst) != 0 ||
        (token - first) / sizeof(DevInst) >= set.elements.size()) {
        return nullptr;
    }
    const DevNode* node = pc.Node(set.elements[(token - first) / sizeof(DevInst)]);
    if (node) {
        error = 0;
    }
    return node;
}

std::wstring GuidText(const GUID& g) {
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buf;
}

} // namespace

HDEVINFO GetClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    const bool all = flags & DIGCF_ALLCLASSES;
    if (!classGuid && !all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring prefix;
    if (enumerator) {
        for (const wchar_t* p = enumerator; *p; ++p) {
            prefix += wchar_t(std::towupper(wint_t(*p)));
        }
        prefix += L'\\';
    }
    auto set = std::make_shared<DevInfoSet>();
    for (const DevNode& node : pc.nodes) {
        if ((flags & DIGCF_PRESENT) && !pc.NodePresent(node)) {
            continue;
        }
        if (!prefix.empty()) {
            std::wstring id;
            for (wchar_t c : node.id.substr(0, prefix.size())) {
                id += wchar_t(std::towupper(wint_t(c)));
            }
            if (id != prefix) {
                continue;
            }
        }
        if (flags & DIGCF_DEVICEINTERFACE) {
            bool added = false;
            for (const auto& iface : node.interfaces) {
                if (all || SameGuid(iface.first, *classGuid)) {
                    set->interfaces.push_back({node.inst, iface.first, iface.second});
                    if (!added) {
                        set->elements.push_back(node.inst);
                        added = true;
                    }
                }
            }
        } else if (all || SameGuid(node.setupClass, *classGuid)) {
            set->elements.push_back(node.inst);
        }
    }
    return NewHandle(set);
}

BOOL EnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto set = SetOf(handle);
    if (!set) {
        return FALSE;
    }
    if (!data) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= set->elements.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    const DevNode* node = ThePc().Node(set->elements[index]);
    data->ClassGuid = node->setupClass;
    data->DevInst = node->inst;
    data->Reserved = ElementToken(*set, index);
    return TRUE;
}

BOOL EnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA data, const GUID* cls, DWORD index,
                          PSP_DEVICE_INTERFACE_DATA iface) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto set = SetOf(handle);
    if (!set) {
        return FALSE;
    }
    if (!cls || !iface) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const DevNode* only = nullptr; // the element whose interfaces are wanted, if one is given
    if (data) {
        DWORD error = 0;
        only = NodeOf(ThePc(), *set, data, error);
        if (!only) {
            return Fail(error);
        }
    }
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const auto& it = set->interfaces[i];
        if (!SameGuid(it.cls, *cls) || (only && it.inst != only->inst)) {
            continue;
        }
        if (seen++ == index) {
            iface->InterfaceClassGuid = it.cls;
            iface->Flags = SPINT_ACTIVE;
            iface->Reserved = i + 1;
            return TRUE;
        }
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL GetDeviceInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA iface,
                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                              PDWORD required, PSP_DEVINFO_DATA data) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto set = SetOf(handle);
    if (!set) {
        return FALSE;
    }
    if (!iface) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (iface->Reserved == 0 || iface->Reserved > set->interfaces.size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const auto& it = set->interfaces[iface->Reserved - 1];
    const DWORD needed = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                               (it.path.size() + 1) * sizeof(WCHAR));
    if (required) {
        *required = needed;
    }
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!detail && size != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!detail || size < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(detail->DevicePath, it.path.c_str(), (it.path.size() + 1) * sizeof(WCHAR));
    if (data) {
        const DevNode* node = ThePc().Node(it.inst);
        data->ClassGuid = node->setupClass;
        data->DevInst = node->inst;
        for (size_t i = 0; i < set->elements.size(); ++i) {
            if (set->elements[i] == it.inst) {
                data->Reserved = ElementToken(*set, i);
            }
        }
    }
    return TRUE;
}

BOOL GetDeviceRegistryProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                               PBYTE buffer, DWORD size, PDWORD required) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto set = SetOf(handle);
    if (!set) {
        return FALSE;
    }
    DWORD error = 0;
    const DevNode* node = NodeOf(ThePc(), *set, data, error);
    if (!node) {
        return Fail(error);
    }
    std::vector<uint8_t> value;
    DWORD regType = REG_SZ;
    auto text = [&](const std::wstring& s, bool multi) {
        value.resize((s.size() + (multi ? 2 : 1)) * sizeof(WCHAR), 0);
        std::memcpy(value.data(), s.c_str(), s.size() * sizeof(WCHAR));
        regType = multi ? REG_MULTI_SZ : REG_SZ;
    };
    switch (property) {
    case SPDRP_SERVICE:
        if (!node->service.empty()) {
            text(node->service, false);
        }
        break;
    case SPDRP_BUSNUMBER:
        if (node->hasBus) {
            value.resize(4);
            std::memcpy(value.data(), &node->bus, 4);
            regType = REG_DWORD;
        }
        break;
    case SPDRP_LOCATION_INFORMATION:
        if (node->hasLocation) {
            text(node->location, false);
        }
        break;
    case SPDRP_DEVICEDESC:
    case SPDRP_FRIENDLYNAME:
        if (!node->description.empty()) {
            text(node->description, false);
        }
        break;
    case SPDRP_HARDWAREID:
        text(node->id.substr(0, node->id.rfind(L'\\')), true);
        break;
    case SPDRP_ENUMERATOR_NAME:
        text(node->id.substr(0, node->id.find(L'\\')), false);
        break;
    case SPDRP_CLASSGUID:
        text(GuidText(node->setupClass), false);
        break;
    default:
        break;
    }
    if (value.empty()) {
        return Fail(ERROR_INVALID_DATA);
    }
    if (required) {
        *required = DWORD(value.size());
    }
    if (!buffer && size != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (size < value.size()) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, value.data(), value.size());
    if (type) {
        *type = regType;
    }
    return TRUE;
}

BOOL GetDeviceProperty(HDEVINFO handle, PSP_DEVINFO_DATA data, const DEVPROPKEY* key,
                       DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto set = SetOf(handle);
    if (!set) {
        return FALSE;
    }
    if (flags != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (!key || !type) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD error = 0;
    const DevNode* node = NodeOf(ThePc(), *set, data, error);
    if (!node) {
        return Fail(error);
    }
    const DEVPROPKEY* links[] = {&DEVPKEY_PciDevice_CurrentLinkSpeed,
                                 &DEVPKEY_PciDevice_CurrentLinkWidth,
                                 &DEVPKEY_PciDevice_MaxLinkSpeed, &DEVPKEY_PciDevice_MaxLinkWidth};
    for (int i = 0; i < 4; ++i) {
        if (!SameKey(*key, *links[i])) {
            continue;
        }
        if (!node->hasLink) {
            break;
        }
        if (required) {
            *required = 4;
        }
        *type = DEVPROP_TYPE_UINT32;
        if (!buffer && size != 0) {
            return Fail(ERROR_INVALID_USER_BUFFER);
        }
        if (size < 4) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, &node->link[i], 4);
        return TRUE;
    }
    *type = DEVPROP_TYPE_EMPTY;
    return Fail(ERROR_NOT_FOUND);
}

BOOL DestroyDeviceInfoList(HDEVINFO handle) {
    if (!GetHandleAs<DevInfoSet>(handle)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DropHandle(handle);
    return TRUE;
}

CONFIGRET GetParent(PDEVINST parent, DEVINST inst, ULONG flags) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (!parent) {
        return CR_INVALID_POINTER;
    }
    *parent = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    Pc& pc = ThePc();
    const DevNode* node = pc.Node(inst);
    if (!node) {
        return CR_INVALID_DEVNODE;
    }
    if (!pc.NodePresent(*node) || node->parent == 0) {
        return CR_NO_SUCH_DEVNODE;
    }
    *parent = node->parent;
    return CR_SUCCESS;
}

CONFIGRET GetDeviceId(DEVINST inst, PWSTR buffer, ULONG length, ULONG flags) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (!buffer) {
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    Pc& pc = ThePc();
    const DevNode* node = pc.Node(inst);
    if (!node) {
        return CR_INVALID_DEVNODE;
    }
    if (!pc.NodePresent(*node)) {
        return CR_NO_SUCH_DEVNODE;
    }
    const size_t n = node->id.size();
    if (length < n) {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, node->id.c_str(), n * sizeof(WCHAR));
    if (length > n) {
        buffer[n] = 0;
    }
    return CR_SUCCESS;
}

CONFIGRET GetDeviceIdSize(PULONG length, DEVINST inst, ULONG flags) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (!length) {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    const DevNode* node = ThePc().Node(inst);
    if (!node) {
        return CR_INVALID_DEVNODE;
    }
    *length = ULONG(node->id.size());
    return CR_SUCCESS;
}

} // namespace sim
