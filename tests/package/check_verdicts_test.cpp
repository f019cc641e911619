// zxpkg check calls a package sound only when the program will work with it: it reads
// ReflashInfo.ini through the program's profile reader and fails, naming the key or entry,
// what the program would read without complaint but cannot use. Warnings keep exit 0.
#include "tests/package/test_support.h"
#include "tools/zxpkg/zip_writer.h"

#include <array>
#include <functional>
#include <sstream>
#include <sys/wait.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;

// Runs zxpkg with the arguments (after the environment settings env, if any); its exit code, and
// its standard output and error in *out.
int Zxpkg(const std::string& args, std::string* out, const std::string& env = "") {
    FILE* p = popen((env + ZXPKG_PATH + " " + args + " 2>&1").c_str(), "r");
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out->append(buf, n);
    }
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The FAIL and WARN lines of a report, in order.
std::vector<std::string> Findings(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("FAIL ", 0) == 0 || line.rfind("WARN ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string LastLine(const std::string& text) {
    std::istringstream in(text);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        last = line;
    }
    return last;
}

// UTF-16LE with its byte-order mark, from text of ASCII and the few other characters used here.
std::string Utf16(const std::wstring& text) {
    std::string out = "\xFF\xFE";
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return out;
}

const char* const kSound = "[UPDATEINFO]\r\n"
                           "TITLE=46 00 57 00\r\n"
                           "SOCID=0x3C71\r\n"
                           "FWVersion=|041k0207|041k020A|\r\n"
                           "NEWVERSION=041k020C\r\n"
                           "PowerCtrl=1\r\n"
                           "BeforeMessage=Warning !<BR>Data may go.\r\n"
                           "AfterMessage=Update FW OK !<BR>Shutdown System Now ?\r\n"
                           "[NandMap]\r\n"
                           "9BC5587130_1=good.fw\r\n";

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
           static_cast<uint32_t>(b[at + 3]) << 24;
}

// The offsets of every local header and central directory record of an archive.
void Records(const std::vector<uint8_t>& b, std::vector<size_t>* local,
             std::vector<size_t>* central) {
    for (size_t i = 0; i + 4 <= b.size(); ++i) {
        if (Le32(b, i) == 0x04034B50) {
            local->push_back(i);
        } else if (Le32(b, i) == 0x02014B50) {
            central->push_back(i);
        }
    }
}

class CheckVerdicts : public PackageTest {
protected:
    void SetUp() override {
        PackageTest::SetUp();
        pkg_ = dir_ / "pkg";
        fs::create_directories(pkg_);
        std::string out;
        ASSERT_EQ(Zxpkg("image -o " + (pkg_ / "good.fw").string() + " --regions 1-1,2-2,3-3", &out),
                  0)
            << out;
    }
    // kSound with the first occurrence of `from` replaced by `to`.
    static std::string Replaced(const std::string& from, const std::string& to) {
        std::string s = kSound;
        size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? s : s.replace(at, from.size(), to);
    }
    // Checks the folder with this ReflashInfo.ini; the exit code and the output.
    int Check(const std::string& ini, std::string* out) {
        zxtest::WriteText(pkg_ / "ReflashInfo.ini", ini);
        return Zxpkg("check " + pkg_.string(), out);
    }
    // Builds the folder, whose entries build sorts as ReflashInfo.ini, good.fw and `last`, into
    // an archive zxpkg check calls sound, and finds its local headers and central records.
    void BuildSound(const std::string& last) {
        zip_ = dir_ / "p.zip";
        std::string out;
        ASSERT_EQ(Zxpkg("build " + pkg_.string() + " -o " + zip_.string(), &out), 0) << out;
        ASSERT_EQ(Zxpkg("check " + zip_.string(), &out), 0) << out;
        built_ = zxtest::ReadBytes(zip_);
        Records(built_, &local_, &central_);
        ASSERT_EQ(local_.size(), 3u);
        ASSERT_EQ(central_.size(), 3u);
        for (size_t at : {local_[2] + 30, central_[2] + 46}) {
            const long name = static_cast<long>(at);
            ASSERT_EQ(std::string(built_.begin() + name,
                                  built_.begin() + name + static_cast<long>(last.size())),
                      last);
        }
    }
    // zxpkg check on the archive with these bytes fails with `line`.
    void ExpectFails(const std::vector<uint8_t>& bytes, const char* what, const std::string& line) {
        zxtest::WriteBytes(zip_, bytes.data(), bytes.size());
        std::string out;
        EXPECT_EQ(Zxpkg("check " + zip_.string(), &out), 1) << what << "\n" << out;
        EXPECT_TRUE(HasLine(out, line)) << what << "\n" << out;
    }
    fs::path pkg_;
    fs::path zip_;
    std::vector<uint8_t> built_;
    std::vector<size_t> local_;
    std::vector<size_t> central_;
};

