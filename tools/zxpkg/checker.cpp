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
#include <wchar.h>
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

// "kind 0 (crc32)" or "kind 1 (crc32c)".
std::string KindText(int kind) {
    return kind == CHECKSUM_CRC32C ? "kind 1 (crc32c)" : "kind 0 (crc32)";
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The key names of one section, in file order, as the profile reader lists them (so a
// UTF-16LE file and comment lines are taken as the program takes them); each name once.
std::vector<std::wstring> SectionKeys(const std::wstring& ini, const wchar_t* section) {
    std::vector<WCHAR> buffer(1 << 16);
    for (;;) {
        DWORD n = GetPrivateProfileStringW(section, nullptr, L"", buffer.data(),
                                           static_cast<DWORD>(buffer.size()), ini.c_str());
        if (n + 2 < buffer.size()) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    std::vector<std::wstring> keys;
    std::set<std::wstring> seen;
    for (const WCHAR* p = buffer.data(); *p != 0; p += wcslen(p) + 1) {
        std::wstring upper(p);
        CharUpperW(upper.data());
        if (seen.insert(upper).second) {
            keys.push_back(p);
        }
    }
    return keys;
}

// Whether the text comes back unchanged through the ANSI code page; *ansiBytes (when asked
// for) receives the length of its ANSI form.
bool SurvivesAnsi(const std::wstring& text, size_t* ansiBytes = nullptr) {
    char narrow[4 * PACKAGE_PATH_CHARS];
    BOOL usedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(),
                                static_cast<int>(text.size()), narrow, sizeof(narrow), nullptr,
                                &usedDefault);
    if (ansiBytes != nullptr) {
        *ansiBytes = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (n <= 0 || usedDefault) {
        return false;
    }
    WCHAR back[PACKAGE_PATH_CHARS * 4];
    int m = MultiByteToWideChar(CP_ACP, 0, narrow, n, back, PACKAGE_PATH_CHARS * 4);
    return m == static_cast<int>(text.size()) && std::wstring(back, static_cast<size_t>(m)) == text;
}

// The longest image name that fits a path of the program's under a typical temp folder of 100
// characters: "<temp>\Reflash\<20 digits>\" takes 130 of the 259.
const size_t kTypicalTempChars = 100;
const size_t kLongestImageName = PACKAGE_PATH_CHARS - 1 - (kTypicalTempChars + 1 + 7 + 1 + 20 + 1);

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8);
}
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return Le16(b, at) | Le16(b, at + 2) << 16;
}

// For each central directory record whose local header carries another name: the central
// name and the local one. Zip64 offsets and archives with a comment past 64 KiB are not read.
std::vector<std::pair<std::string, std::string>> LocalNameMismatches(const fs::path& zip) {
    std::vector<std::pair<std::string, std::string>> out;
    std::error_code ec;
    uintmax_t size = fs::file_size(zip, ec);
    if (ec || size < 22 || size > 0xFFFFFFFFu) {
        return out;
    }
    std::ifstream in(zip, std::ios::binary);
    auto readAt = [&](uint64_t at, size_t length, std::vector<uint8_t>& bytes) {
        bytes.assign(length, 0);
        if (at + length > size) {
            return false;
        }
        in.clear();
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
        return static_cast<size_t>(in.gcount()) == length;
    };
    size_t tail = static_cast<size_t>(std::min<uintmax_t>(size, 22 + 65535));
    std::vector<uint8_t> end;
    if (!readAt(size - tail, tail, end)) {
        return out;
    }
    size_t eocd = std::string::npos;
    for (size_t i = tail - 22 + 1; i-- > 0;) {
        if (Le32(end, i) == 0x06054B50) {
            eocd = i;
            break;
        }
    }
    if (eocd == std::string::npos) {
        return out;
    }
    uint32_t count = Le16(end, eocd + 10);
    uint32_t cdSize = Le32(end, eocd + 12);
    uint32_t cdOffset = Le32(end, eocd + 16);
    std::vector<uint8_t> cd;
    if (!readAt(cdOffset, cdSize, cd)) {
        return out;
    }
    size_t at = 0;
    for (uint32_t i = 0; i < count && at + 46 <= cd.size() && Le32(cd, at) == 0x02014B50; ++i) {
        size_t nameLength = Le16(cd, at + 28);
        size_t next = at + 46 + nameLength + Le16(cd, at + 30) + Le16(cd, at + 32);
        if (next > cd.size()) {
            break;
        }
        std::string central(cd.begin() + static_cast<std::ptrdiff_t>(at + 46),
                            cd.begin() + static_cast<std::ptrdiff_t>(at + 46 + nameLength));
        std::vector<uint8_t> local;
        uint32_t offset = Le32(cd, at + 42);
        if (offset != 0xFFFFFFFFu && readAt(offset, 30, local) && Le32(local, 0) == 0x04034B50) {
            size_t localLength = Le16(local, 26);
            std::vector<uint8_t> name;
            if (readAt(offset + 30, localLength, name)) {
                std::string localName(name.begin(), name.end());
                if (localName != central) {
                    out.emplace_back(central, localName);
                }
            }
        }
        at = next;
    }
    return out;
}

