// Profile (INI) files read with the rules of the Windows profile functions. The file is read
// afresh on every call: ANSI text (CP_ACP) unless it starts with the UTF-16LE byte-order mark;
// lines end in CR LF, LF or CR. Lines before the first section and lines without '=' are not
// entries. Names compare without regard to case; the first matching section and key count.
#include "platform/posix/profile.h"
#include "platform/posix/codepage.h"
#include "platform/posix/file_system.h"
#include "platform/posix/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Entry {
    std::wstring key;
    std::wstring value;
};

struct Section {
    std::wstring name;
    std::vector<Entry> entries;
};

bool IsBlank(WCHAR c) {
    return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && IsBlank(text[start])) {
        ++start;
    }
    while (end > start && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(start, end - start);
}

WCHAR Fold(WCHAR c) {
    return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

bool SameName(const std::wstring& a, LPCWSTR b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (b[i] == 0 || Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return b[i] == 0;
}

// Reads the file's bytes. A name without any folder would be looked for in the Windows
// folder, which this platform does not have, so it counts as missing.
bool ReadBytes(LPCWSTR fileName, std::string* bytes) {
    if (fileName == nullptr) {
        return false;
    }
    bool hasFolder = false;
    for (LPCWSTR p = fileName; *p != 0; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            hasFolder = true;
        }
    }
    zxposix::WindowsPath path;
    if (!hasFolder || zxposix::IsDevicePath(fileName) ||
        zxposix::ParseWindowsPath(fileName, false, &path) != 0) {
        return false;
    }
    int fd = open(zxposix::LinuxPathOf(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    // A handle of this process that refuses readers keeps the file from being read.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !zxposix::OthersAllowReading(st.st_dev, st.st_ino)) {
        close(fd);
        return false;
    }
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof(chunk))) != 0) {
        if (n < 0) {
            close(fd);
            return false;
        }
        bytes->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

std::wstring Decode(const std::string& bytes) {
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned unit = static_cast<unsigned char>(bytes[i]) |
                            (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
                unsigned low =
                    static_cast<unsigned char>(bytes[i + 2]) |
                    (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 3])) << 8);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            text += static_cast<WCHAR>(unit);
        }
        return text;
    }
    if (bytes.empty()) {
        return text;
    }
    int n =
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    text.assign(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return text;
}

std::vector<Section> Parse(const std::wstring& text) {
    std::vector<Section> sections;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(L"\r\n", pos);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = Trim(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size() && text[pos] == L'\r') {
            ++pos;
        }
        if (pos < text.size() && text[pos] == L'\n') {
            ++pos;
        }
        if (line.empty()) {
            continue;
        }
        if (line[0] == L'[') {
            size_t close = line.find(L']');
            Section section;
            section.name =
                Trim(line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
            sections.push_back(section);
            continue;
        }
        size_t equals = line.find(L'=');
        if (sections.empty() || equals == std::wstring::npos) {
            continue;
        }
        sections.back().entries.push_back(
            Entry{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))});
    }
    return sections;
}

// Loads the file; false (with ERROR_FILE_NOT_FOUND) when it cannot be read.
bool Load(LPCWSTR fileName, std::vector<Section>* sections) {
    std::string bytes;
    if (!ReadBytes(fileName, &bytes)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    *sections = Parse(Decode(bytes));
    return true;
}

const Section* FindSection(const std::vector<Section>& sections, LPCWSTR name) {
    for (const Section& section : sections) {
        if (SameName(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

const Entry* FindEntry(const std::vector<Section>& sections, LPCWSTR appName, LPCWSTR keyName) {
    const Section* section = FindSection(sections, appName);
    if (section == nullptr) {
        return nullptr;
    }
    for (const Entry& entry : section->entries) {
        if (SameName(entry.key, keyName)) {
            return &entry;
        }
    }
    return nullptr;
}

// One pair of matching single or double quotes around a value is removed.
std::wstring Unquote(const std::wstring& value) {
    if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0]) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// One string, cut to the buffer less one; the result is the number of characters copied.
DWORD CopyString(const std::wstring& text, LPWSTR buffer, DWORD size) {
    DWORD n = static_cast<DWORD>(text.size());
    if (n > size - 1) {
        n = size - 1;
    }
    text.copy(buffer, n);
    buffer[n] = 0;
    return n;
}

// Names each followed by a zero and the whole list by a second zero. When the buffer is too
// small the last name is cut, two zeros follow it and the result is the size less two; a name
// that leaves no room for the final zero counts as too long.
DWORD CopyList(const std::vector<std::wstring>& names, LPWSTR buffer, DWORD size) {
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    DWORD room = size - 1;
    LPWSTR out = buffer;
    for (const std::wstring& name : names) {
        DWORD needed = static_cast<DWORD>(name.size()) + 1;
        if (needed >= room) {
            if (room > 0) {
                name.copy(out, room - 1);
                out += room - 1;
                *out++ = 0;
            }
            *out = 0;
            return size - 2;
        }
        name.copy(out, name.size());
        out += name.size();
        *out++ = 0;
        room -= needed;
    }
    *out = 0;
    return static_cast<DWORD>(out - buffer);
}

std::wstring DefaultText(LPCWSTR defaultValue) {
    std::wstring text = defaultValue != nullptr ? defaultValue : L"";
    while (!text.empty() && text.back() == L' ') {
        text.pop_back();
    }
    return text;
}

} // namespace

DWORD GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                               LPWSTR returnedString, DWORD size, LPCWSTR fileName) {
    if (returnedString == nullptr || size == 0) {
        return 0;
    }
    std::vector<Section> sections;
    Load(fileName, &sections); // a missing file reads as an empty one
    if (appName == nullptr) {
        std::vector<std::wstring> names;
        for (const Section& section : sections) {
            if (!section.name.empty()) {
                names.push_back(section.name);
            }
        }
        return CopyList(names, returnedString, size);
    }
    if (keyName == nullptr) {
        std::vector<std::wstring> names;
        if (const Section* section = FindSection(sections, appName)) {
            for (const Entry& entry : section->entries) {
                if (!entry.key.empty()) {
                    names.push_back(entry.key);
                }
            }
        }
        if (!names.empty()) {
            return CopyList(names, returnedString, size);
        }
        return CopyString(DefaultText(defaultValue), returnedString, size);
    }
    if (const Entry* entry = FindEntry(sections, appName, keyName)) {
        return CopyString(Unquote(entry->value), returnedString, size);
    }
    return CopyString(DefaultText(defaultValue), returnedString, size);
}

UINT GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue, LPCWSTR fileName) {
    std::vector<Section> sections;
    if (appName == nullptr || keyName == nullptr || !Load(fileName, &sections)) {
        return static_cast<UINT>(defaultValue);
    }
    const Entry* entry = FindEntry(sections, appName, keyName);
    if (entry == nullptr) {
        return static_cast<UINT>(defaultValue);
    }
    // Blanks, a sign, then decimal digits or "0x" and hex digits, up to the first other
    // character; the number wraps at 32 bits and no digits read as 0. Windows parses the same
    // way, so "-1" comes back as 0xFFFFFFFF (older pages of its documentation said that values
    // below zero give 0; callers here store the result in signed or 8-bit fields as it comes).
    std::wstring text = Unquote(entry->value);
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        base = 16;
        i += 2;
    }
    UINT value = 0;
    for (; i < text.size(); ++i) {
        WCHAR c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (base == 16 && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (base == 16 && c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            break;
        }
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}
