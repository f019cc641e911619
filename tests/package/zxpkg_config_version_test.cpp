// zxpkg image --config-version writes the text as the program reads it: in the ANSI code page
// (Windows-1252), counted in those bytes, and refuses characters that code page lacks.
#include "tests/package/test_support.h"

#include <sys/wait.h>

namespace {

using zxtest::PackageTest;
namespace fs = std::filesystem;

int Zxpkg(const std::string& args) {
    int status = std::system((std::string(ZXPKG_PATH) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PackageTest, ZxpkgConfigVersionIsWrittenInTheAnsiCodePage) {
    struct Case {
        const char* text; // UTF-8, as on the command line
        int exitCode;
        uint8_t field[8]; // the configuration block's version field
    };
    const Case cases[] = {
        {"041k0207", 0, {'0', '4', '1', 'k', '0', '2', '0', '7'}},
        {"Gr\xC3\xB6\xC3\x9F"
         "e",
         0,
         {'G', 'r', 0xF6, 0xDF, 'e', 0, 0, 0}},
        {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6",
         0,
         {0xE4, 0xF6, 0xFC, 0xE4, 0xF6, 0xFC, 0xE4, 0xF6}},
        {"\xE2\x82\xAC"
         "1",
         0,
         {0x80, '1', 0, 0, 0, 0, 0, 0}},
        {"\xCE\xA9", 2, {}},
        {"\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC", 2, {}},
    };
    for (const Case& c : cases) {
        fs::path f = dir_ / "v.fw";
        fs::remove(f);
        ASSERT_EQ(Zxpkg("image -o " + f.string() + " --config-version '" + c.text + "'"),
                  c.exitCode)
            << c.text;
        if (c.exitCode != 0) {
            EXPECT_FALSE(fs::exists(f)) << c.text;
            continue;
        }
        std::vector<uint8_t> b = zxtest::ReadBytes(f);
        ASSERT_EQ(b.size(), 617u * 4096) << c.text;
        EXPECT_EQ(
            std::vector<uint8_t>(b.begin() + 615 * 4096 + 1064, b.begin() + 615 * 4096 + 1072),
            std::vector<uint8_t>(c.field, c.field + 8))
            << c.text;
    }
}

} // namespace