bool IsLookupKey(const std::wstring& key) {
    // ten or twelve hex digits, "_", and the LUN class 0, 1 or 2
    size_t us = key.find('_');
    if (us != 10 && us != 12) {
        return false;
    }
    for (size_t i = 0; i < us; ++i) {
        if (key[i] > 0x7F || !std::isxdigit(static_cast<int>(key[i]))) {
            return false;
        }
    }
    return key.size() == us + 2 && key[us + 1] >= '0' && key[us + 1] <= '2';
}

struct Report {
    std::ostream& out;
    int problems = 0;
    void Info(const std::string& line) { out << line << "\n"; }
    void Warn(const std::string& line) { out << "WARN " << line << "\n"; }
    void Fail(const std::string& line) {
        out << "FAIL " << line << "\n";
        ++problems;
    }
};

// Describes one image and fails it, naming it, when the program would refuse it: the verdict
// and its wording are the program's own (CheckImageSound, ImageVerdictText). Returns the
// checksum kind of a sound image, -1 for any other.
int CheckImage(Report& r, const std::string& name, const std::wstring& path) {
    const std::string who = "image " + name + ": ";
    DWORD size = 0;
    BYTE* image = LoadImageFile(path.c_str(), &size);
    if (image == nullptr) {
        r.Fail(who + "cannot be read or is empty");
        return -1;
    }
    int kind = -1;
    const int verdict = CheckImageSound(image, size, &kind);
    r.Info(who + "size " + std::to_string(size) + " bytes" +
           (size % IMAGE_PAGE_BYTES == 0 ? "" : " (not a whole number of pages)"));
    ImageLayout layout;
    const int state = GetImageLayout(image, size, &layout);
    if (state != IMAGE_LAYOUT_NO_MAGIC) {
        r.Info(who + "magic CMFG");
    }
    if (state != IMAGE_LAYOUT_NO_MAGIC && size >= sizeof(ImageHeader)) {
        ImageHeader header{};
        std::memcpy(&header, image, sizeof(header));
        for (int k = 0; k < IMAGE_USED_REGIONS; ++k) {
            r.Info(who + "region " + std::to_string(k) + " pages " +
                   std::to_string(header.Regions[k].FirstPage) + "-" +
                   std::to_string(header.Regions[k].LastPage));
        }
        r.Info(who + "trailer page " +
               std::to_string(static_cast<uint64_t>(header.Regions[IMAGE_CONFIG_REGION].LastPage) +
                              1));
    }
    uint32_t stored = 0;
    if (verdict == IMAGE_SOUND) {
        ReadStoredImageChecksum(image, size, &stored);
        r.Info(who + "checksum " + KindText(kind) + ", stored " + Hex32(stored) + " valid");
    } else if (ReadStoredImageChecksum(image, size, &stored)) {
        uint32_t crc32 = 0;
        uint32_t crc32c = 0;
        ComputeImageChecksum(image, size, CHECKSUM_CRC32, &crc32);
        ComputeImageChecksum(image, size, CHECKSUM_CRC32C, &crc32c);
        r.Info(who + "checksum stored " + Hex32(stored) + ", crc32 " + Hex32(crc32) + ", crc32c " +
               Hex32(crc32c));
    }
    if (verdict != IMAGE_SOUND) {
        r.Fail(who + Narrow(ImageVerdictText(verdict)));
    }
    WCHAR version[VERSION_TEXT_CHARS];
    if (ReadImageVersion(path.c_str(), version, VERSION_TEXT_CHARS)) {
        r.Info(who + "version " + Narrow(version));
    } else {
        r.Info(who + "no version");
    }
    r.Info(who + "FTL build number " + Hex32(ReadImageFtlBuildNumber(path.c_str())));
    FreeImageFile(image);
    return verdict == IMAGE_SOUND ? kind : -1;
}

