#include "package/package_config.h"

#include "app/state/app_state.h"
#include "common/byte_order.h"
#include "common/text.h"

#include <string.h>
#include <wchar.h>

namespace {

bool IsDelimiter(WCHAR c, const WCHAR* delimiters) {
    for (const WCHAR* d = delimiters; *d != 0; ++d) {
        if (*d == c) {
            return true;
        }
    }
    return false;
}

void ReadText(const WCHAR* key, WCHAR* out, DWORD capacity, const WCHAR* path) {
    out[0] = 0;
    GetPrivateProfileStringW(CONFIG_SECTION_UPDATEINFO, key, L"", out, capacity, path);
    out[capacity - 1] = 0;
}

INT ReadInt(const WCHAR* key, INT defaultValue, const WCHAR* path) {
    return static_cast<INT>(
        GetPrivateProfileIntW(CONFIG_SECTION_UPDATEINFO, key, defaultValue, path));
}

// Appends n characters of s at *out as far as they fit before the terminator's place.
void AppendCut(WCHAR* result, size_t* out, size_t capacity, const WCHAR* s, size_t n) {
    for (size_t i = 0; i < n && *out + 1 < capacity; ++i) {
        result[(*out)++] = s[i];
    }
}

} // namespace

int SplitText(const WCHAR* text, const WCHAR* delimiters, WCHAR* slots, int slotCount,
              int slotChars) {
    if (text == nullptr || delimiters == nullptr || slots == nullptr || slotCount <= 0 ||
        slotChars <= 0) {
        return 0;
    }
    WCHAR copy[CONFIG_SPLIT_COPY_CHARS];
    CopyText(copy, CONFIG_SPLIT_COPY_CHARS, text);
    int count = 0;
    const WCHAR* p = copy;
    while (*p != 0 && count < slotCount) {
        while (*p != 0 && IsDelimiter(*p, delimiters)) {
            ++p;
        }
        if (*p == 0) {
            break;
        }
        WCHAR* slot = slots + static_cast<size_t>(count) * static_cast<size_t>(slotChars);
        int n = 0;
        while (*p != 0 && !IsDelimiter(*p, delimiters)) {
            if (n + 1 < slotChars) {
                slot[n++] = *p;
            }
            ++p;
        }
        slot[n] = 0;
        ++count;
    }
    return count;
}

int DecodeHexText(const WCHAR* text, BYTE* output, int outputLength) {
    if (output == nullptr || outputLength <= 0) {
        return 0;
    }
    memset(output, 0, static_cast<size_t>(outputLength));
    WCHAR slots[CONFIG_SPLIT_SLOTS][CONFIG_SPLIT_SLOT_CHARS];
    int tokens = SplitText(text, L" ", &slots[0][0], CONFIG_SPLIT_SLOTS, CONFIG_SPLIT_SLOT_CHARS);
    int count = tokens < outputLength ? tokens : outputLength;
    for (int i = 0; i < count; ++i) {
        output[i] = static_cast<BYTE>(wcstol(slots[i], nullptr, 16) & 0xFF);
    }
    return count;
}

int ReplaceAll(WCHAR* text, size_t capacity, const WCHAR* pattern, const WCHAR* replacement) {
    if (text == nullptr || capacity == 0 || pattern == nullptr || pattern[0] == 0 ||
        replacement == nullptr) {
        return 0;
    }
    if (capacity > CONFIG_REPLACE_CHARS) {
        capacity = CONFIG_REPLACE_CHARS;
    }
    text[capacity - 1] = 0;
    if (wcsstr(text, pattern) == nullptr) {
        return 0;
    }
    const size_t patternLength = wcslen(pattern);
    const size_t replacementLength = wcslen(replacement);
    WCHAR result[CONFIG_REPLACE_CHARS];
    size_t out = 0;
    int replaced = 0;
    const WCHAR* p = text;
    // The search continues after each occurrence, so a replacement that holds the pattern is
    // not replaced again.
    for (;;) {
        const WCHAR* hit = wcsstr(p, pattern);
        if (hit == nullptr) {
            AppendCut(result, &out, capacity, p, wcslen(p));
            break;
        }
        AppendCut(result, &out, capacity, p, static_cast<size_t>(hit - p));
        AppendCut(result, &out, capacity, replacement, replacementLength);
        ++replaced;
        p = hit + patternLength;
    }
    result[out] = 0;
    memcpy(text, result, (out + 1) * sizeof(WCHAR));
    return replaced;
}

