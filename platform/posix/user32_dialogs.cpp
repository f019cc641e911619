// The USER32 dialog calls: DialogBoxParamW from the resource script template, EndDialog, the
// dialog item calls, and MessageBoxW, which disables its owner and runs a nested loop that keeps
// dispatching until the box is answered.
#include "platform/posix/debug_output.h"
#include "platform/posix/resources.h"
#include "platform/posix/threads.h"
#include "platform/posix/wm_state.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

using namespace zxposix::ui;

namespace {

int ValidAnswer(UINT type, int answer) {
    std::vector<int> offered = ButtonsOf(type);
    if (std::find(offered.begin(), offered.end(), answer) != offered.end()) {
        return answer;
    }
    int esc = EscapeAnswer(type);
    return esc != 0 ? esc : offered.front();
}

} // namespace

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) {
        return -1;
    }
    long long p = static_cast<long long>(number) * numerator;
    bool negative = (p < 0) != (denominator < 0);
    long long ap = p < 0 ? -p : p;
    long long ad = std::llabs(denominator);
    long long q = (ap + ad / 2) / ad;
    if (q > INT_MAX) {
        return -1;
    }
    return static_cast<int>(negative ? -q : q);
}

namespace {

// Reads dialog `id` from the resource script; a script that does not parse says why in the
// debug output. Answers 0 or the error code to set.
DWORD LoadDialogTemplate(int id, DialogTemplate* t) {
    HRSRC res =
        FindResourceW(nullptr, MAKEINTRESOURCEW(ZX_DIALOG_SCRIPT_ID), ZX_DIALOG_SCRIPT_TYPE);
    if (res == nullptr) {
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, res)));
    std::string script(bytes, SizeofResource(nullptr, res));
    std::string error;
    if (!ParseDialogScript(script, id, t, &error)) {
        std::wstring line = L"DialogBoxParamW: ";
        for (char c : error) {
            line.push_back(static_cast<unsigned char>(c));
        }
        OutputDebugStringW(line.c_str());
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    }
    return 0;
}

