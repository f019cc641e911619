#include "package/package_files.h"
#include "package/zip_reader.h"
#include "platform/posix/control.h"
#include "tests/package/test_support.h"
#include "tools/zxpkg/zip_writer.h"

#include <wchar.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;
using zxtest::W;

std::vector<unsigned char> Bytes(const std::string& s) {
    return std::vector<unsigned char>(s.begin(), s.end());
}

zxpkg::ZipInput Entry(const std::string& name, const std::string& data, unsigned long mode = 0) {
    zxpkg::ZipInput e;
    e.name = name;
    e.data = Bytes(data);
    e.unixMode = mode;
    return e;
}

// Every file below root, as '/' separated relative names, sorted.
std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        out.push_back(fs::relative(e.path(), root).generic_string() +
                      (e.is_directory() ? "/" : ""));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(PackageTest, SmallFileOperations) {
    std::wstring file = W((dir_ / "a.bin").string());
    EXPECT_FALSE(PathExists(L""));
    EXPECT_FALSE(PathExists(file.c_str()));
    EXPECT_EQ(ReadWholeFile(file.c_str(), 0, nullptr), 0u);
    EXPECT_TRUE(WriteWholeFile(file.c_str(), "hello", 5));
    EXPECT_TRUE(PathExists(file.c_str()));
    EXPECT_TRUE(PathExists(W(dir_.string()).c_str()));
    EXPECT_TRUE(PathExists(W((dir_ / "*.bin").string()).c_str()));
    EXPECT_EQ(ReadWholeFile(file.c_str(), 0, nullptr), 5u);
    char buf[8] = {};
    EXPECT_EQ(ReadWholeFile(file.c_str(), 3, buf), 3u);
    EXPECT_STREQ(buf, "hel");
    EXPECT_TRUE(WriteWholeFile(file.c_str(), "xy", 2)); // replaced, not overwritten in place
    EXPECT_EQ(ReadWholeFile(file.c_str(), 0, nullptr), 2u);
    EXPECT_TRUE(WriteWholeFile(file.c_str(), "", 0));
    EXPECT_EQ(ReadWholeFile(file.c_str(), 0, nullptr), 0u); // empty reads as 0 too
}

TEST_F(PackageTest, TempFolderLosesOneTrailingBackslash) {
    setenv("TMPDIR", dir_.c_str(), 1);
    WCHAR platform[260];
    ASSERT_GT(GetTempPathW(260, platform), 0u);
    ASSERT_EQ(platform[wcslen(platform) - 1], L'\\');
    WCHAR temp[260];
    GetTempFolder(temp, 260);
    EXPECT_EQ(std::wstring(temp) + L"\\", std::wstring(platform));
    unsetenv("TMPDIR");
}

TEST_F(PackageTest, UnsafeEntriesAreSkippedAndTheOthersExtracted) {
    fs::path zip = dir_ / "p.zip";
    std::vector<zxpkg::ZipInput> entries = {
        Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"),
        Entry("../evil1.txt", "x"),
        Entry("..\\evil2.txt", "x"),
        Entry("sub/../../evil3.txt", "x"),
        Entry("/tmp/evil4.txt", "x"),
        Entry("\\evil5.txt", "x"),
        Entry("C:/evil6.txt", "x"),
        Entry("C:evil7.txt", "x"),
        Entry("sub/.../evil8.txt", "x"),
        Entry("wild*.txt", "x"),
        Entry("link", "/etc/passwd", 0120777),
        Entry("sub/deeper/image.fw", "IMG"),
        Entry("./dot.txt", "dot"),
        Entry("..name.txt", "fine"),
    };
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), entries), "");
    fs::path out = dir_ / "work" / "w";
    fs::create_directories(dir_ / "work");
    int n = UnzipToFolder(W(zip.string()).c_str(), W(out.string()).c_str(), FALSE);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(Tree(dir_ / "work"),
              (std::vector<std::string>{"w/", "w/..name.txt", "w/ReflashInfo.ini", "w/dot.txt",
                                        "w/sub/", "w/sub/deeper/", "w/sub/deeper/image.fw"}));
    EXPECT_EQ(zxtest::ReadBytes(out / "sub/deeper/image.fw"), Bytes("IMG"));
    EXPECT_TRUE(fs::exists(zip)); // kept without the delete flag
    for (const char* evil : {"evil1.txt", "evil2.txt", "evil3.txt", "evil6.txt", "evil7.txt"}) {
        EXPECT_FALSE(fs::exists(dir_ / evil)) << evil;
        EXPECT_FALSE(fs::exists(dir_ / "work" / evil)) << evil;
    }
    EXPECT_FALSE(fs::exists("/tmp/evil4.txt"));
}

