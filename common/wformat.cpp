// The wide formatter. It follows the swprintf family of msvcrt.dll, the C runtime the Windows
// program links:
//   %[flags][width][.precision][size]type
// flags "- + space # 0", width and precision as digits or "*", sizes h hh l ll w L I I32 I64
// j z t N F, types c C s S d i u o x X p e E f g G a A % (the floating-point ones in
// wformat_float.cpp).
//
// That runtime's rules that are easy to miss, checked against it by tests/conformance:
// - The last of h, l and w decides the width of a character or string; for integers the last
//   size counts, hh reads a short, L, N and F change nothing, and I, z and t are sizes only in
//   front of d i o u x X (otherwise the letter is the type).
// - A '%' after flags, width, precision or size abandons the conversion: a new one starts there.
// - "#o" puts a 0 in front of a value that is not 0 only; "%#p" puts "0X" in front.
//
// Choices where the runtime leaves the result open or unsafe, or its documentation says other
// than it does:
// - An unknown type character is copied to the output unchanged (what the non-secure functions
//   do) and takes no argument; the flags, width and precision before it are dropped.
// - A format that ends inside a conversion ends the output there.
// - A negative "*" precision counts as no precision; a negative "*" width left-justifies; a
//   width or precision past the int range counts as the largest int.
// - "%n" is not supported (it is an unknown type): nothing is ever written through an argument.
// - 8-bit characters and strings are converted with the ANSI code page (the runtime's "C"
//   locale widens each byte); a byte the code page cannot convert is widened.
// - A precision turns the 0 flag of an integer conversion off and does nothing to %c, as the
//   runtime's documentation says; %p ignores a precision.
#include "common/wformat.h"
#include "common/wformat_internal.h"
#include "platform/win32.h"

#include <stdint.h>

namespace {

const int kMaxField = 0x7FFFFFFF; // width and precision are clamped to this
const size_t kNarrowChunk = 256;  // 8-bit strings are converted this many bytes at a time
const wchar_t kNullText[] = L"(null)";
const char kNullNarrow[] = "(null)";

typedef WFormatOutput Output;
typedef WFormatSpec Spec;

// Reads decimal digits, saturating at kMaxField.
int ReadNumber(const wchar_t** p) {
    int value = 0;
    while (**p >= L'0' && **p <= L'9') {
        int digit = **p - L'0';
        value = (value > (kMaxField - digit) / 10) ? kMaxField : value * 10 + digit;
        ++*p;
    }
    return value;
}

// Pads a field of length characters to the width with blanks, or with zeros when the 0 flag
// asks for it (strings and characters too, as that runtime does).
size_t FieldPadding(const Spec& spec, size_t length) {
    size_t width = static_cast<size_t>(spec.width);
    return width > length ? width - length : 0;
}

void PutRepeated(Output* out, wchar_t c, size_t count) {
    WFormatPutRepeated(out, c, count);
}

void PutText(Output* out, const wchar_t* text, size_t count) {
    WFormatPutText(out, text, count);
}

void PutPadded(Output* out, const Spec& spec, const wchar_t* text, size_t length) {
    size_t pad = FieldPadding(spec, length);
    if (!spec.left) {
        PutRepeated(out, spec.zero ? L'0' : L' ', pad);
    }
    PutText(out, text, length);
    if (spec.left) {
        PutRepeated(out, L' ', pad);
    }
}

// Converts up to kNarrowChunk bytes with the ANSI code page; returns the characters made.
// When tmp is null it only counts them.
size_t ConvertChunk(const char* bytes, size_t count, wchar_t* tmp) {
    int made = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), tmp,
                                   tmp != nullptr ? static_cast<int>(kNarrowChunk) : 0);
    if (made > 0) {
        return static_cast<size_t>(made);
    }
    if (tmp != nullptr) {
        for (size_t i = 0; i < count; ++i) {
            tmp[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
        }
    }
    return count;
}

