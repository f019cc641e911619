// Faults of the simulated PC's disks: the list a scenario or a test gives, and the strikes
// that requests consume.
#include "sim/pc.h"

#include <cctype>
#include <sstream>

namespace sim {
namespace {

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

} // namespace

bool ParseFaultList(const std::string& text, std::vector<Fault>& out, std::string& error) {
    std::stringstream ss(text);
    std::string item;
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
            if (!ParseU64(item.substr(star + 1), n)) {
                error = "fault '" + item + "': count after '*' is a number";
                return false;
            }
            f.count = int(n);
            item.erase(star);
        }
        size_t at = item.find('@');
        if (at != std::string::npos) {
            uint64_t n = 0;
            if (!ParseU64(item.substr(at + 1), n)) {
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
        out.push_back(f);
    }
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

bool Pc::TakeFault(SimDisk& disk, const std::string& kind, const std::string& arg) {
    for (auto& f : disk.faults) {
        if (f.kind != kind || f.count == 0) {
            continue;
        }
        if (!f.arg.empty() && Lower(f.arg) != Lower(arg)) {
            continue;
        }
        if (f.skip > 0) {
            f.skip--;
            return false;
        }
        if (f.count > 0) {
            f.count--;
        }
        return true;
    }
    return false;
}

} // namespace sim