TEST(SafeNameTest, RelativeNamesThatStayInside) {
    for (const wchar_t* ok :
         {L"a.fw", L"sub\\a.fw", L"sub/a.fw", L".\\a", L"..a", L"a..", L"sub\\", L"a b.fw"}) {
        EXPECT_TRUE(IsSafeRelativeName(ok)) << zxtest::N(ok);
    }
    for (const wchar_t* bad :
         {L"", L"..", L"..\\a", L"a\\..", L"a/../b", L"\\a", L"/a", L"\\\\server\\x", L"C:\\a",
          L"C:a", L"a:b", L"...", L". .", L"a\\ ..\\b", L"*", L"a?.fw", L"a|b", L"a\x01"}) {
        EXPECT_FALSE(IsSafeRelativeName(bad)) << zxtest::N(bad);
    }
}

TEST(SafeNameTest, NamesThatWindowsOpensAsDevices) {
    for (const wchar_t* device :
         {L"CON", L"con", L"Nul", L"aux.txt", L"PRN.fw.bin", L"COM1", L"lpt9.ini", L"CON ",
          L"nul .txt", L"sub\\AUX", L"sub/com3.fw", L"CONIN$", L"conout$.x"}) {
        EXPECT_FALSE(IsSafeRelativeName(device)) << zxtest::N(device);
    }
    for (const wchar_t* ok : {L"CONFIG.ini", L"cons", L"COM0", L"COM10", L"LPT", L"xnul",
                              L"null.txt", L"sub\\console.fw", L"a.con"}) {
        EXPECT_TRUE(IsSafeRelativeName(ok)) << zxtest::N(ok);
    }
}

// An archive whose directory claims far more entries than it holds is read up to its last
// real entry, not walked again for every claimed one.
TEST_F(PackageTest, ArchiveClaimingMoreEntriesThanItHolds) {
    fs::path zip = dir_ / "claims.zip";
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), {Entry("a.txt", "A"), Entry("b.txt", "B")}), "");
    std::vector<unsigned char> bytes = zxtest::ReadBytes(zip);
    ASSERT_GE(bytes.size(), 22u);
    size_t end = bytes.size() - 22; // end of central directory record, no comment
    ASSERT_EQ(bytes[end], 0x50);
    ASSERT_EQ(bytes[end + 1], 0x4B);
    ASSERT_EQ(bytes[end + 2], 0x05);
    ASSERT_EQ(bytes[end + 3], 0x06);
    for (size_t at : {end + 8, end + 10}) { // entries on this disk, entries in all
        bytes[at] = 0xFF;
        bytes[at + 1] = 0xFF;
    }
    {
        std::ofstream out(zip, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::wstring wzip = W(zip.string());
    ZipReader reader;
    ASSERT_EQ(ZipOpenArchive(&reader, wzip.c_str()), 1);
    EXPECT_EQ(ZipEntryCount(&reader), 65535u); // as claimed
    ZipEntry entry;
    EXPECT_EQ(ZipGetEntry(&reader, 1, &entry), 1);
    EXPECT_EQ(ZipGetEntry(&reader, 2, &entry), 0);
    EXPECT_EQ(ZipEntryCount(&reader), 2u); // the walk ended at the last real entry
    EXPECT_EQ(ZipGetEntry(&reader, 60000, &entry), 0);
    ZipCloseArchive(&reader);

    fs::path out = dir_ / "claims";
    EXPECT_EQ(UnzipToFolder(wzip.c_str(), W(out.string()).c_str(), FALSE), 2);
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(PackageTest, CorruptEntryIsNotLeftBehind) {
    fs::path zip = dir_ / "c.zip";
    std::string payload(5000, 'Q');
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), {Entry("good.txt", "ok"), Entry("bad.bin", payload)}),
              "");
    std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
    // Flip a byte inside the second entry's compressed data (after its local header).
    std::string all(bytes.begin(), bytes.end());
    size_t local = all.find("bad.bin");
    ASSERT_NE(local, std::string::npos);
    bytes[local + 7 + 2] ^= 0x55;
    zxtest::WriteBytes(zip, bytes.data(), bytes.size());
    fs::path out = dir_ / "out";
    UnzipToFolder(W(zip.string()).c_str(), W(out.string()).c_str(), TRUE);
    EXPECT_TRUE(fs::exists(out / "good.txt"));
    EXPECT_FALSE(fs::exists(out / "bad.bin"));
    EXPECT_FALSE(fs::exists(zip)); // deleted with the flag
}