// The settings that the program reads without complaint but that cannot work: each failure
// names its key.
void CheckSettings(Report& r, const fs::path& ini, const WCHAR* configPath) {
    std::ifstream in(ini, std::ios::binary);
    char head[3] = {};
    in.read(head, 3);
    if (in.gcount() == 3 && static_cast<unsigned char>(head[0]) == 0xEF &&
        static_cast<unsigned char>(head[1]) == 0xBB &&
        static_cast<unsigned char>(head[2]) == 0xBF) {
        r.Fail("ReflashInfo.ini: UTF-8 byte-order mark: the program reads the file as ANSI text, "
               "its first line is then no section header and [UPDATEINFO] reads as defaults");
    }
    WCHAR text[1024] = {};
    if (GetPrivateProfileStringW(L"UPDATEINFO", L"TITLE", L"", text, 1024, configPath) == 0) {
        r.Fail("UPDATEINFO TITLE: missing or empty: the window and every message box have no "
               "readable title");
    }
    if (GetPrivateProfileStringW(L"UPDATEINFO", L"SOCID", L"", text, 1024, configPath) == 0) {
        r.Fail("UPDATEINFO SOCID: missing or empty: no disk can ever be listed");
    }
    DWORD n = GetPrivateProfileStringW(L"UPDATEINFO", L"FWVersion", L"", text, 1024, configPath);
    if (n > 0 && (n < 3 || text[0] != L'|' || text[n - 1] != L'|')) {
        r.Fail("UPDATEINFO FWVersion: not a list of revisions between bars (|REV|REV|)");
    }
    int power = static_cast<int>(GetPrivateProfileIntW(L"UPDATEINFO", L"PowerCtrl", 0, configPath));
    if (power < 0 || power > 2) {
        r.Fail("UPDATEINFO PowerCtrl: " + std::to_string(power) +
               " is outside 0..2: the completion message offers nothing");
    }
    int parts = static_cast<int>(
        GetPrivateProfileIntW(L"UPDATEINFO", L"iInternalFWVersionCheckPart", 3, configPath));
    if (parts < 0) {
        r.Fail("UPDATEINFO iInternalFWVersionCheckPart: " + std::to_string(parts) + " is negative");
    }
    for (const wchar_t* key : {L"BeforeMessage", L"AfterMessage"}) {
        GetPrivateProfileStringW(L"UPDATEINFO", key, L"", text, 1024, configPath);
        for (const WCHAR* p = text; (p = FindNoCase(p, L"<br>")) != nullptr; p += 4) {
            if (wcsncmp(p, L"<BR>", 4) != 0) {
                r.Fail("UPDATEINFO " + Narrow(key) + ": \"" + Narrow(std::wstring(p, 4)) +
                       "\" is shown as it stands; only \"<BR>\" breaks the line");
                break;
            }
        }
    }
}

// The settings that decide which disks are written and what they are given: each failure or
// warning names its key. Read from the Application state, as the program uses them.
void CheckDriveSafety(Report& r, const AppState* state) {
    // A disk that did not answer the ZELTARIX vendor commands reports no SOC id; the model
    // list is left out, as it admits any disk that gives one of its names.
    DiskRecord foreign;
    std::memset(&foreign, 0, sizeof(foreign));
    if (IsDiskEligible(&foreign, L"", state->SOCID)) {
        r.Fail("UPDATEINFO SOCID: \"" + Narrow(state->SOCID) +
               "\" admits disks that report no SOC id: other makers' disks are listed too");
    }
    const std::wstring newVersion = state->NEWVERSION;
    if (newVersion.empty()) {
        r.Warn("UPDATEINFO NEWVERSION: empty: every update clears the drive's version field "
               "(KEEP leaves it as it is)");
    } else if (!IsKeepVersion(newVersion.c_str())) {
        // What the program writes into the drive's version field.
        BYTE block[FWCONFIG_BLOCK_BYTES] = {};
        SetConfigVersion(block, newVersion.c_str(), CHECKSUM_CRC32, nullptr);
        const char* field = reinterpret_cast<const char*>(block + FWCONFIG_VERSION_OFFSET);
        WCHAR written[FWCONFIG_VERSION_BYTES + 1] = {};
        MultiByteToWideChar(CP_ACP, 0, field,
                            static_cast<int>(strnlen(field, FWCONFIG_VERSION_BYTES)), written,
                            FWCONFIG_VERSION_BYTES);
        const std::string text = "UPDATEINFO NEWVERSION: \"" + Narrow(newVersion) + "\" ";
        const std::string gets = ": the drive gets \"" + Narrow(written) + "\"";
        size_t bytes = 0;
        if (!SurvivesAnsi(newVersion, &bytes)) {
            r.Fail(text + "does not survive the ANSI code page" + gets);
        }
        if (bytes > FWCONFIG_VERSION_BYTES) {
            r.Fail(text + "takes " + std::to_string(bytes) +
                   " bytes in the ANSI code page, the version field holds " +
                   std::to_string(FWCONFIG_VERSION_BYTES) + gets);
        }
    }
    if (state->bRemoveFtlBuildNumCheck != 0 && state->iInternalFWVersionCheckPart == 0) {
        r.Warn("UPDATEINFO bRemoveFtlBuildNumCheck: " +
               std::to_string(state->bRemoveFtlBuildNumCheck) +
               " with iInternalFWVersionCheckPart 0: neither the FTL build number nor the "
               "version ties an image to the drives it is written to");
    }
    if (state->AfterMessage[0] == 0) {
        r.Warn("UPDATEINFO AfterMessage: empty: a successful update ends without a message box "
               "(and without PowerCtrl's offer); only the status line tells the user");
    }
}

