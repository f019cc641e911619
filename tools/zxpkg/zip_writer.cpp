#include "tools/zxpkg/zip_writer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <zip.h>

namespace fs = std::filesystem;

namespace zxpkg {

std::string WriteZip(const std::string& path, const std::vector<ZipInput>& entries) {
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zf == nullptr) {
        return "cannot create " + path;
    }
    std::string error;
    for (const ZipInput& e : entries) {
        zip_fileinfo info{};
        info.tmz_date.tm_mday = 1; // 1980-01-01 00:00, so that builds are byte-identical
        info.tmz_date.tm_year = 1980;
        info.dosDate = 0;
        const unsigned long mode = e.unixMode != 0 ? e.unixMode : e.directory ? 040755 : 0100644;
        info.external_fa = mode << 16;
        bool ascii = std::all_of(e.name.begin(), e.name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        unsigned long flagBase = ascii ? 0 : 0x800; // UTF-8 names carry bit 11
        std::string name = e.directory ? e.name + "/" : e.name;
        int rc = zipOpenNewFileInZip4_64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                         e.directory ? 0 : Z_DEFLATED, e.directory ? 0 : 9, 0,
                                         -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                         (3 << 8) | 20, flagBase, 0);
        if (rc != ZIP_OK) {
            error = "cannot add " + e.name;
            break;
        }
        if (!e.data.empty() &&
            zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size())) !=
                ZIP_OK) {
            error = "cannot write " + e.name;
            zipCloseFileInZip(zf);
            break;
        }
        if (zipCloseFileInZip(zf) != ZIP_OK) {
            error = "cannot finish " + e.name;
            break;
        }
    }
    if (zipClose(zf, nullptr) != ZIP_OK && error.empty()) {
        error = "cannot finish " + path;
    }
    return error;
}

std::string CollectFolder(const std::string& dir, std::vector<ZipInput>& entries,
                          std::vector<std::string>& skipped) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        return dir + " is not a folder";
    }
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const fs::directory_entry& de = *it;
        std::string rel = de.path().lexically_relative(dir).generic_string();
        if (de.is_symlink()) {
            skipped.push_back(rel + " (symbolic link)");
            continue;
        }
        if (de.is_regular_file()) {
            files.push_back(de.path());
        } else if (!de.is_directory()) {
            skipped.push_back(rel + " (not a plain file)");
        }
    }
    if (ec) {
        return "cannot read " + dir + ": " + ec.message();
    }
    std::vector<std::string> names;
    for (const fs::path& p : files) {
        names.push_back(p.lexically_relative(dir).generic_string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::ifstream in(fs::path(dir) / n, std::ios::binary);
        if (!in) {
            return "cannot read " + n;
        }
        ZipInput e;
        e.name = n;
        e.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        entries.push_back(std::move(e));
    }
    return {};
}

} // namespace zxpkg
