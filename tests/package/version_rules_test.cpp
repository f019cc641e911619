#include "package/image.h"
#include "package/version_rules.h"
#include "tests/package/test_support.h"

#include <wchar.h>

namespace {

using zxtest::PackageTest;
using zxtest::TestImage;

DiskRecord Disk(const wchar_t* model, uint32_t soc) {
    DiskRecord d;
    memset(&d, 0, sizeof(d));
    wcscpy(d.Model, model);
    d.iSocId = soc;
    return d;
}

TEST(VersionRulesTest, ListsMatchWholeEntriesInAnyCase) {
    EXPECT_TRUE(IsInList(L"|041k0207|041k020A|", L"041k0207"));
    EXPECT_TRUE(IsInList(L"|041k0207|041k020A|", L"041K020a"));
    EXPECT_FALSE(IsInList(L"|041k0207|041k020A|", L"041k02"));
    EXPECT_FALSE(IsInList(L"|041k0207|041k020A|", L"41k0207"));
    EXPECT_FALSE(IsInList(L"", L"041k0207"));
    std::wstring longItem(600, L'a'); // does not fit the search buffer with its bars
    std::wstring list = L"|" + longItem.substr(0, 509) + L"|";
    EXPECT_FALSE(IsInList(list.c_str(), longItem.c_str()));
}

TEST_F(PackageTest, ModelAndSocRulesOfTheDiskList) {
    DiskRecord abc = Disk(L"abc", 0x3C71);
    DiskRecord abcd = Disk(L"ABCD", 0x3C71);
    EXPECT_TRUE(IsDiskEligible(&abc, L"|ABC|", L"*"));
    EXPECT_FALSE(IsDiskEligible(&abcd, L"|ABC|", L"*"));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"abc, |ABC|", "ABCD, |ABC|"}));

    DiskRecord zero = Disk(L"m", 0);
    DiskRecord soc = Disk(L"m", 0x3C71);
    EXPECT_TRUE(IsDiskEligible(&zero, L"", L"*"));
    EXPECT_FALSE(IsDiskEligible(&zero, L"", L"ZELTARIX"));
    EXPECT_TRUE(IsDiskEligible(&soc, L"", L"ZELTARIX"));
    EXPECT_FALSE(IsDiskEligible(&soc, L"", L"zeltarix"));
    EXPECT_TRUE(IsDiskEligible(&soc, L"", L"0x3C71"));
    EXPECT_FALSE(IsDiskEligible(&soc, L"", L"0X3C71"));
    EXPECT_FALSE(IsDiskEligible(&soc, L"", L"0x3c71"));
    EXPECT_FALSE(IsDiskEligible(&soc, L"", L""));
    DiskRecord small = Disk(L"m", 0x71);
    EXPECT_TRUE(IsDiskEligible(&small, L"", L"0x0071"));
    EXPECT_FALSE(IsDiskEligible(&small, L"", L"0x71"));
}

TEST_F(PackageTest, DriveInformationVersionComparesTheFirstParts) {
    EXPECT_TRUE(CompareDrvInfoVersion(L"041k0207", 2, L"041k020A"));
    EXPECT_TRUE(CompareDrvInfoVersion(L"041k0207", 3, L"041k020A"));
    EXPECT_TRUE(LogLines().empty());
    EXPECT_FALSE(CompareDrvInfoVersion(L"041k0207", 4, L"041k020A"));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{
                  "DrvInfoVersion = 041k0207, BinFWVersion = 041k020A, iCheckPart = 4"}));
    // Dotted: k = 2 keeps two parts and the dot between them, "1.2".
    EXPECT_TRUE(CompareDrvInfoVersion(L"1.2.3.4", 2, L"1.2.9.9"));
    EXPECT_FALSE(CompareDrvInfoVersion(L"1.2.3.4", 2, L"1.3.3.4"));
    EXPECT_TRUE(CompareDrvInfoVersion(L"1.2.3.4", 1, L"1x9"));
    // One dot and k = 3: too few dots, the whole texts are compared.
    EXPECT_FALSE(CompareDrvInfoVersion(L"04.1k0207", 3, L"04.1k020A"));
    EXPECT_TRUE(CompareDrvInfoVersion(L"04.1k0207", 3, L"04.1k0207"));
    // Packed part counts outside the working copies compare the whole texts.
    EXPECT_FALSE(CompareDrvInfoVersion(L"041k0207", 16, L"041k020A"));
    EXPECT_TRUE(CompareDrvInfoVersion(L"041k0207", 16, L"041k0207"));
    EXPECT_FALSE(CompareDrvInfoVersion(L"041k0207", -1, L"041k020A"));
    EXPECT_TRUE(CompareDrvInfoVersion(L"041k0207", 15, L"041k0207"));
}

