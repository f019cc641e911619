#include "common/text.h"
#include "platform/win32.h"

#include <string.h>
#include <wchar.h>

namespace {
const size_t kTextChars = 1024;
const size_t kPatternChars = 512;
} // namespace

void CopyText(wchar_t* dst, size_t capacity, const wchar_t* src) {
    if (capacity == 0) {
        return;
    }
    size_t n = 0;
    if (src != nullptr) {
        while (n + 1 < capacity && src[n] != 0) {
            dst[n] = src[n];
            ++n;
        }
    }
    dst[n] = 0;
}

const wchar_t* FindNoCase(const wchar_t* text, const wchar_t* pattern) {
    if (text == nullptr || pattern == nullptr) {
        return nullptr;
    }
    WCHAR lowText[kTextChars];
    WCHAR lowPattern[kPatternChars];
    CopyText(lowText, kTextChars, text);
    CopyText(lowPattern, kPatternChars, pattern);
    CharLowerW(lowText);
    CharLowerW(lowPattern);
    const WCHAR* hit = wcsstr(lowText, lowPattern);
    return hit == nullptr ? nullptr : text + (hit - lowText);
}

void TrimBlanks(wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    size_t len = wcslen(text);
    while (len > 0 && (text[len - 1] == L' ' || text[len - 1] == L'\t')) {
        text[--len] = 0;
    }
    size_t start = 0;
    while (start < len && (text[start] == L' ' || text[start] == L'\t')) {
        ++start;
    }
    if (start > 0) {
        wmemmove(text, text + start, len - start + 1);
    }
}

void AppendText(wchar_t* dst, size_t capacity, const wchar_t* src) {
    if (capacity == 0) {
        return;
    }
    size_t used = 0;
    while (used < capacity - 1 && dst[used] != 0) {
        ++used;
    }
    CopyText(dst + used, capacity - used, src);
}
