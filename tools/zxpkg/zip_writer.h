// Package archives: a reproducible ZIP of a folder (sorted names, fixed dates, deflate).
#pragma once

#include <string>
#include <vector>

namespace zxpkg {

struct ZipInput {
    std::string name; // stored name, '/' separated
    std::vector<unsigned char> data;
    bool directory = false;
    unsigned long unixMode = 0; // 0: 0100644 for files, 040755 for folders
};

// Writes the entries in the given order. Returns an empty text or what failed.
std::string WriteZip(const std::string& path, const std::vector<ZipInput>& entries);

// Collects the files below dir (sorted, symbolic links skipped and listed in skipped).
std::string CollectFolder(const std::string& dir, std::vector<ZipInput>& entries,
                          std::vector<std::string>& skipped);

} // namespace zxpkg