TEST_F(PackageTest, ImageVersionFromTheTrailerParts) {
    TestImage img(617);
    img.Region(0, 1, 4);
    img.Region(1, 5, 614);
    img.Region(2, 615, 615);
    const size_t t = 616 * 4096;
    const char packed[8] = {'0', '4', '1', 'k', '0', '2', '0', '7'};
    memcpy(&img.bytes[t + 16], packed, 8);
    WCHAR v[VERSION_TEXT_CHARS];
    EXPECT_TRUE(ReadImageVersionFromBuffer(img.bytes.data(), img.bytes.size(), v, 64));
    EXPECT_STREQ(v, L"041k0207");
    // Four one-character parts, each in the second byte: 7 characters, dotted.
    const uint8_t single[8] = {0, '1', 0, '2', 0, '3', 0, '4'};
    memcpy(&img.bytes[t + 16], single, 8);
    EXPECT_TRUE(ReadImageVersionFromBuffer(img.bytes.data(), img.bytes.size(), v, 64));
    EXPECT_STREQ(v, L"1.2.3.4");
    // A zero second byte ends a two-byte part after one character.
    const uint8_t mixed[8] = {'1', 0, '2', 'b', '3', 'c', '4', 'd'};
    memcpy(&img.bytes[t + 16], mixed, 8);
    EXPECT_TRUE(ReadImageVersionFromBuffer(img.bytes.data(), img.bytes.size(), v, 64));
    EXPECT_STREQ(v, L"012b3c4d");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"041k0207", "1.2.3.4", "012b3c4d"}));
}

TEST_F(PackageTest, ImageVersionSearchedInTheBytes) {
    // No magic: the first window ("x.y z...") counts one dot, the search goes on 8 bytes
    // after its start and finds "1.2.3.4".
    std::string text = std::string("x.y z   ") + "abc" + "1.2.3.4" + std::string(1, '\0') + "tail";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    WCHAR v[VERSION_TEXT_CHARS];
    EXPECT_TRUE(ReadImageVersionFromBuffer(bytes.data(), bytes.size(), v, 64));
    EXPECT_STREQ(v, L"1.2.3.4");
    // Two dots in a row stop the walk; a window that would run past the end is not read.
    std::string stop = "1..2.3.4";
    std::vector<uint8_t> b2(stop.begin(), stop.end());
    EXPECT_FALSE(ReadImageVersionFromBuffer(b2.data(), b2.size(), v, 64));
    EXPECT_STREQ(v, L"");
    std::string shortTail = "zzzzzzzz1.2.3.";
    std::vector<uint8_t> b3(shortTail.begin(), shortTail.end());
    EXPECT_FALSE(ReadImageVersionFromBuffer(b3.data(), b3.size(), v, 64));
    // A dot as the very first byte has no byte before it.
    std::string first = ".1.2.3.4zzzzzzzzz";
    std::vector<uint8_t> b4(first.begin(), first.end());
    EXPECT_FALSE(ReadImageVersionFromBuffer(b4.data(), b4.size(), v, 64));
    // Blanks at the end of the window are trimmed.
    std::string blank = "9.8.7.6 ";
    std::vector<uint8_t> b5(blank.begin(), blank.end());
    EXPECT_TRUE(ReadImageVersionFromBuffer(b5.data(), b5.size(), v, 64));
    EXPECT_STREQ(v, L"9.8.7.6");
}

