// The wide formatter. It follows the Microsoft C runtime's swprintf family:
//   %[flags][width][.precision][size]type
// flags "- + space # 0", width and precision as digits or "*", sizes h hh l ll w I I32 I64,
// types c C s S d i u o x X p %.
//
// Choices where that runtime leaves the result open or unsafe:
// - An unknown type character is copied to the output unchanged (what the non-secure functions
//   do) and takes no argument; the flags, width and precision before it are dropped.
// - A format that ends inside a conversion ends the output there.
// - A negative "*" precision counts as no precision; a negative "*" width left-justifies.
// - "%n" is not supported (it is an unknown type): nothing is ever written through an argument.
// - "%%" prints one percent sign and ignores any width.
// - An 8-bit character or string that the ANSI code page cannot convert is widened byte by byte.
#include "common/wformat.h"
#include "platform/win32.h"

#include <stdint.h>

namespace {

const int kMaxField = 0x7FFFFFFF; // width and precision are clamped to this
const size_t kNarrowChunk = 256;  // 8-bit strings are converted this many bytes at a time
const wchar_t kNullText[] = L"(null)";
const char kNullNarrow[] = "(null)";

struct Output {
    wchar_t* buffer;
    size_t capacity; // characters including the terminator, at least 1
    size_t length;   // characters stored
    bool cut;        // something did not fit
};

void PutRepeated(Output* out, wchar_t c, size_t count) {
    size_t room = out->capacity - 1 - out->length;
    if (count > room) {
        count = room;
        out->cut = true;
    }
    for (size_t i = 0; i < count; ++i) {
        out->buffer[out->length++] = c;
    }
}

void PutText(Output* out, const wchar_t* text, size_t count) {
    size_t room = out->capacity - 1 - out->length;
    if (count > room) {
        count = room;
        out->cut = true;
    }
    for (size_t i = 0; i < count; ++i) {
        out->buffer[out->length++] = text[i];
    }
}

enum SizePrefix {
    kSizeNone,
    kSizeChar,  // hh
    kSizeShort, // h
    kSizeLong,  // l, also 32 bits on Linux: the system passes Windows LONG/DWORD values
    kSizeWide,  // w (characters and strings only)
    kSize32,    // I32
    kSize64,    // ll, I64
    kSizePtr    // I
};

struct Spec {
    bool left;
    bool plus;
    bool space;
    bool alternate;
    bool zero;
    int width;
    int precision; // -1 when none
    SizePrefix size;
    wchar_t type;
};

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
    if (spec.size == kSizeShort) {
        return true;
    }
    if (spec.size == kSizeLong || spec.size == kSizeWide) {
        return false;
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
    if (spec.size == kSizeChar) {
        return isSigned ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(raw)))
                        : static_cast<uint64_t>(static_cast<unsigned char>(raw));
    }
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
        // The runtime prints a pointer as upper-case hex with all its digits.
        value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(va_arg(*args, void*)));
        spec.type = L'X';
        spec.precision = static_cast<int>(2 * sizeof(void*));
        spec.alternate = false;
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
    // 0 flag off.
    size_t minDigits = 1;
    if (spec.precision >= 0) {
        minDigits = static_cast<size_t>(spec.precision);
        spec.zero = false;
    }
    size_t leadZeros = minDigits > digitCount ? minDigits - digitCount : 0;
    if (spec.alternate && base == 8 && leadZeros == 0) {
        leadZeros = 1; // "#o" always starts with a 0, even for 0 under precision 0
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

// Parses one conversion after the '%'. Returns false when the format ends inside it.
bool ParseSpec(const wchar_t** p, Spec* spec, va_list* args) {
    *spec = Spec{false, false, false, false, false, 0, -1, kSizeNone, 0};
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
    wchar_t c = **p;
    if (c == L'h') {
        ++*p;
        spec->size = kSizeShort;
        if (**p == L'h') {
            ++*p;
            spec->size = kSizeChar;
        }
    } else if (c == L'l') {
        ++*p;
        spec->size = kSizeLong;
        if (**p == L'l') {
            ++*p;
            spec->size = kSize64;
        }
    } else if (c == L'w') {
        ++*p;
        spec->size = kSizeWide;
    } else if (c == L'I') {
        ++*p;
        if ((*p)[0] == L'6' && (*p)[1] == L'4') {
            *p += 2;
            spec->size = kSize64;
        } else if ((*p)[0] == L'3' && (*p)[1] == L'2') {
            *p += 2;
            spec->size = kSize32;
        } else {
            spec->size = kSizePtr;
        }
    }
    if (spec->left) {
        spec->zero = false;
    }
    if (spec->plus) {
        spec->space = false;
    }
    spec->type = **p;
    if (spec->type == 0) {
        return false;
    }
    ++*p;
    return true;
}

} // namespace

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
        if (!ParseSpec(&p, &spec, &ap)) {
            break;
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
