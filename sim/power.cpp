// The simulated PC's power: the shutdown request of the program (its process token, the
// shutdown privilege, ExitWindowsEx) reaches the PC, which records it and never touches the
// host. Windows would end the process; here the program runs on until its dialog closes, and
// the drive state saved at its end says the PC was shut down or restarted, so that the next
// start is a power-on (docs/scenario.md).
#include "sim/control.h"
#include "sim/handles.h"
#include "sim/pc.h"

#include <cwchar>
#include <mutex>

namespace sim {
namespace {

constexpr DWORD kShutdownPrivilege = 19;  // SE_SHUTDOWN_PRIVILEGE
constexpr DWORD kPrivilegeNotHeld = 1314; // ERROR_PRIVILEGE_NOT_HELD

struct TokenObject : HandleObject {
    DWORD access = 0;
};

struct PowerRecords {
    std::mutex lock;
    bool privilegeEnabled = false; // SeShutdownPrivilege on the process token
    PowerView view;
};

PowerRecords& Records() {
    static auto* records = new PowerRecords;
    return *records;
}

void Note(const std::string& call) {
    PowerRecords& r = Records();
    std::lock_guard<std::mutex> guard(r.lock);
    r.view.calls.push_back(call);
}

std::string HexNumber(DWORD v) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", unsigned(v));
    return text;
}

} // namespace

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    Note("OpenProcessToken " + HexNumber(access));
    if (process != GetCurrentProcess() || token == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto t = std::make_shared<TokenObject>();
    t->access = access;
    *token = NewHandle(t);
    return *token != INVALID_HANDLE_VALUE;
}

BOOL LookupPrivilegeValue(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    Note("LookupPrivilegeValueW " + (name ? Narrow(name) : std::string("(null)")));
    if ((systemName != nullptr && systemName[0] != 0) || name == nullptr || luid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::wcscmp(name, L"SeShutdownPrivilege") != 0) {
        SetLastError(1313); // ERROR_NO_SUCH_PRIVILEGE
        return FALSE;
    }
    luid->LowPart = kShutdownPrivilege;
    luid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD,
                           PTOKEN_PRIVILEGES, PDWORD) {
    auto t = GetHandleAs<TokenObject>(token);
    std::string call = "AdjustTokenPrivileges";
    bool enable = false;
    bool names = false;
    if (!disableAll && newState != nullptr) {
        for (DWORD i = 0; i < newState->PrivilegeCount && i < 1; i++) {
            const LUID_AND_ATTRIBUTES& p = newState->Privileges[i];
            if (p.Luid.LowPart == kShutdownPrivilege && p.Luid.HighPart == 0) {
                names = true;
                enable = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    call += disableAll ? " all disabled"
            : names    ? (enable ? " SeShutdownPrivilege enabled" : " SeShutdownPrivilege disabled")
                       : " other";
    Note(call);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(t->access & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    PowerRecords& r = Records();
    std::lock_guard<std::mutex> guard(r.lock);
    if (disableAll) {
        r.privilegeEnabled = false;
    } else if (names) {
        r.privilegeEnabled = enable;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
    PowerRecords& r = Records();
    std::lock_guard<std::mutex> guard(r.lock);
    r.view.calls.push_back("ExitWindowsEx " + HexNumber(flags) + " " + HexNumber(reason));
    ShutdownRequest request;
    request.flags = flags;
    request.reason = reason;
    request.privilegeHeld = r.privilegeEnabled;
    const bool powers = (flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
    request.accepted = !powers || r.privilegeEnabled;
    r.view.shutdowns.push_back(request);
    if (!request.accepted) {
        SetLastError(kPrivilegeNotHeld);
        return FALSE;
    }
    if (flags & EWX_REBOOT) {
        r.view.state = "restart";
    } else if (flags & (EWX_SHUTDOWN | EWX_POWEROFF)) {
        r.view.state = "off";
    }
    return TRUE;
}

BOOL GetSystemPowerStatus(LPSYSTEM_POWER_STATUS status) {
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PowerSupply supply;
    {
        std::lock_guard<std::recursive_mutex> guard(PcLock());
        supply = ThePc().power;
    }
    *status = SYSTEM_POWER_STATUS();
    status->ACLineStatus = supply.acLine;
    status->BatteryLifeTime = 0xFFFFFFFFu;
    status->BatteryFullLifeTime = 0xFFFFFFFFu;
    if (supply.battery == -1) {
        status->BatteryFlag = 0x80; // no system battery
        status->BatteryLifePercent = 0xFF;
    } else if (supply.battery == -2) {
        status->BatteryFlag = 0xFF; // unknown
        status->BatteryLifePercent = 0xFF;
    } else {
        const int percent = supply.battery;
        // Windows' flags: high above 66 %, low below 33 %, critical below 5 %.
        BYTE flag = percent > 66 ? 0x01 : percent < 33 ? 0x02 : 0x00;
        if (percent < 5) {
            flag |= 0x04;
        }
        if (supply.acLine == 1 && percent < 100) {
            flag |= 0x08; // charging
        }
        status->BatteryFlag = flag;
        status->BatteryLifePercent = BYTE(percent);
    }
    return TRUE;
}

PowerView Power() {
    PowerRecords& r = Records();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.view;
}

std::string ShutdownRequested() {
    const std::string state = Power().state;
    return state == "off" ? "power off" : state == "restart" ? "restart" : "";
}

void ClearPower() {
    PowerRecords& r = Records();
    std::lock_guard<std::mutex> guard(r.lock);
    r.privilegeEnabled = false;
    r.view = PowerView();
}

std::string PowerStateAfterRun() {
    return Power().state;
}

} // namespace sim