TEST_F(PackageTest, NotAnArchiveExtractsNothing) {
    fs::path junk = dir_ / "junk.zip";
    zxtest::WriteText(junk, "this is not a zip archive at all");
    fs::path out = dir_ / "out";
    EXPECT_EQ(UnzipToFolder(W(junk.string()).c_str(), W(out.string()).c_str(), TRUE), -1);
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_FALSE(fs::exists(junk));
}

TEST_F(PackageTest, StartUpExtractsTheResourceIntoANewWorkingFolder) {
    setenv("TMPDIR", dir_.c_str(), 1);
    fs::path zip = dir_ / "pkg.zip";
    ASSERT_EQ(
        zxpkg::WriteZip(zip.string(), {Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"),
                                       Entry("img.fw", "IMAGE"), Entry("docs/readme.txt", "r")}),
        "");
    std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
    zxposix::RegisterResource(L"FWPACKAGEZIP", 1000, bytes.data(), bytes.size());

    ASSERT_TRUE(PreparePackage());
    AppState* s = GetAppState();
    std::wstring first = s->WorkingFolder;
    WCHAR temp[260];
    GetTempFolder(temp, 260);
    std::wstring root = std::wstring(temp) + L"\\Reflash\\";
    ASSERT_EQ(first.compare(0, root.size(), root), 0) << zxtest::N(first);
    std::wstring tick = first.substr(root.size());
    ASSERT_FALSE(tick.empty());
    EXPECT_EQ(tick.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_EQ(std::wstring(s->ConfigPath), first + L"\\ReflashInfo.ini");
    fs::path work = dir_ / "Reflash" / zxtest::N(tick);
    EXPECT_EQ(Tree(work),
              (std::vector<std::string>{"ReflashInfo.ini", "docs/", "docs/readme.txt", "img.fw"}));
    EXPECT_FALSE(fs::exists(dir_ / "~ReleasePackage.a"));

    // At exit the plain files go; the sub-folder keeps the folder in place.
    CleanUpWorkingFolder(first.c_str());
    EXPECT_EQ(Tree(work), (std::vector<std::string>{"docs/", "docs/readme.txt"}));
    EXPECT_TRUE(fs::is_directory(dir_ / "Reflash"));

    // A second run gets its own folder and leaves the first alone.
    ASSERT_TRUE(PreparePackage());
    std::wstring second = s->WorkingFolder;
    EXPECT_NE(second, first);
    EXPECT_TRUE(fs::exists(work / "docs/readme.txt"));
    unsetenv("TMPDIR");
}

TEST_F(PackageTest, CleanUpRemovesAFlatWorkingFolder) {
    fs::path zip = dir_ / "flat.zip";
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), {Entry("ReflashInfo.ini", "x"), Entry("a.fw", "y")}),
              "");
    fs::path work = dir_ / "Reflash" / "123";
    fs::create_directories(dir_ / "Reflash");
    EXPECT_EQ(UnzipToFolder(W(zip.string()).c_str(), W(work.string()).c_str(), FALSE), 2);
    CleanUpWorkingFolder(W(work.string()).c_str());
    EXPECT_FALSE(fs::exists(work));
    EXPECT_TRUE(fs::is_directory(dir_ / "Reflash"));
}

TEST_F(PackageTest, MissingResourceLeavesAnEmptyWorkingFolder) {
    setenv("TMPDIR", dir_.c_str(), 1);
    fs::path work = dir_ / "w";
    ExtractPackage(L"NOSUCHTYPE", 77, W(work.string()).c_str());
    EXPECT_TRUE(fs::is_directory(work));
    EXPECT_TRUE(fs::is_empty(work));
    EXPECT_FALSE(fs::exists(dir_ / "~ReleasePackage.a"));
    unsetenv("TMPDIR");
}

} // namespace
