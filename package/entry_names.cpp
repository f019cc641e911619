#include "package/entry_names.h"

#include <wchar.h>

namespace {

bool IsSeparator(WCHAR c) {
    return c == L'\\' || c == L'/';
}

bool IsForbiddenChar(WCHAR c) {
    return c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
           c == L'|' || c == 0x7F;
}

// A component made only of dots and blanks other than "." itself: ".." climbs out, and
// Windows trims trailing dots and blanks, so "..." and ". ." would climb out as well.
bool IsClimbingComponent(const WCHAR* begin, const WCHAR* end) {
    if (end - begin == 1 && begin[0] == L'.') {
        return false;
    }
    if (begin == end) {
        return false;
    }
    for (const WCHAR* p = begin; p < end; ++p) {
        if (*p != L'.' && *p != L' ') {
            return false;
        }
    }
    return true;
}

WCHAR AsciiUpper(WCHAR c) {
    return c >= L'a' && c <= L'z' ? static_cast<WCHAR>(c - L'a' + L'A') : c;
}

// The digits that name a COM or LPT port: 1 to 9, and the superscripts one, two and three,
// which Windows takes as port numbers too.
bool IsPortDigit(WCHAR c) {
    return (c >= L'1' && c <= L'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

// A component that Windows opens as a device wherever it stands: CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9 (and with a superscript digit), CONIN$ and CONOUT$, in any case, alone or
// before a dot or blanks ("nul.txt", "CON ").
bool IsDeviceComponent(const WCHAR* begin, const WCHAR* end) {
    const WCHAR* stem = begin;
    while (stem < end && *stem != L'.') {
        ++stem;
    }
    while (stem > begin && stem[-1] == L' ') {
        --stem;
    }
    WCHAR upper[8];
    size_t length = static_cast<size_t>(stem - begin);
    if (length < 3 || length > 7) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        upper[i] = AsciiUpper(begin[i]);
    }
    upper[length] = 0;
    static const WCHAR* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const WCHAR* device : kDevices) {
        if (wcscmp(upper, device) == 0) {
            return true;
        }
    }
    return length == 4 && (wcsncmp(upper, L"COM", 3) == 0 || wcsncmp(upper, L"LPT", 3) == 0) &&
           IsPortDigit(upper[3]);
}

} // namespace

BOOL IsSafeRelativeName(const WCHAR* name) {
    if (name == nullptr || name[0] == 0 || IsSeparator(name[0])) {
        return FALSE;
    }
    const WCHAR* component = name;
    for (const WCHAR* p = name;; ++p) {
        if (*p == 0 || IsSeparator(*p)) {
            if (IsClimbingComponent(component, p) || IsDeviceComponent(component, p)) {
                return FALSE;
            }
            if (*p == 0) {
                break;
            }
            component = p + 1;
        } else if (IsForbiddenChar(*p)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL FoldEntryName(const WCHAR* name, WCHAR* folded, size_t capacity) {
    if (name == nullptr || folded == nullptr || capacity == 0) {
        return FALSE;
    }
    size_t out = 0;
    size_t componentStart = 0;
    for (const WCHAR* p = name;; ++p) {
        if (*p == 0 || IsSeparator(*p)) {
            // Windows drops the trailing dots and blanks of each component.
            while (out > componentStart && (folded[out - 1] == L'.' || folded[out - 1] == L' ')) {
                --out;
            }
            if (*p == 0) {
                break;
            }
            if (out + 1 >= capacity) {
                folded[0] = 0;
                return FALSE;
            }
            folded[out++] = L'\\';
            componentStart = out;
        } else {
            if (out + 1 >= capacity) {
                folded[0] = 0;
                return FALSE;
            }
            folded[out++] = *p;
        }
    }
    folded[out] = 0;
    CharUpperW(folded);
    return TRUE;
}
