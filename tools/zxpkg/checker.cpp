#include "tools/zxpkg/checker.h"

#include "app/state/app_state.h"
#include "common/text.h"
#include "package/image.h"
#include "package/package_config.h"
#include "package/package_files.h"
#include "package/version_rules.h"
#include "package/zip_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

namespace fs = std::filesystem;

namespace zxpkg {

namespace {

std::string Narrow(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        char buf[8];
        int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, buf, sizeof(buf), nullptr, nullptr);
        out.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return out;
}

std::wstring Widen(const std::string& s) {
    std::wstring out(s.size() + 1, L'\0');
    int n =
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return out;
}

// Shows CR and LF as \r and \n, so that every finding stays on one line.
std::string Escaped(const std::wstring& w) {
    std::string s = Narrow(w);
    std::string out;
    for (char c : s) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", v);
    return buf;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The key names of one section, in file order (the values are read through the profile API).
std::vector<std::string> SectionKeys(const fs::path& ini, const std::string& section) {
    std::vector<std::string> keys;
    std::ifstream in(ini, std::ios::binary);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) {
            continue;
        }
        line = line.substr(b);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        if (line[0] == '[') {
            size_t e = line.find(']');
            std::string name = line.substr(1, e == std::string::npos ? std::string::npos : e - 1);
            inside = Lower(name) == Lower(section);
            continue;
        }
        if (!inside || line[0] == ';') {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
            key.pop_back();
        }
        if (!key.empty() && std::find_if(keys.begin(), keys.end(), [&](const std::string& k) {
                                return Lower(k) == Lower(key);
                            }) == keys.end()) {
            keys.push_back(key);
        }
    }
    return keys;
}

bool IsLookupKey(const std::string& key) {
    // ten or twelve hex digits, "_", and the LUN class 0, 1 or 2
    size_t us = key.find('_');
    if (us != 10 && us != 12) {
        return false;
    }
    for (size_t i = 0; i < us; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(key[i]))) {
            return false;
        }
    }
    return key.size() == us + 2 && key[us + 1] >= '0' && key[us + 1] <= '2';
}

struct Report {
    std::ostream& out;
    int problems = 0;
    void Info(const std::string& line) { out << line << "\n"; }
    void Fail(const std::string& line) {
        out << "FAIL " << line << "\n";
        ++problems;
    }
};

void CheckImage(Report& r, const std::string& name, const std::wstring& path) {
    const std::string who = "image " + name + ": ";
    DWORD size = 0;
    BYTE* image = LoadImageFile(path.c_str(), &size);
    if (image == nullptr) {
        r.Fail(who + "cannot be read or is empty");
        return;
    }
    r.Info(who + "size " + std::to_string(size) + " bytes" +
           (size % IMAGE_PAGE_BYTES == 0 ? "" : " (not a whole number of pages)"));
    ImageLayout layout;
    int state = GetImageLayout(image, size, &layout);
    if (state == IMAGE_LAYOUT_NO_MAGIC) {
        r.Fail(who + "no CMFG magic");
    } else {
        r.Info(who + "magic CMFG");
        ImageHeader header{};
        std::memcpy(&header, image, std::min<size_t>(size, sizeof(header)));
        uint64_t pages = size / IMAGE_PAGE_BYTES;
        if (size < sizeof(header)) {
            r.Fail(who + "shorter than its header");
        } else {
            for (int k = 0; k < IMAGE_USED_REGIONS; ++k) {
                uint32_t f = header.Regions[k].FirstPage;
                uint32_t l = header.Regions[k].LastPage;
                std::string text = "region " + std::to_string(k) + " pages " + std::to_string(f) +
                                   "-" + std::to_string(l);
                if (f <= l && static_cast<uint64_t>(l) < pages) {
                    r.Info(who + text + " in bounds");
                } else {
                    r.Fail(who + text + " out of bounds (" + std::to_string(pages) + " pages)");
                }
            }
            uint64_t t = static_cast<uint64_t>(header.Regions[IMAGE_CONFIG_REGION].LastPage) + 1;
            if (t < pages) {
                r.Info(who + "trailer page " + std::to_string(t) + " in bounds");
            } else {
                r.Fail(who + "trailer page " + std::to_string(t) + " out of bounds");
            }
        }
    }
    if (state == IMAGE_LAYOUT_OK) {
        uint32_t stored = 0;
        uint32_t crc32 = 0;
        uint32_t crc32c = 0;
        ReadStoredImageChecksum(image, size, &stored);
        ComputeImageChecksum(image, size, CHECKSUM_CRC32, &crc32);
        ComputeImageChecksum(image, size, CHECKSUM_CRC32C, &crc32c);
        int kind = DetectImageChecksumKind(image, size);
        if (kind == CHECKSUM_CRC32C) {
            r.Info(who + "checksum kind 1 (crc32c), stored " + Hex32(stored) + " valid");
        } else if (stored == crc32) {
            r.Info(who + "checksum kind 0 (crc32), stored " + Hex32(stored) + " valid");
        } else {
            r.Fail(who + "checksum invalid: stored " + Hex32(stored) + ", crc32 " + Hex32(crc32) +
                   ", crc32c " + Hex32(crc32c) + " (read as kind 0)");
        }
    }
    WCHAR version[VERSION_TEXT_CHARS];
    if (ReadImageVersion(path.c_str(), version, VERSION_TEXT_CHARS)) {
        r.Info(who + "version " + Narrow(version));
    } else {
        r.Info(who + "no version");
    }
    r.Info(who + "FTL build number " + Hex32(ReadImageFtlBuildNumber(path.c_str())));
    FreeImageFile(image);
}