void TitleFromUtf16Bytes(const BYTE* bytes, int byteCount, WCHAR* title, size_t capacity) {
    if (title == nullptr || capacity == 0) {
        return;
    }
    size_t n = 0;
    for (int i = 0; i < byteCount && n + 1 < capacity; i += 2) {
        // an odd count: the last unit's high byte is zero
        const BYTE last[2] = {bytes[i], 0};
        unsigned unit = get_le16(i + 1 < byteCount ? bytes + i : last);
        if (unit == 0) {
            break;
        }
        if (sizeof(WCHAR) == 4 && unit >= 0xD800 && unit <= 0xDBFF && i + 3 < byteCount) {
            unsigned next = get_le16(bytes + i + 2);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                i += 2;
            }
        }
        title[n++] = static_cast<WCHAR>(unit);
    }
    title[n] = 0;
}

void LoadPackageConfig(const WCHAR* configPath) {
    AppState* state = GetAppState();

    WCHAR rawTitle[APP_PATH_CHARS];
    ReadText(L"TITLE", rawTitle, APP_PATH_CHARS, configPath);
    BYTE titleBytes[CONFIG_TITLE_BYTES];
    int rawLength = static_cast<int>(wcslen(rawTitle));
    int stored = DecodeHexText(rawTitle, titleBytes,
                               rawLength < CONFIG_TITLE_BYTES ? rawLength : CONFIG_TITLE_BYTES);
    TitleFromUtf16Bytes(titleBytes, stored, state->Title, APP_PATH_CHARS);
    if (state->Title[0] == 0) {
        // No TITLE, an empty one, or one that decodes to no text: show the default in words.
        CopyText(state->Title, APP_PATH_CHARS, CONFIG_DEFAULT_TITLE);
    }

    ReadText(L"SOCID", state->SOCID, APP_SHORT_CHARS, configPath);
    ReadText(L"ModelName", state->ModelName, APP_PATH_CHARS, configPath);
    ReadText(L"FWVersion", state->FWVersion, APP_PATH_CHARS, configPath);
    ReadText(L"NEWVERSION", state->NEWVERSION, APP_SHORT_CHARS, configPath);
    state->iInternalFWVersionCheckPart = ReadInt(L"iInternalFWVersionCheckPart", 3, configPath);
    state->bIsSATA = ReadInt(L"bIsSATA", 0, configPath);
    state->bRemoveFtlBuildNumCheck = ReadInt(L"bRemoveFtlBuildNumCheck", 0, configPath);
    state->bSetVersionBeforeReflash = ReadInt(L"bSetVersionBeforeReflash", 0, configPath);
    ReadText(L"BeforeMessage", state->BeforeMessage, APP_MESSAGE_CHARS, configPath);
    ReadText(L"AfterMessage", state->AfterMessage, APP_MESSAGE_CHARS, configPath);
    state->PowerCtrl = static_cast<uint8_t>(ReadInt(L"PowerCtrl", 0, configPath) & 0xFF);

    ReplaceAll(state->BeforeMessage, APP_MESSAGE_CHARS, CONFIG_LINE_BREAK_MARK, L"\r\n");
    ReplaceAll(state->AfterMessage, APP_MESSAGE_CHARS, CONFIG_LINE_BREAK_MARK, L"\r\n");
}
