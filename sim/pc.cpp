// The simulated PC's state: its disks and device nodes by the ways requests name them, the
// presence of each disk, the bridge host of a USB disk, and the one PC of the process.
#include "sim/pc.h"
#include "sim/read_file.h"

#include "platform/device_backend.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <fstream>

namespace sim {

const char* DiskKindName(DiskKind kind) {
    switch (kind) {
    case DiskKind::Nvme:
        return "nvme";
    case DiskKind::Rst:
        return "rst";
    case DiskKind::Usb:
        return "usb";
    case DiskKind::Sata:
        return "sata";
    default:
        return "other";
    }
}

std::wstring Widen(const std::string& s) {
    std::wstring w;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < s.size()) {
            cp = static_cast<uint32_t>((c & 0x1F) << 6 | (s[i + 1] & 0x3F));
            n = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size()) {
            cp = static_cast<uint32_t>((c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 |
                                       (s[i + 2] & 0x3F));
            n = 3;
        }
        w += wchar_t(cp);
        i += n;
    }
    return w;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t wc : w) {
        uint32_t c = uint32_t(wc);
        if (c < 0x80) {
            s += char(c);
        } else if (c < 0x800) {
            s += char(0xC0 | (c >> 6));
            s += char(0x80 | (c & 0x3F));
        } else {
            if (c > 0xFFFF) {
                c = 0xFFFD;
            }
            s += char(0xE0 | (c >> 12));
            s += char(0x80 | ((c >> 6) & 0x3F));
            s += char(0x80 | (c & 0x3F));
        }
    }
    return s;
}

const DevNode* Pc::Node(DevInst inst) const {
    if (inst == 0 || inst > nodes.size()) {
        return nullptr;
    }
    return &nodes[inst - 1];
}

bool Pc::NodePresent(const DevNode& node) const {
    return node.ownerDisk < 0 || !disks[size_t(node.ownerDisk)]->removed;
}

void Pc::Update() {
    if (ReturnsHeld()) {
        return;
    }
    const uint64_t now = GetTickCount64();
    for (auto& d : disks) {
        if (d->removed && d->awayUntil != 0 && now >= d->awayUntil) {
            Return(*d);
        }
    }
}

uint64_t Pc::NextReturnIn() const {
    const uint64_t now = GetTickCount64();
    uint64_t next = 0;
    for (const auto& d : disks) {
        if (d->removed && d->awayUntil != 0) {
            const uint64_t in = d->awayUntil > now ? d->awayUntil - now : 1;
            next = next == 0 ? in : std::min(next, in);
        }
    }
    return next;
}

