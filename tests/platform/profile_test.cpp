// The profile functions' rules, one behaviour per test (tests/conformance compares many more
// calls with Windows), and the kept parsed form: changes seen, one parse for many calls, safe
// from several threads.
#include "platform/posix/profile_store.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::wstring WindowsForm(const std::string& linuxPath) {
    std::wstring text = L"C:";
    for (char c : linuxPath) {
        text += c == '/' ? L'\\' : static_cast<WCHAR>(c);
    }
    return text;
}

struct ValueRow {
    LPCWSTR section;
    LPCWSTR key;
    LPCWSTR want;
};

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zxprofile_XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
        ini = WindowsForm(root + "/test.ini");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    void WriteFile(const std::string& name, const std::string& bytes) {
        std::ofstream out(root + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void WriteIni(const std::string& bytes) { WriteFile("test.ini", bytes); }
    // Moves the file's modification time a minute back, as for a file written long ago.
    void AgeFile(const std::string& name) {
        struct timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= 60;
        times[1] = times[0];
        ASSERT_EQ(utimensat(AT_FDCWD, (root + "/" + name).c_str(), times, 0), 0);
    }
    // The buffer of `size` characters after the call (with 4 more, filled with '#', behind it)
    // and the returned count.
    std::wstring Get(LPCWSTR section, LPCWSTR key, LPCWSTR def, DWORD size, DWORD* count,
                     const std::wstring& file) {
        std::wstring buffer(size + 4, L'#');
        *count = GetPrivateProfileStringW(section, key, def, &buffer[0], size, file.c_str());
        return buffer;
    }
    std::wstring Get(LPCWSTR section, LPCWSTR key, LPCWSTR def, DWORD size, DWORD* count) {
        return Get(section, key, def, size, count, ini);
    }
    std::wstring Value(LPCWSTR section, LPCWSTR key, LPCWSTR def = L"dflt") {
        WCHAR buffer[260];
        DWORD n = GetPrivateProfileStringW(section, key, def, buffer, 260, ini.c_str());
        EXPECT_EQ(n, std::wstring(buffer).size());
        return buffer;
    }
    // Each row read into a buffer of 260 with the default "dflt".
    void CheckValues(const std::vector<ValueRow>& rows) {
        for (const ValueRow& row : rows) {
            EXPECT_EQ(Value(row.section, row.key), std::wstring(row.want))
                << "[" << testing::PrintToString(std::wstring(row.section)) << "] "
                << testing::PrintToString(std::wstring(row.key));
        }
    }
    UINT Int(LPCWSTR section, LPCWSTR key, INT def) {
        return GetPrivateProfileIntW(section, key, def, ini.c_str());
    }
    std::string root;
    std::wstring ini;
};

TEST_F(ProfileTest, ValuesLoseBlanksAndOnePairOfQuotes) {
    WriteIni("[UPDATEINFO]\r\n"
             "  TITLE =  \"  FW tool \"  \r\n"
             "Single='x y'\r\n"
             "Mismatch=\"abc'\r\n"
             "Lone=\"\r\n"
             "Pair=\"\"\r\n"
             "Inner=a \"b\" c\r\n"
             "Empty=\r\n"
             "Spaces=   \r\n"
             "Equals=a=b = c\r\n"
             "\tSOCID\t=\t0x3C71\t\r\n"
             "ctl=\v\f\x1A"
             "1\x1A\r\n"
             "nbsp=\xA0"
             "4\xA0\r\n");
    CheckValues({
        {L"UPDATEINFO", L"TITLE", L"  FW tool "},
        {L"UPDATEINFO", L"Single", L"x y"},
        {L"UPDATEINFO", L"Mismatch", L"\"abc'"},
        {L"UPDATEINFO", L"Lone", L"\""},
        {L"UPDATEINFO", L"Pair", L""},
        {L"UPDATEINFO", L"Inner", L"a \"b\" c"},
        {L"UPDATEINFO", L"Empty", L""},
        {L"UPDATEINFO", L"Spaces", L""},
        {L"UPDATEINFO", L"Equals", L"a=b = c"},
        {L"UPDATEINFO", L"SOCID", L"0x3C71"},
        {L"UPDATEINFO", L"ctl", L"1"},              // vertical tab, form feed, Ctrl-Z
        {L"UPDATEINFO", L"nbsp", L"\u00A04\u00A0"}, // no blank
    });
}

TEST_F(ProfileTest, NamesMatchTrimmedAndWithoutRegardToCase) {
    WriteIni("[UPDATEINFO]\r\n"
             "SOCID=0x3C71\r\n"
             "two words = x\r\n"
             "caf\xE9=\xE9t\xE9\r\n"
             "[ Spaced Name ]\r\n"
             "k=v\r\n");
    CheckValues({
        {L"updateinfo", L"socid", L"0x3C71"},
        {L"  UpdateInfo\t", L" SOCID\v", L"0x3C71"},
        {L"\x1AUPDATEINFO\x1A", L"\x1ASOCID", L"0x3C71"},
        {L"UPDATEINFO", L"TWO WORDS", L"x"},
        {L"UPDATEINFO", L"two  words", L"dflt"},
        {L"UPDATEINFO", L"CAF\u00C9", L"\u00E9t\u00E9"}, // non-ASCII letters fold too
        {L"spaced name", L"K", L"v"},
        {L" Spaced Name ", L"k", L"v"},
    });
}

TEST_F(ProfileTest, SectionHeadersAndTheSectionBeforeThem) {
    WriteIni("stray=before any section\r\n"
             " orphan \r\n"
             "[a]\r\n"
             "k=1\r\n"
             "[unclosed\r\n"
             "after=unclosed\r\n"
             "[]\r\n"
             "k=2\r\n"
             "j=3\r\n"
             "[ ]\r\n"
             "m=4\r\n"
             "[b] junk\r\n"
             "p=6\r\n"
             "[c]d]\r\n"
             "k=cd\r\n"
             "  [Indented]  \r\n"
             "k=indented\r\n"
             "[a]\r\n"
             "late=second copy\r\n");
    CheckValues({
        {L"", L"stray", L"before any section"},
        {L" ", L"stray", L"before any section"},
        {L"", L"orphan", L"dflt"},     // a line without '=' is no entry
        {L"a", L"after", L"unclosed"}, // "[unclosed" is no header
        {L"unclosed", L"after", L"dflt"},
        {L"a", L"k", L"1"},
        {L"a", L"j", L"dflt"}, // the keys under "[]" and "[ ]" are out of reach
        {L"", L"j", L"dflt"},
        {L"", L"m", L"dflt"},
        {L"b", L"p", L"6"}, // the name runs to the last ']'
        {L"c]d", L"k", L"cd"},
        {L"c", L"k", L"dflt"},
        {L"Indented", L"k", L"indented"},
        {L"a", L"late", L"dflt"}, // the first section of a name counts
    });
}

TEST_F(ProfileTest, CommentsAreFoundByNameButNotListed) {
    WriteIni(";top=x\r\n"
             "[s]\r\n"
             "; comment=not a key\r\n"
             " ;indented=7\r\n"
             "#hash=1\r\n"
             "name3\r\n"
             "=nokey\r\n"
             "shadow\r\n"
             "shadow=hidden\r\n"
             "dup=first\r\n"
             "DUP=second\r\n");
    CheckValues({
        {L"", L";top", L"x"},
        {L"s", L"; comment", L"not a key"},
        {L"s", L";indented", L"7"},
        {L"s", L"#hash", L"1"},
        {L"s", L"", L"nokey"},
        {L"s", L"shadow", L"dflt"}, // the line without '=' comes first
        {L"s", L"dup", L"first"},
    });
    DWORD n = 0;
    std::wstring got = Get(L"s", nullptr, L"d", 100, &n);
    EXPECT_EQ(n, 22u); // the key "" is listed as an empty name
    EXPECT_EQ(got.substr(0, 24), std::wstring(L"#hash\0\0shadow\0dup\0DUP\0\0#", 24));
    got = Get(L"", nullptr, L"d", 100, &n);
    EXPECT_EQ(n, 1u); // only comments: the default
    EXPECT_EQ(got.substr(0, 2), std::wstring(L"d\0", 2));
}

TEST_F(ProfileTest, QuotedValuesAreCutBeforeTheQuotesGo) {
    WriteIni("[s]\r\nq=\"quoted\"\r\nlong=abcdefghij\r\n");
    struct Row {
        LPCWSTR key;
        DWORD size;
        DWORD count;
        std::wstring want; // the buffer, up to the '#' behind what was written
    };
    const Row rows[] = {
        {L"q", 4, 3, std::wstring(L"quo\0#", 5)},
        {L"q", 6, 5, std::wstring(L"quote\0#", 7)},
        {L"q", 7, 6, std::wstring(L"quoted\0#", 8)},   // fits: whole (Wine: "quote")
        {L"q", 8, 6, std::wstring(L"quoted\0\0#", 9)}, // the closing quote copied, then cut off
        {L"q", 1, 0, std::wstring(L"\0#", 2)},
        {L"long", 5, 4, std::wstring(L"abcd\0#", 6)},
        {L"long", 11, 10, std::wstring(L"abcdefghij\0#", 12)},
        {L"long", 1, 0, std::wstring(L"\0#", 2)},
        {L"none", 4, 3, std::wstring(L"def\0#", 5)},
    };
    for (const Row& row : rows) {
        DWORD n = 0;
        std::wstring got = Get(L"s", row.key, L"default", row.size, &n);
        EXPECT_EQ(n, row.count) << testing::PrintToString(std::wstring(row.key)) << row.size;
        EXPECT_EQ(got.substr(0, row.want.size()), row.want)
            << testing::PrintToString(std::wstring(row.key)) << row.size;
    }
    DWORD n = 7;
    std::wstring got = Get(L"s", L"long", L"", 0, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 1), L"#"); // untouched
}

