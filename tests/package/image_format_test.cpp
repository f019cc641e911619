// The image layout, its bounds and its checksum, on images built byte by byte.
#include "package/image.h"
#include "package/version_rules.h"
#include "tests/package/test_support.h"

namespace {

using zxtest::TestImage;

// A five-page image: regions 0, 1 and 2 are pages 1, 2 and 3, the trailer is page 4.
TestImage SmallImage() {
    TestImage img(5);
    img.Region(0, 1, 1);
    img.Region(1, 2, 2);
    img.Region(2, 3, 3);
    img.Region(5, 0x11111111u, 0x22222222u); // regions 3..7 count only through their entries
    img.Fill(4, 16, 0x31);
    img.Fill(80, 4096, 0x77); // not covered: counted as zeros
    img.Fill(4096, 4 * 4096, 0x10);
    return img;
}

TEST(ImageFormatTest, ChecksumCoversHeaderZerosAndTheThreeRegions) {
    TestImage img = SmallImage();
    uint32_t sum = 0;
    // Both values computed apart from this code, over header bytes 0-79, 4016 zeros and
    // pages 1 to 3.
    ASSERT_EQ(ComputeImageChecksum(img.bytes.data(), img.bytes.size(), CHECKSUM_CRC32, &sum), 1);
    EXPECT_EQ(sum, 0x15947D8Fu);
    uint32_t castagnoli = 0;
    ASSERT_EQ(
        ComputeImageChecksum(img.bytes.data(), img.bytes.size(), CHECKSUM_CRC32C, &castagnoli), 1);
    EXPECT_EQ(castagnoli, 0x6EA42A0Du);
    // The bytes after the region entries do not count.
    img.Fill(80, 4096, 0x01);
    uint32_t again = 0;
    ComputeImageChecksum(img.bytes.data(), img.bytes.size(), CHECKSUM_CRC32, &again);
    EXPECT_EQ(again, sum);
    // Neither does the trailer page.
    img.Fill(4 * 4096, 5 * 4096, 0x02);
    ComputeImageChecksum(img.bytes.data(), img.bytes.size(), CHECKSUM_CRC32, &again);
    EXPECT_EQ(again, sum);
}

TEST(ImageFormatTest, StoredChecksumKindIsDetected) {
    TestImage img = SmallImage();
    const uint32_t c32 = 0x15947D8Fu;  // CRC-32 image checksum of SmallImage
    const uint32_t c32c = 0x6EA42A0Du; // its CRC-32C image checksum
    img.Put32(4 * 4096 + 12, c32c);
    EXPECT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 1);
    img.Put32(4 * 4096 + 12, c32);
    EXPECT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 0);
    img.Put32(4 * 4096 + 12, 0xDEADBEEFu); // neither: read as CRC-32
    EXPECT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 0);
}

TEST(ImageFormatTest, ImagesOutsideTheirBoundsHaveNoTrailerFields) {
    struct Case {
        const char* what;
        size_t pages;
        uint32_t r[3][2];
    };
    const Case cases[] = {
        {"region 1 past the end", 5, {{1, 1}, {2, 9}, {3, 3}}},
        {"trailer past the end", 4, {{1, 1}, {2, 2}, {3, 3}}},
        {"first after last", 5, {{1, 1}, {2, 2}, {3, 2}}},
        {"last page 0xFFFFFFFF", 5, {{1, 1}, {2, 2}, {3, 0xFFFFFFFFu}}},
        {"huge page numbers", 5, {{0x80000000u, 0x80000001u}, {2, 2}, {3, 3}}},
    };
    for (const Case& c : cases) {
        TestImage img(c.pages);
        for (int k = 0; k < 3; ++k) {
            img.Region(k, c.r[k][0], c.r[k][1]);
        }
        img.Fill(4096, img.bytes.size(), 0x40);
        // Trailer fields where a trailer page 4 would have them, when the file holds it.
        if (img.bytes.size() >= 5 * 4096) {
            img.Put32(4 * 4096 + 4088, 0x01020304u);
            const char parts[8] = {'0', '4', '1', 'k', '0', '2', '0', '7'}; // "041k0207"
            memcpy(&img.bytes[4 * 4096 + 16], parts, 8);
        }
        ImageLayout layout;
        EXPECT_EQ(GetImageLayout(img.bytes.data(), img.bytes.size(), &layout),
                  IMAGE_LAYOUT_OUT_OF_BOUNDS)
            << c.what;
        uint32_t sum = 7;
        EXPECT_EQ(ComputeImageChecksum(img.bytes.data(), img.bytes.size(), 0, &sum), 0) << c.what;
        EXPECT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 0) << c.what;
        EXPECT_EQ(ReadImageFtlBuildNumberFromBuffer(img.bytes.data(), img.bytes.size()), 0u)
            << c.what;
        WCHAR version[64];
        EXPECT_FALSE(ReadImageVersionFromBuffer(img.bytes.data(), img.bytes.size(), version, 64))
            << c.what;
        std::vector<uint8_t> before = img.bytes;
        PatchImageConfig(img.bytes.data(), img.bytes.size(), nullptr, L"NEWVER01");
        EXPECT_EQ(img.bytes, before) << c.what;
    }
}

