// The simulated drives' state between runs (ZX_SIM_STATE, zxsim --state): what a drive keeps in
// flash (an NVMe drive its firmware slots, the running and the pending slot and its vendor
// blocks; an ATA drive its running firmware and the vendor blocks it holds whole), where each
// disk is (present, drive number), and whether the PC was shut down. Loaded into every PC built
// while a state file is named, saved when the program ends. The file is text in the scenario
// syntax (docs/scenario.md).
#include "sim/control.h"
#include "sim/pc.h"
#include "sim/read_file.h"
#include "sim/scenario.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include <sys/stat.h>

namespace sim {
namespace {

constexpr size_t kBlockBytes = 4096;
constexpr size_t kMaxText = 64;
const char* const kBlocks[] = {"drvinfo", "mpinfo", "fwconfig"};

struct StateFile {
    std::mutex lock;
    std::string path;
    bool named = false;
    bool exists = false;      // the file was there when it was named
    Scenario saved;           // its sections, checked for syntax and keys
    uint64_t loadedEpoch = 0; // the PC the state went into (0: none yet)
};

StateFile& File() {
    static auto* file = new StateFile;
    return *file;
}

const std::set<std::string> kPcKeys = {"format", "power"};
const std::set<std::string> kDiskKeys = {
    "present", "drive",  "firmware", "active_slot", "pending_slot", "pending_power_cycle",
    "drvinfo", "mpinfo", "fwconfig", "ftl_build"};
const char* const kSlotKeys[] = {"", "_version", "_ftl", "_config"};

bool IsSlotKey(const std::string& key) {
    if (key.size() < 5 || key.compare(0, 4, "slot") != 0 || key[4] < '1' ||
        key[4] > char('0' + kNvmeFirmwareSlots)) {
        return false;
    }
    for (const char* suffix : kSlotKeys) {
        if (key.substr(5) == suffix) {
            return true;
        }
    }
    return false;
}

std::string Where(const std::string& path, const ScenarioSection& s) {
    return "state " + path + ": line " + std::to_string(s.line) + ": [" + s.type + " " + s.name +
           "] ";
}

// The bytes of exactly `size` bytes written as hex digits.
bool ParseHexBlock(const std::string& text, size_t size, std::vector<uint8_t>& out) {
    if (text.size() != 2 * size) {
        return false;
    }
    out.assign(size, 0);
    for (size_t i = 0; i < size; ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[2 * i + size_t(k)];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= unsigned(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= unsigned(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= unsigned(c - 'A' + 10);
            } else {
                return false;
            }
        }
        out[i] = uint8_t(v);
    }
    return true;
}

std::string HexOf(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

// A text of the file: printable ASCII without quotes, at most 64 characters.
bool TextOk(const std::string& text) {
    if (text.size() > kMaxText) {
        return false;
    }
    for (char c : text) {
        if (c < 0x20 || c > 0x7E || c == '"') {
            return false;
        }
    }
    return true;
}

bool YesNo(const std::string& text, bool& out) {
    if (text == "yes" || text == "no") {
        out = text == "yes";
        return true;
    }
    return false;
}

// Checks the file's syntax, sections, keys and the [pc] values (the disks are checked against
// the PC they go into).
bool CheckFile(const std::string& path, const Scenario& sc, std::string& error) {
    bool sawPc = false;
    for (const auto& s : sc.sections) {
        if (s.type == "pc") {
            for (const auto& kv : s.keys) {
                if (!kPcKeys.count(kv.first)) {
                    error = Where(path, s) + "unknown key '" + kv.first + "'";
                    return false;
                }
            }
            if (s.Get("format") != "1") {
                error = Where(path, s) + "format is 1";
                return false;
            }
            const std::string power = s.Get("power", "on");
            if (power != "on" && power != "off" && power != "restart") {
                error = Where(path, s) + "power is on, off or restart";
                return false;
            }
            sawPc = true;
        } else if (s.type == "disk") {
            for (const auto& kv : s.keys) {
                if (!kDiskKeys.count(kv.first) && !IsSlotKey(kv.first)) {
                    error = Where(path, s) + "unknown key '" + kv.first + "'";
                    return false;
                }
            }
        } else {
            error = Where(path, s) + "unknown section type";
            return false;
        }
    }
    if (!sawPc) {
        error = "state " + path + ": no [pc state] section: not a state file";
        return false;
    }
    return true;
}

// Puts the drive keys of a [disk] section into an ATA drive: its running firmware, the FTL build
// number that firmware reports and the vendor blocks it holds whole.
bool ApplyAtaDrive(const std::string& where, const ScenarioSection& s, AtaDrive& ata,
                   std::string& error) {
    for (const auto& kv : s.keys) {
        if (kv.first != "present" && kv.first != "drive" && kv.first != "firmware" &&
            kv.first != "ftl_build" && kv.first != "drvinfo" && kv.first != "mpinfo" &&
            kv.first != "fwconfig") {
            error = where + kv.first + " is not a key of an ATA drive";
            return false;
        }
    }
    AtaDriveState st = ata.State();
    if (s.Has("firmware")) {
        st.firmware = s.Get("firmware");
        if (!TextOk(st.firmware)) {
            error = where + "firmware is printable text of at most 64 characters";
            return false;
        }
    }
    uint64_t v = 0;
    if (s.Has("ftl_build")) {
        if (!ParseU64(s.Get("ftl_build"), v) || v > 0xFFFFFFFFu) {
            error = where + "ftl_build is a 32-bit number";
            return false;
        }
        st.params["vsc_ftl_build"] = std::to_string(v);
    }
    for (const char* block : kBlocks) {
        if (s.Has(block) && !ParseHexBlock(s.Get(block), kBlockBytes, st.blocks[block])) {
            error = where + block + " is 4096 bytes in hex";
            return false;
        }
    }
    st.staging.clear();
    st.nextBlockOffset = 0;
    ata.State() = st;
    return true;
}

void WriteBlocks(std::ostringstream& out, const std::map<std::string, std::vector<uint8_t>>& b) {
    for (const char* block : kBlocks) {
        auto it = b.find(block);
        if (it != b.end() && it->second.size() == kBlockBytes) {
            out << block << " = " << HexOf(it->second) << "\n";
        }
    }
}

std::string AtaDriveSection(const AtaDriveState& st) {
    std::ostringstream out;
    out << "firmware = \"" << st.firmware << "\"\n";
    uint64_t ftl = 0;
    auto it = st.params.find("vsc_ftl_build");
    if (it != st.params.end() && ParseU64(it->second, ftl) && ftl <= 0xFFFFFFFFu) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%08X", unsigned(ftl));
        out << "ftl_build = " << text << "\n";
    }
    WriteBlocks(out, st.blocks);
    return out.str();
}

// Reads firmware slot n of an NVMe drive from the section: slotN is its revision, with its
// _version, _ftl and _config beside it; a slot the section does not fill has none of them.
bool ReadNvmeSlot(const std::string& where, const ScenarioSection& s, int n, FirmwareSlot& fs,
                  std::string& error) {
    const std::string slot = "slot" + std::to_string(n);
    if (!s.Has(slot)) {
        for (const char* suffix : {"_version", "_ftl", "_config"}) {
            if (s.Has(slot + suffix)) {
                error = where + slot + suffix + " names an empty slot";
                return false;
            }
        }
        return true;
    }
    fs.filled = true;
    fs.image.revision = s.Get(slot);
    fs.image.version = s.Get(slot + "_version");
    if (!TextOk(fs.image.revision) || !TextOk(fs.image.version)) {
        error = where + slot + ": a revision or version is printable text of at most 64 characters";
        return false;
    }
    uint64_t v = 0;
    if (s.Has(slot + "_ftl")) {
        if (!ParseU64(s.Get(slot + "_ftl"), v) || v > 0xFFFFFFFFu) {
            error = where + slot + "_ftl is a 32-bit number";
            return false;
        }
        fs.image.hasFtlBuild = true;
        fs.image.ftlBuild = uint32_t(v);
    }
    if (s.Has(slot + "_config") &&
        !ParseHexBlock(s.Get(slot + "_config"), kBlockBytes, fs.image.config)) {
        error = where + slot + "_config is 4096 bytes in hex";
        return false;
    }
    return true;
}

// active_slot and pending_slot name filled slots (pending_slot may be 0, none); a key the
// section leaves out keeps the drive's value.
bool ReadNvmeSlotChoices(const std::string& where, const ScenarioSection& s, NvmeDriveState& st,
                         std::string& error) {
    const struct {
        const char* key;
        int* field;
        int low;
    } slots[] = {{"active_slot", &st.activeSlot, 1}, {"pending_slot", &st.pendingSlot, 0}};
    uint64_t v = 0;
    for (const auto& k : slots) {
        const std::string given = s.Get(k.key, std::to_string(*k.field));
        if (!ParseU64(given, v) || v < uint64_t(k.low) || v > kNvmeFirmwareSlots ||
            (v != 0 && !st.slots[v].filled)) {
            error = where + k.key + " is a filled slot" + (k.low ? "" : " or 0");
            return false;
        }
        *k.field = int(v);
    }
    return true;
}

// Puts the NVMe keys of a [disk] section into its drive. Fields the section gives replace the
// drive's; the slots are given all together or not at all.
bool ApplyNvmeDrive(const std::string& where, const ScenarioSection& s, NvmeDrive& nvme,
                    std::string& error) {
    NvmeDriveState st = nvme.State();
    bool slotsGiven = false;
    for (const auto& kv : s.keys) {
        slotsGiven = slotsGiven || IsSlotKey(kv.first);
    }
    for (int n = 1; slotsGiven && n <= kNvmeFirmwareSlots; ++n) {
        FirmwareSlot fs;
        if (!ReadNvmeSlot(where, s, n, fs, error)) {
            return false;
        }
        st.slots[n] = fs;
    }
    for (const char* block : kBlocks) {
        if (s.Has(block) && !ParseHexBlock(s.Get(block), kBlockBytes, st.blocks[block])) {
            error = where + block + " is 4096 bytes in hex";
            return false;
        }
    }
    if (!ReadNvmeSlotChoices(where, s, st, error)) {
        return false;
    }
    if (s.Has("pending_power_cycle") &&
        !YesNo(s.Get("pending_power_cycle"), st.pendingNeedsPowerCycle)) {
        error = where + "pending_power_cycle is yes or no";
        return false;
    }
    if (s.Has("firmware") || slotsGiven) {
        st.firmware = s.Get("firmware", st.slots[st.activeSlot].image.revision);
    }
    if (!TextOk(st.firmware)) {
        error = where + "firmware is printable text of at most 64 characters";
        return false;
    }
    st.staging.clear();
    st.stagingFilled.clear();
    nvme.State() = st;
    return true;
}

// Puts one [disk] section into its disk of the PC: whether it is present and its drive number,
// then the keys of its ATA or NVMe drive.
bool ApplyDisk(const std::string& path, const ScenarioSection& s, SimDisk& d, std::string& error) {
    const std::string where = Where(path, s);
    bool present = true;
    if (!YesNo(s.Get("present", "yes"), present)) {
        error = where + "present is yes or no";
        return false;
    }
    uint64_t v = 0;
    if (s.Has("drive")) {
        if (!ParseU64(s.Get("drive"), v) || v > 255) {
            error = where + "drive is 0..255";
            return false;
        }
        d.driveNumber = uint32_t(v);
    }
    d.removed = !present;
    d.awayUntil = 0;
    d.returnDrive = -1;
    bool driveKeys = false;
    for (const auto& kv : s.keys) {
        driveKeys = driveKeys || (kv.first != "present" && kv.first != "drive");
    }
    if (!driveKeys) {
        return true;
    }
    if (d.ata) {
        return ApplyAtaDrive(where, s, *d.ata, error);
    }
    if (s.Has("ftl_build")) {
        error = where + "ftl_build is a key of ATA drives";
        return false;
    }
    if (!d.nvme) {
        error = where + "the disk has no NVMe drive for these keys";
        return false;
    }
    return ApplyNvmeDrive(where, s, *d.nvme, error);
}

std::string DiskSection(const SimDisk& d) {
    std::ostringstream out;
    out << "\n[disk " << d.name << "]\n";
    const bool returning = d.removed && d.awayUntil != 0;
    out << "present = " << (d.removed && !returning ? "no" : "yes") << "\n";
    const bool renumbered = returning && !d.stackKept && d.returnDrive >= 0;
    out << "drive = " << (renumbered ? uint32_t(d.returnDrive) : d.driveNumber) << "\n";
    if (d.ata) {
        return out.str() + AtaDriveSection(d.ata->State());
    }
    if (!d.nvme) {
        return out.str();
    }
    const NvmeDriveState& st = d.nvme->State();
    out << "firmware = \"" << st.firmware << "\"\n";
    out << "active_slot = " << st.activeSlot << "\n";
    out << "pending_slot = " << st.pendingSlot << "\n";
    out << "pending_power_cycle = " << (st.pendingNeedsPowerCycle ? "yes" : "no") << "\n";
    for (int n = 1; n <= kNvmeFirmwareSlots; ++n) {
        const FirmwareSlot& fs = st.slots[n];
        if (!fs.filled) {
            continue;
        }
        out << "slot" << n << " = \"" << fs.image.revision << "\"\n";
        out << "slot" << n << "_version = \"" << fs.image.version << "\"\n";
        if (fs.image.hasFtlBuild) {
            char ftl[16];
            std::snprintf(ftl, sizeof(ftl), "0x%08X", fs.image.ftlBuild);
            out << "slot" << n << "_ftl = " << ftl << "\n";
        }
        if (fs.image.config.size() == kBlockBytes) {
            out << "slot" << n << "_config = " << HexOf(fs.image.config) << "\n";
        }
    }
    WriteBlocks(out, st.blocks);
    return out.str();
}

} // namespace

bool SetStateFile(const std::string& path, std::string* error) {
    StateFile& f = File();
    std::lock_guard<std::mutex> guard(f.lock);
    f.named = false;
    f.exists = false;
    f.saved = Scenario();
    f.loadedEpoch = 0;
    f.path = path;
    if (path.empty()) {
        return true;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // No file yet: the first run starts from the scenario and writes the file at its end.
        f.named = true;
        return true;
    }
    // Only a regular file, and no more of it than of a scenario: a FIFO or a device named by
    // mistake is refused rather than waited on or read without end.
    std::string text;
    std::string readError;
    if (!ReadInputFile(path, kMaxInputFileBytes, &text, &readError, true)) {
        if (error) {
            *error = "state " + readError;
        }
        return false;
    }
    Scenario sc;
    std::string e;
    if (!ParseScenario(text, sc, e)) {
        if (error) {
            *error = "state " + path + ": " + e;
        }
        return false;
    }
    if (!CheckFile(path, sc, e)) {
        if (error) {
            *error = e;
        }
        return false;
    }
    f.named = true;
    f.exists = true;
    f.saved = sc;
    return true;
}

bool ApplyStateFile(Pc& pc, std::string& error) {
    StateFile& f = File();
    std::lock_guard<std::mutex> guard(f.lock);
    if (!f.named || !f.exists) {
        return true;
    }
    bool powerOn = false;
    for (const auto& s : f.saved.sections) {
        if (s.type == "pc") {
            powerOn = s.Get("power", "on") != "on";
            continue;
        }
        SimDisk* d = pc.DiskByName(s.name);
        if (d == nullptr) {
            error = Where(f.path, s) + "is not a disk of the scenario";
            return false;
        }
        if (!ApplyDisk(f.path, s, *d, error)) {
            return false;
        }
    }
    std::set<uint32_t> numbers;
    for (const auto& d : pc.disks) {
        if (!numbers.insert(d->driveNumber).second) {
            error = "state " + f.path + ": drive number " + std::to_string(d->driveNumber) +
                    " is used twice";
            return false;
        }
    }
    if (powerOn) {
        // The PC was shut down or restarted: it starts again, and with it every drive.
        for (auto& d : pc.disks) {
            if (d->nvme) {
                d->nvme->Reset(NvmeReset::PowerCycle);
            }
        }
    }
    return true;
}

void NoteStateLoaded(uint64_t epoch) {
    StateFile& f = File();
    std::lock_guard<std::mutex> guard(f.lock);
    if (f.named) {
        f.loadedEpoch = epoch;
    }
}

bool SaveState(std::string* error) {
    std::lock_guard<std::recursive_mutex> pcGuard(PcLock());
    StateFile& f = File();
    std::unique_lock<std::mutex> guard(f.lock);
    if (!f.named) {
        return true;
    }
    // Only a PC that took the state (or started without one) is written back: after a failed
    // load the file keeps what it held.
    const bool loaded = f.loadedEpoch != 0;
    guard.unlock();
    Pc* pc = loaded ? &ThePc() : nullptr;
    guard.lock();
    if (pc == nullptr || f.loadedEpoch != pc->epoch) {
        if (error) {
            *error = "state " + f.path + ": not saved, the simulated PC did not load it";
        }
        return false;
    }
    std::ostringstream out;
    out << "# The simulated drives as the last run left them (docs/scenario.md).\n"
        << "[pc state]\nformat = 1\npower = " << PowerStateAfterRun() << "\n";
    for (const auto& d : pc->disks) {
        out << DiskSection(*d);
    }
    const std::string temp = f.path + ".new";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << out.str();
        file.close();
        if (!file) {
            std::remove(temp.c_str());
            if (error) {
                *error = "state " + f.path + ": cannot be written";
            }
            return false;
        }
    }
    if (std::rename(temp.c_str(), f.path.c_str()) != 0) {
        std::remove(temp.c_str());
        if (error) {
            *error = "state " + f.path + ": cannot be written";
        }
        return false;
    }
    return true;
}

} // namespace sim