TEST_F(ProfileTest, DefaultsLoseTheirTrailingSpaces) {
    WriteIni("[s]\r\n");
    struct Row {
        LPCWSTR def;
        LPCWSTR want;
    };
    const Row rows[] = {
        {L"Package Error  ", L"Package Error"},
        {L"  ", L""},
        {L" a b ", L" a b"},
        {L"tab\t", L"tab\t"},
        {nullptr, L""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Value(L"s", L"missing", row.def), std::wstring(row.want));
    }
    fs::remove(root + "/test.ini");
    SetLastError(0);
    EXPECT_EQ(Value(L"UPDATEINFO", L"TITLE", L"Package Error  "), L"Package Error");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Value(L"a", nullptr, L"d"), L"d");
}

TEST_F(ProfileTest, SectionLists) {
    WriteIni("stray=1\r\n[section1]\r\nname1=val1\r\n[]\r\n[section2]\r\n[section1]\r\n");
    struct Row {
        DWORD size;
        DWORD count;
        std::wstring want;
    };
    const Row rows[] = {
        {100, 27, std::wstring(L"section1\0section2\0section1\0\0#", 29)},
        {16, 14, std::wstring(L"section1\0secti\0\0#", 17)},
        {19, 17, std::wstring(L"section1\0section2\0\0#", 20)}, // exact fit counts as cut
        {2, 0, std::wstring(L"\0\0#", 3)},
        {1, 0, std::wstring(L"\0#", 2)},
    };
    for (const Row& row : rows) {
        DWORD n = 0;
        std::wstring got = Get(nullptr, L"ignored", L"d", row.size, &n);
        EXPECT_EQ(n, row.count) << row.size;
        EXPECT_EQ(got.substr(0, row.want.size()), row.want) << row.size;
    }
    fs::remove(root + "/test.ini");
    DWORD n = 0;
    std::wstring got = Get(nullptr, nullptr, L"d", 10, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got.substr(0, 2), std::wstring(L"\0#", 2));
}