// Every UPDATEINFO key as the program read it (the title also as the file has it), one line each.
void ReportSettings(Report& r, const AppState* state) {
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
}

// One NandMap entry: whether the program looks it up and can use the file it names. A file
// that is there goes into images (file name -> full path).
void CheckNandMapEntry(Report& r, const std::wstring& key, const WCHAR* value,
                       const fs::path& folder, const std::wstring& wfolder,
                       std::map<std::string, std::wstring>* images) {
    std::string who = "NandMap " + Narrow(key) + "=" + Narrow(value) + ": ";
    if (!IsLookupKey(key)) {
        r.Warn(who + "key is never looked up (not 10 or 12 hex digits, '_' and 0, 1 or 2)");
    }
    if (value[0] == 0) {
        r.Warn(who + "empty, the lookup goes on as if the key were missing");
    } else if (Lower(Narrow(value)) == "nofile") {
        r.Info(who + "names no file on purpose");
    } else if (!IsSafeRelativeName(value)) {
        r.Fail(who + "not a plain file name inside the working folder");
    } else if (!SurvivesAnsi(value)) {
        r.Fail(who + "the name does not survive the ANSI code page");
    } else if (wcslen(value) > kLongestImageName) {
        r.Fail(who + "longer than " + std::to_string(kLongestImageName) +
               " characters: does not fit the working folder path under a temp folder of " +
               std::to_string(kTypicalTempChars) + " characters");
    } else {
        std::wstring full = wfolder + L"\\" + value;
        std::string rel = Narrow(value);
        std::replace(rel.begin(), rel.end(), '\\', '/');
        std::error_code ec;
        if (fs::is_regular_file(folder / rel, ec)) {
            r.Info(who + "file present");
            images->emplace(Narrow(value), full);
        } else {
            r.Fail(who + "file missing");
        }
    }
}

// Every NandMap entry, in file order; the images present (file name -> full path).
std::map<std::string, std::wstring> CheckNandMap(Report& r, const AppState* state,
                                                 const fs::path& folder,
                                                 const std::wstring& wfolder) {
    std::vector<std::wstring> keys = SectionKeys(state->ConfigPath, L"NandMap");
    if (keys.empty()) {
        r.Fail("NandMap has no entries");
    }
    std::map<std::string, std::wstring> images;
    for (const std::wstring& key : keys) {
        WCHAR value[PACKAGE_PATH_CHARS] = {};
        GetPrivateProfileStringW(L"NandMap", key.c_str(), L"", value, PACKAGE_PATH_CHARS,
                                 state->ConfigPath);
        CheckNandMapEntry(r, key, value, folder, wfolder, &images);
    }
    return images;
}

// Each image in name order, and a warning when the sound ones use different checksum kinds.
void CheckImages(Report& r, const std::map<std::string, std::wstring>& images) {
    std::map<int, std::vector<std::string>> kinds; // checksum kind -> the sound images of it
    for (const auto& [name, path] : images) {
        const int kind = CheckImage(r, name, path);
        if (kind >= 0) {
            kinds[kind].push_back(name);
        }
    }
    if (kinds.size() > 1) {
        std::string list;
        for (const auto& [kind, names] : kinds) {
            for (const std::string& name : names) {
                list += (list.empty() ? "" : ", ") + name + " " + KindText(kind);
            }
        }
        r.Warn("images use different checksum kinds: " + list);
    }
}

