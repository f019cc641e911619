// Little- and big-endian integers and blank-padded texts in byte buffers: the one set of helpers
// the simulated PC's drives, bridges and drivers read and write their structures with (the
// simulated PC keeps its own, apart from the product's common/byte_order.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace sim {

inline uint16_t GetLe16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t GetLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t GetBe24(const uint8_t* p) {
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

inline uint32_t GetBe32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | GetBe24(p + 1);
}

inline void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t v) {
    for (unsigned i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

inline void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, uint32_t(v));
    PutLe32(p + 4, uint32_t(v >> 32));
}

inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// An ASCII field of `size` bytes: the text, cut to the field, then blanks (the SCSI INQUIRY and
// NVMe Identify texts).
inline void PutBlankPadded(uint8_t* dst, size_t size, const std::string& text) {
    std::memset(dst, ' ', size);
    std::memcpy(dst, text.data(), text.size() < size ? text.size() : size);
}

} // namespace sim
