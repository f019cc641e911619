// The USER32 window calls: text, enabling, parents, rectangles and positions, system metrics and
// the class icons.
#include "platform/posix/wm_state.h"

#include <algorithm>

using namespace zxposix::ui;

BOOL IsWindow(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    return FindLocked(window) != nullptr;
}

HWND GetParent(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return FindLocked(w->parent) != nullptr ? w->parent : nullptr;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextW(HWND window, LPWSTR text, int capacity) {
    if (text == nullptr || capacity <= 0) {
        return 0;
    }
    text[0] = 0;
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        return 0;
    }
    // Read directly, as Windows does for windows of another thread.
    return static_cast<int>(CopyOut(w->text, text, static_cast<size_t>(capacity)));
}

int GetWindowTextLengthW(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    return w == nullptr ? 0 : static_cast<int>(w->text.size());
}

BOOL EnableWindow(HWND window, BOOL enable) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    BOOL wasDisabled = w->enabled ? FALSE : TRUE;
    w->enabled = enable != FALSE;
    TouchLocked();
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    return w != nullptr && w->enabled ? TRUE : FALSE;
}

namespace {

// Screen position of a window's client area.
POINT ClientOriginLocked(Window* w) {
    if (w->kind == Kind::Dialog) {
        int cap = (w->style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
        return POINT{w->rect.left + kFrame, w->rect.top + kFrame + cap};
    }
    Window* p = FindLocked(w->parent);
    POINT o = p != nullptr ? ClientOriginLocked(p) : POINT{0, 0};
    return POINT{o.x + w->rect.left, o.y + w->rect.top};
}

} // namespace

BOOL GetWindowRect(HWND window, LPRECT rect) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || rect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->kind == Kind::Dialog) {
        *rect = w->rect;
        return TRUE;
    }
    Window* p = FindLocked(w->parent);
    POINT o = p != nullptr ? ClientOriginLocked(p) : POINT{0, 0};
    *rect = RECT{o.x + w->rect.left, o.y + w->rect.top, o.x + w->rect.right, o.y + w->rect.bottom};
    return TRUE;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || rect == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    LONG width = w->rect.right - w->rect.left;
    LONG height = w->rect.bottom - w->rect.top;
    if (w->kind == Kind::Dialog) {
        int cap = (w->style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
        width = std::max<LONG>(0, width - 2 * kFrame);
        height = std::max<LONG>(0, height - 2 * kFrame - cap);
    }
    *rect = RECT{0, 0, width, height};
    return TRUE;
}

BOOL ScreenToClient(HWND window, LPPOINT point) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || point == nullptr) {
        return FALSE;
    }
    POINT o = ClientOriginLocked(w);
    point->x -= o.x;
    point->y -= o.y;
    return TRUE;
}

BOOL ClientToScreen(HWND window, LPPOINT point) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || point == nullptr) {
        return FALSE;
    }
    POINT o = ClientOriginLocked(w);
    point->x += o.x;
    point->y += o.y;
    return TRUE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->rect = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
    TouchLocked();
    return TRUE;
}

BOOL SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RECT r = w->rect;
    if (!(flags & SWP_NOMOVE)) {
        LONG width = r.right - r.left;
        LONG height = r.bottom - r.top;
        r = RECT{x, y, x + width, y + height};
    }
    if (!(flags & SWP_NOSIZE)) {
        r.right = r.left + std::max(0, cx);
        r.bottom = r.top + std::max(0, cy);
    }
    if (flags & SWP_SHOWWINDOW) {
        w->visible = true;
    }
    w->rect = r;
    TouchLocked();
    return TRUE;
}

BOOL InvalidateRect(HWND window, const RECT*, BOOL) {
    std::lock_guard<std::mutex> guard(W().lock);
    TouchLocked();
    return FindLocked(window) != nullptr ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
    return IsWindow(window);
}

int GetSystemMetrics(int index) {
    std::lock_guard<std::mutex> guard(W().lock);
    switch (index) {
    case SM_CXSCREEN:
        return W().screenW;
    case SM_CYSCREEN:
        return W().screenH;
    case SM_CYCAPTION:
        return kCaption;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME:
        return kFrame;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0;
    }
}

ULONG_PTR SetClassLongPtrW(HWND window, int index, LONG_PTR value) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || w->kind != Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    HICON old = ClassIconLocked(index);
    if (index == GCLP_HICON) {
        W().classIcon = reinterpret_cast<HICON>(value);
    } else if (index == GCLP_HICONSM) {
        W().classIconSmall = reinterpret_cast<HICON>(value);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TouchLocked();
    return reinterpret_cast<ULONG_PTR>(old);
}

ULONG_PTR GetClassLongPtrW(HWND window, int index) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (FindLocked(window) == nullptr) {
        return 0;
    }
    return reinterpret_cast<ULONG_PTR>(ClassIconLocked(index));
}
