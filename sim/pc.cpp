// The simulated PC's state: its disks and device nodes by the ways requests name them, the
// presence of each disk, the bridge host of a USB disk, and the one PC of the process.
#include "sim/pc.h"

#include "platform/win32.h"

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
            cp = (c & 0x1F) << 6 | (s[i + 1] & 0x3F);
            n = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < s.size()) {
            cp = (c & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F);
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
    const uint64_t now = GetTickCount64();
    for (auto& d : disks) {
        if (d->removed && d->awayUntil != 0 && now >= d->awayUntil) {
            Return(*d);
        }
    }
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
    disk.removed = true;
    disk.generation++;
    disk.awayUntil = awayMs ? GetTickCount64() + awayMs : 0;
    if (HasFault(disk, "no_return")) {
        disk.awayUntil = 0;
    }
    if (reset && disk.nvme) {
        disk.nvme->Reset();
    }
}

void Pc::Return(SimDisk& disk) {
    disk.removed = false;
    disk.awayUntil = 0;
    if (disk.returnDrive >= 0) {
        disk.driveNumber = uint32_t(disk.returnDrive);
        disk.returnDrive = -1;
    }
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

void DiskBridgeHost::PowerCycle(uint32_t awayMs) {
    ThePc().TakeAway(*ThePc().disks[size_t(index_)], awayMs ? awayMs : 1, true);
}

bool DiskBridgeHost::TakeFault(const std::string& kind) {
    return ThePc().TakeFault(*ThePc().disks[size_t(index_)], kind);
}

// --- the PC of the process ---------------------------------------------------------------

namespace {
std::unique_ptr<Pc> g_pc;
}

std::recursive_mutex& PcLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool ReplacePc(const Scenario& scenario, const std::string& name, std::string& error) {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    auto pc = std::make_unique<Pc>();
    if (!pc->Build(scenario, error)) {
        return false;
    }
    static uint64_t epochs = 0;
    pc->scenarioName = name;
    pc->epoch = ++epochs;
    g_pc = std::move(pc);
    return true;
}

Pc& ThePc() {
    std::lock_guard<std::recursive_mutex> guard(PcLock());
    if (!g_pc) {
        std::string text = DefaultScenarioText();
        std::string name = "default";
        const char* file = std::getenv("ZX_SIM_SCENARIO");
        if (file && *file) {
            std::ifstream f(file, std::ios::binary);
            if (f) {
                text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
                name = file;
            } else {
                std::fprintf(stderr, "sim: cannot read ZX_SIM_SCENARIO %s\n", file);
            }
        }
        Scenario sc;
        std::string error;
        if (!ParseScenario(text, sc, error) || !ReplacePc(sc, name, error)) {
            std::fprintf(stderr, "sim: scenario %s: %s\n", name.c_str(), error.c_str());
            g_pc = std::make_unique<Pc>();
            g_pc->scenarioName = "empty";
        }
    }
    g_pc->Update();
    return *g_pc;
}

} // namespace sim
