// The window manager's state and the small helpers every one of its files uses.
#include "platform/posix/wm_state.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace zxposix {
namespace ui {

bool EqualNoCase(const std::wstring& a, const wchar_t* b) {
    if (a.size() != std::wcslen(b)) {
        return false;
    }
    // towlower takes a wint_t; every wchar_t value converts to one.
    for (size_t i = 0; i < a.size(); i++) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

Wm& W() {
    static Wm* wm = new Wm;
    return *wm;
}

void TouchLocked() {
    W().changes++;
    W().cv.NotifyAll();
}

Window* FindLocked(HWND h) {
    auto it = W().windows.find(h);
    return it == W().windows.end() ? nullptr : it->second.get();
}

DWORD OwnerThreadLocked(const Window* w) {
    return w->thread;
}

Window* TopLevelLocked(Window* w) {
    while (w != nullptr && w->kind != Kind::Dialog) {
        w = FindLocked(w->parent);
    }
    return w;
}

size_t CopyOut(const std::wstring& s, LPWSTR buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) {
        return 0;
    }
    size_t n = std::min(s.size(), capacity - 1);
    std::wmemcpy(buffer, s.data(), n);
    buffer[n] = 0;
    return n;
}

std::wstring TextOf(LPARAM l) {
    const wchar_t* p = reinterpret_cast<const wchar_t*>(l);
    return p == nullptr ? std::wstring() : std::wstring(p);
}

HWND NewHandleLocked() {
    HWND h = reinterpret_cast<HWND>(W().nextHandle);
    W().nextHandle += 4;
    return h;
}

Kind KindOf(const std::wstring& cls) {
    if (EqualNoCase(cls, WC_STATICW)) {
        return Kind::Static;
    }
    if (EqualNoCase(cls, WC_BUTTONW)) {
        return Kind::Button;
    }
    if (EqualNoCase(cls, WC_COMBOBOXW)) {
        return Kind::Combo;
    }
    if (EqualNoCase(cls, PROGRESS_CLASSW)) {
        return Kind::Progress;
    }
    return Kind::Other;
}

HICON ClassIconLocked(int index) {
    return index == GCLP_HICONSM ? W().classIconSmall : W().classIcon;
}

} // namespace ui
} // namespace zxposix
