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

// The four version parts of --version-parts P1,P2,P3,P4 into the recipe; "" or why not.
std::string SetVersionParts(const std::string& text, zxpkg::ImageRecipe* recipe) {
    std::vector<std::string> parts = SplitComma(text);
    if (parts.size() != 4) {
        return "--version-parts takes four parts";
    }
    for (int k = 0; k < 4; ++k) {
        recipe->versionParts[k] = parts[k];
    }
    return "";
}

// The page ranges of --regions F0-L0,F1-L1,F2-L2 into the recipe; "" or why not.
std::string SetRegions(const std::string& text, zxpkg::ImageRecipe* recipe) {
    std::vector<std::string> parts = SplitComma(text);
    if (parts.size() != 3) {
        return "--regions takes three ranges";
    }
    for (int k = 0; k < 3; ++k) {
        size_t dash = parts[k].find('-');
        uint64_t f = 0;
        uint64_t l = 0;
        if (dash == std::string::npos || !ParseNumber(parts[k].substr(0, dash), 0xFFFFFFFFu, f) ||
            !ParseNumber(parts[k].substr(dash + 1), 0xFFFFFFFFu, l)) {
            return "bad range '" + parts[k] + "'";
        }
        recipe->regions[k][0] = static_cast<uint32_t>(f);
        recipe->regions[k][1] = static_cast<uint32_t>(l);
    }
    return "";
}

// The FW configuration block of --config from the file; "" or why not.
std::string ReadConfigBlock(const std::string& file, zxpkg::ImageRecipe* recipe) {
    std::string bytes;
    std::string readError;
    if (!sim::ReadInputFile(file, kMaxConfigBlockBytes, &bytes, &readError)) {
        return "cannot read " + readError;
    }
    recipe->configBlock.assign(bytes.begin(), bytes.end());
    if (recipe->configBlock.empty()) {
        return file + " is empty";
    }
    return "";
}

// The text of --config-version into the recipe; "" or why not.
std::string SetConfigVersion(const std::string& text, zxpkg::ImageRecipe* recipe) {
    // The program reads the field as ANSI text: count and write its ANSI bytes.
    if (!AnsiFromUtf8(text, &recipe->configVersion)) {
        return "--config-version '" + text + "' has characters outside the ANSI code page";
    }
    recipe->hasConfigVersion = true;
    return "";
}

// The options of zxpkg image whose value is a number or a name: --ftl, --checksum and --seed
// (value is null when the command line ends before it). "" when taken, else why not.
std::string SetScalarOption(const std::string& option, const std::string* value,
                            zxpkg::ImageRecipe* recipe) {
    uint64_t n = 0;
    if (option == "--ftl") {
        if (value == nullptr || !ParseNumber(*value, 0xFFFFFFFFu, n)) {
            return "--ftl needs a 32-bit number";
        }
        recipe->ftlBuildNumber = static_cast<uint32_t>(n);
    } else if (option == "--checksum") {
        if (value == nullptr || (*value != "crc32" && *value != "crc32c")) {
            return "--checksum is crc32 or crc32c";
        }
        recipe->checksumKind = *value == "crc32c" ? 1 : 0;
    } else if (option == "--seed") {
        if (value == nullptr || !ParseNumber(*value, UINT64_MAX, n)) {
            return "--seed needs a number";
        }
        recipe->seed = n;
    } else {
        return "unknown option '" + option + "'";
    }
    return "";
}

// One option of zxpkg image and its value (null when the command line ends before it) into the
// recipe or the output name. "" when taken, else why not.
std::string SetImageOption(const std::string& option, const std::string* value,
                           zxpkg::ImageRecipe* recipe, std::string* output) {
    const struct {
        const char* name;
        const char* missing; // the refusal when the value is missing
        std::string (*set)(const std::string&, zxpkg::ImageRecipe*);
    } withText[] = {
        {"--version-parts", "--version-parts needs P1,P2,P3,P4", SetVersionParts},
        {"--regions", "--regions needs F0-L0,F1-L1,F2-L2", SetRegions},
        {"--config", "--config needs a file", ReadConfigBlock},
        {"--config-version", "--config-version needs a text", SetConfigVersion},
    };
    if (option == "-o") {
        if (value == nullptr) {
            return "-o needs a file";
        }
        *output = *value;
        return "";
    }
    for (const auto& o : withText) {
        if (option == o.name) {
            return value == nullptr ? o.missing : o.set(*value, recipe);
        }
    }
    return SetScalarOption(option, value, recipe);
}

// The recipe and the output name from zxpkg image's arguments; "" or the first refusal.
std::string ParseImageArguments(const std::vector<std::string>& args, zxpkg::ImageRecipe* recipe,
                                std::string* output) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        // Every option takes the next argument; an unknown one is refused before it is used.
        const std::string* value = i + 1 < args.size() ? &args[++i] : nullptr;
        std::string problem = SetImageOption(option, value, recipe, output);
        if (!problem.empty()) {
            return problem;
        }
    }
    if (output->empty()) {
        return "-o FILE is required";
    }
    return zxpkg::ValidateImageRecipe(*recipe);
}

int CommandImage(const std::vector<std::string>& args) {
    zxpkg::ImageRecipe recipe;
    std::string output;
    std::string problem = ParseImageArguments(args, &recipe, &output);
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
