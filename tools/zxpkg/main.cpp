// zxpkg: makes firmware images and packages, and checks packages the way the program reads
// them. Exit codes: 0 success, 1 failure (or a package that is not sound), 2 bad arguments.
#include "tools/zxpkg/checker.h"
#include "tools/zxpkg/image_writer.h"
#include "tools/zxpkg/zip_writer.h"
#include "platform/win32.h"
#include "sim/read_file.h"
#include "version/zx_version.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// The text (UTF-8, as the command line gives it) in the ANSI code page; false when a character
// has no ANSI form or the text is not UTF-8.
bool AnsiFromUtf8(const std::string& text, std::string* out) {
    out->clear();
    if (text.empty()) {
        return true;
    }
    std::vector<WCHAR> wide(text.size() + 1);
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    if (n <= 0) {
        return false;
    }
    std::vector<char> ansi(static_cast<size_t>(n) * 2 + 1);
    BOOL usedDefault = FALSE;
    int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), n, ansi.data(),
                                static_cast<int>(ansi.size()), nullptr, &usedDefault);
    if (m <= 0 || usedDefault) {
        return false;
    }
    out->assign(ansi.data(), static_cast<size_t>(m));
    return true;
}

constexpr size_t kMaxConfigBlockBytes = 16u * 1024 * 1024; // read from --config at most

const char kUsage[] = "usage: zxpkg <command> [options]\n"
                      "       zxpkg --version\n"
                      "commands:\n"
                      "  image   write a CMFG firmware image\n"
                      "  build   make a package ZIP from a folder\n"
                      "  check   read a package as the program does and report every finding\n"
                      "'zxpkg <command> --help' describes each command.\n";

const char kImageUsage[] =
    "usage: zxpkg image -o FILE [--version-parts P1,P2,P3,P4] [--ftl N]\n"
    "                   [--checksum crc32|crc32c] [--regions F0-L0,F1-L1,F2-L2]\n"
    "                   [--config BLOCKFILE] [--config-version TEXT] [--seed N]\n"
    "Writes a firmware image: a header page with the magic \"CMFG\" and the page ranges of\n"
    "regions 0, 1 and 2 (default 1-4,5-614,615-615), the regions filled with a payload made\n"
    "from the seed (default 1), the FW configuration block (BLOCKFILE, 4096 bytes, or zeros)\n"
    "in the first page of region 2 with TEXT (at most 8 characters) in its version field,\n"
    "and the trailer page after region 2 with the four version parts (one or two characters\n"
    "each, default 04,1k,02,07), the FTL build number N (default 0; decimal or 0x hex) and\n"
    "the image checksum of the kind (default crc32).\n";

const char kBuildUsage[] =
    "usage: zxpkg build DIR -o PACKAGE.zip\n"
    "Packs every plain file below DIR (which must hold ReflashInfo.ini) into a ZIP, in name\n"
    "order with fixed dates, so that the same folder always gives the same bytes. Symbolic\n"
    "links are left out.\n";

const char kCheckUsage[] =
    "usage: zxpkg check PACKAGE.zip|DIR\n"
    "Reads the package as the program does and prints one line per finding: the title, every\n"
    "UPDATEINFO key, every NandMap entry and whether its file exists, and for each image its\n"
    "magic, regions, checksum kind and validity, version and FTL build number. Problems start\n"
    "with FAIL. Exit 0 when the package is sound, 1 otherwise, 2 when there is no package\n"
    "to read (a missing file, a bad argument).\n";

int BadArguments(const std::string& why, const char* usage) {
    std::cerr << "zxpkg: " << why << "\n" << usage;
    return 2;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v > max) {
        return false;
    }
    value = v;
    return true;
}

std::vector<std::string> SplitComma(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        parts.push_back(item);
    }
    if (!text.empty() && text.back() == ',') {
        parts.push_back("");
    }
    return parts;
}