TEST(ImageFormatTest, FilesShorterThanAPageOrWithoutTheMagic) {
    std::vector<uint8_t> tiny = {'C', 'M', 'F', 'G', 0, 0, 0, 0};
    ImageLayout layout;
    EXPECT_EQ(GetImageLayout(tiny.data(), tiny.size(), &layout), IMAGE_LAYOUT_OUT_OF_BOUNDS);
    EXPECT_EQ(DetectImageChecksumKind(tiny.data(), tiny.size()), 0);
    EXPECT_EQ(ReadImageFtlBuildNumberFromBuffer(tiny.data(), tiny.size()), 0u);
    std::vector<uint8_t> tinyBefore = tiny;
    PatchImageConfig(tiny.data(), tiny.size(), nullptr, L"NEWVER01");
    EXPECT_EQ(tiny, tinyBefore);
    std::vector<uint8_t> three = {'C', 'M', 'F'};
    EXPECT_EQ(GetImageLayout(three.data(), three.size(), &layout), IMAGE_LAYOUT_NO_MAGIC);
    TestImage other = SmallImage();
    other.bytes[0] = 'X';
    EXPECT_EQ(GetImageLayout(other.bytes.data(), other.bytes.size(), &layout),
              IMAGE_LAYOUT_NO_MAGIC);
    std::vector<uint8_t> before = other.bytes;
    PatchImageConfig(other.bytes.data(), other.bytes.size(), nullptr, L"X");
    EXPECT_EQ(other.bytes, before);
}

TEST(ImageFormatTest, PatchLeavesOverlappingLayoutsAlone) {
    // Region 1 holds region 2's first page; the trailer lies in region 0; region 2 starts on
    // the header page. A patch could not keep their checksums right.
    const uint32_t layouts[3][3][2] = {
        {{1, 1}, {2, 4}, {3, 3}}, {{1, 5}, {2, 2}, {3, 3}}, {{1, 1}, {2, 2}, {0, 3}}};
    for (const auto& r : layouts) {
        TestImage img(6);
        for (int k = 0; k < 3; ++k) {
            img.Region(k, r[k][0], r[k][1]);
        }
        img.Fill(4096, 6 * 4096, 0x19);
        std::vector<uint8_t> block(4096, 0x77);
        std::vector<uint8_t> before = img.bytes;
        PatchImageConfig(img.bytes.data(), img.bytes.size(), block.data(), L"041k020C");
        EXPECT_EQ(img.bytes, before) << r[1][1];
    }
}

TEST(ImageFormatTest, SampleHeaderLayout) {
    // Regions 0, 1 and 2 on pages 1-4, 5-614 and 615-615; the trailer on page 616.
    TestImage img(617);
    img.Region(0, 1, 4);
    img.Region(1, 5, 614);
    img.Region(2, 615, 615);
    ImageLayout layout;
    ASSERT_EQ(GetImageLayout(img.bytes.data(), img.bytes.size(), &layout), IMAGE_LAYOUT_OK);
    EXPECT_EQ(layout.RegionOffset[0], 4096u);
    EXPECT_EQ(layout.RegionLength[0], 4u * 4096);
    EXPECT_EQ(layout.RegionOffset[1], 5u * 4096);
    EXPECT_EQ(layout.RegionLength[1], 610u * 4096);
    EXPECT_EQ(layout.RegionOffset[2], 615u * 4096);
    EXPECT_EQ(layout.RegionLength[2], 4096u);
    EXPECT_EQ(layout.TrailerOffset, 616u * 4096);
    img.Put32(616 * 4096 + 4088, 0xA1B2C3D4u);
    EXPECT_EQ(ReadImageFtlBuildNumberFromBuffer(img.bytes.data(), img.bytes.size()), 0xA1B2C3D4u);
    img.bytes.pop_back(); // one byte short of the trailer page
    EXPECT_EQ(GetImageLayout(img.bytes.data(), img.bytes.size(), &layout),
              IMAGE_LAYOUT_OUT_OF_BOUNDS);
}

} // namespace

