// Code-page conversion: Windows-1252 as the ANSI code page, and UTF-8. Characters that
// Windows-1252 cannot hold become the default character "?".
#include "platform/posix/codepage.h"

#include <cstring>
#include <cwchar>

namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined map to the C1
// control with the same value, as Windows does.
const WCHAR kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR Cp1252ToWide(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F) {
        return kCp1252High[b - 0x80];
    }
    return static_cast<WCHAR>(b);
}

// Returns -1 when the character has no Windows-1252 byte.
int WideToCp1252(WCHAR c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return static_cast<int>(c);
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == c) {
            return 0x80 + i;
        }
    }
    return -1;
}

// Decodes one UTF-8 sequence; returns the bytes used, or 0 for an invalid sequence.
int DecodeUtf8(const unsigned char* s, int n, WCHAR* out) {
    unsigned char b = s[0];
    int len;
    uint32_t cp;
    if (b < 0x80) {
        *out = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (n < len) {
        return 0;
    }
    for (int i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    *out = static_cast<WCHAR>(cp);
    return len;
}

int EncodeUtf8(WCHAR c, char* out) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

bool KnownCodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == 1252 || codePage == CP_UTF8;
}

} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                        LPWSTR wideChar, int cchWideChar) {
    if (multiByte == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && wideChar == nullptr) || !KnownCodePage(codePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int inLen = cbMultiByte < 0 ? static_cast<int>(std::strlen(multiByte)) + 1 : cbMultiByte;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(multiByte);
    int produced = 0;
    for (int i = 0; i < inLen;) {
        WCHAR c;
        if (codePage == CP_UTF8) {
            int used = DecodeUtf8(in + i, inLen - i, &c);
            if (used == 0) {
                if (flags & MB_ERR_INVALID_CHARS) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                c = 0xFFFD;
                used = 1;
            }
            i += used;
        } else {
            c = Cp1252ToWide(in[i++]);
        }
        if (cchWideChar > 0) {
            if (produced >= cchWideChar) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            wideChar[produced] = c;
        }
        ++produced;
    }
    return produced;
}

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wideChar, int cchWideChar, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (wideChar == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && multiByte == nullptr) || !KnownCodePage(codePage) ||
        (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int inLen = cchWideChar < 0 ? static_cast<int>(std::wcslen(wideChar)) + 1 : cchWideChar;
    char fallback = (defaultChar != nullptr && defaultChar[0] != 0) ? defaultChar[0] : '?';
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = FALSE;
    }
    int produced = 0;
    for (int i = 0; i < inLen; ++i) {
        char bytes[4];
        int n;
        if (codePage == CP_UTF8) {
            n = EncodeUtf8(wideChar[i], bytes);
        } else {
            int b = WideToCp1252(wideChar[i]);
            if (b < 0) {
                b = static_cast<unsigned char>(fallback);
                if (usedDefaultChar != nullptr) {
                    *usedDefaultChar = TRUE;
                }
            }
            bytes[0] = static_cast<char>(b);
            n = 1;
        }
        if (cbMultiByte > 0) {
            if (produced + n > cbMultiByte) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(multiByte + produced, bytes, static_cast<size_t>(n));
        }
        produced += n;
    }
    return produced;
}

namespace {

WCHAR LowerChar(WCHAR c) {
    if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<WCHAR>(c + 0x20);
    }
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130) {
            return L'i';
        }
        if (c == 0x178) {
            return 0xFF;
        }
        bool evenUpper = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if ((evenUpper && (c % 2) == 0) || (oddUpper && (c % 2) == 1)) {
            return static_cast<WCHAR>(c + 1);
        }
        return c;
    }
    if ((c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
        return static_cast<WCHAR>(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<WCHAR>(c + 0x50);
    }
    return c;
}

WCHAR UpperChar(WCHAR c) {
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x100 && c <= 0x17F && c != 0x131 && LowerChar(static_cast<WCHAR>(c - 1)) == c) {
        return static_cast<WCHAR>(c - 1);
    }
    if ((c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
        return static_cast<WCHAR>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<WCHAR>(c - 0x50);
    }
    return c;
}

template <WCHAR (*Map)(WCHAR)> LPWSTR MapText(LPWSTR text) {
    if (IS_INTRESOURCE(text)) { // a single character passed in the low word
        return reinterpret_cast<LPWSTR>(
            static_cast<ULONG_PTR>(Map(static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(text)))));
    }
    for (WCHAR* p = text; *p != 0; ++p) {
        *p = Map(*p);
    }
    return text;
}

} // namespace

LPWSTR CharLowerW(LPWSTR text) {
    return MapText<LowerChar>(text);
}

LPWSTR CharUpperW(LPWSTR text) {
    return MapText<UpperChar>(text);
}