TEST_F(CheckVerdicts, SettingsThatCannotWorkFailNamingTheKey) {
    struct Case {
        std::string ini;
        int exitCode;
        std::string line;
    };
    std::string sound = kSound;
    const std::string longName(130, 'L');
    std::vector<Case> cases = {
        {sound, 0, "result: sound"},
        {Utf16(std::wstring(sound.begin(), sound.end())), 0, "result: sound"},
        {Replaced("[NandMap]\r\n", "[NandMap]\r\n;9BC5587130_2=gone.fw\r\n"), 0, "result: sound"},
        {"\xEF\xBB\xBF" + sound, 1,
         "FAIL ReflashInfo.ini: UTF-8 byte-order mark: the program reads the file as ANSI text, "
         "its first line is then no section header and [UPDATEINFO] reads as defaults"},
        {Replaced("TITLE=46 00 57 00\r\n", ""), 1,
         "FAIL UPDATEINFO TITLE: missing or empty: the window and every message box have no "
         "readable title"},
        {Replaced("SOCID=0x3C71", "SOCID="), 1,
         "FAIL UPDATEINFO SOCID: missing or empty: no disk can ever be listed"},
        {Replaced("|041k0207|041k020A|", "041k0207"), 1,
         "FAIL UPDATEINFO FWVersion: not a list of revisions between bars (|REV|REV|)"},
        {Replaced("|041k0207|041k020A|", "|041k0207"), 1,
         "FAIL UPDATEINFO FWVersion: not a list of revisions between bars (|REV|REV|)"},
        {Replaced("PowerCtrl=1", "PowerCtrl=3"), 1,
         "FAIL UPDATEINFO PowerCtrl: 3 is outside 0..2: the completion message offers nothing"},
        {Replaced("PowerCtrl=1", "PowerCtrl=-1"), 1,
         "FAIL UPDATEINFO PowerCtrl: -1 is outside 0..2: the completion message offers nothing"},
        {Replaced("PowerCtrl=1", "PowerCtrl=1\r\niInternalFWVersionCheckPart=-2"), 1,
         "FAIL UPDATEINFO iInternalFWVersionCheckPart: -2 is negative"},
        {Replaced("<BR>", "<br>"), 1,
         "FAIL UPDATEINFO BeforeMessage: \"<br>\" is shown as it stands; only \"<BR>\" breaks "
         "the line"},
        {Replaced("Update FW OK !<BR>Shutdown System Now ?", "Done<Br>Off?"), 1,
         "FAIL UPDATEINFO AfterMessage: \"<Br>\" is shown as it stands; only \"<BR>\" breaks "
         "the line"},
        {Utf16(L"[UPDATEINFO]\r\nTITLE=46 00\r\nSOCID=0x3C71\r\n[NandMap]\r\n"
               L"9BC5587130_1=good.fw\r\n9BC5587130_2=\u03A9.fw\r\n"),
         1, "FAIL NandMap 9BC5587130_2=\xCE\xA9.fw: the name does not survive the ANSI code page"},
        {Replaced("9BC5587130_1=good.fw", "9BC5587130_1=good.fw\r\n9BC5587130_2=" + longName), 1,
         "FAIL NandMap 9BC5587130_2=" + longName +
             ": longer than 129 characters: does not fit the working folder path under a temp "
             "folder of 100 characters"},
        {Replaced("9BC5587130_1=good.fw", "9BC5587130_1=good.fw\r\nnot-a-key=good.fw"), 0,
         "WARN NandMap not-a-key=good.fw: key is never looked up (not 10 or 12 hex digits, '_' "
         "and 0, 1 or 2)"},
        {Replaced("9BC5587130_1=good.fw", "9BC5587130_1=good.fw\r\n9BC5587130_2="), 0,
         "WARN NandMap 9BC5587130_2=: empty, the lookup goes on as if the key were missing"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string out;
        EXPECT_EQ(Check(cases[i].ini, &out), cases[i].exitCode) << i << "\n" << out;
        EXPECT_TRUE(HasLine(out, cases[i].line)) << i << "\n" << out;
    }
}

TEST_F(CheckVerdicts, ArchiveEntriesTheProgramCannotUseFailNamingTheEntry) {
    zxtest::WriteText(pkg_ / "ReflashInfo.ini", kSound);
    zxtest::WriteText(pkg_ / "notes.bin", "notes");
    ASSERT_NO_FATAL_FAILURE(BuildSound("notes.bin"));
    const std::vector<size_t>& local = local_;
    const std::vector<size_t>& central = central_;

    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        std::string line;
    };
    std::vector<Case> cases = {
        {"encrypted",
         [&](std::vector<uint8_t>& b) {
             b[local[2] + 6] |= 1;
             b[central[2] + 8] |= 1;
         },
         "FAIL entry notes.bin: encrypted; the program reads no password, not extracted"},
        {"local name", [&](std::vector<uint8_t>& b) { b[local[2] + 30 + 4] = 'z'; },
         "FAIL entry notes.bin: its local header names it notez.bin"},
        {"folded name",
         [&](std::vector<uint8_t>& b) {
             for (size_t at : {local[2] + 30, central[2] + 46}) {
                 b[at] = 'G';
                 b[at + 1] = 'O';
                 b[at + 2] = 'O';
                 b[at + 3] = 'D';
                 b[at + 4] = '.';
                 b[at + 5] = 'F';
                 b[at + 6] = 'W';
                 b[at + 7] = ' ';
                 b[at + 8] = '.';
             }
         },
         "FAIL entry GOOD.FW .: Windows takes it for entry good.fw, not extracted"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = built_;
        c.change(bytes);
        ExpectFails(bytes, c.what, c.line);
    }
}

TEST_F(CheckVerdicts, ArchivesPastTheProgramsLimitsFailAsTheProgramExtractsNothing) {
    // ReflashInfo.ini padded with a comment of hex digits and an entry of noise, so that each
    // compresses to little enough that one claimed size passes one limit alone.
    std::string ini = kSound;
    ini += ";";
    uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 4000; ++i) {
        ini += "0123456789ABCDEF"[(next() >> 16) & 15];
    }
    zxtest::WriteText(pkg_ / "ReflashInfo.ini", ini + "\r\n");
    std::string noise(300000, '\0');
    for (char& c : noise) {
        c = static_cast<char>(next() >> 16);
    }
    zxtest::WriteText(pkg_ / "noise.bin", noise);
    ASSERT_NO_FATAL_FAILURE(BuildSound("noise.bin"));

    // The uncompressed size an entry claims, in its local header and the central directory.
    auto claim = [&](std::vector<uint8_t>& b, size_t entry, uint32_t size) {
        for (size_t at : {local_[entry] + 22, central_[entry] + 24}) {
            for (int i = 0; i < 4; ++i) {
                b[at + size_t(i)] = static_cast<uint8_t>(size >> (8 * i));
            }
        }
    };
    const uint32_t noiseStored = Le32(built_, central_[2] + 20);
    const uint32_t iniStored = Le32(built_, central_[0] + 20);
    ASSERT_GT(noiseStored, 268436u); // 268,435,457 bytes is then no ratio above 1000
    ASSERT_GT(iniStored, 1049u);     // 1,048,577 bytes likewise
    struct Case {
        const char* what;
        size_t entry;
        uint32_t size;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"256 MB and a byte", 2, 268435457u,
         "FAIL archive: the entries expand past 268435456 bytes; the program extracts nothing"},
        {"1001 times", 2, noiseStored * 1001u,
         "FAIL archive: an entry expands more than 1000 times its compressed size; the program "
         "extracts nothing"},
        {"1 MB and a byte", 0, 1048577u,
         "FAIL archive: ReflashInfo.ini is larger than 1048576 bytes; the program extracts "
         "nothing"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = built_;
        claim(bytes, c.entry, c.size);
        ExpectFails(bytes, c.what, c.line);
    }
}