void PutNarrow(Output* out, const Spec& spec, const char* bytes, size_t count) {
    size_t length = 0;
    for (size_t i = 0; i < count; i += kNarrowChunk) {
        size_t n = count - i < kNarrowChunk ? count - i : kNarrowChunk;
        length += ConvertChunk(bytes + i, n, nullptr);
    }
    size_t pad = FieldPadding(spec, length);
    if (!spec.left) {
        PutRepeated(out, spec.zero ? L'0' : L' ', pad);
    }
    wchar_t tmp[kNarrowChunk];
    for (size_t i = 0; i < count && !out->cut; i += kNarrowChunk) {
        size_t n = count - i < kNarrowChunk ? count - i : kNarrowChunk;
        PutText(out, tmp, ConvertChunk(bytes + i, n, tmp));
    }
    if (spec.left) {
        PutRepeated(out, L' ', pad);
    }
}

bool IsNarrow(const Spec& spec, bool upper) {
    if (spec.narrow || spec.wide) {
        return spec.narrow;
    }
    return upper; // in a wide format plain c/s are wide, C/S are 8-bit
}

void FormatString(Output* out, const Spec& spec, va_list* args) {
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (IsNarrow(spec, spec.type == L'S')) {
        const char* s = va_arg(*args, const char*);
        if (s == nullptr) {
            s = kNullNarrow;
        }
        size_t n = 0;
        while (n < limit && s[n] != 0) {
            ++n;
        }
        PutNarrow(out, spec, s, n);
        return;
    }
    const wchar_t* s = va_arg(*args, const wchar_t*);
    if (s == nullptr) {
        s = kNullText;
    }
    size_t n = 0;
    while (n < limit && s[n] != 0) {
        ++n;
    }
    PutPadded(out, spec, s, n);
}

void FormatChar(Output* out, const Spec& spec, va_list* args) {
    int value = va_arg(*args, int); // both character kinds arrive promoted to int
    wchar_t c;
    if (IsNarrow(spec, spec.type == L'C')) {
        char byte = static_cast<char>(value);
        wchar_t made[2];
        if (MultiByteToWideChar(CP_ACP, 0, &byte, 1, made, 2) == 1) {
            c = made[0];
        } else {
            c = static_cast<wchar_t>(static_cast<unsigned char>(byte));
        }
    } else {
        c = static_cast<wchar_t>(value);
    }
    PutPadded(out, spec, &c, 1);
}

// Fetches an integer argument of the prefix's size; signed types come back sign-extended.
uint64_t FetchInteger(const Spec& spec, bool isSigned, va_list* args) {
    switch (spec.size) {
    case kSize64:
        return static_cast<uint64_t>(va_arg(*args, long long));
    case kSizePtr:
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(va_arg(*args, ptrdiff_t)))
                        : static_cast<uint64_t>(va_arg(*args, size_t));
    default:
        break;
    }
    int raw = va_arg(*args, int); // every smaller type (and a 32-bit LONG) arrives as int
    if (spec.size == kSizeShort) {
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<short>(raw)))
                        : static_cast<uint64_t>(static_cast<unsigned short>(raw));
    }
    return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(raw))
                    : static_cast<uint64_t>(static_cast<uint32_t>(raw));
}

