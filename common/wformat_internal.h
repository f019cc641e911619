// The pieces the wide formatter's files share: the output, one parsed conversion, and the
// floating-point conversions. Internal to common/wformat*.cpp.
#pragma once

#include <cstddef>

struct WFormatOutput {
    wchar_t* buffer;
    size_t capacity; // characters including the terminator, at least 1
    size_t length;   // characters stored
    bool cut;        // something did not fit
};

enum WFormatSize {
    kSizeNone,
    kSizeShort, // h, hh
    kSizeLong,  // l: 32 bits, as Windows' LONG and DWORD (also on Linux)
    kSizeWide,  // w (characters and strings only)
    kSize32,    // I32
    kSize64,    // ll, I64, j
    kSizePtr    // I, z, t: the width of a pointer
};

struct WFormatSpec {
    bool left;
    bool plus;
    bool space;
    bool alternate;
    bool zero;
    int width;
    int precision; // -1 when none
    WFormatSize size;
    bool narrow; // h seen last among h, l, w: an 8-bit character or string
    bool wide;   // l or w seen last: a wide character or string
    wchar_t type;
};

void WFormatPutRepeated(WFormatOutput* out, wchar_t c, size_t count);
void WFormatPutText(WFormatOutput* out, const wchar_t* text, size_t count);

// e E f g G a A of one double.
void WFormatFloat(WFormatOutput* out, const WFormatSpec& spec, double value);
