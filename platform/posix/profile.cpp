// GetPrivateProfileStringW and GetPrivateProfileIntW with the rules of the Windows profile
// functions, over the parsed form that profile_store.cpp keeps (docs/platform.md lists them and
// the few places where the documentation was followed rather than Wine).
#include "platform/posix/profile.h"
#include "platform/posix/paths.h"
#include "platform/posix/profile_store.h"

#include <memory>

namespace {

using zxposix::ParsedProfile;
using zxposix::ProfileKey;
using zxposix::ProfileNextChar;
using zxposix::ProfileRange;
using zxposix::ProfileSection;

// GetPrivateProfileIntW reads the value through a buffer of this many characters.
const DWORD kIntegerChars = 30;

struct Name {
    LPCWSTR text;
    size_t length;
};

// A name passed in, without its surrounding blanks.
Name TrimmedName(LPCWSTR text) {
    while (zxposix::IsProfileBlank(*text)) {
        ++text;
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    while (length > 0 && zxposix::IsProfileBlank(text[length - 1])) {
        --length;
    }
    return Name{text, length};
}

// Names compare without regard to case, non-ASCII letters included.
bool SameName(const ParsedProfile& profile, ProfileRange range, const Name& name) {
    if (range.length < name.length) {
        return false; // a character takes at least one unit
    }
    uint32_t pos = range.start;
    uint32_t end = range.start + range.length;
    for (size_t i = 0; i < name.length; ++i) {
        if (pos == end || zxposix::FoldCase(ProfileNextChar(profile, &pos, end)) !=
                              zxposix::FoldCase(name.text[i])) {
            return false;
        }
    }
    return pos == end;
}

Name WholeName(LPCWSTR text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return Name{text, length};
}

// The first reachable section of the name. A key is looked up under the name without its
// surrounding blanks; the keys are listed only for the name as given (Windows' kernel32, as
// Wine has it, does so).
const ProfileSection* FindSection(const ParsedProfile& profile, LPCWSTR appName, bool trim) {
    Name name = trim ? TrimmedName(appName) : WholeName(appName);
    for (const ProfileSection& section : profile.sections) {
        if (section.reachable && SameName(profile, section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

// Sections with at least this many lines are looked up through an index.
const uint32_t kIndexedKeys = 32;

std::wstring FoldedName(const ParsedProfile& profile, ProfileRange range) {
    std::wstring out;
    uint32_t pos = range.start;
    uint32_t end = range.start + range.length;
    while (pos < end) {
        out.push_back(zxposix::FoldCase(ProfileNextChar(profile, &pos, end)));
    }
    return out;
}

// The first line of the section with that name; it is an entry only when it has a value.
const ProfileKey* FindKey(const ParsedProfile& profile, const ProfileSection& section,
                          LPCWSTR keyName) {
    Name name = TrimmedName(keyName);
    if (section.keyCount >= kIndexedKeys) {
        std::lock_guard<std::mutex> guard(profile.indexLock);
        auto made = profile.keyIndex.try_emplace(section.firstKey);
        std::unordered_map<std::wstring, uint32_t>& index = made.first->second;
        if (made.second) {
            for (uint32_t i = section.keyCount; i-- > 0;) { // the first line of a name wins
                index[FoldedName(profile, profile.keys[section.firstKey + i].name)] =
                    section.firstKey + i;
            }
        }
        std::wstring wanted;
        for (size_t i = 0; i < name.length; ++i) {
            wanted.push_back(zxposix::FoldCase(name.text[i]));
        }
        auto found = index.find(wanted);
        return found != index.end() ? &profile.keys[found->second] : nullptr;
    }
    for (uint32_t i = 0; i < section.keyCount; ++i) {
        const ProfileKey& key = profile.keys[section.firstKey + i];
        if (SameName(profile, key.name, name)) {
            return &key;
        }
    }
    return nullptr;
}

// Copies up to `room` characters of a range; returns the number copied and sets *all when the
// whole range fitted.
DWORD CopyRange(const ParsedProfile& profile, ProfileRange range, LPWSTR out, DWORD room,
                bool* all) {
    uint32_t pos = range.start;
    uint32_t end = range.start + range.length;
    DWORD n = 0;
    while (pos < end && n < room) {
        out[n++] = ProfileNextChar(profile, &pos, end);
    }
    *all = pos == end;
    return n;
}

// A value: when it starts with a quote and ends with the same one, the opening quote is
// dropped, the rest is cut to the buffer less one, and the closing quote is dropped when it was
// copied. (Windows' kernel32 as Wine has it drops the last copied character whenever the value
// with its closing quote is exactly as long as the buffer, losing a character of a value that
// fits; the documented rule, a string that fits comes back whole, is followed here.)
DWORD CopyValue(const ParsedProfile& profile, const ProfileKey& key, LPWSTR out, DWORD size) {
    ProfileRange body = key.value;
    bool quoted = false;
    if (body.length >= 2) {
        uint32_t pos = body.start;
        uint32_t end = body.start + body.length;
        WCHAR first = ProfileNextChar(profile, &pos, end);
        WCHAR last = zxposix::ProfileUnit(profile, end - 1);
        if ((first == L'"' || first == L'\'') && last == first) {
            quoted = true;
            body.start += 1;
            body.length -= 1;
        }
    }
    bool all = false;
    DWORD n = CopyRange(profile, body, out, size - 1, &all);
    out[n] = 0;
    if (quoted && all && n > 0) {
        out[--n] = 0;
    }
    return n;
}

// The default without its trailing spaces (a null default is empty), cut to the buffer.
DWORD CopyDefault(LPCWSTR defaultValue, LPWSTR out, DWORD size) {
    if (defaultValue == nullptr) {
        defaultValue = L"";
    }
    size_t length = 0;
    while (defaultValue[length] != 0) {
        ++length;
    }
    while (length > 0 && defaultValue[length - 1] == L' ') {
        --length;
    }
    DWORD n = length < size - 1 ? static_cast<DWORD>(length) : size - 1;
    for (DWORD i = 0; i < n; ++i) {
        out[i] = defaultValue[i];
    }
    out[n] = 0;
    return n;
}

// The section names, each followed by a zero and the list by a second zero. When a name does
// not fit (or fits only without room for the final zero), it is cut, two zeros follow it and
// the result is the size less two.
DWORD ListSections(const ParsedProfile* profile, LPWSTR out, DWORD size) {
    if (size == 1) {
        out[0] = 0;
        return 0;
    }
    DWORD room = size - 1;
    LPWSTR p = out;
    if (profile != nullptr) {
        for (const ProfileSection& section : profile->sections) {
            if (!section.reachable || section.name.length == 0) {
                continue;
            }
            bool all = false;
            DWORD n = CopyRange(*profile, section.name, p, room - 1, &all);
            if (!all || n + 1 >= room) {
                p += room - 1 < n ? room - 1 : n;
                *p++ = 0;
                *p = 0;
                return size - 2;
            }
            p += n;
            *p++ = 0;
            room -= n + 1;
        }
    }
    *p = 0;
    return static_cast<DWORD>(p - out);
}

// The names of the section's entries (not comment lines, not lines without '='), each followed
// by a zero and the list by a second zero. A list that does not fit (or fits only exactly) ends
// with its last name cut and two zeros, and the result is the size less two. *empty is set when
// a whole list stored nothing before its final zero; the caller then gives the default.
DWORD ListKeys(const ParsedProfile& profile, const ProfileSection& section, LPWSTR out, DWORD size,
               bool* empty) {
    DWORD room = size;
    LPWSTR p = out;
    for (uint32_t i = 0; i < section.keyCount; ++i) {
        const ProfileKey& key = profile.keys[section.firstKey + i];
        if (!key.hasValue ||
            (key.name.length > 0 && zxposix::ProfileUnit(profile, key.name.start) == L';')) {
            continue;
        }
        if (room <= 2) {
            // No room for another name. The documented answer even when nothing was stored
            // (Wine gives the default then): two zeros and the size less two.
            *empty = false;
            p[0] = 0;
            if (p == out && size >= 2) {
                p[1] = 0;
            }
            return size >= 2 ? size - 2 : 0;
        }
        bool all = false;
        DWORD n = CopyRange(profile, key.name, p, room - 2, &all);
        p[n] = 0;
        room -= n + 1;
        p += n + 1;
        if (room < 2) {
            *empty = false;
            *p = 0; // the last character of the buffer
            return size - 2;
        }
    }
    *p = 0;
    *empty = out[0] == 0;
    return size - room;
}

// RtlUnicodeStringToInteger with base 0: leading characters up to the space skipped, one sign,
// then "0x", "0o" or "0b" (lower case only) choose the base, else decimal; digits are read up
// to the first one that is not of the base, wrapping at 32 bits.
UINT ReadInteger(LPCWSTR text) {
    while (*text != 0 && *text <= L' ') {
        ++text;
    }
    bool negative = false;
    if (*text == L'+' || *text == L'-') {
        negative = *text == L'-';
        ++text;
    }
    UINT base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'o' || text[1] == L'b')) {
        base = text[1] == L'x' ? 16 : text[1] == L'o' ? 8 : 2;
        text += 2;
    }
    UINT value = 0;
    for (; *text != 0; ++text) {
        WCHAR c = *text;
        UINT digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<UINT>(c - L'0');
        } else if (c >= L'A' && c <= L'Z') {
            digit = static_cast<UINT>(c - L'A') + 10;
        } else if (c >= L'a' && c <= L'z') {
            digit = static_cast<UINT>(c - L'a') + 10;
        } else {
            break;
        }
        if (digit >= base) {
            break;
        }
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

} // namespace

DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                               LPWSTR returnedString, DWORD size, LPCWSTR fileName) {
    if (returnedString == nullptr || size == 0) {
        return 0;
    }
    std::shared_ptr<const ParsedProfile> profile = zxposix::LoadProfile(fileName);
    if (profile == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND); // a missing file reads as an empty one
    }
    if (appName == nullptr) {
        return ListSections(profile.get(), returnedString, size);
    }
    const ProfileSection* section =
        profile != nullptr ? FindSection(*profile, appName, keyName != nullptr) : nullptr;
    if (section != nullptr && keyName == nullptr) {
        bool empty = false;
        DWORD n = ListKeys(*profile, *section, returnedString, size, &empty);
        if (!empty) {
            return n;
        }
    } else if (section != nullptr) {
        const ProfileKey* key = FindKey(*profile, *section, keyName);
        if (key != nullptr && key->hasValue) {
            return CopyValue(*profile, *key, returnedString, size);
        }
    }
    return CopyDefault(defaultValue, returnedString, size);
}

// The value as GetPrivateProfileStringW gives it into a small buffer (so a null section or key
// reads the first name of the list), then as a number; an empty text gives the default.
UINT GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue, LPCWSTR fileName) {
    WCHAR text[kIntegerChars];
    if (GetPrivateProfileStringW(appName, keyName, L"", text, kIntegerChars, fileName) == 0 ||
        text[0] == 0) {
        return static_cast<UINT>(defaultValue);
    }
    return ReadInteger(text);
}