TEST_F(PackageTest, ConfigVersionIsWrittenUnlessKeepOrAlreadyThere) {
    std::vector<uint8_t> block(4096, 0xA5);
    memcpy(&block[1064], "041k0207", 8);
    std::vector<uint8_t> before = block;
    for (const wchar_t* keep : {L"KEEP", L"keep", L"Keep"}) {
        uint32_t check = 0x11111111u;
        EXPECT_FALSE(SetConfigVersion(block.data(), keep, 0, &check));
        EXPECT_EQ(check, 0x11111111u);
        EXPECT_EQ(block, before);
    }
    EXPECT_FALSE(SetConfigVersion(block.data(), L"041k0207", 0, nullptr));
    EXPECT_EQ(block, before);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Now[041k0207],New[041k0207]"}));

    uint32_t check = 0;
    EXPECT_TRUE(SetConfigVersion(block.data(), L"041k020C", 0, &check));
    const uint8_t expected[8] = {'0', '4', '1', 'k', '0', '2', '0', 'C'};
    EXPECT_EQ(memcmp(&block[1064], expected, 8), 0);
    EXPECT_EQ(block[1063], 0xA5);
    EXPECT_EQ(block[1072], 0xA5);
    EXPECT_EQ(check, 0x5E7CCE91u); // CRC-32 of the block with "041k020C" in 1064-1071

    EXPECT_TRUE(SetConfigVersion(block.data(), L"ABCDEFGHIJ", 1, nullptr)); // cut to 8
    EXPECT_EQ(memcmp(&block[1064], "ABCDEFGH", 8), 0);
    EXPECT_TRUE(SetConfigVersion(block.data(), L"V1", 1, nullptr)); // padded with zeros
    const uint8_t padded[8] = {'V', '1', 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(&block[1064], padded, 8), 0);
    EXPECT_TRUE(SetConfigVersion(block.data(), L"", 1, nullptr)); // empty is not KEEP
    const uint8_t clear[8] = {};
    EXPECT_EQ(memcmp(&block[1064], clear, 8), 0);
    EXPECT_FALSE(SetConfigVersion(block.data(), L"", 1, nullptr));
}

TEST_F(PackageTest, PatchCarriesTheDriveBlockAndVersionUnderAFreshChecksum) {
    TestImage img(6);
    img.Region(0, 1, 1);
    img.Region(1, 2, 2);
    img.Region(2, 3, 4); // two pages: the block, then more of region 2
    img.Fill(4096, 5 * 4096, 0x21);
    img.Put32(5 * 4096 + 8, 0xFFFFFFFFu);
    std::vector<uint8_t> drive(4096, 0x3C);
    memcpy(&drive[1064], "OLDVER01", 8);
    PatchImageConfig(img.bytes.data(), img.bytes.size(), drive.data(), L"041k020C");
    std::vector<uint8_t> want = drive;
    memcpy(&want[1064], "041k020C", 8);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), img.bytes.begin() + 3 * 4096));
    EXPECT_EQ(img.Get32(5 * 4096 + 8), 0u);
    // The CRC-32 image checksum of the patched image, computed apart from this code.
    EXPECT_EQ(img.Get32(5 * 4096 + 12), 0xD877F259u);

    // An image that used CRC-32C keeps that kind: with the CRC-32C value stored, a patch with
    // another block is summed with CRC-32C.
    img.Put32(5 * 4096 + 12, 0x647F7405u); // the CRC-32C image checksum of the same bytes
    ASSERT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 1);
    std::vector<uint8_t> other(4096, 0x3C);
    memcpy(&other[1064], "OLDVER01", 8);
    PatchImageConfig(img.bytes.data(), img.bytes.size(), other.data(), L"KEEP");
    EXPECT_EQ(memcmp(&img.bytes[3 * 4096 + 1064], "OLDVER01", 8), 0);
    EXPECT_EQ(DetectImageChecksumKind(img.bytes.data(), img.bytes.size()), 1);
    // Back to the first block and version: the same CRC-32C value as before.
    PatchImageConfig(img.bytes.data(), img.bytes.size(), drive.data(), L"041k020C");
    EXPECT_EQ(img.Get32(5 * 4096 + 12), 0x647F7405u);
}

} // namespace
