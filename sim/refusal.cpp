#include "sim/refusal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim {
namespace {

thread_local std::string t_refusal;

struct SimLog {
    std::mutex lock;
    bool set = false; // SetSimDebugLog was called; the environment no longer counts
    std::string path;
};

SimLog& Log() {
    static SimLog log;
    return log;
}

} // namespace

void NoteRefusal(const char* party, const std::string& reason) {
    if (t_refusal.empty()) {
        t_refusal = reason;
    }
    SimDebugLine(std::string(party) + " refuses: " + reason);
}

std::string TakeRefusal() {
    std::string reason;
    reason.swap(t_refusal);
    return reason;
}

void SimDebugLine(const std::string& text) {
    SimLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    std::string path = log.path;
    if (!log.set) {
        const char* env = std::getenv("ZX_SIM_DEBUG_LOG");
        path = env ? env : "";
    }
    if (path.empty()) {
        return;
    }
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        const std::string line = "sim: " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

void SetSimDebugLog(const std::string& path) {
    SimLog& log = Log();
    std::lock_guard<std::mutex> guard(log.lock);
    log.set = true;
    log.path = path;
}

} // namespace sim
