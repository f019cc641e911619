// What the fuzz targets share: the invariant check that stops the run, a scratch path of this
// process, and a device backend whose every answer comes from the fuzz input.
#pragma once

#include "platform/device_backend.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace fuzz {

inline void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// $TMPDIR/zx_fuzz_<name>_<pid><suffix> (/tmp without TMPDIR): each fuzzing process works on
// files of its own, under the folder it was given.
inline std::string ScratchPath(const char* name, const char* suffix = "") {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") + "/zx_fuzz_" + name + "_" +
           std::to_string(getpid()) + suffix;
}

// A device that answers every DeviceIoControl from the input, in order. Each answer starts with
// one control byte: an odd byte fails the call (ERROR_IO_DEVICE); an even byte b keeps the
// first (b / 2) * 8 bytes of the output buffer as the caller left them (the header a driver
// would return) and overwrites the rest with the next input bytes, as far as they go; the count
// returned is what was kept and written. Once the input is used up every call fails. Opens
// always succeed; the device tree is empty.
struct ScriptedInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    int opened = 0; // handles the program holds
};

inline ScriptedInput& Script() {
    static ScriptedInput script;
    return script;
}

inline HANDLE ScriptedOpen(LPCWSTR, DWORD, DWORD, DWORD, DWORD) {
    ++Script().opened;
    return NewBackendHandle(&Script());
}

inline BOOL ScriptedClose(HANDLE handle) {
    if (DropBackendHandle(handle) == nullptr) {
        return FALSE;
    }
    --Script().opened;
    return TRUE;
}

inline BOOL ScriptedIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID out, DWORD outSize,
                              LPDWORD returned, LPOVERLAPPED) {
    ScriptedInput& s = Script();
    if (returned != nullptr) {
        *returned = 0;
    }
    if (s.at >= s.size || (s.data[s.at] & 1) != 0) {
        s.at += s.at < s.size ? 1 : 0;
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    size_t keep = static_cast<size_t>(s.data[s.at++] / 2) * 8;
    if (out == nullptr || keep > outSize) {
        keep = out == nullptr ? 0 : outSize;
    }
    size_t n = outSize - keep;
    if (out == nullptr || n > s.size - s.at) {
        n = out == nullptr ? 0 : s.size - s.at;
    }
    if (n != 0) {
        std::memcpy(static_cast<uint8_t*>(out) + keep, s.data + s.at, n);
    }
    s.at += n;
    if (returned != nullptr) {
        *returned = static_cast<DWORD>(keep + n);
    }
    return TRUE;
}

inline HDEVINFO NoClassDevs(const GUID*, PCWSTR, HWND, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}
inline BOOL NoDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
inline BOOL NoInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                         PSP_DEVICE_INTERFACE_DATA) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
inline BOOL NoInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                              PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD, PSP_DEVINFO_DATA) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
inline BOOL NoRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
}
inline BOOL NoDeviceProperty(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE,
                             DWORD, PDWORD, DWORD) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}
inline BOOL NoDestroy(HDEVINFO) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
inline CONFIGRET NoParent(PDEVINST, DEVINST, ULONG) {
    return CR_NO_SUCH_DEVINST;
}
inline CONFIGRET NoDeviceId(DEVINST, PWSTR, ULONG, ULONG) {
    return CR_NO_SUCH_DEVINST;
}
inline CONFIGRET NoDeviceIdSize(PULONG, DEVINST, ULONG) {
    return CR_NO_SUCH_DEVINST;
}

// Installs the scripted device (once) and gives it this input.
inline void ScriptDevice(const uint8_t* data, size_t size) {
    static const DeviceBackend backend = {
        ScriptedOpen, ScriptedClose,     ScriptedIoControl,  NoClassDevs,      NoDeviceInfo,
        NoInterfaces, NoInterfaceDetail, NoRegistryProperty, NoDeviceProperty, NoDestroy,
        NoParent,     NoDeviceId,        NoDeviceIdSize,     nullptr};
    if (InstalledDeviceBackend() != &backend) {
        InstallDeviceBackend(&backend);
    }
    ScriptedInput& s = Script();
    s.data = data;
    s.size = size;
    s.at = 0;
}

} // namespace fuzz