// What reaches a drive: a rule that admits other makers' disks and a version text the drive's
// 8-byte ANSI field cannot hold as written fail, naming the key; settings that leave the drive
// unguarded or the user without a closing word warn and keep exit 0. Each case's findings are
// exactly the lines given.
TEST_F(CheckVerdicts, SettingsThatWouldHarmADriveFailAndUnguardedOnesWarn) {
    struct Case {
        const char* what;
        std::string ini;
        int exitCode;
        std::vector<std::string> findings;
        std::string result;
    };
    const std::string notSound = "result: not sound, 1 problem(s)";
    const std::vector<Case> cases = {
        {"sound", kSound, 0, {}, "result: sound"},
        {"SOCID *",
         Replaced("SOCID=0x3C71", "SOCID=*"),
         1,
         {"FAIL UPDATEINFO SOCID: \"*\" admits disks that report no SOC id: other makers' disks "
          "are listed too"},
         notSound},
        {"SOCID of no SOC id",
         Replaced("SOCID=0x3C71", "SOCID=0x0000"),
         1,
         {"FAIL UPDATEINFO SOCID: \"0x0000\" admits disks that report no SOC id: other makers' "
          "disks are listed too"},
         notSound},
        {"SOCID ZELTARIX", Replaced("SOCID=0x3C71", "SOCID=ZELTARIX"), 0, {}, "result: sound"},
        {"NEWVERSION of 9 bytes",
         Replaced("041k020C", "041k020C1"),
         1,
         {"FAIL UPDATEINFO NEWVERSION: \"041k020C1\" takes 9 bytes in the ANSI code page, the "
          "version field holds 8: the drive gets \"041k020C\""},
         notSound},
        {"NEWVERSION without ANSI form",
         Utf16(L"[UPDATEINFO]\r\nTITLE=46 00\r\nSOCID=0x3C71\r\nNEWVERSION=041k\u03A9\u03A9\u03A9"
               L"\u03A9\r\nAfterMessage=OK\r\n[NandMap]\r\n9BC5587130_1=good.fw\r\n"),
         1,
         {"FAIL UPDATEINFO NEWVERSION: \"041k\xCE\xA9\xCE\xA9\xCE\xA9\xCE\xA9\" does not survive "
          "the ANSI code page: the drive gets \"041k????\""},
         notSound},
        {"NEWVERSION of 8 ANSI bytes",
         Replaced("041k020C", "Gr\xF6\xDFt\x80ok"),
         0,
         {},
         "result: sound"},
        {"NEWVERSION KEEP", Replaced("041k020C", "KEEP"), 0, {}, "result: sound"},
        {"NEWVERSION keep", Replaced("041k020C", "kEeP"), 0, {}, "result: sound"},
        {"NEWVERSION empty",
         Replaced("NEWVERSION=041k020C", "NEWVERSION="),
         0,
         {"WARN UPDATEINFO NEWVERSION: empty: every update clears the drive's version field "
          "(KEEP leaves it as it is)"},
         "result: sound"},
        {"no version rule and no FTL rule",
         Replaced("PowerCtrl=1", "PowerCtrl=1\r\nbRemoveFtlBuildNumCheck=1\r\n"
                                 "iInternalFWVersionCheckPart=0"),
         0,
         {"WARN UPDATEINFO bRemoveFtlBuildNumCheck: 1 with iInternalFWVersionCheckPart 0: "
          "neither the FTL build number nor the version ties an image to the drives it is "
          "written to"},
         "result: sound"},
        {"no FTL rule",
         Replaced("PowerCtrl=1", "PowerCtrl=1\r\nbRemoveFtlBuildNumCheck=1"),
         0,
         {},
         "result: sound"},
        {"no version rule",
         Replaced("PowerCtrl=1", "PowerCtrl=1\r\niInternalFWVersionCheckPart=0"),
         0,
         {},
         "result: sound"},
        {"AfterMessage empty",
         Replaced("AfterMessage=Update FW OK !<BR>Shutdown System Now ?", "AfterMessage="),
         0,
         {"WARN UPDATEINFO AfterMessage: empty: a successful update ends without a message box "
          "(and without PowerCtrl's offer); only the status line tells the user"},
         "result: sound"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(Check(c.ini, &out), c.exitCode) << c.what << "\n" << out;
        EXPECT_EQ(Findings(out), c.findings) << c.what << "\n" << out;
        EXPECT_EQ(LastLine(out), c.result) << c.what << "\n" << out;
    }
}

// An image the program refuses at RUN fails, naming the image, in the program's own words; the
// images of one package of two checksum kinds warn. The images are built here, each with zlib's
// CRC-32 of its own bytes unless the case breaks it, so only the case's fault decides.
TEST_F(CheckVerdicts, ImagesTheProgramRefusesFailNamingTheImage) {
    const std::string ini = Replaced("9BC5587130_1=good.fw", "9BC5587130_1=good.fw\r\n"
                                                             "9BC5587130_2=other.fw");
    auto image = [](size_t pages, std::vector<std::array<uint32_t, 2>> regions) {
        zxtest::TestImage img(pages);
        for (int r = 0; r < 3; ++r) {
            img.Region(r, regions[size_t(r)][0], regions[size_t(r)][1]);
        }
        img.Fill(4096, pages * 4096, 0x5A);
        img.StoreZlibCrc32();
        return img.bytes;
    };
    const auto sound = image(5, {{1, 1}, {2, 2}, {3, 3}});
    auto flipped = sound;
    flipped[2 * 4096 + 321] ^= 0x10; // one bit of region 1
    auto noMagic = sound;
    noMagic[0] = 'X';
    const std::vector<uint8_t> truncated(sound.begin(), sound.begin() + 4 * 4096);
    std::string out;
    ASSERT_EQ(
        Zxpkg("image -o " + (dir_ / "c.fw").string() + " --regions 1-1,2-2,3-3 --checksum crc32c",
              &out),
        0)
        << out;
    const std::vector<uint8_t> castagnoli = zxtest::ReadBytes(dir_ / "c.fw");

    const std::string noPage = "FAIL image other.fw: its regions overlap or are out of order, so "
                               "it has no FW configuration page of its own";
    const std::string notSound = "result: not sound, 1 problem(s)";
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int exitCode;
        std::vector<std::string> findings;
        std::string result;
    };
    const std::vector<Case> cases = {
        {"sound", sound, 0, {}, "result: sound"},
        {"region 0 in the header page", image(5, {{0, 1}, {2, 2}, {3, 3}}), 1, {noPage}, notSound},
        {"configuration page inside region 1",
         image(5, {{1, 1}, {2, 3}, {3, 3}}),
         1,
         {noPage},
         notSound},
        {"region 0 after region 1", image(5, {{2, 2}, {1, 1}, {3, 3}}), 1, {noPage}, notSound},
        {"a page after the trailer",
         image(6, {{1, 1}, {2, 2}, {3, 3}}),
         1,
         {"FAIL image other.fw: the file does not end with its trailer page"},
         notSound},
        {"a checksum of neither kind",
         flipped,
         1,
         {"FAIL image other.fw: its stored checksum matches neither CRC-32 nor CRC-32C: the file "
          "is damaged"},
         notSound},
        {"the trailer cut off",
         truncated,
         1,
         {"FAIL image other.fw: a region or its trailer page lies outside the file"},
         notSound},
        {"no magic",
         noMagic,
         1,
         {"FAIL image other.fw: it is not a ZELTARIX firmware image (no CMFG header)"},
         notSound},
        {"the other checksum kind",
         castagnoli,
         0,
         {"WARN images use different checksum kinds: good.fw kind 0 (crc32), other.fw kind 1 "
          "(crc32c)"},
         "result: sound"},
    };
    for (const Case& c : cases) {
        zxtest::WriteBytes(pkg_ / "other.fw", c.bytes.data(), c.bytes.size());
        EXPECT_EQ(Check(ini, &out), c.exitCode) << c.what << "\n" << out;
        EXPECT_EQ(Findings(out), c.findings) << c.what << "\n" << out;
        EXPECT_EQ(LastLine(out), c.result) << c.what << "\n" << out;
    }
}

