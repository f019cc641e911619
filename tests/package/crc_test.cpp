#include "package/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

const char kCheck[] = "123456789";

TEST(CrcTest, StandardCheckValuesOfBothKinds) {
    EXPECT_EQ(CrcUpdate(kCheck, 9, 0, CHECKSUM_CRC32), 0xCBF43926u);
    EXPECT_EQ(CrcUpdate(kCheck, 9, 0, CHECKSUM_CRC32C), 0xE3069283u);
    EXPECT_EQ(Crc32cTableUpdate(kCheck, 9, 0), 0xE3069283u);
    const char fox[] = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(CrcUpdate(fox, strlen(fox), 0, CHECKSUM_CRC32), 0x414FA339u);
}

TEST(CrcTest, Crc32cVectorsOfIscsi) {
    // The 32-byte test patterns of the iSCSI CRC32C definition.
    std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF), up(32), down(32);
    for (int i = 0; i < 32; ++i) {
        up[i] = static_cast<uint8_t>(i);
        down[i] = static_cast<uint8_t>(31 - i);
    }
    EXPECT_EQ(CrcUpdate(zeros.data(), 32, 0, CHECKSUM_CRC32C), 0x8A9136AAu);
    EXPECT_EQ(CrcUpdate(ones.data(), 32, 0, CHECKSUM_CRC32C), 0x62A8AB43u);
    EXPECT_EQ(CrcUpdate(up.data(), 32, 0, CHECKSUM_CRC32C), 0x46DD794Eu);
    EXPECT_EQ(CrcUpdate(down.data(), 32, 0, CHECKSUM_CRC32C), 0x113FDB5Cu);
    EXPECT_EQ(Crc32cTableUpdate(zeros.data(), 32, 0), 0x8A9136AAu);
    EXPECT_EQ(Crc32cTableUpdate(ones.data(), 32, 0), 0x62A8AB43u);
    EXPECT_EQ(Crc32cTableUpdate(up.data(), 32, 0), 0x46DD794Eu);
    EXPECT_EQ(Crc32cTableUpdate(down.data(), 32, 0), 0x113FDB5Cu);
}

TEST(CrcTest, ContinuesFromASeedAndZeroLengthReturnsTheSeed) {
    for (int kind : {CHECKSUM_CRC32, CHECKSUM_CRC32C}) {
        uint32_t a = CrcUpdate(kCheck, 4, 0, kind);
        EXPECT_EQ(CrcUpdate(kCheck + 4, 5, a, kind), kind == 0 ? 0xCBF43926u : 0xE3069283u);
        EXPECT_EQ(CrcUpdate(kCheck, 0, 0x12345678u, kind), 0x12345678u);
    }
    EXPECT_EQ(Crc32cTableUpdate(kCheck + 4, 5, Crc32cTableUpdate(kCheck, 4, 0)), 0xE3069283u);
}

TEST(CrcTest, TheFastPathAgreesWithTheTablesAtEveryAlignmentAndLength) {
    std::vector<uint8_t> data(4096 + 64);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
    }
    for (size_t offset = 0; offset < 9; ++offset) {
        for (size_t length : {1u, 7u, 8u, 9u, 63u, 4096u}) {
            ASSERT_EQ(CrcUpdate(data.data() + offset, length, 0x5A5A5A5Au, CHECKSUM_CRC32C),
                      Crc32cTableUpdate(data.data() + offset, length, 0x5A5A5A5Au))
                << offset << " " << length;
        }
    }
}

} // namespace
