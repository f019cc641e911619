// The working folder is this run's own: names already taken in the temp folder are never
// reused or written through, the clean-up removes only what the run extracted, a temp path
// that does not fit refuses the start, names that Windows folds together do not replace each
// other, and archives that would expand past the limits are refused whole.
#include "package/package_files.h"
#include "platform/posix/control.h"
#include "tests/package/test_support.h"
#include "tools/zxpkg/zip_writer.h"

#include <random>
#include <wchar.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;
using zxtest::W;

zxpkg::ZipInput Entry(const std::string& name, const std::string& data) {
    zxpkg::ZipInput e;
    e.name = name;
    e.data.assign(data.begin(), data.end());
    return e;
}

std::string Noise(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, 0);
    for (char& c : out) {
        c = static_cast<char>(random() & 0xFF);
    }
    return out;
}

std::string ReadText(const fs::path& p) {
    std::vector<uint8_t> bytes = zxtest::ReadBytes(p);
    return std::string(bytes.begin(), bytes.end());
}

// "C:" and the path with backslashes, as the platform reports Linux paths.
std::wstring WindowsForm(const fs::path& p) {
    std::wstring out = L"C:" + W(p.string());
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        out.push_back(e.path().lexically_relative(root).generic_string() +
                      (e.is_directory() ? "/" : ""));
    }
    std::sort(out.begin(), out.end());
    return out;
}

class WorkingFolderTest : public PackageTest {
protected:
    void SetUp() override {
        PackageTest::SetUp();
        temp_ = dir_ / "temp";
        fs::create_directories(temp_);
        setenv("TMPDIR", temp_.c_str(), 1);
        speed_ = zxposix::GetClockSpeed();
        // The tick count stands still for the test: a thousand seconds per millisecond.
        zxposix::SetClockSpeed(1e-6);
    }
    void TearDown() override {
        zxposix::SetClockSpeed(speed_);
        zxposix::RegisterResource(L"FWPACKAGEZIP", 1000, "", 0);
        unsetenv("TMPDIR");
        PackageTest::TearDown();
    }
    void Embed(const std::vector<zxpkg::ZipInput>& entries) {
        fs::path zip = dir_ / "embedded.zip";
        ASSERT_EQ(zxpkg::WriteZip(zip.string(), entries), "");
        package_ = zxtest::ReadBytes(zip);
        zxposix::RegisterResource(L"FWPACKAGEZIP", 1000, package_.data(), package_.size());
    }
    fs::path temp_;
    double speed_ = 1.0;
    std::vector<uint8_t> package_;
};

TEST_F(WorkingFolderTest, NamesTakenInTheTempFolderAreNeitherReusedNorWrittenThrough) {
    Embed({Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"), Entry("img.fw", "IMAGE")});
    fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    zxtest::WriteText(dir_ / "victim.bin", "VICTIM");
    uint64_t tick = GetTickCount64();
    fs::path root = temp_ / "Reflash";
    fs::create_directories(root / std::to_string(tick));
    zxtest::WriteText(root / std::to_string(tick) / "ReflashInfo.ini", "[planted]");
    zxtest::WriteText(root / std::to_string(tick) / "keep.txt", "KEEP");
    fs::create_directory_symlink(outside, root / std::to_string(tick + 1));
    zxtest::WriteText(root / std::to_string(tick + 2), "a file");
    fs::create_symlink(dir_ / "victim.bin", temp_ / "~ReleasePackage.a");

    ASSERT_TRUE(PreparePackage());
    std::wstring working = GetAppState()->WorkingFolder;
    EXPECT_EQ(working, WindowsForm(root / std::to_string(tick + 3)));
    EXPECT_EQ(Tree(root / std::to_string(tick + 3)),
              (std::vector<std::string>{"ReflashInfo.ini", "img.fw"}));
    EXPECT_EQ(ReadText(dir_ / "victim.bin"), "VICTIM");
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp_ / "~ReleasePackage.a")));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(ReadText(root / std::to_string(tick) / "ReflashInfo.ini"), "[planted]");

    CleanUpWorkingFolder(GetAppState()->WorkingFolder);
    EXPECT_FALSE(fs::exists(root / std::to_string(tick + 3)));
    EXPECT_EQ(Tree(root / std::to_string(tick)),
              (std::vector<std::string>{"ReflashInfo.ini", "keep.txt"}));
    EXPECT_EQ(ReadText(root / std::to_string(tick + 2)), "a file");
    EXPECT_TRUE(fs::is_symlink(root / std::to_string(tick + 1)));
}