// The dialog's window rectangle on the screen: its client area in dialog units, the frame and
// caption around it, centred on the screen (DS_CENTER) or placed in its owner's client area.
RECT DialogRectLocked(const DialogTemplate& t, HWND parent, int bx, int by) {
    int cw = MulDiv(t.cx, bx, 4);
    int ch = MulDiv(t.cy, by, 8);
    int cap = (t.style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
    int ww = cw + 2 * kFrame;
    int wh = ch + 2 * kFrame + cap;
    int x = MulDiv(t.x, bx, 4);
    int y = MulDiv(t.y, by, 8);
    if (t.style & DS_CENTER) {
        x = (W().screenW - ww) / 2;
        y = (W().screenH - wh) / 2;
    } else if (Window* owner = FindLocked(parent)) {
        int ocap = (owner->style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
        x += owner->rect.left + kFrame;
        y += owner->rect.top + kFrame + ocap;
    }
    return RECT{x, y, x + ww, y + wh};
}

std::unique_ptr<Window> NewDialogLocked(const DialogTemplate& t, HWND parent, DLGPROC proc, int bx,
                                        int by, DWORD thread) {
    auto d = std::make_unique<Window>();
    d->hwnd = NewHandleLocked();
    d->kind = Kind::Dialog;
    d->parent = parent;
    d->className = L"#32770";
    d->text = t.caption;
    d->style = t.style;
    d->exStyle = t.exStyle;
    d->enabled = (t.style & WS_DISABLED) == 0;
    d->thread = thread;
    d->proc = proc;
    d->rect = DialogRectLocked(t, parent, bx, by);
    return d;
}

// A control of the template, placed in its dialog's client area; a combo box's template height
// is the height of its dropped list, the closed box is one line high.
std::unique_ptr<Window> NewControlLocked(const ControlTemplate& ct, HWND dlg, int bx, int by,
                                         DWORD thread) {
    auto c = std::make_unique<Window>();
    c->hwnd = NewHandleLocked();
    c->kind = KindOf(ct.className);
    c->parent = dlg;
    c->id = ct.id;
    c->className = ct.className;
    c->text = c->kind == Kind::Combo ? std::wstring() : ct.text;
    c->style = ct.style;
    c->exStyle = ct.exStyle;
    c->enabled = (ct.style & WS_DISABLED) == 0;
    c->visible = (ct.style & WS_VISIBLE) != 0;
    c->thread = thread;
    int cx = MulDiv(ct.x, bx, 4);
    int cy = MulDiv(ct.y, by, 8);
    int cwid = MulDiv(ct.cx, bx, 4);
    int chgt = MulDiv(ct.cy, by, 8);
    if (c->kind == Kind::Combo) {
        c->droppedHeight = chgt; // the template gives the dropped-down height
        chgt = by + 6;
    }
    c->rect = RECT{cx, cy, cx + cwid, cy + chgt};
    return c;
}

// Creates the dialog and its controls from the template; *firstTab is the first enabled control
// with WS_TABSTOP, which WM_INITDIALOG names.
HWND CreateDialogWindows(const DialogTemplate& t, HWND parent, DLGPROC proc, DWORD thread,
                         HWND* firstTab) {
    int bx = 0, by = 0;
    DialogBaseUnits(t, &bx, &by);
    *firstTab = nullptr;
    std::lock_guard<std::mutex> guard(W().lock);
    std::unique_ptr<Window> d = NewDialogLocked(t, parent, proc, bx, by, thread);
    HWND dlg = d->hwnd;
    for (const ControlTemplate& ct : t.controls) {
        std::unique_ptr<Window> c = NewControlLocked(ct, dlg, bx, by, thread);
        HWND h = c->hwnd;
        if (c->kind == Kind::Button && (ct.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            d->defId = ct.id;
        }
        if (*firstTab == nullptr && (ct.style & WS_TABSTOP) && c->enabled) {
            *firstTab = h;
        }
        d->children.push_back(h);
        W().windows[h] = std::move(c);
    }
    W().windows[dlg] = std::move(d);
    W().dialogs.push_back(dlg);
    TouchLocked();
    return dlg;
}

FrontEnd* CurrentFrontEnd() {
    std::lock_guard<std::mutex> guard(W().lock);
    return W().frontEnd;
}

// Takes the ended dialog's result and destroys it with its controls.
INT_PTR DestroyEndedDialog(HWND dlg) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(dlg);
    INT_PTR result = d != nullptr ? d->result : 0;
    if (d != nullptr) {
        DestroyDialogLocked(d);
    }
    return result;
}

} // namespace

// Creates the dialog from the resource script, runs its modal loop on this thread until
// EndDialog, and destroys it; the front end, if one is attached, sees it shown and closed.
INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR templateName, HWND parent, DLGPROC proc,
                        LPARAM initParam) {
    if (!IS_INTRESOURCE(templateName) || proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // The dialog's thread takes part in the clock, WM_INITDIALOG included.
    zxposix::ClockMember member;
    DialogTemplate t;
    int id = static_cast<int>(reinterpret_cast<ULONG_PTR>(templateName));
    if (DWORD error = LoadDialogTemplate(id, &t)) {
        SetLastError(error);
        return -1;
    }
    DWORD me = GetCurrentThreadId();
    HWND firstTab = nullptr;
    HWND dlg = CreateDialogWindows(t, parent, proc, me, &firstTab);
    Deliver(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), initParam, false, me);
    if (FrontEnd* fe = CurrentFrontEnd()) {
        fe->DialogShown(dlg);
    }
    RunLoop([dlg] {
        Window* d = FindLocked(dlg);
        return d == nullptr || d->ended;
    });
    Deliver(dlg, WM_DESTROY, 0, 0, false, me);
    INT_PTR result = DestroyEndedDialog(dlg);
    if (FrontEnd* fe = CurrentFrontEnd()) {
        fe->DialogClosed(dlg);
    }
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(dialog);
    if (d == nullptr || d->kind != Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    d->ended = true;
    d->result = result;
    d->visible = false;
    TouchLocked();
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(dialog);
    if (d != nullptr) {
        for (HWND h : d->children) {
            Window* c = FindLocked(h);
            if (c != nullptr && c->id == id) {
                return h;
            }
        }
    }
    SetLastError(d == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int GetDlgCtrlID(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    return w != nullptr && w->kind != Kind::Dialog ? w->id : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr) {
        return FALSE;
    }
    return static_cast<BOOL>(SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int capacity) {
    HWND item = GetDlgItem(dialog, id);
    if (item == nullptr) {
        if (text != nullptr && capacity > 0) {
            text[0] = 0;
        }
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(item, text, capacity));
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(dialog, id);
    return item == nullptr ? 0 : SendMessageW(item, message, wParam, lParam);
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    DWORD me = GetCurrentThreadId();
    zxposix::ClockMember member;
    size_t record;
    HWND disabled = nullptr;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        MessageBoxRecord r;
        r.owner = owner;
        r.caption = caption != nullptr ? caption : L"Error";
        r.text = text != nullptr ? text : L"";
        r.type = type;
        r.open = true;
        r.serial = ++W().boxSerial;
        record = W().boxes.size();
        W().boxes.push_back(r);
        W().openBoxes.push_back(OpenBox{record, me});
        Window* top = TopLevelLocked(FindLocked(owner));
        if (top != nullptr && top->enabled) {
            top->enabled = false; // the owner takes no input while its box is open
            disabled = top->hwnd;
        }
        TouchLocked();
    }
    int answer = 0;
    bool unscripted = false;
    RunLoop([&] {
        if (!W().openBoxes.empty() && W().openBoxes.back().record == record &&
            !W().answers.empty()) {
            PendingAnswer a = W().answers.front();
            W().answers.pop_front();
            answer = ValidAnswer(type, a.answer);
            unscripted = a.unscripted;
        }
        return answer != 0;
    });
    std::lock_guard<std::mutex> guard(W().lock);
    MessageBoxRecord& r = W().boxes[record];
    r.open = false;
    r.answer = answer;
    r.unscripted = unscripted;
    auto& open = W().openBoxes;
    open.erase(std::remove_if(open.begin(), open.end(),
                              [&](const OpenBox& b) { return b.record == record; }),
               open.end());
    if (Window* top = FindLocked(disabled)) {
        top->enabled = true;
    }
    TouchLocked();
    return answer;
}
