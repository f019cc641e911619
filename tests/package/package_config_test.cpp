#include "package/package_config.h"
#include "tests/package/test_support.h"

#include <wchar.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;

const char kSampleTitle[] =
    "46 00 57 00 20 00 75 00 70 00 64 00 61 00 74 00 65 00 20 00 74 00 6F 00 6F 00 6C 00";

TEST(DecodeHexTextTest, TitleBytesAndTheirDecoding) {
    BYTE out[32];
    EXPECT_EQ(DecodeHexText(L"46 00 57 00", out, 11), 4);
    const BYTE fw[4] = {0x46, 0x00, 0x57, 0x00};
    EXPECT_EQ(memcmp(out, fw, 4), 0);
    EXPECT_EQ(out[4], 0);
    WCHAR title[260];
    TitleFromUtf16Bytes(out, 11, title, 260);
    EXPECT_STREQ(title, L"FW");
    // Extra spaces at both ends and between the numbers change nothing.
    EXPECT_EQ(DecodeHexText(L"   46    00 57  00   ", out, 21), 4);
    EXPECT_EQ(memcmp(out, fw, 4), 0);
    // An odd number of bytes leaves the last character's high byte zero.
    EXPECT_EQ(DecodeHexText(L"46 00 57", out, 8), 3);
    TitleFromUtf16Bytes(out, 3, title, 260);
    EXPECT_STREQ(title, L"FW");
    // wcstol's rules: sign, "0x", stop at the first non-digit, no digits give 0.
    EXPECT_EQ(DecodeHexText(L"0x4 -1 zz 7g 1FF", out, 16), 5);
    const BYTE rules[5] = {0x04, 0xFF, 0x00, 0x07, 0xFF};
    EXPECT_EQ(memcmp(out, rules, 5), 0);
}

TEST(DecodeHexTextTest, SampleTitleIsFourteenCharacters) {
    std::wstring raw = zxtest::W(kSampleTitle);
    BYTE out[520];
    EXPECT_EQ(DecodeHexText(raw.c_str(), out, static_cast<int>(raw.size())), 28);
    WCHAR title[260];
    TitleFromUtf16Bytes(out, 28, title, 260);
    EXPECT_STREQ(title, L"FW update tool");
    EXPECT_EQ(wcslen(title), 14u);
}

TEST(DecodeHexTextTest, LongTokensAreCutAndTokensPastTheSlotsAreDropped) {
    BYTE out[300];
    // "0046" keeps "004", "46zz" keeps "46z".
    EXPECT_EQ(DecodeHexText(L"0046 46zz", out, 300), 2);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[1], 0x46);
    std::wstring many;
    for (int i = 0; i < 150; ++i) {
        many += L"41 ";
    }
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(DecodeHexText(many.c_str(), out, 300), 100);
    EXPECT_EQ(out[99], 0x41);
    EXPECT_EQ(out[100], 0x00); // zero fill of the output length
    EXPECT_EQ(out[299], 0x00);
    // The output length bounds the bytes written.
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(DecodeHexText(many.c_str(), out, 5), 5);
    EXPECT_EQ(out[5], 0xEE);
}

TEST(SplitTextTest, SlotsAreNeverWrittenPastTheirEnd) {
    WCHAR slots[3][4];
    wmemset(&slots[0][0], L'#', 12);
    EXPECT_EQ(SplitText(L"  abcdef gh  i j k ", L" ", &slots[0][0], 3, 4), 3);
    EXPECT_STREQ(slots[0], L"abc");
    EXPECT_STREQ(slots[1], L"gh");
    EXPECT_STREQ(slots[2], L"i");
    EXPECT_EQ(SplitText(L" ,a,,b ", L" ,", &slots[0][0], 3, 4), 2);
    EXPECT_STREQ(slots[0], L"a");
    EXPECT_STREQ(slots[1], L"b");
    EXPECT_EQ(SplitText(L"    ", L" ", &slots[0][0], 3, 4), 0);
}

TEST(ReplaceAllTest, LineBreakMarks) {
    WCHAR text[1024] = L"one<BR>two<BR>three";
    EXPECT_EQ(ReplaceAll(text, 1024, L"<BR>", L"\r\n"), 2);
    EXPECT_STREQ(text, L"one\r\ntwo\r\nthree");
    WCHAR lower[1024] = L"one<br>two<Br>";
    EXPECT_EQ(ReplaceAll(lower, 1024, L"<BR>", L"\r\n"), 0);
    EXPECT_STREQ(lower, L"one<br>two<Br>");
}