void FormatInteger(Output* out, Spec spec, va_list* args) {
    bool isSigned = spec.type == L'd' || spec.type == L'i';
    uint64_t value;
    if (spec.type == L'p') {
        // The runtime prints a pointer as upper-case hex with all its digits ("0X" in front
        // with #).
        value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(va_arg(*args, void*)));
        spec.type = L'X';
        spec.precision = static_cast<int>(2 * sizeof(void*));
        spec.plus = false;
        spec.space = false;
    } else {
        value = FetchInteger(spec, isSigned, args);
    }

    wchar_t prefix[2];
    size_t prefixLen = 0;
    if (isSigned) {
        if (static_cast<int64_t>(value) < 0) {
            prefix[prefixLen++] = L'-';
            value = 0 - value; // also right for INT64_MIN
        } else if (spec.plus) {
            prefix[prefixLen++] = L'+';
        } else if (spec.space) {
            prefix[prefixLen++] = L' ';
        }
    }

    unsigned base = 10;
    const wchar_t* digitSet = L"0123456789abcdef";
    if (spec.type == L'o') {
        base = 8;
    } else if (spec.type == L'x') {
        base = 16;
    } else if (spec.type == L'X') {
        base = 16;
        digitSet = L"0123456789ABCDEF";
    }
    if (spec.alternate && base == 16 && value != 0) {
        prefix[prefixLen++] = L'0';
        prefix[prefixLen++] = spec.type;
    }

    wchar_t digits[24]; // 22 octal digits hold 64 bits
    size_t digitCount = 0;
    for (uint64_t v = value; v != 0; v /= base) {
        digits[sizeof(digits) / sizeof(digits[0]) - 1 - digitCount++] = digitSet[v % base];
    }
    const wchar_t* digitStart = digits + sizeof(digits) / sizeof(digits[0]) - digitCount;

    // Precision is the minimum digit count (default 1; 0 prints nothing for 0). It turns the
    // 0 flag off, also for a pointer, which pads with blanks.
    size_t minDigits = 1;
    if (spec.precision >= 0) {
        minDigits = static_cast<size_t>(spec.precision);
        spec.zero = false;
    }
    size_t leadZeros = minDigits > digitCount ? minDigits - digitCount : 0;
    if (spec.alternate && base == 8 && value != 0 && leadZeros == 0) {
        leadZeros = 1; // "#o" starts a value that is not 0 with a 0
    }

    size_t length = prefixLen + leadZeros + digitCount;
    size_t pad = FieldPadding(spec, length);
    if (!spec.left && !spec.zero) {
        PutRepeated(out, L' ', pad);
    }
    PutText(out, prefix, prefixLen);
    if (!spec.left && spec.zero) {
        PutRepeated(out, L'0', pad);
    }
    PutRepeated(out, L'0', leadZeros);
    PutText(out, digitStart, digitCount);
    if (spec.left) {
        PutRepeated(out, L' ', pad);
    }
}

bool IsIntegerType(wchar_t c) {
    return c == L'd' || c == L'i' || c == L'o' || c == L'u' || c == L'x' || c == L'X';
}

// The size letters in front of the type, as many as there are; the last one counts.
void ReadSizes(const wchar_t** p, Spec* spec) {
    for (;;) {
        const wchar_t* s = *p;
        if (s[0] == L'h') {
            spec->size = kSizeShort;
            spec->narrow = true;
            spec->wide = false;
            *p += 1;
        } else if (s[0] == L'l' || s[0] == L'w') {
            if (s[0] == L'l') {
                spec->size = s[1] == L'l' ? kSize64 : kSizeLong;
            }
            spec->narrow = false;
            spec->wide = true;
            *p += s[0] == L'l' && s[1] == L'l' ? 2 : 1;
        } else if (s[0] == L'L' || s[0] == L'N' || s[0] == L'F') {
            *p += 1; // long double is double; near and far pointers are gone
        } else if (s[0] == L'j') {
            spec->size = kSize64;
            *p += 1;
        } else if (s[0] == L'I' && s[1] == L'6' && s[2] == L'4') {
            spec->size = kSize64;
            *p += 3;
        } else if (s[0] == L'I' && s[1] == L'3' && s[2] == L'2') {
            spec->size = kSize32;
            *p += 3;
        } else if ((s[0] == L'I' || s[0] == L'z' || s[0] == L't') && IsIntegerType(s[1])) {
            spec->size = kSizePtr;
            *p += 1;
        } else {
            return;
        }
    }
}

enum ParseResult { kParsed, kEnded, kRestart };