int CheckFolder(Report& r, const fs::path& folder) {
    AppState* state = GetAppState();
    InitAppState("");
    std::wstring wfolder = Widen(folder.string());
    CopyText(state->WorkingFolder, APP_PATH_CHARS, wfolder.c_str());
    std::wstring config = wfolder + L"\\" + PACKAGE_CONFIG_NAME;
    CopyText(state->ConfigPath, APP_PATH_CHARS, config.c_str());
    fs::path ini = folder / "ReflashInfo.ini";
    std::error_code iniError;
    if (!fs::is_regular_file(ini, iniError)) {
        r.Fail("ReflashInfo.ini missing");
    }
    LoadPackageConfig(state->ConfigPath);
    ReportSettings(r, state);
    CheckSettings(r, ini, state->ConfigPath);
    CheckDriveSafety(r, state);
    CheckImages(r, CheckNandMap(r, state, folder, wfolder));
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

// The archive limits the program applies before it extracts anything.
void ReportArchiveLimits(Report& r, ZipReader* reader) {
    switch (CheckArchiveLimits(reader)) {
    case PACKAGE_LIMIT_TOTAL:
        r.Fail("archive: the entries expand past " + std::to_string(PACKAGE_MAX_EXPANDED_BYTES) +
               " bytes; the program extracts nothing");
        break;
    case PACKAGE_LIMIT_RATIO:
        r.Fail("archive: an entry expands more than " + std::to_string(PACKAGE_MAX_RATIO) +
               " times its compressed size; the program extracts nothing");
        break;
    case PACKAGE_LIMIT_CONFIG:
        r.Fail("archive: ReflashInfo.ini is larger than " +
               std::to_string(PACKAGE_MAX_CONFIG_BYTES) + " bytes; the program extracts nothing");
        break;
    default:
        break;
    }
}

// Whether the entry is left out before extraction: a name Windows takes for an earlier entry's
// (folded: folded name -> first entry's name), or encrypted.
bool LeftOutBeforeExtraction(Report& r, const ZipEntry& e,
                             std::map<std::wstring, std::wstring>* folded) {
    WCHAR key[PACKAGE_PATH_CHARS];
    if (e.bNameValid && !e.bDirectory && FoldEntryName(e.Name, key, PACKAGE_PATH_CHARS)) {
        auto [it, added] = folded->emplace(key, e.Name);
        if (!added) {
            r.Fail("entry " + Narrow(e.Name) + ": Windows takes it for entry " +
                   Narrow(it->second) + ", not extracted");
            return true;
        }
    }
    if (e.bEncrypted) {
        r.Fail("entry " + Narrow(e.Name) +
               ": encrypted; the program reads no password, not extracted");
        return true;
    }
    return false;
}

// Why entry i was not extracted, from ZipExtractEntry's result.
void ReportNotExtracted(Report& r, uint32_t i, const ZipEntry& e, int extracted) {
    if (e.bSymlink) {
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

// Extracts every entry as the program's extraction does, so that one whose data is corrupt is
// named even when no NandMap entry uses it. Returns the number written.
int ExtractEntries(Report& r, ZipReader* reader) {
    int written = 0;
    std::map<std::wstring, std::wstring> folded; // folded name -> first entry's name
    // The count shrinks to the entries that can be reached.
    for (uint32_t i = 0; i < ZipEntryCount(reader); ++i) {
        ZipEntry e;
        if (!ZipGetEntry(reader, i, &e)) {
            r.Fail("entry " + std::to_string(i) + ": unreadable");
            continue;
        }
        if (LeftOutBeforeExtraction(r, e, &folded)) {
            continue;
        }
        int extracted = ZipExtractEntry(reader, i);
        if (extracted == 1) {
            ++written;
        } else {
            ReportNotExtracted(r, i, e, extracted);
        }
    }
    return written;
}

// Reads the archive at path into the temporary folder temp and checks what the program would
// find there.
void CheckArchiveIn(Report& r, const fs::path& path, const std::string& temp) {
    std::wstring wzip = Widen(path.string());
    std::wstring wtemp = Widen(temp);
    ZipReader reader;
    if (!ZipOpenArchive(&reader, wzip.c_str())) {
        r.Fail("not a readable ZIP archive");
        return;
    }
    const uint32_t claimed = ZipEntryCount(&reader);
    ReportArchiveLimits(r, &reader);
    for (const auto& [central, local] : LocalNameMismatches(path)) {
        r.Fail("entry " + central + ": its local header names it " + local);
    }
    ZipSetBaseFolder(&reader, wtemp.c_str());
    const int written = ExtractEntries(r, &reader);
    const uint32_t count = ZipEntryCount(&reader);
    if (count != claimed) {
        r.Fail("archive claims " + std::to_string(claimed) + " entries, " + std::to_string(count) +
               " can be read");
    }
    ZipCloseArchive(&reader);
    r.Info("entries extracted: " + std::to_string(written) + " of " + std::to_string(count));
    CheckFolder(r, temp);
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
        CheckArchiveIn(r, path, temp);
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
