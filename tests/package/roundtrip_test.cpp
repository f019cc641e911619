// zxpkg image and build, then the program's own path: the resource extracted into a working
// folder, the configuration read, the image found by NAND identity, and the rules applied.
#include "package/image.h"
#include "package/package_config.h"
#include "package/package_files.h"
#include "package/version_rules.h"
#include "platform/posix/control.h"
#include "tests/package/test_support.h"

#include <sys/wait.h>
#include <wchar.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;
using zxtest::W;

// Runs zxpkg with the arguments; its exit code, and its standard output in *out.
int Zxpkg(const std::string& args, std::string* out = nullptr) {
    std::string cmd = std::string(ZXPKG_PATH) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        text.append(buf, n);
    }
    int status = pclose(p);
    if (out != nullptr) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(PackageTest, ImageBuildExtractConfigureSelectAndApplyTheRules) {
    fs::path src = dir_ / "src";
    fs::create_directories(src);
    zxtest::WriteText(src / "ReflashInfo.ini",
                      "[UPDATEINFO]\r\nTITLE=5A 00 58 00\r\nSOCID=0x3C71\r\n"
                      "FWVersion=|041k0207|041k020A|\r\niInternalFWVersionCheckPart=2\r\n"
                      "NEWVERSION=041k020C\r\n[NandMap]\r\n9BC5587130_1=A.fw\r\n"
                      "2CC30832E604_2=B.fw\r\n");
    ASSERT_EQ(Zxpkg("image -o " + (src / "A.fw").string() +
                    " --version-parts 04,1k,02,0C --ftl 0x10203 --checksum crc32c --seed 5"),
              0);
    ASSERT_EQ(Zxpkg("image -o " + (src / "B.fw").string() +
                    " --version-parts 1,2,3,4 --ftl 77 --regions 1-1,2-9,10-10 --seed 6"),
              0);
    fs::path zip = dir_ / "p.zip";
    ASSERT_EQ(Zxpkg("build " + src.string() + " -o " + zip.string()), 0);

    std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
    zxposix::RegisterResource(L"FWPACKAGEZIP", 1000, bytes.data(), bytes.size());
    setenv("TMPDIR", dir_.c_str(), 1);
    PreparePackage();
    unsetenv("TMPDIR");
    AppState* s = GetAppState();
    LoadPackageConfig(s->ConfigPath);
    EXPECT_STREQ(s->Title, L"ZX");
    EXPECT_STREQ(s->NEWVERSION, L"041k020C");

    DiskRecord disk;
    memset(&disk, 0, sizeof(disk));
    const uint8_t ymtc[6] = {0x9B, 0xC5, 0x58, 0x71, 0x30, 0x00};
    memcpy(disk.NandId, ymtc, 6);
    disk.iLun = 1;
    disk.iSocId = 0x3C71;
    wcscpy(disk.FirmwareRev, L"041k020A");
    EXPECT_TRUE(IsDiskEligible(&disk, s->ModelName, s->SOCID));
    EXPECT_TRUE(IsInList(s->FWVersion, disk.FirmwareRev));
    WCHAR image[260];
    ASSERT_TRUE(FindNandMapImage(&disk, image, 260));
    EXPECT_EQ(std::wstring(image), std::wstring(s->WorkingFolder) + L"\\A.fw");

    WCHAR version[64];
    EXPECT_TRUE(
        CheckDrvInfoVersion(L"041k0207", s->iInternalFWVersionCheckPart, image, version, 64));
    EXPECT_STREQ(version, L"041k020C");
    EXPECT_FALSE(CheckDrvInfoVersion(L"041k0207", 4, image, version, 64));
    EXPECT_EQ(ReadImageFtlBuildNumber(image), 0x00010203u);

    DWORD size = 0;
    BYTE* loaded = LoadImageFile(image, &size);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(size, 617u * 4096);
    uint32_t stored = 0;
    ReadStoredImageChecksum(loaded, size, &stored);
    EXPECT_EQ(stored, 0xD398C1BEu); // CRC-32C image checksum for seed 5, computed apart
    EXPECT_EQ(DetectImageChecksumKind(loaded, size), 1);
    std::vector<uint8_t> drive(4096, 0x11);
    PatchImageConfig(loaded, size, drive.data(), s->NEWVERSION);
    EXPECT_EQ(memcmp(loaded + 615 * 4096 + 1064, "041k020C", 8), 0);
    EXPECT_EQ(loaded[615 * 4096], 0x11);
    EXPECT_EQ(DetectImageChecksumKind(loaded, size), 1);
    FreeImageFile(loaded);

    const uint8_t micron[6] = {0x2C, 0xC3, 0x08, 0x32, 0xE6, 0x04};
    memcpy(disk.NandId, micron, 6);
    disk.iLun = 2;
    ASSERT_TRUE(FindNandMapImage(&disk, image, 260));
    EXPECT_TRUE(ReadImageVersion(image, version, 64));
    EXPECT_STREQ(version, L"1.2.3.4");
    EXPECT_EQ(ReadImageFtlBuildNumber(image), 77u);
    loaded = LoadImageFile(image, &size);
    EXPECT_EQ(size, 12u * 4096);
    EXPECT_EQ(DetectImageChecksumKind(loaded, size), 0);
    // zxpkg stored the CRC-32 image checksum (computed apart from this code for seed 6).
    ReadStoredImageChecksum(loaded, size, &stored);
    EXPECT_EQ(stored, 0x9496A996u);
    FreeImageFile(loaded);
    CleanUpWorkingFolder(s->WorkingFolder);
}

