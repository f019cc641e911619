// Opening archives through the file functions on the platform's file API: wide paths with
// non-ASCII names, the file shared for reading only while open and closed afterwards, 64-bit
// positions, and the paths that do not open.
#include "package/zip_reader.h"
#include "tests/package/test_support.h"
#include "tools/zxpkg/zip_writer.h"

#include <fstream>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;

zxpkg::ZipInput Entry(const std::string& name, const std::string& data) {
    zxpkg::ZipInput e;
    e.name = name;
    e.data = std::vector<unsigned char>(data.begin(), data.end());
    return e;
}

// The wide form of a UTF-8 path, with '\' separators as the program writes them.
std::wstring WindowsPath(const fs::path& p) {
    const std::string utf8 = p.string();
    std::wstring w(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    for (wchar_t& c : w) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return w;
}

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Opens the archive, checks its entry count and extracts its entries into out in the given
// order (a later entry first makes minizip seek backwards).
void ExtractInOrder(const fs::path& zip, const fs::path& out, std::vector<uint32_t> order) {
    fs::create_directories(out);
    ZipReader reader;
    ASSERT_EQ(ZipOpenArchive(&reader, WindowsPath(zip).c_str()), 1);
    ZipSetBaseFolder(&reader, WindowsPath(out).c_str());
    EXPECT_EQ(ZipEntryCount(&reader), order.size());
    for (uint32_t index : order) {
        EXPECT_EQ(ZipExtractEntry(&reader, index), 1) << index;
    }
    ZipCloseArchive(&reader);
}

TEST_F(PackageTest, ArchiveUnderANonAsciiPathOpensAndExtracts) {
    const fs::path folder = dir_ / u8"Pakete äöü ß 日本";
    fs::create_directories(folder);
    const fs::path zip = folder / u8"Firmware-é.zip";
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), {Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"),
                                             Entry("fw.bin", "FIRMWARE")}),
              "");
    const fs::path out = dir_ / u8"Ausgabe ø";
    ExtractInOrder(zip, out, {0, 1});
    EXPECT_EQ(ReadText(out / "ReflashInfo.ini"), "[UPDATEINFO]\r\n");
    EXPECT_EQ(ReadText(out / "fw.bin"), "FIRMWARE");
}

// Open, the archive is shared for reading only (it cannot be deleted); closed, its file is free.
TEST_F(PackageTest, ArchiveFileIsSharedForReadingWhileOpenAndClosedAfterwards) {
    const fs::path zip = dir_ / "p.zip";
    ASSERT_EQ(zxpkg::WriteZip(zip.string(), {Entry("a.txt", "A")}), "");
    const std::wstring path = WindowsPath(zip);
    ZipReader reader;
    ASSERT_EQ(ZipOpenArchive(&reader, path.c_str()), 1);
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE); // another reader is let in
    if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
    }
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ZipCloseArchive(&reader);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// An archive behind 5 GiB of other data (a sparse file): its directory and entries lie beyond
// 4 GiB, so every seek and tell needs the high half of the position.
TEST_F(PackageTest, ArchiveBeyondFourGibibytesIsRead) {
    const fs::path small = dir_ / "small.zip";
    ASSERT_EQ(zxpkg::WriteZip(small.string(), {Entry("a.txt", "first"), Entry("b.txt", "second")}),
              "");
    const std::vector<uint8_t> bytes = zxtest::ReadBytes(small);
    const fs::path big = dir_ / "big.zip";
    const std::uintmax_t prefix = 5ull << 30;
    { std::ofstream outFile(big, std::ios::binary); }
    fs::resize_file(big, prefix);
    {
        std::fstream f(big, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(prefix));
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path out = dir_ / "out";
    ExtractInOrder(big, out, {1, 0});
    EXPECT_EQ(ReadText(out / "a.txt"), "first");
    EXPECT_EQ(ReadText(out / "b.txt"), "second");
}

TEST_F(PackageTest, PathsThatDoNotOpenAnArchive) {
    zxtest::WriteText(dir_ / "text.zip", "not a ZIP archive at all");
    fs::create_directories(dir_ / "folder.zip");
    const std::wstring cases[] = {
        L"",
        WindowsPath(dir_ / "missing.zip"),
        WindowsPath(dir_ / "text.zip"),
        WindowsPath(dir_ / "folder.zip"),
    };
    for (const std::wstring& path : cases) {
        SCOPED_TRACE(zxtest::N(path));
        ZipReader reader;
        EXPECT_EQ(ZipOpenArchive(&reader, path.c_str()), 0);
        EXPECT_EQ(ZipEntryCount(&reader), 0u);
    }
    // nothing is left open on the file that is not an archive
    EXPECT_TRUE(DeleteFileW(WindowsPath(dir_ / "text.zip").c_str()));
}

} // namespace
