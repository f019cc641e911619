// Floating-point conversions with the rules of the Windows runtime the program links
// (msvcrt.dll): %f %e %E %g %G print the exact decimal value of the double, rounded half away
// from zero, with exponents of at least three digits; %a %A print the hexadecimal form with all
// 13 fraction digits unless a precision says otherwise. Infinities and NaNs print as that
// runtime prints them, "1.#INF", "1.#IND" (a NaN with its sign bit set) and "1.#QNAN", and a
// precision rounds those texts as if they were digits ("%.1f" of an infinity is "1.$").
#include "common/wformat_internal.h"

#include <stdint.h>
#include <string.h>

namespace {

const int kMaxDigits = 800; // 2^-1074 has 751 significant digits, 2^1024 has 309
const int kMaxLimbs = 100;  // of 9 decimal digits each
const uint64_t kLimbBase = 1000000000;

// A value as decimal digits: 0.d[0]d[1]...d[count-1] x 10^point, without trailing zeros
// (count 0 is zero). An infinity or NaN holds the runtime's text instead ("1#INF", point 1).
struct Digits {
    char d[kMaxDigits];
    int count;
    int point;
};

// An unsigned number in base 10^9, least significant limb first.
struct BigNumber {
    uint32_t limb[kMaxLimbs];
    int count;
};

void Multiply(BigNumber* n, uint32_t factor) {
    uint64_t carry = 0;
    for (int i = 0; i < n->count; ++i) {
        uint64_t v = static_cast<uint64_t>(n->limb[i]) * factor + carry;
        n->limb[i] = static_cast<uint32_t>(v % kLimbBase);
        carry = v / kLimbBase;
    }
    while (carry != 0 && n->count < kMaxLimbs) {
        n->limb[n->count++] = static_cast<uint32_t>(carry % kLimbBase);
        carry /= kLimbBase;
    }
}

// The exact decimal digits of a finite double above zero.
void ExactDigits(uint64_t bits, Digits* g) {
    int exponent = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((static_cast<uint64_t>(1) << 52) - 1);
    int e2;
    if (exponent == 0) {
        e2 = -1074; // subnormal
    } else {
        mantissa |= static_cast<uint64_t>(1) << 52;
        e2 = exponent - 1075;
    }
    while ((mantissa & 1) == 0 && e2 < 0) {
        mantissa >>= 1;
        ++e2;
    }
    // value = mantissa * 2^e2 = (mantissa * 5^-e2) / 10^-e2 when e2 < 0
    BigNumber n;
    n.count = 0;
    for (uint64_t m = mantissa; m != 0; m /= kLimbBase) {
        n.limb[n.count++] = static_cast<uint32_t>(m % kLimbBase);
    }
    for (int left = e2; left > 0; left -= 29) {
        Multiply(&n, static_cast<uint32_t>(1) << (left < 29 ? left : 29));
    }
    for (int left = -e2; left > 0; left -= 13) {
        uint32_t factor = 1;
        for (int i = 0; i < (left < 13 ? left : 13); ++i) {
            factor *= 5;
        }
        Multiply(&n, factor);
    }
    g->count = 0;
    for (int i = n.count - 1; i >= 0; --i) {
        char nine[9];
        uint32_t v = n.limb[i];
        for (int k = 8; k >= 0; --k) {
            nine[k] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
        int k = 0;
        if (i == n.count - 1) {
            while (k < 8 && nine[k] == '0') {
                ++k; // no leading zeros
            }
        }
        for (; k < 9; ++k) {
            g->d[g->count++] = nine[k];
        }
    }
    g->point = e2 >= 0 ? g->count : g->count + e2;
    while (g->count > 0 && g->d[g->count - 1] == '0') {
        --g->count;
    }
}

void SpecialDigits(const char* text, Digits* g) {
    g->count = static_cast<int>(strlen(text));
    memcpy(g->d, text, static_cast<size_t>(g->count));
    g->point = 1;
}

char DigitAt(const Digits& g, int i) {
    return i >= 0 && i < g.count ? g.d[i] : '0';
}

// Keeps the first `keep` digits, rounding half away from zero on the first digit dropped.
// Special texts round the same way ('#' and the letters count as digits).
void RoundDigits(Digits* g, long long keep) {
    if (keep >= g->count) {
        return;
    }
    if (keep < 0) {
        g->count = 0;
        return;
    }
    bool up = g->d[keep] >= '5';
    g->count = static_cast<int>(keep);
    if (!up) {
        while (g->count > 0 && g->d[g->count - 1] == '0') {
            --g->count;
        }
        return;
    }
    int i = g->count - 1;
    while (i >= 0 && g->d[i] == '9') {
        --i;
    }
    if (i < 0) {
        g->d[0] = '1';
        g->count = 1;
        ++g->point;
    } else {
        g->d[i] = static_cast<char>(g->d[i] + 1);
        g->count = i + 1;
    }
}

void PutChar(WFormatOutput* out, wchar_t c) {
    WFormatPutText(out, &c, 1);
}

// The start of a number's field of `length` characters after the sign and the prefix: blanks
// before it, the sign and the prefix, zeros after them (the 0 flag). Returns the blanks that
// go after the number (the - flag).
size_t PutFieldStart(WFormatOutput* out, const WFormatSpec& spec, wchar_t sign,
                     const wchar_t* prefix, size_t length) {
    size_t prefixLength = prefix[0] == 0 ? 0 : prefix[1] == 0 ? 1 : 2;
    length += (sign != 0 ? 1 : 0) + prefixLength;
    size_t width = static_cast<size_t>(spec.width);
    size_t pad = width > length ? width - length : 0;
    if (!spec.left && !spec.zero) {
        WFormatPutRepeated(out, L' ', pad);
    }
    if (sign != 0) {
        PutChar(out, sign);
    }
    WFormatPutText(out, prefix, prefixLength);
    if (!spec.left && spec.zero) {
        WFormatPutRepeated(out, L'0', pad);
    }
    return spec.left ? pad : 0;
}

void PutDigits(WFormatOutput* out, const Digits& g, int from, int count) {
    for (int i = 0; i < count && !out->cut; ++i) {
        PutChar(out, static_cast<wchar_t>(static_cast<unsigned char>(DigitAt(g, from + i))));
    }
}

// The fraction digits left of `precision` once trailing zeros are dropped.
int WithoutTrailingZeros(const Digits& g, int first, int precision) {
    while (precision > 0 && DigitAt(g, first + precision - 1) == '0') {
        --precision;
    }
    return precision;
}

struct Layout {
    bool exponentForm;
    int precision; // digits after the point
    bool point;    // the point is printed
    int exponent;  // exponent form only
};

size_t ExponentDigits(int exponent) {
    int magnitude = exponent < 0 ? -exponent : exponent;
    return magnitude >= 1000 ? 4 : 3;
}

size_t BodyLength(const Digits& g, const Layout& layout) {
    size_t fraction = static_cast<size_t>(layout.precision) + (layout.point ? 1 : 0);
    if (layout.exponentForm) {
        return 1 + fraction + 2 + ExponentDigits(layout.exponent);
    }
    return (g.point > 1 ? static_cast<size_t>(g.point) : 1) + fraction;
}

void PutBody(WFormatOutput* out, const Digits& g, const Layout& layout, bool upper) {
    if (layout.exponentForm) {
        PutDigits(out, g, 0, 1);
        if (layout.point) {
            PutChar(out, L'.');
        }
        PutDigits(out, g, 1, layout.precision);
        PutChar(out, upper ? L'E' : L'e');
        PutChar(out, layout.exponent < 0 ? L'-' : L'+');
        int magnitude = layout.exponent < 0 ? -layout.exponent : layout.exponent;
        wchar_t digits[4];
        size_t n = ExponentDigits(layout.exponent);
        for (size_t i = n; i > 0; --i) {
            digits[i - 1] = static_cast<wchar_t>(L'0' + magnitude % 10);
            magnitude /= 10;
        }
        WFormatPutText(out, digits, n);
        return;
    }
    if (g.point > 0) {
        PutDigits(out, g, 0, g.point);
    } else {
        PutChar(out, L'0');
    }
    if (layout.point) {
        PutChar(out, L'.');
    }
    PutDigits(out, g, g.point, layout.precision);
}

// Rounds the digits for the conversion and decides how they are laid out.
Layout Arrange(Digits* g, wchar_t type, int precision, bool alternate, bool special) {
    Layout layout{false, precision, false, 0};
    wchar_t lower = type | 0x20;
    if (lower == L'f') {
        RoundDigits(g, static_cast<long long>(g->point) + precision);
    } else if (lower == L'e') {
        RoundDigits(g, static_cast<long long>(precision) + 1);
        layout.exponentForm = true;
        layout.exponent = g->count == 0 ? 0 : g->point - 1;
    } else { // g: the precision counts significant digits
        int significant = precision == 0 ? 1 : precision;
        if (special) {
            // The runtime lays its texts out as %f with one digit less, and a precision of 0
            // as the default one.
            layout.precision = precision == 0 ? 6 : precision - 1;
            RoundDigits(g, static_cast<long long>(g->point) + layout.precision);
            layout.precision = WithoutTrailingZeros(*g, g->point, layout.precision);
            layout.point = layout.precision > 0;
            return layout;
        }
        RoundDigits(g, significant);
        int x = g->count == 0 ? 0 : g->point - 1;
        if (x < -4 || x >= significant) {
            layout.exponentForm = true;
            layout.exponent = x;
            layout.precision = significant - 1;
        } else {
            layout.precision = significant - 1 - x;
        }
        if (!alternate) {
            int first = layout.exponentForm ? 1 : g->point;
            layout.precision = WithoutTrailingZeros(*g, first, layout.precision);
        }
    }
    layout.point = layout.precision > 0 || (alternate && !special);
    return layout;
}

// %a: "0x", the leading hexadecimal digit, the fraction and a binary exponent.
void FormatHex(WFormatOutput* out, const WFormatSpec& spec, uint64_t bits, const char* special,
               wchar_t sign) {
    bool upper = spec.type == L'A';
    const char* hexDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    int precision = spec.precision < 0 ? 13 : spec.precision;
    char fraction[16];
    int fractionCount = 13;
    int lead;
    int exponent = 0;
    if (special != nullptr) {
        lead = 1;
        fractionCount = static_cast<int>(strlen(special));
        memcpy(fraction, special, static_cast<size_t>(fractionCount));
    } else {
        int biased = static_cast<int>((bits >> 52) & 0x7FF);
        uint64_t mantissa = bits & ((static_cast<uint64_t>(1) << 52) - 1);
        lead = biased == 0 ? 0 : 1;
        if (biased != 0 || mantissa != 0) {
            exponent = biased == 0 ? -1022 : biased - 1023;
        }
        for (int i = 0; i < 13; ++i) {
            fraction[i] = hexDigits[(mantissa >> (48 - 4 * i)) & 0xF];
        }
        if (precision < 13) {
            // Half away from zero on the first nibble dropped, carrying into the leading digit.
            bool up = (mantissa >> (48 - 4 * precision) & 0xF) >= 8;
            int i = precision - 1;
            while (up && i >= 0) {
                int v = static_cast<int>(strchr(hexDigits, fraction[i]) - hexDigits) + 1;
                fraction[i] = hexDigits[v & 0xF];
                up = v == 16;
                --i;
            }
            if (up) {
                ++lead;
            }
        }
    }
    wchar_t exponentText[8];
    size_t exponentLength = 0;
    int magnitude = exponent < 0 ? -exponent : exponent;
    do {
        exponentText[exponentLength++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    bool point = precision > 0 || spec.alternate;
    size_t length = 1 + (point ? 1 : 0) + static_cast<size_t>(precision) + 2 + exponentLength;
    size_t after = PutFieldStart(out, spec, sign, upper ? L"0X" : L"0x", length);
    PutChar(out, static_cast<wchar_t>(hexDigits[lead]));
    if (point) {
        PutChar(out, L'.');
    }
    for (int i = 0; i < precision && !out->cut; ++i) {
        char c = i < fractionCount ? fraction[i] : '0';
        PutChar(out, static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    PutChar(out, upper ? L'P' : L'p');
    PutChar(out, exponent < 0 ? L'-' : L'+');
    while (exponentLength > 0) {
        PutChar(out, exponentText[--exponentLength]);
    }
    WFormatPutRepeated(out, L' ', after);
}

} // namespace

void WFormatFloat(WFormatOutput* out, const WFormatSpec& spec, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    bool negative = (bits >> 63) != 0;
    bool notFinite = ((bits >> 52) & 0x7FF) == 0x7FF;
    const char* special = nullptr;
    if (notFinite) {
        bool isNan = (bits & ((static_cast<uint64_t>(1) << 52) - 1)) != 0;
        special = !isNan ? "#INF" : negative ? "#IND" : "#QNAN";
    }
    wchar_t sign = negative ? L'-' : spec.plus ? L'+' : spec.space ? L' ' : 0;
    if ((spec.type | 0x20) == L'a') {
        FormatHex(out, spec, bits & ~(static_cast<uint64_t>(1) << 63), special, sign);
        return;
    }

    Digits g;
    if (special != nullptr) {
        SpecialDigits(special, &g);
        memmove(g.d + 1, g.d, static_cast<size_t>(g.count));
        g.d[0] = '1';
        ++g.count;
    } else if ((bits << 1) == 0) {
        g.count = 0; // zero of either sign
        g.point = 1;
    } else {
        ExactDigits(bits & ~(static_cast<uint64_t>(1) << 63), &g);
    }
    // A precision near the int limit is cut a little, so that the digit counts below stay in
    // range; such output never fits a buffer anyway.
    int precision = spec.precision < 0 ? 6 : spec.precision;
    if (precision > 0x7FFFFF00) {
        precision = 0x7FFFFF00;
    }
    Layout layout = Arrange(&g, spec.type, precision, spec.alternate, special != nullptr);
    bool upper = spec.type == L'E' || spec.type == L'G';

    size_t after = PutFieldStart(out, spec, sign, L"", BodyLength(g, layout));
    PutBody(out, g, layout, upper);
    WFormatPutRepeated(out, L' ', after);
}