SimDisk* Pc::DiskByName(const std::string& name) {
    for (auto& d : disks) {
        if (d->name == name) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByDrive(uint32_t number) {
    for (auto& d : disks) {
        if (!d->removed && d->driveNumber == number) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByVolume(wchar_t letter) {
    for (auto& d : disks) {
        if (!d->removed &&
            d->volumes.find(char(std::towupper(wint_t(letter)))) != std::string::npos) {
            return d.get();
        }
    }
    return nullptr;
}

SimDisk* Pc::DiskByInterface(const std::wstring& path) {
    std::wstring lower;
    for (wchar_t c : path) {
        lower += wchar_t(std::towlower(wint_t(c)));
    }
    for (auto& d : disks) {
        if (!d->removed && d->interfacePath == lower) {
            return d.get();
        }
    }
    return nullptr;
}

bool Pc::PortExists(uint32_t port) const {
    for (const auto& d : disks) {
        if (!d->removed && d->scsiPort == port) {
            return true;
        }
    }
    return false;
}

SimDisk* Pc::DiskOnPort(uint32_t port, uint32_t pathId, uint32_t target, uint32_t lun) {
    for (auto& d : disks) {
        if (!d->removed && d->scsiPort == port && d->scsiPath == pathId &&
            d->scsiTarget == target && d->scsiLun == lun) {
            return d.get();
        }
    }
    return nullptr;
}

void Pc::TakeAway(SimDisk& disk, uint64_t awayMs, bool reset) {
    const bool wasPresent = !disk.removed;
    disk.removed = true;
    disk.stackKept = false;
    disk.generation++;
    disk.awayUntil = awayMs ? GetTickCount64() + awayMs : 0;
    if (HasFault(disk, "no_return")) {
        disk.awayUntil = 0;
    }
    if (reset && disk.nvme) {
        disk.nvme->Reset(NvmeReset::PowerCycle);
    }
    if (reset && disk.bridge) {
        disk.bridge->PowerLost();
    }
    if (wasPresent) {
        Announce("left " + disk.name);
    }
    WatchReturns();
}

void Pc::ResetController(SimDisk& disk) {
    if (disk.nvme) {
        disk.nvme->Reset(NvmeReset::Controller);
    }
    if (disk.removed) {
        return;
    }
    disk.removed = true;
    disk.stackKept = true;
    disk.awayUntil = GetTickCount64() + std::max<uint32_t>(disk.resetMs, 1);
    if (HasFault(disk, "no_return")) {
        disk.awayUntil = 0;
    }
    Announce("left " + disk.name);
    WatchReturns();
}

void Pc::Return(SimDisk& disk) {
    if (!disk.removed) {
        return;
    }
    disk.removed = false;
    disk.awayUntil = 0;
    if (disk.returnDrive >= 0 && !disk.stackKept) {
        disk.driveNumber = uint32_t(disk.returnDrive);
        disk.returnDrive = -1;
    }
    disk.stackKept = false;
    Announce("back " + disk.name);
}

void Pc::Announce(const std::string& change) {
    changes.push_back(change);
    AnnounceDeviceChange();
    PresenceChanged().notify_all();
}

// --- the bridge host of a USB disk -------------------------------------------------------

NvmeDrive* DiskBridgeHost::Drive() {
    return ThePc().disks[size_t(index_)]->nvme.get();
}

std::string DiskBridgeHost::Param(const std::string& key) const {
    const auto& p = ThePc().disks[size_t(index_)]->params;
    auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
}

std::string DiskBridgeHost::Vendor() const {
    return ThePc().disks[size_t(index_)]->vendor;
}
std::string DiskBridgeHost::Product() const {
    return ThePc().disks[size_t(index_)]->product;
}
std::string DiskBridgeHost::Revision() const {
    return ThePc().disks[size_t(index_)]->revision;
}
uint64_t DiskBridgeHost::Blocks() const {
    return ThePc().disks[size_t(index_)]->blocks;
}
uint32_t DiskBridgeHost::BlockSize() const {
    return ThePc().disks[size_t(index_)]->blockSize;
}

void DiskBridgeHost::PowerCycle() {
    SimDisk& disk = *ThePc().disks[size_t(index_)];
    ThePc().TakeAway(disk, std::max<uint32_t>(disk.powerCycleMs, 1), true);
}

bool DiskBridgeHost::TakeFault(const std::string& kind) {
    return ThePc().TakeFault(*ThePc().disks[size_t(index_)], kind);
}

// --- the PC of the process ---------------------------------------------------------------

namespace {

// The PC and its lock are never destroyed: the thread that brings disks back may still run
// while the process ends.
std::unique_ptr<Pc>& CurrentPc() {
    static auto* pc = new std::unique_ptr<Pc>;
    return *pc;
}

// The thread that brings away disks back on time. It is made by CreateThread, so that on the
// POSIX platform it takes part in the program's clock: program time does not pass a disk's
// return before the watcher has brought it back and announced it, at every clock speed. Never
// destroyed, like the PC: it may still wait for a return while the process ends.
struct ReturnWatcher {
    bool running = false;    // under PcLock
    HANDLE thread = nullptr; // under PcLock
};

ReturnWatcher& Watcher() {
    static auto* watcher = new ReturnWatcher;
    return *watcher;
}

DWORD WINAPI BringBackOnTime(LPVOID) {
    ReturnWatcher& w = Watcher();
    for (;;) {
        uint64_t wait = 0;
        {
            std::lock_guard<std::recursive_mutex> held(PcLock());
            wait = ThePc().NextReturnIn(); // ThePc() brings back the disks due
            if (wait == 0) {
                w.running = false;
                return 0;
            }
        }
        // In steps, so that a return made earlier meanwhile is not missed for long.
        Sleep(DWORD(std::min<uint64_t>(wait, 50)));
    }
}

} // namespace

namespace {
std::atomic<bool> g_returnsHeld{false};
} // namespace

bool ReturnsHeld() {
    return g_returnsHeld;
}

void HoldReturns(bool hold) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    g_returnsHeld = hold;
    if (!hold) {
        ThePc(); // brings back at once the disks whose time has passed meanwhile
    }
}

std::condition_variable_any& PresenceChanged() {
    static auto* changed = new std::condition_variable_any;
    return *changed;
}

std::recursive_mutex& PcLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

// A disk away for a while comes back when its time has passed, whether or not anyone asks the
// PC meanwhile, so that its arrival is announced on time. One thread watches while any disk is
// due back, on the program's clock.
void WatchReturns() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    ReturnWatcher& w = Watcher();
    if (w.running) {
        return;
    }
    if (w.thread != nullptr) {
        WaitForSingleObject(w.thread, INFINITE); // the one before has let go of the lock and ends
        CloseHandle(w.thread);
    }
    w.thread = CreateThread(nullptr, 0, BringBackOnTime, nullptr, 0, nullptr);
    w.running = w.thread != nullptr;
}

bool ReplacePc(const Scenario& scenario, const std::string& name, std::string& error) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto pc = std::make_unique<Pc>();
    if (!pc->Build(scenario, error) || !ApplyStateFile(*pc, error)) {
        return false;
    }
    static uint64_t epochs = 0;
    pc->scenarioName = name;
    pc->epoch = ++epochs;
    NoteStateLoaded(pc->epoch);
    CurrentPc() = std::move(pc);
    PresenceChanged().notify_all();
    return true;
}

Pc& ThePc() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    std::unique_ptr<Pc>& current = CurrentPc();
    if (!current) {
        std::string text = DefaultScenarioText();
        std::string name = "default";
        const char* file = std::getenv("ZX_SIM_SCENARIO");
        if (file && *file) {
            std::string read;
            std::string readError;
            if (ReadInputFile(file, kMaxInputFileBytes, &read, &readError)) {
                text = read;
                name = file;
            } else {
                std::fprintf(stderr, "sim: cannot read ZX_SIM_SCENARIO %s\n", readError.c_str());
            }
        }
        Scenario sc;
        std::string error;
        if (!ParseScenario(text, sc, error) || !ReplacePc(sc, name, error)) {
            std::fprintf(stderr, "sim: scenario %s: %s\n", name.c_str(), error.c_str());
            current = std::make_unique<Pc>();
            current->scenarioName = "empty";
        }
    }
    current->Update();
    return *current;
}

} // namespace sim