int CommandImage(const std::vector<std::string>& args) {
    zxpkg::ImageRecipe recipe;
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "-o") {
            if (!value(output)) {
                return BadArguments("-o needs a file", kImageUsage);
            }
        } else if (a == "--version-parts") {
            if (!value(v)) {
                return BadArguments("--version-parts needs P1,P2,P3,P4", kImageUsage);
            }
            std::vector<std::string> parts = SplitComma(v);
            if (parts.size() != 4) {
                return BadArguments("--version-parts takes four parts", kImageUsage);
            }
            for (int k = 0; k < 4; ++k) {
                recipe.versionParts[k] = parts[k];
            }
        } else if (a == "--ftl") {
            uint64_t n = 0;
            if (!value(v) || !ParseNumber(v, 0xFFFFFFFFu, n)) {
                return BadArguments("--ftl needs a 32-bit number", kImageUsage);
            }
            recipe.ftlBuildNumber = static_cast<uint32_t>(n);
        } else if (a == "--checksum") {
            if (!value(v) || (v != "crc32" && v != "crc32c")) {
                return BadArguments("--checksum is crc32 or crc32c", kImageUsage);
            }
            recipe.checksumKind = v == "crc32c" ? 1 : 0;
        } else if (a == "--regions") {
            if (!value(v)) {
                return BadArguments("--regions needs F0-L0,F1-L1,F2-L2", kImageUsage);
            }
            std::vector<std::string> parts = SplitComma(v);
            if (parts.size() != 3) {
                return BadArguments("--regions takes three ranges", kImageUsage);
            }
            for (int k = 0; k < 3; ++k) {
                size_t dash = parts[k].find('-');
                uint64_t f = 0;
                uint64_t l = 0;
                if (dash == std::string::npos ||
                    !ParseNumber(parts[k].substr(0, dash), 0xFFFFFFFFu, f) ||
                    !ParseNumber(parts[k].substr(dash + 1), 0xFFFFFFFFu, l)) {
                    return BadArguments("bad range '" + parts[k] + "'", kImageUsage);
                }
                recipe.regions[k][0] = static_cast<uint32_t>(f);
                recipe.regions[k][1] = static_cast<uint32_t>(l);
            }
        } else if (a == "--config") {
            if (!value(v)) {
                return BadArguments("--config needs a file", kImageUsage);
            }
            std::string bytes;
            std::string readError;
            if (!sim::ReadInputFile(v, kMaxConfigBlockBytes, &bytes, &readError)) {
                return BadArguments("cannot read " + readError, kImageUsage);
            }
            recipe.configBlock.assign(bytes.begin(), bytes.end());
            if (recipe.configBlock.empty()) {
                return BadArguments(v + " is empty", kImageUsage);
            }
        } else if (a == "--config-version") {
            std::string text;
            if (!value(text)) {
                return BadArguments("--config-version needs a text", kImageUsage);
            }
            // The program reads the field as ANSI text: count and write its ANSI bytes.
            if (!AnsiFromUtf8(text, &recipe.configVersion)) {
                return BadArguments("--config-version '" + text +
                                        "' has characters outside the ANSI code page",
                                    kImageUsage);
            }
            recipe.hasConfigVersion = true;
        } else if (a == "--seed") {
            uint64_t n = 0;
            if (!value(v) || !ParseNumber(v, UINT64_MAX, n)) {
                return BadArguments("--seed needs a number", kImageUsage);
            }
            recipe.seed = n;
        } else {
            return BadArguments("unknown option '" + a + "'", kImageUsage);
        }
    }
    if (output.empty()) {
        return BadArguments("-o FILE is required", kImageUsage);
    }
    std::string problem = zxpkg::ValidateImageRecipe(recipe);
    if (!problem.empty()) {
        return BadArguments(problem, kImageUsage);
    }
    std::vector<uint8_t> image = zxpkg::BuildImage(recipe);
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::cerr << "zxpkg: cannot write " << output << "\n";
        return 1;
    }
    return 0;
}

int CommandBuild(const std::vector<std::string>& args) {
    std::string dir;
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o") {
            if (i + 1 >= args.size()) {
                return BadArguments("-o needs a file", kBuildUsage);
            }
            output = args[++i];
        } else if (!args[i].empty() && args[i][0] == '-') {
            return BadArguments("unknown option '" + args[i] + "'", kBuildUsage);
        } else if (dir.empty()) {
            dir = args[i];
        } else {
            return BadArguments("one folder only", kBuildUsage);
        }
    }
    if (dir.empty() || output.empty()) {
        return BadArguments("DIR and -o PACKAGE.zip are required", kBuildUsage);
    }
    std::vector<zxpkg::ZipInput> entries;
    std::vector<std::string> skipped;
    std::string error = zxpkg::CollectFolder(dir, entries, skipped);
    if (!error.empty()) {
        std::cerr << "zxpkg: " << error << "\n";
        return 1;
    }
    bool hasConfig = false;
    for (const zxpkg::ZipInput& e : entries) {
        hasConfig = hasConfig || e.name == "ReflashInfo.ini";
    }
    if (!hasConfig) {
        std::cerr << "zxpkg: " << dir << " holds no ReflashInfo.ini\n";
        return 1;
    }
    for (const std::string& s : skipped) {
        std::cerr << "zxpkg: left out " << s << "\n";
    }
    error = zxpkg::WriteZip(output, entries);
    if (!error.empty()) {
        std::cerr << "zxpkg: " << error << "\n";
        return 1;
    }
    return 0;
}

int CommandCheck(const std::vector<std::string>& args) {
    if (args.size() != 1 || (!args[0].empty() && args[0][0] == '-')) {
        return BadArguments("check takes one package", kCheckUsage);
    }
    // Nothing there to check is a tool error like a bad argument, not a package found unsound.
    struct stat st;
    if (stat(args[0].c_str(), &st) != 0) {
        std::cerr << "zxpkg: cannot read " << args[0] << ": " << std::strerror(errno) << "\n";
        return 2;
    }
    return zxpkg::CheckPackage(args[0], std::cout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return BadArguments("no command", kUsage);
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "--version") {
        std::cout << "zxpkg " << ZX_VERSION_TEXT << "\n";
        return 0;
    }
    struct Command {
        const char* name;
        const char* usage;
        int (*run)(const std::vector<std::string>&);
    };
    const Command commands[] = {{"image", kImageUsage, CommandImage},
                                {"build", kBuildUsage, CommandBuild},
                                {"check", kCheckUsage, CommandCheck}};
    for (const Command& c : commands) {
        if (command == c.name) {
            if (WantsHelp(args)) {
                std::cout << c.usage;
                return 0;
            }
            return c.run(args);
        }
    }
    return BadArguments("unknown command '" + command + "'", kUsage);
}
