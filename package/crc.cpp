// CrcUpdate: CRC-32 through zlib (the same reflected IEEE polynomial and chaining), CRC-32C
// with the processor's crc32 instruction when it has one, else slicing-by-8 tables.
#include "package/image.h"

#include <string.h>
#include <zlib.h>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define ZX_CRC32C_HW 1
#include <nmmintrin.h>
#endif

namespace {

const uint32_t kCastagnoliReflected = 0x82F63B78u;

struct Crc32cTables {
    uint32_t t[8][256];
};

constexpr Crc32cTables MakeTables() {
    Crc32cTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? (c >> 1) ^ kCastagnoliReflected : c >> 1;
        }
        tables.t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 8; ++s) {
            uint32_t prev = tables.t[s - 1][i];
            tables.t[s][i] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
        }
    }
    return tables;
}

constexpr Crc32cTables kTables = MakeTables();
static_assert(kTables.t[0][1] == 0xF26B8303u, "CRC-32C table entry 1");
static_assert(kTables.t[0][128] == 0x82F63B78u, "CRC-32C table entry 128");

uint32_t Crc32cSoftware(uint32_t value, const uint8_t* p, size_t n) {
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0) {
        value = (value >> 8) ^ kTables.t[0][(value ^ *p++) & 0xFF];
        --n;
    }
    while (n >= 8) {
        uint32_t lo;
        uint32_t hi;
        memcpy(&lo, p, 4);
        memcpy(&hi, p + 4, 4);
        lo ^= value;
        value = kTables.t[7][lo & 0xFF] ^ kTables.t[6][(lo >> 8) & 0xFF] ^
                kTables.t[5][(lo >> 16) & 0xFF] ^ kTables.t[4][lo >> 24] ^ kTables.t[3][hi & 0xFF] ^
                kTables.t[2][(hi >> 8) & 0xFF] ^ kTables.t[1][(hi >> 16) & 0xFF] ^
                kTables.t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n > 0) {
        value = (value >> 8) ^ kTables.t[0][(value ^ *p++) & 0xFF];
        --n;
    }
    return value;
}

#ifdef ZX_CRC32C_HW
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t value, const uint8_t* p,
                                                          size_t n) {
#if defined(__x86_64__)
    uint64_t v = value;
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0) {
        v = _mm_crc32_u8(static_cast<uint32_t>(v), *p++);
        --n;
    }
    while (n >= 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        v = _mm_crc32_u64(v, word);
        p += 8;
        n -= 8;
    }
    uint32_t v32 = static_cast<uint32_t>(v);
#else
    uint32_t v32 = value;
    while (n >= 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        v32 = _mm_crc32_u32(v32, word);
        p += 4;
        n -= 4;
    }
#endif
    while (n > 0) {
        v32 = _mm_crc32_u8(v32, *p++);
        --n;
    }
    return v32;
}

bool HasCrc32Instruction() {
    static const bool has = __builtin_cpu_supports("sse4.2") != 0;
    return has;
}
#endif

} // namespace

uint32_t CrcUpdate(const void* data, size_t length, uint32_t seed, int kind) {
    if (length == 0 || data == nullptr) {
        return seed;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (kind != CHECKSUM_CRC32C) {
        uLong value = seed;
        while (length > 0) {
            uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
            value = crc32(value, p, piece);
            p += piece;
            length -= piece;
        }
        return static_cast<uint32_t>(value);
    }
    uint32_t value = ~seed;
#ifdef ZX_CRC32C_HW
    if (HasCrc32Instruction()) {
        return ~Crc32cHardware(value, p, length);
    }
#endif
    return ~Crc32cSoftware(value, p, length);
}

uint32_t Crc32cTableUpdate(const void* data, size_t length, uint32_t seed) {
    if (length == 0 || data == nullptr) {
        return seed;
    }
    return ~Crc32cSoftware(~seed, static_cast<const uint8_t*>(data), length);
}
