#include "platform/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zxprofile_XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
        ini = L"C:";
        for (char c : root) {
            ini += c == '/' ? L'\\' : static_cast<WCHAR>(c);
        }
        ini += L"\\test.ini";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    void WriteIni(const std::string& bytes) {
        std::ofstream out(root + "/test.ini", std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    // The value read into a buffer of `size` characters, and the returned count.
    std::wstring Get(LPCWSTR section, LPCWSTR key, LPCWSTR def, DWORD size, DWORD* count) {
        std::wstring buffer(size + 4, L'#');
        *count = GetPrivateProfileStringW(section, key, def, &buffer[0], size, ini.c_str());
        return buffer;
    }
    std::wstring Value(LPCWSTR section, LPCWSTR key, LPCWSTR def = L"dflt") {
        WCHAR buffer[260];
        DWORD n = GetPrivateProfileStringW(section, key, def, buffer, 260, ini.c_str());
        EXPECT_EQ(n, std::wstring(buffer).size());
        return buffer;
    }
    std::string root;
    std::wstring ini;
};

TEST_F(ProfileTest, BlanksQuotesAndCase) {
    WriteIni("[UPDATEINFO]\r\n"
             "  TITLE =  \"  FW tool \"  \r\n"
             "Single='x y'\r\n"
             "Mismatch=\"abc'\r\n"
             "Lone=\"\r\n"
             "Inner=a \"b\" c\r\n"
             "Empty=\r\n"
             "\tSOCID\t=\t0x3C71\t\r\n"
             "[ Spaced Name ]\r\n"
             "k=v\r\n");
    EXPECT_EQ(Value(L"updateinfo", L"title"), L"  FW tool ");
    EXPECT_EQ(Value(L"UPDATEINFO", L"Single"), L"x y");
    EXPECT_EQ(Value(L"UPDATEINFO", L"Mismatch"), L"\"abc'");
    EXPECT_EQ(Value(L"UPDATEINFO", L"Lone"), L"\"");
    EXPECT_EQ(Value(L"UPDATEINFO", L"Inner"), L"a \"b\" c");
    EXPECT_EQ(Value(L"UPDATEINFO", L"Empty"), L"");
    EXPECT_EQ(Value(L"UpdateInfo", L"socid"), L"0x3C71");
    EXPECT_EQ(Value(L"spaced name", L"K"), L"v");
}

TEST_F(ProfileTest, DefaultsForMissingFileSectionAndKey) {
    DWORD n = 0;
    SetLastError(0);
    EXPECT_EQ(Get(L"UPDATEINFO", L"TITLE", L"Package Error  ", 260, &n).substr(0, 14),
              std::wstring(L"Package Error") + L'\0');
    EXPECT_EQ(n, 13u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrivateProfileIntW(L"UPDATEINFO", L"iInternalFWVersionCheckPart", 3, ini.c_str()),
              3u);

    WriteIni("stray=before any section\r\n[UPDATEINFO]\r\nname3\r\nPowerCtrl=1\r\n");
    EXPECT_EQ(Value(L"NandMap", L"PowerCtrl"), L"dflt");
    EXPECT_EQ(Value(L"UPDATEINFO", L"SOCID"), L"dflt");
    EXPECT_EQ(Value(L"UPDATEINFO", L"name3"), L"dflt"); // a line without '=' is no key
    EXPECT_EQ(Value(L"", L"stray"), L"dflt");
    EXPECT_EQ(Value(L"UPDATEINFO", L"SOCID", nullptr), L"");
    EXPECT_EQ(Value(L"UPDATEINFO", L"PowerCtrl"), L"1");
}

TEST_F(ProfileTest, ValuesAreCutToTheBufferLessOne) {
    WriteIni("[s]\r\nlong=abcdefghij\r\nq=\"quoted\"\r\n");
    DWORD n = 0;
    std::wstring got = Get(L"s", L"long", L"", 5, &n);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(got.substr(0, 6), std::wstring(L"abcd") + L'\0' + L'#');
    got = Get(L"s", L"long", L"", 11, &n);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(got.substr(0, 11), std::wstring(L"abcdefghij") + L'\0');
    got = Get(L"s", L"q", L"", 4, &n);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(got.substr(0, 4), std::wstring(L"quo") + L'\0');
    got = Get(L"s", L"long", L"", 1, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 2), std::wstring(1, L'\0') + L'#');
    got = Get(L"s", L"long", L"", 0, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 1), L"#"); // untouched
    got = Get(L"s", L"none", L"default", 4, &n);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(got.substr(0, 4), std::wstring(L"def") + L'\0');
}

