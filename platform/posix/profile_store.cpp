// Reads, parses and keeps profile files: the program reads ReflashInfo.ini key by key, from the
// dialog thread and from the update worker, so the parsed form of the last file read is kept
// and reused while the file is the same one, unchanged.
#include "platform/posix/profile_store.h"
#include "platform/posix/codepage.h"
#include "platform/posix/file_system.h"
#include "platform/posix/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <mutex>

namespace zxposix {

namespace {

// What identifies one version of a file: a different file under the name, or a write to it,
// changes one of these.
struct FileIdentity {
    std::string path;
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
    return a.path == b.path && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           SameTime(a.modified, b.modified) && SameTime(a.changed, b.changed);
}

// File times advance in coarse steps (a few milliseconds here, two seconds on some file
// systems), so a file written again within one step keeps its times and often its size. The
// kept form is trusted on identity alone only once the file's times lie this far before the
// moment it was read; until then every call reads the bytes again and compares them (without
// parsing them again when they are the same).
const time_t kSettleSeconds = 2;

bool Settled(const FileIdentity& identity, const struct timespec& readTime) {
    time_t limit = readTime.tv_sec - kSettleSeconds;
    return identity.modified.tv_sec < limit && identity.changed.tv_sec < limit;
}

std::mutex gCacheLock;
FileIdentity gCachedIdentity;                     // guarded by gCacheLock
bool gCachedSettled = false;                      // guarded by gCacheLock
std::shared_ptr<const ParsedProfile> gCachedFile; // guarded by gCacheLock
unsigned long long gParseCount = 0;               // guarded by gCacheLock

// The Linux path of a profile file name. A name without any folder would be looked for in the
// Windows folder, which this platform does not have, so it counts as missing.
bool LinuxPathOfProfile(LPCWSTR fileName, std::string* linuxPath) {
    if (fileName == nullptr) {
        return false;
    }
    bool hasFolder = false;
    for (LPCWSTR p = fileName; *p != 0; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            hasFolder = true;
        }
    }
    WindowsPath path;
    if (!hasFolder || IsDevicePath(fileName) || ParseWindowsPath(fileName, false, &path) != 0) {
        return false;
    }
    *linuxPath = LinuxPathOf(path);
    return true;
}

bool ReadAll(int fd, off_t expected, std::string* bytes) {
    bytes->reserve(static_cast<size_t>(expected));
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return false;
        }
        if (bytes->size() + static_cast<size_t>(n) >= kProfileMaxBytes) {
            return false; // grew past the limit while being read
        }
        bytes->append(chunk, static_cast<size_t>(n));
    }
}

void Decode(ParsedProfile* profile) {
    const std::string& bytes = profile->bytes;
    profile->utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                     static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (profile->utf16) {
        profile->textStart = 2;
        profile->units =
            static_cast<uint32_t>((bytes.size() - 2) / 2); // an odd last byte is no unit
    } else {
        profile->textStart = 0;
        profile->units = static_cast<uint32_t>(bytes.size());
    }
    // The ANSI code page is a single-byte one here: each byte is one character.
    for (int b = 0; b < 256; ++b) {
        char byte = static_cast<char>(b);
        WCHAR c = static_cast<WCHAR>(b);
        MultiByteToWideChar(CP_ACP, 0, &byte, 1, &c, 1);
        profile->ansi[b] = c;
    }
}

ProfileRange Trimmed(const ParsedProfile& profile, uint32_t start, uint32_t end) {
    while (start < end && IsProfileBlank(ProfileUnit(profile, start))) {
        ++start;
    }
    while (end > start && IsProfileBlank(ProfileUnit(profile, end - 1))) {
        --end;
    }
    return ProfileRange{start, end - start};
}

void AddSection(ParsedProfile* profile, ProfileRange name, bool reachable) {
    profile->sections.push_back(
        ProfileSection{name, static_cast<uint32_t>(profile->keys.size()), 0, reachable});
}

