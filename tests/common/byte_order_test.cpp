// The byte-order readers and writers: each reads or writes exactly its bytes, in its order, with
// bytes of 0x80 and above taken unsigned.
#include "common/byte_order.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

namespace {

// Eight bytes read from offset 1 of {0xEE, bytes..., 0xEE}: a reader must not look outside.
const uint8_t kBytes[10] = {0xEE, 0x01, 0x80, 0xFF, 0x7F, 0x12, 0x34, 0xA5, 0x5A, 0xEE};

TEST(ByteOrder, LittleEndianReaders) {
    EXPECT_EQ(get_le16(kBytes + 1), 0x8001u);
    EXPECT_EQ(get_le16(kBytes + 3), 0x7FFFu);
    EXPECT_EQ(get_le32(kBytes + 1), 0x7FFF8001u);
    EXPECT_EQ(get_le32(kBytes + 2), 0x127FFF80u);
    EXPECT_EQ(get_le32(kBytes + 5), 0x5AA53412u);
    EXPECT_EQ(get_le64(kBytes + 1), 0x5AA534127FFF8001ull);
    const uint8_t ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(get_le16(ones), 0xFFFFu);
    EXPECT_EQ(get_le32(ones), 0xFFFFFFFFu);
    EXPECT_EQ(get_le64(ones), 0xFFFFFFFFFFFFFFFFull);
}

// Each writer puts value at offset 1 of a buffer of 0xEE bytes.
TEST(ByteOrder, WritersTouchOnlyTheirBytes) {
    struct Row {
        const char* name;
        void (*write)(uint8_t*, uint32_t);
        uint32_t value;
        std::vector<uint8_t> want;
    };
    const Row rows[] = {
        {"put_le16", put_le16, 0x1234, {0xEE, 0x34, 0x12, 0xEE, 0xEE, 0xEE}},
        {"put_le16 of a wider value", put_le16, 0xABCD8001u, {0xEE, 0x01, 0x80, 0xEE, 0xEE, 0xEE}},
        {"put_le32", put_le32, 0x89ABCDEFu, {0xEE, 0xEF, 0xCD, 0xAB, 0x89, 0xEE}},
        {"put_be24", put_be24, 0x000200u, {0xEE, 0x00, 0x02, 0x00, 0xEE, 0xEE}},
        {"put_be24 drops the top byte",
         put_be24,
         0xAB123456u,
         {0xEE, 0x12, 0x34, 0x56, 0xEE, 0xEE}},
        {"put_be32", put_be32, 0x00001000u, {0xEE, 0x00, 0x00, 0x10, 0x00, 0xEE}},
        {"put_be32 high bytes", put_be32, 0x80FF0102u, {0xEE, 0x80, 0xFF, 0x01, 0x02, 0xEE}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> buffer(6, 0xEE);
        row.write(buffer.data() + 1, row.value);
        EXPECT_EQ(buffer, row.want);
    }
}

} // namespace