TEST_F(ProfileTest, KeyLists) {
    WriteIni("[section1]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=a\r\n"
             "[first empty]\r\n=\r\nq=8\r\n[none]\r\n;x=1\r\n");
    struct Row {
        LPCWSTR section;
        DWORD size;
        DWORD count;
        std::wstring want;
    };
    const Row rows[] = {
        {L"SECTION1", 100, 18, std::wstring(L"name1\0name2\0name4\0\0#", 20)},
        {L"section1", 16, 14, std::wstring(L"name1\0name2\0na\0\0#", 17)},
        {L"section1", 8, 6, std::wstring(L"name1\0\0#", 8)},
        {L"section1", 3, 1, std::wstring(L"n\0\0#", 4)},
        {L"section1", 2, 0, std::wstring(L"\0\0#", 3)},   // documented (Wine: the default)
        {L" section1", 100, 1, std::wstring(L"d\0#", 3)}, // listed only for the name as given
        {L"first empty", 100, 1,
         std::wstring(L"d\0\0\0#", 5)},                       // starts with "": the default over it
        {L"first empty", 4, 2, std::wstring(L"\0q\0\0#", 5)}, // cut: documented (Wine: default)
        {L"none", 100, 1, std::wstring(L"d\0#", 3)},
        {L"missing", 100, 1, std::wstring(L"d\0#", 3)},
    };
    for (const Row& row : rows) {
        DWORD n = 0;
        std::wstring got = Get(row.section, nullptr, L"d", row.size, &n);
        EXPECT_EQ(n, row.count) << testing::PrintToString(std::wstring(row.section)) << row.size;
        EXPECT_EQ(got.substr(0, row.want.size()), row.want)
            << testing::PrintToString(std::wstring(row.section)) << row.size;
    }
}

