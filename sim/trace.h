// The request trace: every CreateFileW on a device path and every DeviceIoControl that
// reaches the simulated PC, one JSON object per line, to the file named by ZX_SIM_TRACE (or
// set through sim/control.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The fields of one record after the fixed ones, in the order they are added.
class TraceFields {
public:
    void Str(const char* key, const std::string& value);
    void Num(const char* key, uint64_t value);
    void Int(const char* key, int64_t value);
    void Bool(const char* key, bool value);
    void Hex(const char* key, const void* data, size_t size);
    void Nums(const char* key, const uint32_t* values, size_t count);
    // "data" as hex, or "data_len" and "data_crc32" beyond 512 bytes (unless ZX_SIM_TRACE_FULL=1).
    // withoutLength: the record already carries "data_len" (the protocol-specific queries).
    void Data(const void* data, size_t size, bool withoutLength = false);
    const std::string& Text() const { return text_; }

private:
    void Key(const char* key);
    std::string text_;
};

// A JSON string literal of UTF-8 text: the quotes around it, " and \ escaped with a backslash,
// LF, CR and tab as \n \r \t, the other control characters below 0x20 as \u00XX (lower-case
// hex), every other byte (DEL and UTF-8 sequences included) as it is.
std::string JsonString(const std::string& utf8);
std::string HexText(const void* data, size_t size);
uint32_t Crc32(const void* data, size_t size);

bool TraceOn();
// Opens (or with an empty path closes) the trace file; the sequence restarts at 1.
bool TraceOpen(const std::string& path);
// Writes one record: {"seq":..,"tid":..,"op":op, <head>, <fields>}.
void TraceWrite(const char* op, const std::string& head, const TraceFields& fields);

} // namespace sim
