// The calls around the dialog that have nothing to show on POSIX: common controls, GDI+, icons,
// and the shutdown request with its token calls. They keep records for tests and tools and
// answer as Windows answers an administrator; nothing is ever shut down. An installed device
// backend with a power table (the simulated PC) answers the shutdown calls instead.
#include "platform/device_backend.h"
#include "platform/posix/handles.h"
#include "platform/posix/resources.h"
#include "platform/posix/user_internal.h"

#include <cwchar>
#include <mutex>

namespace zxposix {
namespace ui {
namespace {

struct IconObject : HandleObject {
    ULONG_PTR resourceId = 0;
    int cx = 0;
    int cy = 0;
};

struct TokenObject : HandleObject {
    DWORD access = 0;
};

const DWORD kShutdownPrivilege = 19; // SE_SHUTDOWN_PRIVILEGE

struct SystemState {
    std::mutex lock;
    int gdiplusStarts = 0;
    ULONG_PTR nextGdiplusToken = 0x6D00;
    int commonControls = 0;
    bool shutdownEnabled = false;
    std::vector<ShutdownRecord> shutdowns;
    std::vector<ImageRequest> images;
};

SystemState& S() {
    static SystemState* s = new SystemState;
    return *s;
}

} // namespace

std::vector<ShutdownRecord> ShutdownRequests() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().shutdowns;
}

int GdiplusStartCount() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().gdiplusStarts;
}

int CommonControlsInitialised() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().commonControls;
}

std::vector<ImageRequest> ImageRequests() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().images;
}

void ClearRecords() {
    ClearWindowRecords();
    std::lock_guard<std::mutex> guard(S().lock);
    S().images.clear();
    S().shutdowns.clear();
    S().shutdownEnabled = false;
}

} // namespace ui
} // namespace zxposix

using namespace zxposix::ui;

void InitCommonControls() {
    std::lock_guard<std::mutex> guard(S().lock);
    S().commonControls++;
}

namespace Gdiplus {

Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                             GdiplusStartupOutput* output) {
    if (token == nullptr || input == nullptr || input->GdiplusVersion != 1) {
        return InvalidParameter;
    }
    if (input->SuppressBackgroundThread && output == nullptr) {
        return InvalidParameter;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().gdiplusStarts++;
    *token = S().nextGdiplusToken++;
    if (output != nullptr) {
        output->NotificationHook = nullptr;
        output->NotificationUnhook = nullptr;
    }
    return Ok;
}

void WINAPI GdiplusShutdown(ULONG_PTR token) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (token != 0 && S().gdiplusStarts > 0) {
        S().gdiplusStarts--;
    }
}

} // namespace Gdiplus

namespace {

HANDLE LoadIconImage(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy) {
    if (type != IMAGE_ICON) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND); // only icons are kept
        return nullptr;
    }
    if (name == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    // An icon is its group resource (the directory of its sizes); FindResourceW sets the error
    // of a missing one. The images are not decoded: nothing on POSIX draws them.
    if (FindResourceW(reinterpret_cast<HMODULE>(instance), name, RT_GROUP_ICON) == nullptr) {
        return nullptr;
    }
    auto icon = std::make_shared<IconObject>();
    icon->resourceId = IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0;
    int size = GetSystemMetrics(SM_CXICON);
    icon->cx = cx != 0 ? cx : size;
    icon->cy = cy != 0 ? cy : size;
    return zxposix::NewHandle(icon);
}

} // namespace

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    HANDLE result = LoadIconImage(instance, name, type, cx, cy);
    ImageRequest r;
    r.resourceId = name != nullptr && IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0;
    r.type = type;
    r.cx = cx;
    r.cy = cy;
    r.flags = flags;
    r.result = result;
    r.error = result == nullptr ? GetLastError() : 0;
    std::lock_guard<std::mutex> guard(S().lock);
    S().images.push_back(r);
    return result;
}

BOOL DestroyIcon(HICON icon) {
    if (!zxposix::GetHandleAs<IconObject>(icon)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return zxposix::DropHandle(icon) ? TRUE : FALSE;
}

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

namespace {

// The power table of the installed backend, or null.
const DevicePower* BackendPower() {
    const DeviceBackend* backend = InstalledDeviceBackend();
    return backend != nullptr ? backend->Power : nullptr;
}

} // namespace

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    if (const DevicePower* power = BackendPower()) {
        return power->OpenProcessToken(process, access, token);
    }
    if (process != GetCurrentProcess() || token == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto t = std::make_shared<TokenObject>();
    t->access = access;
    *token = zxposix::NewHandle(t);
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    if (const DevicePower* power = BackendPower()) {
        return power->LookupPrivilegeValueW(systemName, name, luid);
    }
    if ((systemName != nullptr && systemName[0] != 0) || name == nullptr || luid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::wcscmp(name, SE_SHUTDOWN_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    luid->LowPart = kShutdownPrivilege;
    luid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           PDWORD returnLength) {
    // A token the backend made goes back to it.
    const DevicePower* power = BackendPower();
    if (power != nullptr && BackendHandleObject(token) != nullptr) {
        return power->AdjustTokenPrivileges(token, disableAll, newState, bufferLength,
                                            previousState, returnLength);
    }
    auto t = zxposix::GetHandleAs<TokenObject>(token);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(t->access & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    if (disableAll) {
        S().shutdownEnabled = false;
    } else if (newState != nullptr) {
        for (DWORD i = 0; i < newState->PrivilegeCount && i < 1; i++) {
            const LUID_AND_ATTRIBUTES& p = newState->Privileges[i];
            if (p.Luid.LowPart == kShutdownPrivilege && p.Luid.HighPart == 0) {
                S().shutdownEnabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
    if (const DevicePower* power = BackendPower()) {
        return power->ExitWindowsEx(flags, reason);
    }
    std::lock_guard<std::mutex> guard(S().lock);
    ShutdownRecord r;
    r.flags = flags;
    r.reason = reason;
    r.privilegeEnabled = S().shutdownEnabled;
    S().shutdowns.push_back(r);
    if (!r.privilegeEnabled && (flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF))) {
        SetLastError(1314); // ERROR_PRIVILEGE_NOT_HELD
        return FALSE;
    }
    return TRUE;
}

BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (const DevicePower* power = BackendPower()) {
        return power->GetSystemPowerStatus(status);
    }
    status->ACLineStatus = AC_LINE_ONLINE;
    status->BatteryFlag = BATTERY_FLAG_NO_BATTERY;
    status->BatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
    status->SystemStatusFlag = 0;
    status->BatteryLifeTime = BATTERY_LIFE_UNKNOWN;
    status->BatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
    return TRUE;
}
