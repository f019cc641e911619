// The ZIP extraction: the input is the archive, unpacked into a folder inside a sandbox under
// TMPDIR; no file may appear in the sandbox outside that folder, and nothing but plain files and
// folders inside it.
#include "app/state/app_state.h"
#include "package/package_files.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path box = fuzz::ScratchPath("zip");
    std::error_code ec;
    fs::remove_all(box, ec);
    fs::create_directories(box / "in", ec);
    const fs::path archive = box / "in" / "package.zip";
    {
        std::ofstream out(archive, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    InitAppState("");
    const fs::path work = box / "work";
    std::string a = archive.string();
    std::string w = work.string();
    std::wstring wa(a.begin(), a.end());
    std::wstring ww(w.begin(), w.end());
    UnzipToFolder(wa.c_str(), ww.c_str(), TRUE);
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(box, ec)) {
        std::string rel = fs::relative(e.path(), box).generic_string();
        bool inside = rel == "in" || rel == "work" || rel.rfind("work/", 0) == 0;
        fuzz::Require(inside, "an entry was written outside the working folder");
        fuzz::Require(!e.is_symlink(), "a symbolic link was created");
    }
    fuzz::Require(!fs::exists(archive), "the archive is deleted");
    fs::remove_all(box, ec);
    return 0;
}