TEST(ReplaceAllTest, TextsOfAThousandCharactersAndMore) {
    // 1010 characters with a mark at 1005: replaced, nothing lost at the end.
    std::wstring s(1005, L'a');
    s += L"<BR>b";
    s += std::wstring(1, L'c');
    WCHAR text[1024 + 8];
    wmemset(text, L'#', 1032);
    wcscpy(text, s.c_str());
    EXPECT_EQ(ReplaceAll(text, 1024, L"<BR>", L"\r\n"), 1);
    std::wstring want = std::wstring(1005, L'a') + L"\r\nbc";
    EXPECT_EQ(std::wstring(text), want);
    EXPECT_EQ(text[1024], L'#');
    // A result longer than the buffer is cut at its end, terminated, and not written past it.
    std::wstring grow(1000, L'x');
    WCHAR big[1024 + 8];
    wmemset(big, L'#', 1032);
    wcscpy(big, grow.c_str());
    EXPECT_EQ(ReplaceAll(big, 1024, L"x", L"yy"), 1000);
    EXPECT_EQ(wcslen(big), 1023u);
    EXPECT_EQ(big[0], L'y');
    EXPECT_EQ(big[1024], L'#');
    // A replacement that holds the pattern is not replaced again.
    WCHAR loop[64] = L"a-a";
    EXPECT_EQ(ReplaceAll(loop, 64, L"a", L"aa"), 2);
    EXPECT_STREQ(loop, L"aa-aa");
    EXPECT_EQ(ReplaceAll(loop, 64, L"", L"x"), 0);
    EXPECT_STREQ(loop, L"aa-aa");
}

TEST_F(PackageTest, SampleConfigurationIntoTheApplicationState) {
    fs::path ini = dir_ / "ReflashInfo.ini";
    zxtest::WriteText(ini,
                      std::string("[UPDATEINFO]\r\nTITLE=") + kSampleTitle +
                          "\r\nNEWVERSION=\r\nSOCID=0x3C71\r\nModelName=\r\n"
                          "FWVersion=|041k0207|041k020A|\r\niInternalFWVersionCheckPart=2\r\n"
                          "bIsSATA=0\r\nbRemoveFtlBuildNumCheck=0\r\nbSetVersionBeforeReflash=0\r\n"
                          "BeforeMessage=Warning ! <BR>If FW is not back compatible, The user "
                          "data will be erased.\r\n"
                          "AfterMessage=Update FW OK !<BR>Shutdown System Now ?\r\n"
                          "PowerCtrl=1\r\nKERNEL=x\r\n[NandMap]\r\n9BC5587130_1=a.fw\r\n");
    std::wstring path = zxtest::W(ini.string());
    LoadPackageConfig(path.c_str());
    const AppState* s = GetAppState();
    EXPECT_STREQ(s->Title, L"FW update tool");
    EXPECT_STREQ(s->SOCID, L"0x3C71");
    EXPECT_STREQ(s->ModelName, L"");
    EXPECT_STREQ(s->FWVersion, L"|041k0207|041k020A|");
    EXPECT_STREQ(s->NEWVERSION, L"");
    EXPECT_EQ(s->iInternalFWVersionCheckPart, 2);
    EXPECT_EQ(s->bIsSATA, 0);
    EXPECT_EQ(s->bRemoveFtlBuildNumCheck, 0);
    EXPECT_EQ(s->bSetVersionBeforeReflash, 0);
    EXPECT_STREQ(s->BeforeMessage,
                 L"Warning ! \r\nIf FW is not back compatible, The user data will be erased.");
    EXPECT_STREQ(s->AfterMessage, L"Update FW OK !\r\nShutdown System Now ?");
    EXPECT_EQ(s->PowerCtrl, 1);
}

TEST_F(PackageTest, MissingKeysGiveTheDefaults) {
    fs::path ini = dir_ / "ReflashInfo.ini";
    zxtest::WriteText(ini, "[UPDATEINFO]\r\nbIsSATA=1\r\nPowerCtrl=258\r\n");
    std::wstring path = zxtest::W(ini.string());
    LoadPackageConfig(path.c_str());
    const AppState* s = GetAppState();
    EXPECT_STREQ(s->Title, L"Package Error"); // no TITLE: the default in words
    EXPECT_EQ(s->iInternalFWVersionCheckPart, 3);
    EXPECT_EQ(s->bIsSATA, 1);
    EXPECT_EQ(s->PowerCtrl, 2); // only the low 8 bits count
    EXPECT_STREQ(s->SOCID, L"");

    zxtest::WriteText(ini, "[UPDATEINFO]\r\niInternalFWVersionCheckPart=0\r\nTITLE=zz 00\r\n");
    LoadPackageConfig(path.c_str());
    EXPECT_EQ(s->iInternalFWVersionCheckPart, 0);
    EXPECT_STREQ(s->Title, L"Package Error"); // decodes to no text

    std::wstring missing = zxtest::W((dir_ / "none.ini").string());
    LoadPackageConfig(missing.c_str());
    EXPECT_STREQ(s->Title, L"Package Error");
    EXPECT_EQ(s->iInternalFWVersionCheckPart, 3);
    EXPECT_EQ(s->PowerCtrl, 0);
}

TEST_F(PackageTest, LongMessagesStayInTheirBuffers) {
    fs::path ini = dir_ / "ReflashInfo.ini";
    std::string before(1100, 'm');
    before.replace(1010, 4, "<BR>");
    zxtest::WriteText(ini, "[UPDATEINFO]\r\nBeforeMessage=" + before + "\r\n");
    std::wstring path = zxtest::W(ini.string());
    LoadPackageConfig(path.c_str());
    const AppState* s = GetAppState();
    // Read cut to 1023 characters, then the mark at 1010 replaced.
    std::wstring want = std::wstring(1010, L'm') + L"\r\n" + std::wstring(1023 - 1014, L'm');
    EXPECT_EQ(std::wstring(s->BeforeMessage), want);
}

} // namespace