// The demo packages stay sound: their closing message is set; each mixes the two checksum kinds
// on purpose, which is the one thing they are warned of.
TEST_F(CheckVerdicts, TheDemoPackagesAreSound) {
    const struct {
        const char* zip;
        std::string warning;
    } cases[] = {
        {ZX_DEMO_ZIP, "WARN images use different checksum kinds: MICRON_B47R_0.fw kind 0 (crc32), "
                      "YMTC_X3_9070_0.fw kind 1 (crc32c)"},
        {ZX_SATA_DEMO_ZIP, "WARN images use different checksum kinds: ZX3000_MICRON_B47R_0.fw "
                           "kind 0 (crc32), ZX3000_YMTC_X3_0.fw kind 1 (crc32c)"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(Zxpkg(std::string("check ") + c.zip, &out), 0) << c.zip << "\n" << out;
        EXPECT_EQ(Findings(out), std::vector<std::string>{c.warning}) << c.zip << "\n" << out;
        EXPECT_EQ(LastLine(out), "result: sound") << c.zip << "\n" << out;
    }
}

// The whole report, line by line and in order, of an archive whose entries are refused for each
// reason the extraction has (a symbolic link, a name outside the folder, a path too long under
// the temp folder, an entry the directory claims but does not hold) and whose NandMap names a
// file outside the folder.
TEST_F(CheckVerdicts, TheWholeReportOfAnArchiveWithEntriesThatAreNotExtracted) {
    const std::string ini =
        std::string(kSound) + "9BC5587130_2=..\\x.fw\r\n" + "2CC30832E604_1=NoFile\r\n";
    const std::vector<uint8_t> good = zxtest::ReadBytes(pkg_ / "good.fw");
    auto entry = [](const std::string& name, const std::string& data, unsigned long mode) {
        zxpkg::ZipInput e;
        e.name = name;
        e.data.assign(data.begin(), data.end());
        e.unixMode = mode;
        return e;
    };
    const std::string longName = std::string(70, 'n') + ".bin";
    const fs::path zip = dir_ / "entries.zip";
    ASSERT_EQ(
        zxpkg::WriteZip(zip.string(), {entry("ReflashInfo.ini", ini, 0),
                                       entry("good.fw", std::string(good.begin(), good.end()), 0),
                                       entry("link.fw", "good.fw", 0120777),
                                       entry("../outside.bin", "x", 0), entry(longName, "y", 0)}),
        "");
    // The end record claims six entries on this disk and in all; the directory holds five.
    std::vector<uint8_t> bytes = zxtest::ReadBytes(zip);
    const size_t end = bytes.size() - 22;
    ASSERT_EQ(Le32(bytes, end), 0x06054B50u);
    bytes[end + 8] = 6;
    bytes[end + 10] = 6;
    zxtest::WriteBytes(zip, bytes.data(), bytes.size());
    // A temp folder whose check folder "<temp>/zxpkg-check-XXXXXX" takes 200 characters: the
    // 75 characters of the long name then do not fit in 259.
    const size_t base = dir_.string().size() + 1;
    const fs::path temp = dir_ / std::string(200 - base - 19, 't');
    fs::create_directories(temp);
    std::string out;
    EXPECT_EQ(Zxpkg("check " + zip.string(), &out, "TMPDIR=" + temp.string() + " "), 1) << out;
    EXPECT_EQ(out, "package archive " + zip.string() + "\n" +
                       "FAIL entry link.fw: symbolic link, not extracted\n"
                       "FAIL entry 3 '..\\outside.bin': name outside the working folder, not "
                       "extracted\n"
                       "FAIL entry " +
                       longName +
                       ": path too long, not extracted\n"
                       "FAIL archive claims 6 entries, 5 can be read\n"
                       "entries extracted: 2 of 5\n"
                       "title: FW\n"
                       "UPDATEINFO TITLE=46 00 57 00\n"
                       "UPDATEINFO SOCID=0x3C71\n"
                       "UPDATEINFO ModelName=\n"
                       "UPDATEINFO FWVersion=|041k0207|041k020A|\n"
                       "UPDATEINFO NEWVERSION=041k020C\n"
                       "UPDATEINFO iInternalFWVersionCheckPart=3\n"
                       "UPDATEINFO bIsSATA=0\n"
                       "UPDATEINFO bRemoveFtlBuildNumCheck=0\n"
                       "UPDATEINFO bSetVersionBeforeReflash=0\n"
                       "UPDATEINFO BeforeMessage=Warning !\\r\\nData may go.\n"
                       "UPDATEINFO AfterMessage=Update FW OK !\\r\\nShutdown System Now ?\n"
                       "UPDATEINFO PowerCtrl=1\n"
                       "NandMap 9BC5587130_1=good.fw: file present\n"
                       "FAIL NandMap 9BC5587130_2=..\\x.fw: not a plain file name inside the "
                       "working folder\n"
                       "NandMap 2CC30832E604_1=NoFile: names no file on purpose\n"
                       "image good.fw: size 20480 bytes\n"
                       "image good.fw: magic CMFG\n"
                       "image good.fw: region 0 pages 1-1\n"
                       "image good.fw: region 1 pages 2-2\n"
                       "image good.fw: region 2 pages 3-3\n"
                       "image good.fw: trailer page 4\n"
                       "image good.fw: checksum kind 0 (crc32), stored 0x53DCB96A valid\n"
                       "image good.fw: version 041k0207\n"
                       "image good.fw: FTL build number 0x00000000\n"
                       "result: not sound, 5 problem(s)\n")
        << out;
    EXPECT_TRUE(fs::is_empty(temp));
}

// A folder without ReflashInfo.ini: every setting reads as its default, and the report says so
// whole.
TEST_F(CheckVerdicts, TheWholeReportOfAFolderWithoutReflashInfo) {
    std::string out;
    EXPECT_EQ(Zxpkg("check " + pkg_.string(), &out), 1) << out;
    EXPECT_EQ(out, "package folder " + pkg_.string() + "\n" +
                       "FAIL ReflashInfo.ini missing\n"
                       "title: Package Error (no TITLE)\n"
                       "UPDATEINFO TITLE=\n"
                       "UPDATEINFO SOCID=\n"
                       "UPDATEINFO ModelName=\n"
                       "UPDATEINFO FWVersion=\n"
                       "UPDATEINFO NEWVERSION=\n"
                       "UPDATEINFO iInternalFWVersionCheckPart=3\n"
                       "UPDATEINFO bIsSATA=0\n"
                       "UPDATEINFO bRemoveFtlBuildNumCheck=0\n"
                       "UPDATEINFO bSetVersionBeforeReflash=0\n"
                       "UPDATEINFO BeforeMessage=\n"
                       "UPDATEINFO AfterMessage=\n"
                       "UPDATEINFO PowerCtrl=0\n"
                       "FAIL UPDATEINFO TITLE: missing or empty: the window and every message box "
                       "have no readable title\n"
                       "FAIL UPDATEINFO SOCID: missing or empty: no disk can ever be listed\n"
                       "WARN UPDATEINFO NEWVERSION: empty: every update clears the drive's version "
                       "field (KEEP leaves it as it is)\n"
                       "WARN UPDATEINFO AfterMessage: empty: a successful update ends without a "
                       "message box (and without PowerCtrl's offer); only the status line tells "
                       "the user\n"
                       "FAIL NandMap has no entries\n"
                       "result: not sound, 4 problem(s)\n")
        << out;
}

// What is not an archive nor a folder: the one failure and the result, nothing else.
TEST_F(CheckVerdicts, NeitherAnArchiveNorAFolderIsOneFailure) {
    zxtest::WriteText(dir_ / "junk.zip", "this is not a zip archive at all");
    std::string out;
    EXPECT_EQ(Zxpkg("check " + (dir_ / "junk.zip").string(), &out), 1) << out;
    EXPECT_EQ(out, "package archive " + (dir_ / "junk.zip").string() +
                       "\nFAIL not a readable ZIP archive\nresult: not sound, 1 problem(s)\n")
        << out;
    EXPECT_EQ(Zxpkg("check /dev/null", &out), 1) << out;
    EXPECT_EQ(out, "FAIL /dev/null: no such package\nresult: not sound, 1 problem(s)\n") << out;
}

} // namespace
