// The parsed form of a profile (INI) file, read once and kept while the file stays the same.
// Internal to platform/posix: profile.cpp applies the rules of the profile functions to it.
//
// The file's bytes are kept as read; positions count text units (bytes of ANSI text, 16-bit
// units of UTF-16LE text after its byte-order mark). A file that starts with FF FE is UTF-16LE;
// every other file, one with the UTF-8 byte-order mark included, is ANSI text (CP_ACP), as
// Windows reads it. CR, LF and CR LF end lines.
#pragma once

#include "platform/posix/types.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zxposix {

struct ProfileRange {
    uint32_t start;  // first unit
    uint32_t length; // units
};

// One line of a section that is not blank: "name = value" (hasValue), or a line without '='
// (its whole text as the name; it is no entry, and it hides a later entry of that name).
struct ProfileKey {
    ProfileRange name;
    ProfileRange value;
    bool hasValue;
};

// A section: sections[0] holds the lines before the first header and is named "". A header
// with an empty name ("[]", "[ ]") starts a section that no name reaches.
struct ProfileSection {
    ProfileRange name;
    uint32_t firstKey; // its keys are keys[firstKey .. firstKey + keyCount)
    uint32_t keyCount;
    bool reachable;
};

struct ParsedProfile {
    std::string bytes;
    bool utf16;
    uint32_t textStart; // byte offset of unit 0 (2 after the UTF-16LE mark)
    uint32_t units;     // text length in units
    WCHAR ansi[256];    // the ANSI code page's character for each byte
    std::vector<ProfileSection> sections;
    std::vector<ProfileKey> keys;
    // For sections of many keys, made on their first lookup: each case-folded key name and the
    // index of its first line, so that looking up every key of a section takes linear time.
    mutable std::mutex indexLock;
    mutable std::map<uint32_t, std::unordered_map<std::wstring, uint32_t>> keyIndex; // by firstKey
};

// Files at or above this size are not read (positions are 32-bit).
const uint64_t kProfileMaxBytes = 0x7FFFFFFF;

// The unit at a position.
inline WCHAR ProfileUnit(const ParsedProfile& profile, uint32_t index) {
    if (profile.utf16) {
        size_t at = profile.textStart + 2 * static_cast<size_t>(index);
        return static_cast<WCHAR>(
            static_cast<unsigned char>(profile.bytes[at]) |
            (static_cast<unsigned>(static_cast<unsigned char>(profile.bytes[at + 1])) << 8));
    }
    return profile.ansi[static_cast<unsigned char>(profile.bytes[profile.textStart + index])];
}

// The next character of a range at *pos (a UTF-16 surrogate pair gives one character, as a
// wide character holds it here), advancing *pos; end is the range's end.
WCHAR ProfileNextChar(const ParsedProfile& profile, uint32_t* pos, uint32_t end);

// Blanks around names and values: space, tab, vertical tab, form feed, CR, LF and Ctrl-Z.
bool IsProfileBlank(WCHAR c);

// Parses the bytes of a file (already in profile->bytes).
void ParseProfile(ParsedProfile* profile);

// The parsed form of the named file, read and parsed when it is not kept already or when the
// file changed since (other file, size, modification or change time); null when the file
// cannot be read. Safe to call from several threads; the result never changes.
std::shared_ptr<const ParsedProfile> LoadProfile(LPCWSTR fileName);

// How many times a file was parsed since the process started (for tests).
unsigned long long ProfileParseCount();

} // namespace zxposix