// One line, without its line end: a section header when it starts with '[' and holds a ']'
// (the name runs to the last one), otherwise a key line.
void ParseLine(ParsedProfile* profile, uint32_t start, uint32_t end) {
    ProfileRange line = Trimmed(*profile, start, end);
    if (line.length == 0) {
        return;
    }
    uint32_t lineEnd = line.start + line.length;
    if (ProfileUnit(*profile, line.start) == L'[') {
        for (uint32_t i = lineEnd; i > line.start + 1; --i) {
            if (ProfileUnit(*profile, i - 1) == L']') {
                ProfileRange name = Trimmed(*profile, line.start + 1, i - 1);
                AddSection(profile, name, name.length != 0);
                return;
            }
        }
    }
    ProfileKey key{line, ProfileRange{lineEnd, 0}, false};
    for (uint32_t i = line.start; i < lineEnd; ++i) {
        if (ProfileUnit(*profile, i) == L'=') {
            key.name = Trimmed(*profile, line.start, i);
            key.value = Trimmed(*profile, i + 1, lineEnd);
            key.hasValue = true;
            break;
        }
    }
    profile->keys.push_back(key);
    profile->sections.back().keyCount++;
}

} // namespace

bool IsProfileBlank(WCHAR c) {
    return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f' || c == L'\r' || c == L'\n' ||
           c == 0x1A;
}

WCHAR ProfileNextChar(const ParsedProfile& profile, uint32_t* pos, uint32_t end) {
    WCHAR c = ProfileUnit(profile, (*pos)++);
    if (profile.utf16 && c >= 0xD800 && c <= 0xDBFF && *pos < end) {
        WCHAR low = ProfileUnit(profile, *pos);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++*pos;
            return static_cast<WCHAR>(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        }
    }
    return c;
}

void ParseProfile(ParsedProfile* profile) {
    Decode(profile);
    profile->sections.clear();
    profile->keys.clear();
    AddSection(profile, ProfileRange{0, 0}, true);
    uint32_t lineStart = 0;
    for (uint32_t i = 0; i < profile->units; ++i) {
        WCHAR c = ProfileUnit(*profile, i);
        if (c == L'\r' || c == L'\n') {
            ParseLine(profile, lineStart, i);
            lineStart = i + 1;
        }
    }
    ParseLine(profile, lineStart, profile->units);
}

std::shared_ptr<const ParsedProfile> LoadProfile(LPCWSTR fileName) {
    FileIdentity identity;
    if (!LinuxPathOfProfile(fileName, &identity.path)) {
        return nullptr;
    }
    // Non-blocking, so that a FIFO under the name does not stall the call; it is refused below.
    int fd = open(identity.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    // A handle of this process that refuses readers keeps the file from being read.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) >= kProfileMaxBytes ||
        !OthersAllowReading(st.st_dev, st.st_ino)) {
        close(fd);
        return nullptr;
    }
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.modified = st.st_mtim;
    identity.changed = st.st_ctim;

    std::lock_guard<std::mutex> hold(gCacheLock);
    bool known = gCachedFile != nullptr && SameIdentity(identity, gCachedIdentity);
    if (known && gCachedSettled) {
        close(fd);
        return gCachedFile;
    }
    struct timespec readTime;
    clock_gettime(CLOCK_REALTIME, &readTime);
    std::string bytes;
    bool read = ReadAll(fd, st.st_size, &bytes);
    close(fd);
    if (!read) {
        return nullptr;
    }
    // A write while the file was read changes its times or size, so the next call reads again.
    gCachedIdentity = identity;
    gCachedSettled = Settled(identity, readTime);
    if (gCachedFile != nullptr && bytes == gCachedFile->bytes) {
        return gCachedFile; // the same text (also after a touch or a copy): no new parse
    }
    auto parsed = std::make_shared<ParsedProfile>();
    parsed->bytes.swap(bytes);
    ParseProfile(parsed.get());
    ++gParseCount;
    gCachedFile = parsed;
    return parsed;
}

unsigned long long ProfileParseCount() {
    std::lock_guard<std::mutex> hold(gCacheLock);
    return gParseCount;
}

} // namespace zxposix
