// Device handles of the simulated PC: CreateFileW on a device path (\\.\PhysicalDriveN, a
// volume \\.\C:, a SCSI port \\.\ScsiN:, a disk's interface path), the sharing rule between
// open handles and the rights a handle was opened with.
#include "platform/win32.h"
#include "sim/handles.h"
#include "sim/pc.h"
#include "sim/refusal.h"
#include "sim/stack.h"
#include "sim/trace.h"
#include "sim/windows_api.h"

#include <algorithm>
#include <cwctype>
#include <memory>
#include <vector>

namespace sim {
namespace {

std::vector<std::weak_ptr<DeviceHandle>>& OpenHandles() {
    static std::vector<std::weak_ptr<DeviceHandle>> handles;
    return handles;
}

bool SameTarget(const DeviceHandle& a, const DeviceHandle& b) {
    if (a.kind != b.kind || a.epoch != b.epoch) {
        return false;
    }
    switch (a.kind) {
    case DeviceHandle::Disk:
        return a.disk == b.disk;
    case DeviceHandle::Volume:
        return a.letter == b.letter;
    default:
        return a.port == b.port;
    }
}

// What a handle may do, by the access it was opened with: FILE_READ_DATA or FILE_WRITE_DATA
// (the generic rights map to them, GENERIC_ALL to both).
constexpr DWORD kMayRead = FILE_READ_ACCESS;
constexpr DWORD kMayWrite = FILE_WRITE_ACCESS;

DWORD GrantedAccess(DWORD access) {
    DWORD granted = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) {
        granted |= kMayRead;
    }
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) {
        granted |= kMayWrite;
    }
    return granted;
}

// The sharing rule of CreateFileW: each side must share what the other one uses.
bool SharingConflict(const DeviceHandle& opening) {
    auto& list = OpenHandles();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::weak_ptr<DeviceHandle>& w) { return w.expired(); }),
               list.end());
    for (const auto& w : list) {
        auto other = w.lock();
        if (!other || !SameTarget(*other, opening)) {
            continue;
        }
        auto uses = [](DWORD access, DWORD right) { return (GrantedAccess(access) & right) != 0; };
        if ((uses(opening.access, kMayRead) && !(other->share & FILE_SHARE_READ)) ||
            (uses(opening.access, kMayWrite) && !(other->share & FILE_SHARE_WRITE)) ||
            (uses(other->access, kMayRead) && !(opening.share & FILE_SHARE_READ)) ||
            (uses(other->access, kMayWrite) && !(opening.share & FILE_SHARE_WRITE))) {
            return true;
        }
    }
    return false;
}

std::wstring Lower(const wchar_t* s) {
    std::wstring out;
    for (; *s; ++s) {
        out += wchar_t(std::towlower(wint_t(*s)));
    }
    return out;
}

bool ParseNumberSuffix(const std::wstring& text, size_t start, size_t end, uint32_t& out) {
    if (start >= end || end - start > 3) {
        return false;
    }
    out = 0;
    for (size_t i = start; i < end; ++i) {
        if (!std::iswdigit(wint_t(text[i]))) {
            return false;
        }
        out = out * 10 + uint32_t(text[i] - L'0');
    }
    return true;
}

} // namespace

bool AccessAllows(const DeviceHandle& handle, DWORD code) {
    const DWORD required = (code >> 14) & 3;
    return (GrantedAccess(handle.access) & required) == required;
}

HANDLE OpenDevice(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    (void)flags;
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    Pc& pc = ThePc();
    auto h = std::make_shared<DeviceHandle>();
    h->path = path ? path : L"";
    h->access = access;
    h->share = share;
    TakeRefusal(); // what an earlier request of this thread left unread
    DWORD error = 0;
    const std::wstring lower = path ? Lower(path) : std::wstring();
    const std::wstring prefix = L"\\\\.\\";
    SimDisk* disk = nullptr;
    uint32_t n = 0;
    if (lower.compare(0, prefix.size(), prefix) != 0) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (lower.compare(4, 13, L"physicaldrive") == 0 &&
               ParseNumberSuffix(lower, 17, lower.size(), n)) {
        disk = pc.DiskByDrive(n);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    } else if (lower.size() == 6 && std::iswalpha(wint_t(lower[4])) && lower[5] == L':') {
        h->kind = DeviceHandle::Volume;
        h->letter = wchar_t(std::towupper(wint_t(lower[4])));
        disk = pc.DiskByVolume(h->letter);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    } else if (lower.compare(4, 4, L"scsi") == 0 && lower.back() == L':' &&
               ParseNumberSuffix(lower, 8, lower.size() - 1, n)) {
        h->kind = DeviceHandle::Port;
        h->port = n;
        error = pc.PortExists(n) ? 0 : ERROR_FILE_NOT_FOUND;
    } else {
        disk = pc.DiskByInterface(lower);
        error = disk ? 0 : ERROR_FILE_NOT_FOUND;
    }
    if (error) {
        error = Refused("I/O manager", error, "no device has this path");
    } else if (disposition != OPEN_EXISTING) {
        error = Refused("I/O manager", ERROR_INVALID_PARAMETER,
                        "a device opens with OPEN_EXISTING only");
    }
    h->epoch = pc.epoch;
    if (disk) {
        h->disk = disk->index;
        h->generation = disk->generation;
    }
    if (!error && disk && pc.TakeFault(*disk, "open_fail")) {
        error = Refused("disk", ERROR_ACCESS_DENIED, "fault open_fail");
    }
    if (!error && SharingConflict(*h)) {
        error = Refused("I/O manager", ERROR_SHARING_VIOLATION,
                        "an open handle does not share what this one uses, or the reverse");
    }
    const std::string refused = TakeRefusal();
    HANDLE result = INVALID_HANDLE_VALUE;
    if (!error) {
        OpenHandles().push_back(h);
        result = NewHandle(h);
    }
    if (TraceOn()) {
        TraceFields fields;
        fields.Num("access", access);
        fields.Num("share", share);
        fields.Num("disposition", disposition);
        fields.Bool("ok", error == 0);
        fields.Num("error", error);
        if (!refused.empty()) {
            fields.Str("refused", refused);
        }
        if (disk) {
            fields.Str("disk", disk->name);
        }
        TraceWrite("CreateFileW", ",\"path\":" + JsonString(Narrow(h->path)), fields);
    }
    if (error) {
        SetLastError(error);
    }
    return result;
}

} // namespace sim