TEST_F(ProfileTest, EncodingsAndLineEnds) {
    struct Row {
        std::string bytes;
        LPCWSTR section;
        LPCWSTR key;
        LPCWSTR want;
    };
    auto utf16 = [](const std::wstring& text) {
        std::string bytes = "\xFF\xFE";
        for (wchar_t c : text) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>((c >> 8) & 0xFF);
        }
        return bytes;
    };
    const Row rows[] = {
        {"[a]\nk=caf\xE9 \x80\nx=1\n", L"a", L"k", L"caf\u00E9 \u20AC"}, // Windows-1252, LF
        {"[a]\rk=v1\rx=2\r[b]\rk=v3\r", L"b", L"k", L"v3"},              // CR alone
        {"[a]\r\nk=last", L"a", L"k", L"last"},                          // no line end at the end
        {utf16(L"[b]\r\nk=\u4E2D\u00E9\r\n"), L"B", L"K", L"\u4E2D\u00E9"},
        {utf16(L"[Gr\u00F6\u00DFe]\r\n\u00C4rger=\u0100\r\n"), L"GR\u00D6\u00DFE", L"\u00E4rger",
         L"\u0100"},
        {utf16(L"[b]\r\n\u3000wide\u2003=\u3000x\r\n"), L"b", L"\u3000wide\u2003", L"\u3000x"},
        // UTF-8 with its mark is ANSI text: the mark spoils the first header.
        {"\xEF\xBB\xBF[UPDATEINFO]\r\nTITLE=caf\xC3\xA9\r\n", L"UPDATEINFO", L"TITLE", L"dflt"},
        {"\xEF\xBB\xBF[UPDATEINFO]\r\nTITLE=caf\xC3\xA9\r\n", L"", L"TITLE", L"caf\u00C3\u00A9"},
        {"\xFF\xFE", L"a", L"k", L"dflt"},
        {"", L"a", L"k", L"dflt"},
    };
    for (const Row& row : rows) {
        WriteIni(row.bytes);
        EXPECT_EQ(Value(row.section, row.key), std::wstring(row.want))
            << testing::PrintToString(row.bytes);
    }
}

