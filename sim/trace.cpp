#include "sim/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace sim {
namespace {

struct TraceState {
    std::mutex lock;
    FILE* file = nullptr;
    bool failed = false; // a line of the open file could not be written
    bool checkedEnv = false;
    uint64_t seq = 0;
    std::map<std::thread::id, int> tids;
};

TraceState& State() {
    static TraceState state;
    return state;
}

void CheckEnv(TraceState& s) {
    if (s.checkedEnv) {
        return;
    }
    s.checkedEnv = true;
    const char* path = std::getenv("ZX_SIM_TRACE");
    if (path && *path && !s.file) {
        s.file = std::fopen(path, "w");
        if (!s.file) {
            std::fprintf(stderr, "sim: cannot write the trace %s\n", path);
        }
    }
}

bool FullData() {
    const char* full = std::getenv("ZX_SIM_TRACE_FULL");
    return full && std::strcmp(full, "1") == 0;
}

} // namespace

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string HexText(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size && p; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

uint32_t Crc32(const void* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

void TraceFields::Key(const char* key) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":";
}

void TraceFields::Str(const char* key, const std::string& value) {
    Key(key);
    text_ += JsonString(value);
}

void TraceFields::Num(const char* key, uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
}

void TraceFields::Int(const char* key, int64_t value) {
    Key(key);
    text_ += std::to_string(value);
}

void TraceFields::Bool(const char* key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
}

void TraceFields::Hex(const char* key, const void* data, size_t size) {
    Key(key);
    text_ += "\"" + HexText(data, size) + "\"";
}

void TraceFields::Nums(const char* key, const uint32_t* values, size_t count) {
    Key(key);
    text_ += "[";
    for (size_t i = 0; i < count; ++i) {
        text_ += (i ? "," : "") + std::to_string(values[i]);
    }
    text_ += "]";
}

void TraceFields::Data(const void* data, size_t size, bool withoutLength) {
    if (size > 512 && !FullData()) {
        if (!withoutLength) {
            Num("data_len", size);
        }
        Num("data_crc32", Crc32(data, size));
    } else {
        Hex("data", data, size);
    }
}

bool TraceOn() {
    TraceState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    CheckEnv(s);
    return s.file != nullptr;
}

bool TraceOpen(const std::string& path) {
    TraceState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.checkedEnv = true;
    bool written = !s.failed;
    if (s.file) {
        written = std::fclose(s.file) == 0 && written;
        s.file = nullptr;
    }
    s.failed = false;
    s.seq = 0;
    s.tids.clear();
    if (path.empty()) {
        return written;
    }
    s.file = std::fopen(path.c_str(), "w");
    return s.file != nullptr;
}

void TraceWrite(const char* op, const std::string& head, const TraceFields& fields) {
    TraceState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    CheckEnv(s);
    if (!s.file) {
        return;
    }
    auto it = s.tids.find(std::this_thread::get_id());
    if (it == s.tids.end()) {
        it = s.tids.emplace(std::this_thread::get_id(), int(s.tids.size()) + 1).first;
    }
    std::string line = "{\"seq\":" + std::to_string(++s.seq) +
                       ",\"tid\":" + std::to_string(it->second) + ",\"op\":\"" + op + "\"" + head +
                       fields.Text() + "}\n";
    if (std::fwrite(line.data(), 1, line.size(), s.file) != line.size() ||
        std::fflush(s.file) != 0) {
        s.failed = true;
    }
}

} // namespace sim