TEST_F(WorkingFolderTest, AReflashFolderThatIsALinkRefusesTheStart) {
    Embed({Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"), Entry("img.fw", "IMAGE")});
    fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, temp_ / "Reflash");

    EXPECT_FALSE(PreparePackage());
    EXPECT_EQ(GetAppState()->WorkingFolder[0], 0);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(fs::is_symlink(temp_ / "Reflash"));
}

TEST_F(WorkingFolderTest, TwoRunsInOneMillisecondGetTwoFolders) {
    Embed({Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n")});
    uint64_t tick = GetTickCount64();
    ASSERT_TRUE(PreparePackage());
    std::wstring first = GetAppState()->WorkingFolder;
    ASSERT_TRUE(PreparePackage());
    std::wstring second = GetAppState()->WorkingFolder;
    EXPECT_EQ(first, WindowsForm(temp_ / "Reflash" / std::to_string(tick)));
    EXPECT_EQ(second, WindowsForm(temp_ / "Reflash" / std::to_string(tick + 1)));
    CleanUpWorkingFolder(second.c_str());
    EXPECT_TRUE(fs::exists(temp_ / "Reflash" / std::to_string(tick) / "ReflashInfo.ini"));
    EXPECT_FALSE(fs::exists(temp_ / "Reflash" / std::to_string(tick + 1)));
}

TEST_F(WorkingFolderTest, TheCleanUpRemovesOnlyWhatThisRunExtracted) {
    Embed({Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n"), Entry("img.fw", "IMAGE")});
    ASSERT_TRUE(PreparePackage());
    fs::path working = temp_ / "Reflash" / std::to_string(GetTickCount64());
    ASSERT_TRUE(fs::is_directory(working));
    zxtest::WriteText(dir_ / "victim.bin", "VICTIM");
    zxtest::WriteText(working / "planted.txt", "PLANTED");
    fs::create_symlink(dir_ / "victim.bin", working / "link");
    CleanUpWorkingFolder(GetAppState()->WorkingFolder);
    EXPECT_EQ(Tree(working), (std::vector<std::string>{"link", "planted.txt"}));
    EXPECT_EQ(ReadText(dir_ / "victim.bin"), "VICTIM");
}

TEST_F(WorkingFolderTest, LinksUnderTheFolderAreNotWrittenThrough) {
    fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    zxtest::WriteText(dir_ / "victim.bin", "VICTIM");
    fs::path out = dir_ / "out";
    fs::create_directories(out);
    fs::create_directory_symlink(outside, out / "sub");
    fs::create_symlink(dir_ / "victim.bin", out / "a.fw");
    fs::path zip = dir_ / "p.zip";
    ASSERT_EQ(zxpkg::WriteZip(zip.string(),
                              {Entry("a.fw", "NEW"), Entry("sub/x.fw", "NEW"), Entry("b.fw", "B")}),
              "");
    EXPECT_EQ(UnzipToFolder(W(zip.string()).c_str(), W(out.string()).c_str(), FALSE), 1);
    EXPECT_EQ(ReadText(dir_ / "victim.bin"), "VICTIM");
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(ReadText(out / "b.fw"), "B");

    // A working folder that is itself a link receives nothing.
    fs::create_directory_symlink(outside, dir_ / "linked");
    EXPECT_EQ(UnzipToFolder(W(zip.string()).c_str(), W((dir_ / "linked").string()).c_str(), FALSE),
              -1);
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(WorkingFolderTest, ATempPathThatDoesNotFitRefusesTheStart) {
    Embed({Entry("ReflashInfo.ini", "[UPDATEINFO]\r\n")});
    // "C:" and the folder, then one trailing backslash: 257 characters with it, so the temp
    // folder fits the 260-character buffer but its Reflash folder does not; and one that does
    // not fit the buffer at all.
    std::string base = dir_.string();
    for (size_t length : {257u, 300u}) {
        std::string folder = base + "/" + std::string(length - 3 - base.size() - 1, 'T');
        ASSERT_EQ(W(folder).size() + 3, length);
        setenv("TMPDIR", folder.c_str(), 1);
        EXPECT_FALSE(PreparePackage()) << length;
        EXPECT_EQ(GetAppState()->WorkingFolder[0], 0);
        EXPECT_EQ(GetAppState()->ConfigPath[0], 0);
        EXPECT_FALSE(fs::exists("/Reflash"));
        EXPECT_FALSE(fs::exists(fs::symlink_status("/~ReleasePackage.a")));
        EXPECT_FALSE(fs::exists(fs::path(folder)));
    }
}

TEST_F(WorkingFolderTest, NamesThatWindowsFoldsTogetherKeepTheFirst) {
    fs::path zip = dir_ / "fold.zip";
    ASSERT_EQ(zxpkg::WriteZip(
                  zip.string(),
                  {Entry("Image.fw", "1"), Entry("IMAGE.FW", "2"), Entry("image.fw.", "3"),
                   Entry("image.fw ", "4"), Entry("image.fw. .", "5"), Entry("sub/A.bin", "6"),
                   Entry("SUB/a.bin", "7"), Entry("Sub./a.bin", "8"), Entry("COM\xC2\xB9.txt", "9"),
                   Entry("lpt\xC2\xB2", "10"), Entry("com\xC2\xB3", "11"), Entry("b.fw", "12")}),
              "");
    fs::path out = dir_ / "out";
    EXPECT_EQ(UnzipToFolder(W(zip.string()).c_str(), W(out.string()).c_str(), FALSE), 3);
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"Image.fw", "b.fw", "sub/", "sub/A.bin"}));
    EXPECT_EQ(ReadText(out / "Image.fw"), "1");
    EXPECT_EQ(ReadText(out / "sub/A.bin"), "6");
}

TEST(EntryNameTest, FoldedForms) {
    struct Case {
        const wchar_t* name;
        const wchar_t* folded;
    };
    for (const Case& c : std::vector<Case>{{L"Image.fw", L"IMAGE.FW"},
                                           {L"image.fw. .", L"IMAGE.FW"},
                                           {L"sub./a.b ", L"SUB\\A.B"},
                                           {L"a\\b", L"A\\B"},
                                           {L"\u00e9t\u00e9", L"\u00c9T\u00c9"}}) {
        WCHAR folded[260];
        ASSERT_TRUE(FoldEntryName(c.name, folded, 260)) << zxtest::N(c.name);
        EXPECT_EQ(std::wstring(folded), c.folded) << zxtest::N(c.name);
    }
    WCHAR small[4];
    EXPECT_FALSE(FoldEntryName(L"abcd", small, 4));
    for (const wchar_t* device :
         {L"COM\u00b9", L"lpt\u00b2.txt", L"Com\u00b3", L"sub\\LPT\u00b9"}) {
        EXPECT_FALSE(IsSafeRelativeName(device)) << zxtest::N(device);
    }
}

// Central directory records of an archive: the offsets of their compressed and uncompressed
// size fields.
std::vector<size_t> CentralRecords(const std::vector<uint8_t>& bytes) {
    std::vector<size_t> out;
    for (size_t i = 0; i + 46 <= bytes.size(); ++i) {
        if (bytes[i] == 0x50 && bytes[i + 1] == 0x4B && bytes[i + 2] == 0x01 &&
            bytes[i + 3] == 0x02) {
            out.push_back(i);
        }
    }
    return out;
}

uint32_t GetLe32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
           static_cast<uint32_t>(b[at + 3]) << 24;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Archives whose central directory claims sizes past the limits are refused before anything is
// written; at the limits they are unpacked (the claimed entries then fail their own check).
TEST_F(WorkingFolderTest, ArchivesThatWouldExpandPastTheLimitsAreRefused) {
    struct Case {
        const char* what;
        std::vector<zxpkg::ZipInput> entries;
        std::vector<uint32_t> claimed; // uncompressed size per entry; 0 keeps the real one
        bool ratioOfCompressed;        // claimed: compressed size times the value instead
        int written;
    };
    const std::string big = Noise(220000, 1);
    const std::string small = Noise(2000, 2);
    std::vector<Case> cases = {
        {"256 MB in all and a byte",
         {Entry("a.bin", big), Entry("b.bin", big), Entry("c.txt", "c")},
         {209715200u, 58720256u, 0},
         false,
         -1},
        {"256 MB in all",
         {Entry("a.bin", big), Entry("b.bin", big), Entry("c.txt", "c")},
         {209715200u, 58720255u, 0},
         false,
         1},
        {"expands 1001 times",
         {Entry("bomb.bin", small), Entry("c.txt", "c")},
         {1001u, 0},
         true,
         -1},
        {"expands 1000 times",
         {Entry("bomb.bin", small), Entry("c.txt", "c")},
         {1000u, 0},
         true,
         1},
        {"ReflashInfo.ini of 1 MB and a byte",
         {Entry("reflashinfo.INI", small), Entry("c.txt", "c")},
         {1048577u, 0},
         false,
         -1},
        {"ReflashInfo.ini of 1 MB",
         {Entry("ReflashInfo.ini", small), Entry("c.txt", "c")},
         {1048576u, 0},
         false,
         1},
    };
    for (const Case& c : cases) {
        fs::path zip = dir_ / "bomb.zip";
        ASSERT_EQ(zxpkg::WriteZip(zip.string(), c.entries), "");
        std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
        std::vector<size_t> records = CentralRecords(bytes);
        ASSERT_EQ(records.size(), c.entries.size()) << c.what;
        for (size_t i = 0; i < records.size(); ++i) {
            if (c.claimed[i] != 0) {
                uint32_t compressed = GetLe32(bytes, records[i] + 20);
                PutLe32(bytes, records[i] + 24,
                        c.ratioOfCompressed ? compressed * c.claimed[i] : c.claimed[i]);
            }
        }
        zxtest::WriteBytes(zip, bytes.data(), bytes.size());
        fs::path out = dir_ / "out";
        fs::remove_all(out);
        EXPECT_EQ(UnzipToFolder(W(zip.string()).c_str(), W(out.string()).c_str(), FALSE), c.written)
            << c.what;
        EXPECT_EQ(fs::exists(out / "c.txt"), c.written > 0) << c.what;
    }
}

} // namespace