TEST_F(ProfileTest, IntegersAreReadAsRtlUnicodeStringToIntegerReadsThem) {
    WriteIni("[n]\r\n"
             "dec=12\r\n"
             "neg= -5\r\n"
             "hex=0x1F\r\n"
             "HEXX=0X1F\r\n"
             "oct=0o17\r\n"
             "OCTO=0O17\r\n"
             "bin=0b101\r\n"
             "badbin=0b2\r\n"
             "trail=12abc\r\n"
             "word=abc\r\n"
             "empty=\r\n"
             "plus=+1\r\n"
             "plusminus=+-1\r\n"
             "wrap=4294967297\r\n"
             "neghex=-0x10\r\n"
             "quoted=\"42\"\r\n"
             "ctl=\x01"
             "5\r\n"
             "digits29=00000000000000000000000000012\r\n"
             "digits30=000000000000000000000000000012\r\n"
             "[numeric names]\r\n"
             "12=first key\r\n"
             "[nokeys]\r\n");
    struct Row {
        LPCWSTR section;
        LPCWSTR key;
        INT def;
        UINT want;
    };
    const Row rows[] = {
        {L"n", L"dec", 99, 12},
        {L"N", L" DEC ", 99, 12},
        {L"n", L"neg", 99, 4294967291u},
        {L"n", L"hex", 99, 31},
        {L"n", L"HEXX", 99, 0}, // prefixes in lower case only
        {L"n", L"oct", 99, 15},
        {L"n", L"OCTO", 99, 0},
        {L"n", L"bin", 99, 5},
        {L"n", L"badbin", 99, 0},
        {L"n", L"trail", 99, 12},
        {L"n", L"word", 99, 0},
        {L"n", L"empty", 99, 99}, // an empty value gives the default
        {L"n", L"empty", -7, 4294967289u},
        {L"n", L"plus", 99, 1},
        {L"n", L"plusminus", 99, 0},
        {L"n", L"wrap", 99, 1},
        {L"n", L"neghex", 99, 4294967280u},
        {L"n", L"quoted", 99, 42},
        {L"n", L"ctl", 99, 5},       // characters up to the space are skipped
        {L"n", L"digits29", 99, 12}, // read through a buffer of 30 characters
        {L"n", L"digits30", 99, 1},
        {L"n", L"missing", 3, 3},
        {L"n", L"missing", -1, 4294967295u},
        {L"missing", L"dec", 5, 5},
        {L"n", nullptr, 99, 0},              // the key list: "dec" ...
        {L"numeric names", nullptr, 99, 12}, // ... "12"
        {L"nokeys", nullptr, 99, 99},
        {nullptr, L"dec", 99, 0}, // the section list: "n" ...
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Int(row.section, row.key, row.def), row.want)
            << (row.section ? testing::PrintToString(std::wstring(row.section)) : "NULL") << " "
            << (row.key ? testing::PrintToString(std::wstring(row.key)) : "NULL");
    }
    fs::remove(root + "/test.ini");
    EXPECT_EQ(Int(L"n", L"dec", 3), 3u);
}

TEST_F(ProfileTest, AFileOpenWithoutReadSharingReadsAsMissing) {
    WriteIni("[s]\r\nk=v\r\n");
    EXPECT_EQ(Value(L"s", L"k"), L"v"); // kept, yet the sharing is checked on every call
    HANDLE h = CreateFileW(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Value(L"s", L"k"), L"dflt");
    CloseHandle(h);
    EXPECT_EQ(Value(L"s", L"k"), L"v");
}

TEST_F(ProfileTest, NamesWithoutAFolderAndThingsThatAreNoFilesReadAsMissing) {
    WriteIni("[s]\r\nk=v\r\n");
    ASSERT_EQ(mkfifo((root + "/fifo.ini").c_str(), 0600), 0);
    fs::create_directory(root + "/folder.ini");
    WCHAR buffer[16];
    for (const std::wstring& file :
         {std::wstring(L"test.ini"), WindowsForm(root + "/fifo.ini"),
          WindowsForm(root + "/folder.ini"), std::wstring(L"\\\\.\\C:")}) {
        EXPECT_EQ(GetPrivateProfileStringW(L"s", L"k", L"d", buffer, 16, file.c_str()), 1u);
        EXPECT_EQ(std::wstring(buffer), L"d") << testing::PrintToString(file);
    }
    EXPECT_EQ(GetPrivateProfileStringW(L"s", L"k", L"d", buffer, 16, nullptr), 1u);
}

