// The control procedures and the dialog manager's input rules: statics, buttons, drop-down lists
// (CB_SETCURSEL and the other list messages raise no notification) and progress bars; Esc,
// Enter, the arrow keys, clicks, list picks and the close box, ignored by a disabled control or a
// dialog disabled by its message box.
#include "platform/posix/wm_state.h"

#include <algorithm>

namespace zxposix {
namespace ui {
namespace {

void ClampPos(Window& c) {
    if (c.pos < c.low) {
        c.pos = c.low;
    }
    if (c.pos > c.high) {
        c.pos = c.high;
    }
}

// The user picks entry `index` of a combo box: the selection changes and the parent hears
// CBN_SELENDOK and CBN_SELCHANGE, in that order, as when an entry of the dropped list is
// clicked.
void UserSelect(HWND combo, int index) {
    HWND parent;
    int id;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* c = FindLocked(combo);
        if (c == nullptr || c->kind != Kind::Combo || !c->enabled) {
            return;
        }
        if (index < 0 || index >= static_cast<int>(c->items.size())) {
            return;
        }
        c->curSel = index;
        c->text = c->items[static_cast<size_t>(index)];
        parent = c->parent;
        id = c->id;
        TouchLocked();
    }
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

} // namespace

namespace {

bool ComboHasIndex(const Window& c, int index) {
    return index >= 0 && index < static_cast<int>(c.items.size());
}

// CB_INSERTSTRING: -1 appends; the selection follows the entry it was on.
LRESULT ComboInsert(Window& c, int index, LPARAM l) {
    const int count = static_cast<int>(c.items.size());
    if (index == -1) {
        index = count;
    }
    if (index < 0 || index > count) {
        return CB_ERR;
    }
    c.items.insert(c.items.begin() + index, TextOf(l));
    c.data.insert(c.data.begin() + index, 0);
    if (c.curSel >= index) {
        c.curSel++;
    }
    return index;
}

// CB_DELETESTRING: deleting the selected entry clears the selection and the text.
LRESULT ComboDelete(Window& c, int index) {
    if (!ComboHasIndex(c, index)) {
        return CB_ERR;
    }
    c.items.erase(c.items.begin() + index);
    c.data.erase(c.data.begin() + index);
    if (c.curSel == index) {
        c.curSel = -1;
        c.text.clear();
    } else if (c.curSel > index) {
        c.curSel--;
    }
    return static_cast<LRESULT>(c.items.size());
}

// CB_SETCURSEL: an index out of range clears the selection and answers CB_ERR.
LRESULT ComboSetCurSel(Window& c, int index) {
    if (!ComboHasIndex(c, index)) {
        c.curSel = -1;
        c.text.clear();
        return CB_ERR;
    }
    c.curSel = index;
    c.text = c.items[static_cast<size_t>(index)];
    return index;
}

// CB_FINDSTRINGEXACT: the search starts after entry `index` and wraps round the list.
LRESULT ComboFindExact(const Window& c, int index, LPARAM l) {
    const int count = static_cast<int>(c.items.size());
    std::wstring want = TextOf(l);
    for (int k = 0; k < count; k++) {
        int i = (index + 1 + k) % count;
        if (i < 0) {
            i += count;
        }
        if (EqualNoCase(c.items[static_cast<size_t>(i)], want.c_str())) {
            return i;
        }
    }
    return CB_ERR;
}

LRESULT ComboProcLocked(Window& c, UINT msg, WPARAM w, LPARAM l) {
    const int count = static_cast<int>(c.items.size());
    const int index = static_cast<int>(static_cast<INT_PTR>(w));
    switch (msg) {
    case CB_ADDSTRING:
        c.items.push_back(TextOf(l));
        c.data.push_back(0);
        return count;
    case CB_INSERTSTRING:
        return ComboInsert(c, index, l);
    case CB_DELETESTRING:
        return ComboDelete(c, index);
    case CB_GETCOUNT:
        return count;
    case CB_GETCURSEL:
        return c.curSel;
    case CB_SETCURSEL:
        return ComboSetCurSel(c, index);
    case CB_GETLBTEXT:
        if (!ComboHasIndex(c, index)) {
            return CB_ERR;
        }
        return static_cast<LRESULT>(
            CopyOut(c.items[static_cast<size_t>(index)], reinterpret_cast<LPWSTR>(l), SIZE_MAX));
    case CB_GETLBTEXTLEN:
        if (!ComboHasIndex(c, index)) {
            return CB_ERR;
        }
        return static_cast<LRESULT>(c.items[static_cast<size_t>(index)].size());
    case CB_SETITEMDATA:
        if (!ComboHasIndex(c, index)) {
            return CB_ERR;
        }
        c.data[static_cast<size_t>(index)] = l;
        return CB_OKAY;
    case CB_GETITEMDATA:
        if (!ComboHasIndex(c, index)) {
            return CB_ERR;
        }
        return c.data[static_cast<size_t>(index)];
    case CB_RESETCONTENT:
        c.items.clear();
        c.data.clear();
        c.curSel = -1;
        c.text.clear();
        return CB_OKAY;
    case CB_FINDSTRINGEXACT:
        return ComboFindExact(c, index, l);
    default:
        return 0;
    }
}

// PBM_SETRANGE and PBM_SETRANGE32 answer the previous range packed as MAKELONG(low, high).
LRESULT ProgressSetRange(Window& c, int low, int high) {
    LRESULT previous = MAKELONG(c.low, c.high);
    c.low = low;
    c.high = high;
    ClampPos(c);
    return previous;
}

LRESULT ProgressProcLocked(Window& c, UINT msg, WPARAM w, LPARAM l) {
    const int old = c.pos;
    switch (msg) {
    case PBM_SETPOS:
        c.pos = static_cast<int>(static_cast<INT_PTR>(w));
        ClampPos(c);
        return old;
    case PBM_GETPOS:
        return c.pos;
    case PBM_DELTAPOS:
        c.pos += static_cast<int>(static_cast<INT_PTR>(w));
        ClampPos(c);
        return old;
    case PBM_SETRANGE:
        return ProgressSetRange(c, LOWORD(l), HIWORD(l));
    case PBM_SETRANGE32:
        return ProgressSetRange(c, static_cast<int>(static_cast<INT_PTR>(w)), static_cast<int>(l));
    case PBM_GETRANGE:
        return w ? c.low : c.high;
    case PBM_SETSTEP: {
        int previous = c.step;
        c.step = static_cast<int>(static_cast<INT_PTR>(w));
        return previous;
    }
    case PBM_STEPIT:
        c.pos += c.step;
        if (c.pos > c.high) {
            c.pos = c.low + (c.pos - c.high);
        }
        ClampPos(c);
        return old;
    default:
        return 0;
    }
}

LRESULT StaticProcLocked(Window& c, UINT msg, WPARAM w, LPARAM l) {
    HANDLE old = c.image;
    switch (msg) {
    case STM_SETIMAGE:
        c.image = reinterpret_cast<HANDLE>(l);
        return reinterpret_cast<LRESULT>(old);
    case STM_SETICON:
        c.image = reinterpret_cast<HANDLE>(w);
        return reinterpret_cast<LRESULT>(old);
    case STM_GETIMAGE:
    case STM_GETICON:
        return reinterpret_cast<LRESULT>(old);
    default:
        return 0;
    }
}

} // namespace

// The built-in behaviour of a control, run under the lock on the control's thread: the text
// messages every control answers, then those of its kind.
LRESULT ControlProcLocked(Window& c, UINT msg, WPARAM w, LPARAM l) {
    switch (msg) {
    case WM_SETTEXT:
        c.text = TextOf(l);
        return TRUE;
    case WM_GETTEXT:
        return static_cast<LRESULT>(CopyOut(c.text, reinterpret_cast<LPWSTR>(l), w));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(c.text.size());
    default:
        break;
    }
    switch (c.kind) {
    case Kind::Combo:
        return ComboProcLocked(c, msg, w, l);
    case Kind::Progress:
        return ProgressProcLocked(c, msg, w, l);
    case Kind::Static:
        return StaticProcLocked(c, msg, w, l);
    default:
        return 0;
    }
}

LRESULT DefDialogProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    switch (msg) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* d = FindLocked(h);
        if (d == nullptr) {
            return 0;
        }
        if (msg == WM_SETTEXT) {
            d->text = TextOf(l);
            TouchLocked();
            return TRUE;
        }
        if (msg == WM_GETTEXT) {
            return static_cast<LRESULT>(CopyOut(d->text, reinterpret_cast<LPWSTR>(l), w));
        }
        return static_cast<LRESULT>(d->text.size());
    }
    case WM_QUERYENDSESSION:
        return TRUE; // a dialog that does not object lets the session end
    case WM_SYSCOMMAND:
        if ((w & 0xFFF0) == SC_CLOSE) {
            SendMessageW(h, WM_CLOSE, 0, 0);
        }
        return 0;
    case WM_CLOSE: {
        HWND cancel = GetDlgItem(h, IDCANCEL);
        if (cancel == nullptr || IsWindowEnabled(cancel)) {
            PostMessageW(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
        }
        return 0;
    }
    case DM_GETDEFID: {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* d = FindLocked(h);
        return d == nullptr ? 0 : MAKELONG(d->defId, DC_HASDEFID);
    }
    case DM_SETDEFID: {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* d = FindLocked(h);
        if (d != nullptr) {
            d->defId = static_cast<int>(w);
        }
        return TRUE;
    }
    default:
        return 0;
    }
}