// Only a sound image may be written: the magic, regions 0, 1 and 2 after the header page and
// after each other without a shared page, the file ending with the trailer page after region 2,
// and a stored checksum of one of the two kinds. Each layout below carries a right CRC-32 of its
// own bytes, so only the layout decides.
TEST(ImageFormatTest, OnlyASoundImageMayBeWritten) {
    struct Case {
        const char* what;
        size_t pages;
        uint32_t regions[3][2];
        int verdict;
    };
    const Case cases[] = {
        {"regions 1, 2, 3 and the trailer", 5, {{1, 1}, {2, 2}, {3, 3}}, IMAGE_SOUND},
        {"a page between regions", 6, {{1, 1}, {3, 3}, {4, 4}}, IMAGE_SOUND},
        {"region 0 in the header page", 5, {{0, 1}, {2, 2}, {3, 3}}, IMAGE_REGIONS_OUT_OF_ORDER},
        {"region 2 inside region 1", 5, {{1, 1}, {2, 3}, {3, 3}}, IMAGE_REGIONS_OUT_OF_ORDER},
        {"region 0 after region 1", 5, {{2, 2}, {1, 1}, {3, 3}}, IMAGE_REGIONS_OUT_OF_ORDER},
        {"region 2 before region 1", 6, {{1, 1}, {4, 4}, {2, 2}}, IMAGE_REGIONS_OUT_OF_ORDER},
        {"a page after the trailer", 6, {{1, 1}, {2, 2}, {3, 3}}, IMAGE_PAGES_AFTER_TRAILER},
        {"the trailer beyond the file", 4, {{1, 1}, {2, 2}, {3, 3}}, IMAGE_REGION_OUT_OF_BOUNDS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestImage img(c.pages);
        for (int r = 0; r < 3; ++r) {
            img.Region(r, c.regions[r][0], c.regions[r][1]);
        }
        img.Fill(4096, c.pages * 4096, 0x23);
        if (c.verdict != IMAGE_REGION_OUT_OF_BOUNDS) {
            img.StoreZlibCrc32();
        }
        int kind = -1;
        EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), c.verdict);
        if (c.verdict == IMAGE_SOUND) {
            EXPECT_EQ(kind, CHECKSUM_CRC32);
        }
    }
}

// The stored checksum: either kind is sound (and named), anything else is a damaged image, also
// after a single bit of a region flips; a file without the magic or shorter than a page is no
// image at all.
TEST(ImageFormatTest, TheStoredChecksumMustBeOneOfTheTwoKinds) {
    const uint32_t c32 = 0x15947D8Fu;  // CRC-32 image checksum of SmallImage
    const uint32_t c32c = 0x6EA42A0Du; // its CRC-32C image checksum
    TestImage img = SmallImage();
    int kind = -1;
    img.Put32(4 * 4096 + 12, c32);
    EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), IMAGE_SOUND);
    EXPECT_EQ(kind, CHECKSUM_CRC32);
    img.Put32(4 * 4096 + 12, c32c);
    EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), IMAGE_SOUND);
    EXPECT_EQ(kind, CHECKSUM_CRC32C);
    img.bytes[2 * 4096 + 777] ^= 0x04;
    EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), IMAGE_BAD_CHECKSUM);
    img.bytes[2 * 4096 + 777] ^= 0x04;
    img.Put32(4 * 4096 + 12, 0xDEADBEEFu);
    EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), IMAGE_BAD_CHECKSUM);
    img.bytes[0] = 'X';
    EXPECT_EQ(CheckImageSound(img.bytes.data(), img.bytes.size(), &kind), IMAGE_NOT_CMFG);
    TestImage shortFile(1);
    EXPECT_EQ(CheckImageSound(shortFile.bytes.data(), 100, &kind), IMAGE_NOT_CMFG);
    EXPECT_EQ(CheckImageSound(nullptr, 0, &kind), IMAGE_NOT_CMFG);
}