int CheckFolder(Report& r, const fs::path& folder) {
    AppState* state = GetAppState();
    InitAppState("");
    std::wstring wfolder = Widen(folder.string());
    CopyText(state->WorkingFolder, APP_PATH_CHARS, wfolder.c_str());
    std::wstring config = wfolder + L"\\" + PACKAGE_CONFIG_NAME;
    CopyText(state->ConfigPath, APP_PATH_CHARS, config.c_str());
    fs::path ini = folder / "ReflashInfo.ini";
    if (!fs::is_regular_file(ini)) {
        r.Fail("ReflashInfo.ini missing");
    }
    LoadPackageConfig(state->ConfigPath);
    WCHAR rawTitle[APP_PATH_CHARS] = {};
    DWORD n = GetPrivateProfileStringW(L"UPDATEINFO", L"TITLE", L"", rawTitle, APP_PATH_CHARS,
                                       state->ConfigPath);
    r.Info("title: " + Narrow(state->Title) + (n == 0 ? " (no TITLE)" : ""));
    r.Info("UPDATEINFO TITLE=" + Narrow(rawTitle));
    r.Info("UPDATEINFO SOCID=" + Narrow(state->SOCID));
    r.Info("UPDATEINFO ModelName=" + Narrow(state->ModelName));
    r.Info("UPDATEINFO FWVersion=" + Narrow(state->FWVersion));
    r.Info("UPDATEINFO NEWVERSION=" + Narrow(state->NEWVERSION));
    r.Info("UPDATEINFO iInternalFWVersionCheckPart=" +
           std::to_string(state->iInternalFWVersionCheckPart));
    r.Info("UPDATEINFO bIsSATA=" + std::to_string(state->bIsSATA));
    r.Info("UPDATEINFO bRemoveFtlBuildNumCheck=" + std::to_string(state->bRemoveFtlBuildNumCheck));
    r.Info("UPDATEINFO bSetVersionBeforeReflash=" +
           std::to_string(state->bSetVersionBeforeReflash));
    r.Info("UPDATEINFO BeforeMessage=" + Escaped(state->BeforeMessage));
    r.Info("UPDATEINFO AfterMessage=" + Escaped(state->AfterMessage));
    r.Info("UPDATEINFO PowerCtrl=" + std::to_string(state->PowerCtrl));

    std::vector<std::string> keys = SectionKeys(ini, "NandMap");
    if (keys.empty()) {
        r.Fail("NandMap has no entries");
    }
    std::map<std::string, std::wstring> images; // file name -> full path
    for (const std::string& key : keys) {
        WCHAR value[PACKAGE_PATH_CHARS] = {};
        std::wstring wkey = Widen(key);
        GetPrivateProfileStringW(L"NandMap", wkey.c_str(), L"", value, PACKAGE_PATH_CHARS,
                                 state->ConfigPath);
        std::string who = "NandMap " + key + "=" + Narrow(value) + ": ";
        if (!IsLookupKey(key)) {
            r.Info(who + "key is never looked up (not 10 or 12 hex digits, '_' and 0, 1 or 2)");
        }
        if (value[0] == 0) {
            r.Info(who + "empty, the lookup goes on as if the key were missing");
        } else if (Lower(Narrow(value)) == "nofile") {
            r.Info(who + "names no file on purpose");
        } else if (!IsSafeRelativeName(value)) {
            r.Fail(who + "not a plain file name inside the working folder");
        } else {
            std::wstring full = wfolder + L"\\" + value;
            std::string rel = Narrow(value);
            std::replace(rel.begin(), rel.end(), '\\', '/');
            if (fs::is_regular_file(folder / rel)) {
                r.Info(who + "file present");
                images.emplace(Narrow(value), full);
            } else {
                r.Fail(who + "file missing");
            }
        }
    }
    for (const auto& [name, path] : images) {
        CheckImage(r, name, path);
    }
    return 0;
}

