#include "platform/posix/terminal/terminal_text.h"

#include <algorithm>
#include <cwchar>

namespace zxposix {
namespace ui {

namespace {

int CharWidth(wchar_t c) {
    const int w = wcwidth(c);
    return w < 0 ? 1 : w;
}

} // namespace

int TextWidth(const std::wstring& text) {
    int n = 0;
    for (wchar_t c : text) {
        n += CharWidth(c);
    }
    return n;
}

std::wstring CutText(const std::wstring& text, int columns) {
    std::wstring out;
    int used = 0;
    for (wchar_t c : text) {
        const int w = CharWidth(c);
        if (used + w > columns) {
            break;
        }
        out.push_back(c);
        used += w;
    }
    return out;
}

std::wstring FitListEntry(const std::wstring& text, int columns) {
    if (TextWidth(text) <= columns) {
        return text;
    }
    size_t tail = text.find(L" [");
    if (tail == std::wstring::npos) {
        tail = text.rfind(L" (");
    }
    if (tail == std::wstring::npos || tail == 0) {
        return CutText(text, columns);
    }
    const std::wstring end = text.substr(tail);
    const int room = columns - TextWidth(end) - 1; // one column for the "~"
    if (room < 1) {
        return CutText(text, columns);
    }
    return CutText(text.substr(0, tail), room) + L"~" + end;
}

std::vector<std::wstring> SplitLines(const std::wstring& text, int width) {
    std::vector<std::wstring> lines;
    std::wstring line;
    int lineWidth = 0;
    for (wchar_t c : text) {
        if (c == L'\r') {
            continue;
        }
        if (c == L'\n') {
            lines.push_back(line);
            line.clear();
            lineWidth = 0;
            continue;
        }
        const int w = std::max(1, CharWidth(c));
        if (lineWidth + w > width) {
            lines.push_back(line);
            line.clear();
            lineWidth = 0;
        }
        line.push_back(c);
        lineWidth += w;
    }
    lines.push_back(line);
    return lines;
}

} // namespace ui
} // namespace zxposix