// Parses one conversion after the '%'.
ParseResult ParseSpec(const wchar_t** p, Spec* spec, va_list* args) {
    *spec = Spec{false, false, false, false, false, 0, -1, kSizeNone, false, false, 0};
    const wchar_t* start = *p;
    for (;; ++*p) {
        wchar_t c = **p;
        if (c == L'-') {
            spec->left = true;
        } else if (c == L'+') {
            spec->plus = true;
        } else if (c == L' ') {
            spec->space = true;
        } else if (c == L'#') {
            spec->alternate = true;
        } else if (c == L'0') {
            spec->zero = true;
        } else {
            break;
        }
    }
    if (**p == L'*') {
        ++*p;
        long long w = va_arg(*args, int);
        if (w < 0) {
            spec->left = true;
            w = -w;
        }
        spec->width = w > kMaxField ? kMaxField : static_cast<int>(w);
    } else {
        spec->width = ReadNumber(p);
    }
    if (**p == L'.') {
        ++*p;
        if (**p == L'*') {
            ++*p;
            int prec = va_arg(*args, int);
            spec->precision = prec < 0 ? -1 : prec;
        } else {
            spec->precision = ReadNumber(p);
        }
    }
    ReadSizes(p, spec);
    if (spec->left) {
        spec->zero = false;
    }
    if (spec->plus) {
        spec->space = false;
    }
    spec->type = **p;
    if (spec->type == 0) {
        return kEnded;
    }
    if (spec->type == L'%' && *p != start) {
        return kRestart; // the '%' is not consumed: it starts the next conversion
    }
    ++*p;
    return kParsed;
}

} // namespace

void WFormatPutRepeated(WFormatOutput* out, wchar_t c, size_t count) {
    size_t room = out->capacity - 1 - out->length;
    if (count > room) {
        count = room;
        out->cut = true;
    }
    for (size_t i = 0; i < count; ++i) {
        out->buffer[out->length++] = c;
    }
}

void WFormatPutText(WFormatOutput* out, const wchar_t* text, size_t count) {
    size_t room = out->capacity - 1 - out->length;
    if (count > room) {
        count = room;
        out->cut = true;
    }
    for (size_t i = 0; i < count; ++i) {
        out->buffer[out->length++] = text[i];
    }
}

int WFormatV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
    if (buffer == nullptr || capacity == 0) {
        return 0;
    }
    Output out{buffer, capacity, 0, false};
    va_list ap;
    va_copy(ap, args);
    const wchar_t* p = format != nullptr ? format : L"";
    while (*p != 0 && !out.cut) {
        if (*p != L'%') {
            const wchar_t* run = p;
            while (*p != 0 && *p != L'%') {
                ++p;
            }
            PutText(&out, run, static_cast<size_t>(p - run));
            continue;
        }
        ++p;
        Spec spec;
        ParseResult parsed = ParseSpec(&p, &spec, &ap);
        if (parsed == kEnded) {
            break;
        }
        if (parsed == kRestart) {
            continue;
        }
        switch (spec.type) {
        case L's':
        case L'S':
            FormatString(&out, spec, &ap);
            break;
        case L'c':
        case L'C':
            FormatChar(&out, spec, &ap);
            break;
        case L'd':
        case L'i':
        case L'u':
        case L'o':
        case L'x':
        case L'X':
        case L'p':
            FormatInteger(&out, spec, &ap);
            break;
        case L'e':
        case L'E':
        case L'f':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            WFormatFloat(&out, spec, va_arg(ap, double));
            break;
        default: // "%%" and unknown types print the character itself
            PutText(&out, &spec.type, 1);
            break;
        }
    }
    va_end(ap);
    buffer[out.length] = 0;
    if (out.cut || out.length > static_cast<size_t>(kMaxField)) {
        return -1;
    }
    return static_cast<int>(out.length);
}

int WFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = WFormatV(buffer, capacity, format, args);
    va_end(args);
    return result;
}
