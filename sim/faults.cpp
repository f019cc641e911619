// Faults of the simulated PC's disks: the kinds there are, the list a scenario or a test gives,
// the strikes that requests consume, and the wait of a slow disk.
#include "sim/control.h"
#include "sim/pc.h"

#include "platform/win32.h"

#include <cctype>
#include <cstdio>
#include <mutex>
#include <sstream>

namespace sim {
namespace {

// What the text after a kind's ':' is.
enum class FaultArg {
    None,     // no argument
    Text,     // optional, compared without regard to case (an I/O control name); without it
              // every request matches
    Opcode,   // required, an admin opcode 0..255, kept as "0xNN"
    Number,   // required, a number, kept in decimal
    AtOffset, // optional, a byte offset, kept in decimal; without it every request matches
};

struct FaultKind {
    const char* name;
    FaultArg arg;
};

// Every kind a scenario or InjectFault may name; docs/scenario.md describes each.
const FaultKind kFaultKinds[] = {
    {"ioctl_fail", FaultArg::Text},
    {"nvme_fail", FaultArg::Opcode},
    {"download_fail", FaultArg::AtOffset},
    {"download_vanish", FaultArg::AtOffset},
    {"commit_fail", FaultArg::None},
    {"no_device_number", FaultArg::None},
    {"no_scsi_address", FaultArg::None},
    {"open_fail", FaultArg::None},
    {"slow", FaultArg::Number},
    {"no_return", FaultArg::None},
    {"garbage_identify", FaultArg::None},
    {"bridge_fail_command", FaultArg::None},
    {"bridge_fail_data", FaultArg::None},
    {"bridge_fail_completion", FaultArg::None},
    {"bridge_check_command", FaultArg::None},
    {"bridge_check_data", FaultArg::None},
    {"bridge_check_completion", FaultArg::None},
    {"bridge_check_inquiry", FaultArg::None},
    {"ata_fail", FaultArg::Opcode},
    {"ata_vanish", FaultArg::Opcode},
    {"ata_drq", FaultArg::None},
};

const FaultKind* FindKind(const std::string& name) {
    for (const FaultKind& k : kFaultKinds) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// Checks the argument of a fault of the kind and writes it in the form the strikes compare.
bool NormaliseArg(const FaultKind& kind, Fault& f, std::string& error) {
    const std::string what = "fault '" + f.kind + (f.arg.empty() ? "" : ":" + f.arg) + "': ";
    uint64_t n = 0;
    switch (kind.arg) {
    case FaultArg::None:
        if (!f.arg.empty()) {
            error = what + "takes no argument";
            return false;
        }
        return true;
    case FaultArg::Text:
        return true;
    case FaultArg::Opcode:
        if (!ParseU64(f.arg, n) || n > 0xFF) {
            error = what + "needs an opcode 0..0xFF";
            return false;
        }
        {
            char text[8];
            std::snprintf(text, sizeof(text), "0x%02x", unsigned(n));
            f.arg = text;
        }
        return true;
    case FaultArg::Number:
    case FaultArg::AtOffset:
        if (f.arg.empty() && kind.arg == FaultArg::AtOffset) {
            return true;
        }
        if (!ParseU64(f.arg, n) || (kind.arg == FaultArg::Number && n > 0xFFFFFFFFu)) {
            error = what + (kind.arg == FaultArg::Number ? "needs a number 0..0xFFFFFFFF"
                                                         : "needs a number");
            return false;
        }
        f.arg = std::to_string(n);
        return true;
    }
    return true;
}

std::mutex& HookLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::function<void(uint32_t)>& SlowHook() {
    static auto* hook = new std::function<void(uint32_t)>;
    return *hook;
}

} // namespace

bool ParseFaultList(const std::string& text, std::vector<Fault>& out, std::string& error) {
    std::stringstream ss(text);
    std::string item;
    std::vector<Fault> parsed;
    while (std::getline(ss, item, ',')) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (item.empty()) {
            continue;
        }
        Fault f;
        size_t star = item.find('*');
        if (star != std::string::npos) {
            uint64_t n = 0;
            if (!ParseU64(item.substr(star + 1), n) || n > 1000000) {
                error = "fault '" + item + "': count after '*' is a number";
                return false;
            }
            f.count = int(n);
            item.erase(star);
        }
        size_t at = item.find('@');
        if (at != std::string::npos) {
            uint64_t n = 0;
            if (!ParseU64(item.substr(at + 1), n) || n > 1000000) {
                error = "fault '" + item + "': skip after '@' is a number";
                return false;
            }
            f.skip = int(n);
            item.erase(at);
        }
        size_t colon = item.find(':');
        f.kind = item.substr(0, colon);
        if (colon != std::string::npos) {
            f.arg = item.substr(colon + 1);
        }
        const FaultKind* kind = FindKind(f.kind);
        if (kind == nullptr) {
            error = "fault '" + item + "': unknown kind '" + f.kind + "'";
            return false;
        }
        if (!NormaliseArg(*kind, f, error)) {
            return false;
        }
        parsed.push_back(f);
    }
    out.insert(out.end(), parsed.begin(), parsed.end());
    return true;
}

bool Pc::HasFault(const SimDisk& disk, const std::string& kind) const {
    for (const auto& f : disk.faults) {
        if (f.kind == kind && f.count != 0) {
            return true;
        }
    }
    return false;
}

namespace {

// Consumes one strike of the first live fault of the kind (whose argument, when it has one and
// `arg` is given, is arg): a skip still to pass gives null.
Fault* Strike(SimDisk& disk, const std::string& kind, const std::string* arg) {
    for (auto& f : disk.faults) {
        if (f.kind != kind || f.count == 0) {
            continue;
        }
        if (arg != nullptr && !f.arg.empty() && Lower(f.arg) != Lower(*arg)) {
            continue;
        }
        if (f.skip > 0) {
            f.skip--;
            return nullptr;
        }
        if (f.count > 0) {
            f.count--;
        }
        return &f;
    }
    return nullptr;
}

} // namespace

bool Pc::TakeFault(SimDisk& disk, const std::string& kind, const std::string& arg) {
    return Strike(disk, kind, &arg) != nullptr;
}

const Fault* Pc::StrikeFault(SimDisk& disk, const std::string& kind) {
    return Strike(disk, kind, nullptr);
}

void WaitForSlowDisk(uint32_t ms) {
    std::function<void(uint32_t)> hook;
    {
        std::lock_guard<std::mutex> guard(HookLock());
        hook = SlowHook();
    }
    if (hook) {
        hook(ms);
    } else {
        Sleep(ms);
    }
}

void SetSlowWaitHook(std::function<void(uint32_t ms)> hook) {
    std::lock_guard<std::mutex> guard(HookLock());
    SlowHook() = std::move(hook);
}

} // namespace sim