// The kept form follows the file.
TEST_F(ProfileTest, ChangesToTheFileAreSeen) {
    WriteIni("[s]\r\nk=v1\r\n");
    EXPECT_EQ(Value(L"s", L"k"), L"v1");
    WriteIni("[s]\r\nk=v2\r\n"); // same size, within the same file time step
    EXPECT_EQ(Value(L"s", L"k"), L"v2");
    WriteIni("[s]\r\nk=longer\r\n");
    EXPECT_EQ(Value(L"s", L"k"), L"longer");

    // A file that is long settled and then changed in place, its size and time put back.
    AgeFile("test.ini");
    EXPECT_EQ(Value(L"s", L"k"), L"longer");
    struct stat before;
    ASSERT_EQ(stat((root + "/test.ini").c_str(), &before), 0);
    WriteIni("[s]\r\nk=LONGER\r\n");
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (root + "/test.ini").c_str(), times, 0), 0);
    EXPECT_EQ(Value(L"s", L"k"), L"LONGER"); // the change time gives it away

    // Another file put in its place, another name, and the file gone.
    WriteFile("other.ini", "[s]\r\nk=other\r\n");
    ASSERT_EQ(rename((root + "/other.ini").c_str(), (root + "/test.ini").c_str()), 0);
    EXPECT_EQ(Value(L"s", L"k"), L"other");
    WriteFile("second.ini", "[s]\r\nk=second\r\n");
    WCHAR buffer[16];
    GetPrivateProfileStringW(L"s", L"k", L"d", buffer, 16,
                             WindowsForm(root + "/second.ini").c_str());
    EXPECT_EQ(std::wstring(buffer), L"second");
    EXPECT_EQ(Value(L"s", L"k"), L"other");
    fs::remove(root + "/test.ini");
    EXPECT_EQ(Value(L"s", L"k"), L"dflt");
}

TEST_F(ProfileTest, ManyCallsOnOneFileParseItOnce) {
    WriteIni("[UPDATEINFO]\r\nTITLE=46 00\r\nPowerCtrl=1\r\n[NandMap]\r\nA_1=fw.bin\r\n");
    EXPECT_EQ(Value(L"UPDATEINFO", L"TITLE"), L"46 00");
    unsigned long long parses = zxposix::ProfileParseCount();
    for (int i = 0; i < 20; ++i) { // fresh: read and compared each time, not parsed
        EXPECT_EQ(Int(L"UPDATEINFO", L"PowerCtrl", 0), 1u);
        EXPECT_EQ(Value(L"NandMap", L"A_1"), L"fw.bin");
    }
    AgeFile("test.ini");
    EXPECT_EQ(Value(L"UPDATEINFO", L"TITLE"), L"46 00");
    for (int i = 0; i < 20; ++i) { // settled: taken on the file's identity alone
        EXPECT_EQ(Int(L"UPDATEINFO", L"PowerCtrl", 0), 1u);
    }
    EXPECT_EQ(zxposix::ProfileParseCount(), parses);
}

// The dialog thread and the update worker read the same file while it may be replaced: every
// answer is one of the file's versions, whole.
TEST_F(ProfileTest, ThreadsReadWhileTheFileChanges) {
    const std::string versions[] = {"[s]\r\nk=first version\r\nn=1\r\n",
                                    "[s]\r\nk=second\r\nn=2\r\n"};
    WriteIni(versions[0]);
    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    auto reader = [&] {
        WCHAR buffer[64];
        for (int i = 0; i < 2000; ++i) {
            GetPrivateProfileStringW(L"s", L"k", L"", buffer, 64, ini.c_str());
            std::wstring k = buffer;
            UINT n = GetPrivateProfileIntW(L"s", L"n", 0, ini.c_str());
            if ((k != L"first version" && k != L"second") || (n != 1 && n != 2)) {
                ++wrong;
            }
        }
    };
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            std::string temp = root + "/next.ini";
            {
                std::ofstream out(temp, std::ios::binary | std::ios::trunc);
                out << versions[i % 2];
            }
            rename(temp.c_str(), (root + "/test.ini").c_str());
        }
    });
    std::thread first(reader);
    std::thread second(reader);
    first.join();
    second.join();
    stop = true;
    writer.join();
    EXPECT_EQ(wrong, 0);
}

// Two threads reading two files in turn replace the kept form on almost every call.
TEST_F(ProfileTest, ThreadsReadingTwoFilesInTurn) {
    WriteFile("one.ini", "[s]\r\nk=one\r\n");
    WriteFile("two.ini", "[s]\r\nk=two\r\n");
    const std::wstring files[] = {WindowsForm(root + "/one.ini"), WindowsForm(root + "/two.ini")};
    std::atomic<int> wrong{0};
    auto reader = [&](int first) {
        WCHAR buffer[16];
        for (int i = 0; i < 3000; ++i) {
            int which = (first + i) % 2;
            GetPrivateProfileStringW(L"s", L"k", L"", buffer, 16, files[which].c_str());
            if (std::wstring(buffer) != (which == 0 ? L"one" : L"two")) {
                ++wrong;
            }
        }
    };
    std::thread a(reader, 0);
    std::thread b(reader, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