TEST_F(ProfileTest, SectionAndKeyLists) {
    WriteIni("[section1]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=a\r\n[section2]\r\n");
    DWORD n = 0;
    std::wstring got = Get(nullptr, L"ignored", L"d", 100, &n);
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(got.substr(0, 19), std::wstring(L"section1\0section2\0\0", 19));
    got = Get(nullptr, nullptr, L"d", 16, &n);
    EXPECT_EQ(n, 14u);
    EXPECT_EQ(got.substr(0, 16), std::wstring(L"section1\0secti\0\0", 16));
    // A list that fills the buffer exactly is reported as cut: the size less two.
    got = Get(nullptr, nullptr, L"d", 19, &n);
    EXPECT_EQ(n, 17u);
    EXPECT_EQ(got.substr(0, 19), std::wstring(L"section1\0section2\0\0", 19));

    got = Get(L"SECTION1", nullptr, L"d", 100, &n);
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(got.substr(0, 19), std::wstring(L"name1\0name2\0name4\0\0", 19));
    got = Get(L"section1", nullptr, L"d", 16, &n);
    EXPECT_EQ(n, 14u);
    EXPECT_EQ(got.substr(0, 16), std::wstring(L"name1\0name2\0na\0\0", 16));

    fs::remove(root + "/test.ini");
    got = Get(nullptr, nullptr, L"d", 10, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 2), std::wstring(1, L'\0') + L'#');
}

TEST_F(ProfileTest, EncodingsAndLineEnds) {
    // Windows-1252 text with LF line ends.
    WriteIni("[a]\nk=caf\xE9 \x80\nx=1\n");
    EXPECT_EQ(Value(L"a", L"k"), L"caf\u00E9 \u20AC");
    EXPECT_EQ(Value(L"a", L"x"), L"1");
    // CR alone ends a line too.
    WriteIni("[a]\rk=v1\rx=2\r");
    EXPECT_EQ(Value(L"a", L"k"), L"v1");
    EXPECT_EQ(Value(L"a", L"x"), L"2");
    // UTF-16LE with its byte-order mark.
    std::string utf16 = "\xFF\xFE";
    for (wchar_t c : std::wstring(L"[b]\r\nk=\u4E2D\u00E9\r\n")) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>((c >> 8) & 0xFF);
    }
    WriteIni(utf16);
    EXPECT_EQ(Value(L"B", L"K"), L"\u4E2D\u00E9");
}

TEST_F(ProfileTest, IntegerTexts) {
    WriteIni("[n]\r\n"
             "a=12\r\n"
             "b= -5\r\n"
             "c=0x1F\r\n"
             "d=12abc\r\n"
             "e=abc\r\n"
             "f=\r\n"
             "g=+1\r\n"
             "h=4294967297\r\n"
             "i=-0x10\r\n");
    const std::wstring& file = ini;
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"a", 99, file.c_str()), 12u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"b", 99, file.c_str()), 0xFFFFFFFBu);
    EXPECT_EQ(GetPrivateProfileIntW(L"N", L"C", 99, file.c_str()), 31u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"d", 99, file.c_str()), 12u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"e", 99, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"f", 99, file.c_str()), 0u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"g", 99, file.c_str()), 1u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"h", 99, file.c_str()), 1u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"i", 99, file.c_str()), 0xFFFFFFF0u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"missing", 3, file.c_str()), 3u);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", L"missing", -1, file.c_str()), 0xFFFFFFFFu);
    EXPECT_EQ(GetPrivateProfileIntW(L"n", nullptr, 7, file.c_str()), 7u);
}

TEST_F(ProfileTest, AFileOpenWithoutReadSharingReadsAsMissing) {
    WriteIni("[s]\r\nk=v\r\n");
    HANDLE h = CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Value(L"s", L"k"), L"dflt");
    CloseHandle(h);
    EXPECT_EQ(Value(L"s", L"k"), L"v");
}

} // namespace