std::string MakeTempFolder() {
    std::string base = (fs::temp_directory_path() / "zxpkg-check-XXXXXX").string();
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) {
        return {};
    }
    return buf.data();
}

} // namespace

int CheckPackage(const std::string& target, std::ostream& out) {
    Report r{out};
    std::error_code ec;
    fs::path path = fs::absolute(target, ec);
    if (fs::is_directory(path, ec)) {
        r.Info("package folder " + path.string());
        CheckFolder(r, path);
    } else if (fs::is_regular_file(path, ec)) {
        r.Info("package archive " + path.string());
        std::string temp = MakeTempFolder();
        if (temp.empty()) {
            r.Fail("cannot make a temporary folder");
            return 1;
        }
        std::wstring wzip = Widen(path.string());
        std::wstring wtemp = Widen(temp);
        ZipReader reader;
        if (!ZipOpenArchive(&reader, wzip.c_str())) {
            r.Fail("not a readable ZIP archive");
        } else {
            const uint32_t claimed = ZipEntryCount(&reader);
            // Each entry is extracted as the program's extraction does it, so that one whose
            // data is corrupt is named even when no NandMap entry uses it. The count shrinks to
            // the entries that can be reached.
            ZipSetBaseFolder(&reader, wtemp.c_str());
            int written = 0;
            for (uint32_t i = 0; i < ZipEntryCount(&reader); ++i) {
                ZipEntry e;
                if (!ZipGetEntry(&reader, i, &e)) {
                    r.Fail("entry " + std::to_string(i) + ": unreadable");
                    continue;
                }
                int extracted = ZipExtractEntry(&reader, i);
                if (extracted == 1) {
                    ++written;
                } else if (e.bSymlink) {
                    r.Fail("entry " + Narrow(e.Name) + ": symbolic link, not extracted");
                } else if (!e.bNameValid) {
                    r.Fail("entry " + std::to_string(i) + " '" + Narrow(e.Name) +
                           "': name outside the working folder, not extracted");
                } else if (extracted < 0) {
                    r.Fail("entry " + Narrow(e.Name) + ": data corrupt, not extracted");
                } else {
                    r.Fail("entry " + Narrow(e.Name) + ": path too long, not extracted");
                }
            }
            const uint32_t count = ZipEntryCount(&reader);
            if (count != claimed) {
                r.Fail("archive claims " + std::to_string(claimed) + " entries, " +
                       std::to_string(count) + " can be read");
            }
            ZipCloseArchive(&reader);
            r.Info("entries extracted: " + std::to_string(written) + " of " +
                   std::to_string(count));
            CheckFolder(r, temp);
        }
        fs::remove_all(temp, ec);
    } else {
        r.Fail(target + ": no such package");
    }
    if (r.problems == 0) {
        out << "result: sound\n";
        return 0;
    }
    out << "result: not sound, " << r.problems << " problem(s)\n";
    return 1;
}

} // namespace zxpkg