TEST_F(PackageTest, ZxpkgImageWritesTheFormat) {
    fs::path f = dir_ / "x.fw";
    ASSERT_EQ(Zxpkg("image -o " + f.string() +
                    " --version-parts 04,1k,02,7 --ftl 0xA1B2C3D4 --config-version 041k0207"),
              0);
    std::vector<uint8_t> b = zxtest::ReadBytes(f);
    ASSERT_EQ(b.size(), 617u * 4096);
    const uint8_t header[40] = {'C',  'M', 'F', 'G', 0,    0, 0, 0, 0,    0, 0, 0, 0, 0,
                                0,    0,   1,   0,   0,    0, 4, 0, 0,    0, 5, 0, 0, 0,
                                0x66, 2,   0,   0,   0x67, 2, 0, 0, 0x67, 2, 0, 0};
    EXPECT_EQ(memcmp(b.data(), header, 40), 0);
    const size_t t = 616 * 4096;
    const uint8_t parts[8] = {'0', '4', '1', 'k', '0', '2', 0, '7'};
    EXPECT_EQ(memcmp(&b[t + 16], parts, 8), 0);
    const uint8_t ftl[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(memcmp(&b[t + 4088], ftl, 4), 0);
    EXPECT_EQ(memcmp(&b[615 * 4096 + 1064], "041k0207", 8), 0);
    // The CRC-32 image checksum, computed apart from this code for the default seed.
    const uint8_t checksum[4] = {0x17, 0xAC, 0x40, 0xD3};
    EXPECT_EQ(memcmp(&b[t + 12], checksum, 4), 0);
    // The same seed gives the same bytes.
    fs::path g = dir_ / "y.fw";
    ASSERT_EQ(Zxpkg("image -o " + g.string() +
                    " --version-parts 04,1k,02,7 --ftl 0xA1B2C3D4 --config-version 041k0207"),
              0);
    EXPECT_EQ(zxtest::ReadBytes(g), b);
}

TEST_F(PackageTest, ZxpkgBuildIsReproducibleAndLeavesLinksOut) {
    fs::path src = dir_ / "src";
    fs::create_directories(src / "sub");
    zxtest::WriteText(src / "ReflashInfo.ini", "[UPDATEINFO]\r\n");
    zxtest::WriteText(src / "sub" / "b.fw", "B");
    fs::create_symlink("/etc/hostname", src / "link.fw");
    std::string out;
    ASSERT_EQ(Zxpkg("build " + src.string() + " -o " + (dir_ / "1.zip").string(), &out), 0);
    EXPECT_NE(out.find("left out link.fw (symbolic link)"), std::string::npos) << out;
    fs::last_write_time(src / "sub" / "b.fw", fs::file_time_type::clock::now());
    ASSERT_EQ(Zxpkg("build " + src.string() + " -o " + (dir_ / "2.zip").string()), 0);
    EXPECT_EQ(zxtest::ReadBytes(dir_ / "1.zip"), zxtest::ReadBytes(dir_ / "2.zip"));
    fs::path work = dir_ / "work";
    EXPECT_EQ(UnzipToFolder(W((dir_ / "1.zip").string()).c_str(), W(work.string()).c_str(), FALSE),
              2);
    EXPECT_TRUE(fs::exists(work / "sub" / "b.fw"));
    EXPECT_FALSE(fs::exists(work / "link.fw"));
    fs::remove(src / "ReflashInfo.ini");
    EXPECT_EQ(Zxpkg("build " + src.string() + " -o " + (dir_ / "3.zip").string()), 1);
}

TEST_F(PackageTest, ZxpkgRefusesBadArguments) {
    std::string o = " -o " + (dir_ / "x.fw").string();
    EXPECT_EQ(Zxpkg(""), 2);
    EXPECT_EQ(Zxpkg("frobnicate"), 2);
    EXPECT_EQ(Zxpkg("image"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --checksum md5"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --version-parts 1,2,3"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --version-parts 1,2,3,abc"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --regions 1-4,5-614"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --regions 1-4,4-614,615-615"), 2); // overlap
    EXPECT_EQ(Zxpkg("image" + o + " --regions 0-4,5-614,615-615"), 2); // header page
    EXPECT_EQ(Zxpkg("image" + o + " --ftl 0x100000000"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --config-version 123456789"), 2);
    EXPECT_EQ(Zxpkg("image" + o + " --bogus"), 2);
    EXPECT_EQ(Zxpkg("build"), 2);
    EXPECT_EQ(Zxpkg("build " + dir_.string()), 2);
    EXPECT_EQ(Zxpkg("check"), 2);
    EXPECT_FALSE(fs::exists(dir_ / "x.fw"));
    for (const char* c : {"image", "build", "check"}) {
        std::string text;
        EXPECT_EQ(Zxpkg(std::string(c) + " --help", &text), 0) << c;
        EXPECT_NE(text.find(std::string("usage: zxpkg ") + c), std::string::npos) << c;
    }
}

TEST_F(PackageTest, ZxpkgCheckPassesTheDemoPackage) {
    std::string out;
    ASSERT_EQ(Zxpkg(std::string("check ") + ZX_DEMO_ZIP, &out), 0) << out;
    EXPECT_TRUE(HasLine(out, "title: FW update tool")) << out;
    EXPECT_TRUE(HasLine(out, "UPDATEINFO SOCID=0x3C71"));
    EXPECT_TRUE(HasLine(out, "UPDATEINFO FWVersion=|041k0207|041k020A|"));
    EXPECT_TRUE(HasLine(out, "UPDATEINFO iInternalFWVersionCheckPart=2"));
    EXPECT_TRUE(HasLine(out, "UPDATEINFO AfterMessage=Update FW OK !\\r\\nShutdown System Now ?"));
    EXPECT_TRUE(HasLine(out, "UPDATEINFO PowerCtrl=1"));
    EXPECT_TRUE(HasLine(out, "NandMap 9BC5587130_1=YMTC_X3_9070_0.fw: file present"));
    EXPECT_TRUE(HasLine(out, "NandMap 2CC30832E604_1=NoFile: names no file on purpose"));
    EXPECT_TRUE(HasLine(out, "NandMap 2CC30832E604_2=MICRON_B47R_0.fw: file present"));
    EXPECT_TRUE(HasLine(out, "image YMTC_X3_9070_0.fw: version 041k020C"));
    EXPECT_TRUE(HasLine(out, "image MICRON_B47R_0.fw: version 041k020D"));
    EXPECT_TRUE(HasLine(out, "image YMTC_X3_9070_0.fw: FTL build number 0x00010203"));
    EXPECT_NE(out.find("image YMTC_X3_9070_0.fw: checksum kind 1 (crc32c)"), std::string::npos);
    EXPECT_NE(out.find("image MICRON_B47R_0.fw: checksum kind 0 (crc32)"), std::string::npos);
    EXPECT_EQ(out.find("FAIL"), std::string::npos);
    EXPECT_TRUE(HasLine(out, "result: sound"));
}

TEST_F(PackageTest, ZxpkgCheckNamesABrokenImageAndAMissingFile) {
    fs::path pkg = dir_ / "pkg";
    fs::create_directories(pkg);
    zxtest::WriteText(
        pkg / "ReflashInfo.ini",
        "[UPDATEINFO]\r\nTITLE=46 00\r\nSOCID=0x3C71\r\n[NandMap]\r\n9BC5587130_1=good.fw\r\n"
        "9BC5587130_2=bad.fw\r\n2CC30832E604_1=NoFile\r\n");
    ASSERT_EQ(Zxpkg("image -o " + (pkg / "good.fw").string() + " --regions 1-1,2-2,3-3"), 0);
    ASSERT_EQ(Zxpkg("image -o " + (pkg / "bad.fw").string() + " --regions 1-1,2-2,3-3"), 0);
    std::string out;
    EXPECT_EQ(Zxpkg("check " + pkg.string(), &out), 0) << out;

    std::vector<uint8_t> bad = zxtest::ReadBytes(pkg / "bad.fw");
    bad[2 * 4096 + 100] ^= 1; // one bit of region 1
    zxtest::WriteBytes(pkg / "bad.fw", bad.data(), bad.size());
    EXPECT_EQ(Zxpkg("check " + pkg.string(), &out), 1);
    EXPECT_TRUE(HasLine(out, "FAIL image bad.fw: its stored checksum matches neither CRC-32 nor "
                             "CRC-32C: the file is damaged"))
        << out;
    EXPECT_EQ(out.find("FAIL image good.fw"), std::string::npos) << out;

    fs::remove(pkg / "good.fw");
    zxtest::WriteBytes(pkg / "bad.fw", bad.data(), 4096 * 3); // trailer cut off
    EXPECT_EQ(Zxpkg("check " + pkg.string(), &out), 1);
    EXPECT_TRUE(HasLine(out, "FAIL NandMap 9BC5587130_1=good.fw: file missing")) << out;
    EXPECT_TRUE(
        HasLine(out, "FAIL image bad.fw: a region or its trailer page lies outside the file"))
        << out;
}

TEST_F(PackageTest, ZxpkgCheckNamesACorruptEntryThatNoNandMapUses) {
    fs::path pkg = dir_ / "pkg";
    fs::create_directories(pkg);
    zxtest::WriteText(
        pkg / "ReflashInfo.ini",
        "[UPDATEINFO]\r\nTITLE=46 00\r\nSOCID=0x3C71\r\n[NandMap]\r\n9BC5587130_1=good.fw\r\n");
    ASSERT_EQ(Zxpkg("image -o " + (pkg / "good.fw").string() + " --regions 1-1,2-2,3-3"), 0);
    zxtest::WriteText(pkg / "notes.bin", std::string(5000, 'Q'));
    fs::path zip = dir_ / "p.zip";
    ASSERT_EQ(Zxpkg("build " + pkg.string() + " -o " + zip.string()), 0);
    std::string out;
    EXPECT_EQ(Zxpkg("check " + zip.string(), &out), 0) << out;

    // One byte of the entry's compressed data, just after its local header's name.
    std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
    std::string all(bytes.begin(), bytes.end());
    size_t local = all.find("notes.bin");
    ASSERT_NE(local, std::string::npos);
    bytes[local + 9 + 2] ^= 0x55;
    zxtest::WriteBytes(zip, bytes.data(), bytes.size());
    EXPECT_EQ(Zxpkg("check " + zip.string(), &out), 1);
    EXPECT_TRUE(HasLine(out, "FAIL entry notes.bin: data corrupt, not extracted")) << out;
    EXPECT_TRUE(HasLine(out, "entries extracted: 2 of 3")) << out;
}

// Each refusal of zxpkg image says its reason on the first line, then the command's usage, and
// exits 2 without writing the image; an image that cannot be written is exit 1 with its name.
TEST_F(PackageTest, ZxpkgImageSaysWhyItRefuses) {
    const std::string file = (dir_ / "x.fw").string();
    const std::string o = " -o " + file;
    zxtest::WriteText(dir_ / "empty.bin", "");
    const std::string empty = (dir_ / "empty.bin").string();
    const std::string missing = (dir_ / "missing.bin").string();
    const std::string usage =
        "usage: zxpkg image -o FILE [--version-parts P1,P2,P3,P4] [--ftl N]\n";
    // Each refusal, with the arguments after "image" that give it.
    struct Case {
        std::string line;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"zxpkg: -o FILE is required", {""}},
        {"zxpkg: -o needs a file", {" -o"}},
        {"zxpkg: --version-parts needs P1,P2,P3,P4", {o + " --version-parts"}},
        {"zxpkg: --version-parts takes four parts",
         {o + " --version-parts 1,2,3", o + " --version-parts 1,2,3,4,"}},
        {"zxpkg: a version part holds one or two characters", {o + " --version-parts 1,2,3,abc"}},
        {"zxpkg: --ftl needs a 32-bit number",
         {o + " --ftl", o + " --ftl 0x100000000", o + " --ftl -1"}},
        {"zxpkg: --checksum is crc32 or crc32c", {o + " --checksum", o + " --checksum md5"}},
        {"zxpkg: --regions needs F0-L0,F1-L1,F2-L2", {o + " --regions"}},
        {"zxpkg: --regions takes three ranges", {o + " --regions 1-4,5-614"}},
        {"zxpkg: bad range '5:614'", {o + " --regions 1-4,5:614,615-615"}},
        {"zxpkg: bad range '5-x'", {o + " --regions 1-4,5-x,615-615"}},
        {"zxpkg: regions 0 and 1 overlap", {o + " --regions 1-4,4-614,615-615"}},
        {"zxpkg: region 0: pages F-L with 1 <= F <= L and L below 65535",
         {o + " --regions 0-4,5-614,615-615"}},
        {"zxpkg: --config needs a file", {o + " --config"}},
        {"zxpkg: cannot read " + missing + ": No such file or directory",
         {o + " --config " + missing}},
        {"zxpkg: " + empty + " is empty", {o + " --config " + empty}},
        {"zxpkg: --config-version needs a text", {o + " --config-version"}},
        {"zxpkg: the configuration version holds at most 8 characters",
         {o + " --config-version 123456789"}},
        {"zxpkg: --config-version '\xCE\xA9' has characters outside the ANSI code page",
         {o + " --config-version '\xCE\xA9'"}},
        {"zxpkg: --seed needs a number", {o + " --seed", o + " --seed x"}},
        {"zxpkg: unknown option '--bogus'", {o + " --bogus", o + " --bogus 1"}},
    };
    for (const Case& c : cases) {
        for (const std::string& args : c.args) {
            std::string out;
            EXPECT_EQ(Zxpkg("image" + args, &out), 2) << args << "\n" << out;
            const size_t eol = out.find('\n');
            EXPECT_EQ(out.substr(0, eol), c.line) << args;
            EXPECT_EQ(out.substr(eol + 1, usage.size()), usage) << args << "\n" << out;
        }
    }
    EXPECT_FALSE(fs::exists(file));
    std::string out;
    EXPECT_EQ(Zxpkg("image -o " + (dir_ / "none" / "x.fw").string(), &out), 1);
    EXPECT_EQ(out, "zxpkg: cannot write " + (dir_ / "none" / "x.fw").string() + "\n");
}

} // namespace