// Input reaches a dialog only while it is enabled (its message box disables it) and a control
// only while that control is enabled.
void ProcessInput(const Input& in) {
    HWND dlg = in.dialog;
    HWND combo = nullptr;
    int comboSel = -1;
    int comboCount = 0;
    DWORD dlgStyle = 0;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* d = FindLocked(dlg);
        if (d == nullptr || d->kind != Kind::Dialog || !d->enabled || d->ended) {
            return;
        }
        dlgStyle = d->style;
        for (HWND ch : d->children) {
            Window* c = FindLocked(ch);
            if (c != nullptr && c->kind == Kind::Combo && c->enabled && c->visible) {
                combo = ch;
                comboSel = c->curSel;
                comboCount = static_cast<int>(c->items.size());
                break;
            }
        }
    }
    switch (in.kind) {
    case InputKind::Key:
        if (in.a == VK_ESCAPE) {
            HWND cancel = GetDlgItem(dlg, IDCANCEL);
            SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
        } else if (in.a == VK_RETURN) {
            LRESULT dw = SendMessageW(dlg, DM_GETDEFID, 0, 0);
            if (HIWORD(dw) == DC_HASDEFID) {
                int id = LOWORD(dw);
                HWND def = GetDlgItem(dlg, id);
                if (def == nullptr || IsWindowEnabled(def)) {
                    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(def));
                }
            } else {
                SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
            }
        } else if ((in.a == VK_UP || in.a == VK_DOWN) && combo != nullptr && comboCount > 0) {
            int next = comboSel;
            if (in.a == VK_DOWN) {
                next = comboSel < 0 ? 0 : std::min(comboSel + 1, comboCount - 1);
            } else {
                next = comboSel < 0 ? 0 : std::max(comboSel - 1, 0);
            }
            if (next != comboSel) {
                UserSelect(combo, next);
            }
        }
        break;
    case InputKind::Click: {
        HWND button = GetDlgItem(dlg, in.a);
        bool ok = false;
        {
            std::lock_guard<std::mutex> guard(W().lock);
            Window* b = FindLocked(button);
            ok = b != nullptr && b->kind == Kind::Button && b->enabled && b->visible;
        }
        if (ok) {
            SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(in.a, BN_CLICKED),
                         reinterpret_cast<LPARAM>(button));
        }
        break;
    }
    case InputKind::Select:
        UserSelect(GetDlgItem(dlg, in.a), in.b);
        break;
    case InputKind::CloseBox:
        if (dlgStyle & WS_SYSMENU) {
            SendMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        break;
    }
}

void QueueInput(const Input& in, bool* ok) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(in.dialog);
    if (d == nullptr || d->kind != Kind::Dialog) {
        *ok = false;
        return;
    }
    W().queues[d->thread].input.push_back(in);
    W().cv.NotifyAll();
    *ok = true;
}

} // namespace ui
} // namespace zxposix
