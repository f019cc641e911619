// The window manager: dialogs and their controls created from resource script templates, one
// message queue per thread, sent and posted messages, timers on the platform clock, modal
// loops and message boxes, with the Windows behaviours the program relies on:
//  - PostMessageW queues; SendMessageW from another thread blocks until the window's thread has
//    handled the message;
//  - WM_TIMER is generated when the queue has nothing else, from the process clock;
//  - MessageBoxW disables its owner and runs a nested loop that keeps dispatching;
//  - CB_SETCURSEL and the other list messages raise no notification;
//  - a disabled control, or a dialog disabled by its message box, ignores input.
#include "platform/device_backend.h"
#include "platform/posix/clock.h"
#include "platform/posix/codepage.h"
#include "platform/posix/debug_output.h"
#include "platform/posix/resources.h"
#include "platform/posix/threads.h"
#include "platform/posix/user_internal.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace zxposix {
namespace ui {
namespace {

const int kFrame = 3;    // dialog frame, each side
const int kCaption = 19; // caption bar
const size_t kLogLimit = 500000;

enum class Kind { Dialog, Static, Button, Combo, Progress, Other };

struct Window {
    HWND hwnd = nullptr;
    Kind kind = Kind::Other;
    HWND parent = nullptr; // controls: the dialog; dialogs: the owner
    int id = 0;
    std::wstring className;
    std::wstring text;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{}; // dialogs: screen coordinates; controls: the dialog's client coordinates
    bool enabled = true;
    bool visible = true;
    DWORD thread = 0;
    // dialogs
    DLGPROC proc = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    int defId = IDOK;
    std::vector<HWND> children;
    // combo boxes
    std::vector<std::wstring> items;
    std::vector<LPARAM> data;
    int curSel = -1;
    int droppedHeight = 0;
    // progress bars
    int low = 0, high = 100, pos = 0, step = 10;
    // statics
    HANDLE image = nullptr;
};

struct Posted {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
    DWORD sender;
};

struct Sent {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
    DWORD sender;
    LRESULT result = 0;
    bool done = false;
};

enum class InputKind { Key, Click, Select, CloseBox };
struct Input {
    InputKind kind;
    HWND dialog;
    int a;
    int b;
};

struct ThreadQueue {
    std::deque<Posted> posted;
    std::deque<Sent*> sent;
    std::deque<Input> input;
    bool waiting = false; // the thread's loop waits with nothing to dispatch
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT elapse;
    uint64_t due;
    TIMERPROC proc;
};

struct PendingAnswer {
    int answer;
    bool unscripted;
};

struct OpenBox {
    size_t record;
    DWORD thread;
};

struct Wm {
    std::mutex lock;
    std::condition_variable cv;
    std::map<HWND, std::unique_ptr<Window>> windows;
    uintptr_t nextHandle = 0x7F0010;
    std::map<DWORD, ThreadQueue> queues;
    std::vector<Timer> timers;
    std::vector<HWND> dialogs; // modal dialogs, innermost last
    std::vector<MessageBoxRecord> boxes;
    std::vector<OpenBox> openBoxes; // innermost last
    std::deque<PendingAnswer> answers;
    std::vector<MessageRecord> log;
    std::vector<IssuedMessage> issued;
    std::condition_variable idle; // a loop began to wait with nothing to dispatch
    int screenW = 1920;
    int screenH = 1080;
    FrontEnd* frontEnd = nullptr;
    std::atomic<uint64_t> changes{0};
    HICON classIcon = nullptr;
    HICON classIconSmall = nullptr;
};

// Never destroyed: worker threads may still send while the process exits.
Wm& W() {
    static Wm* wm = new Wm;
    return *wm;
}

void TouchLocked() {
    W().changes++;
    W().cv.notify_all();
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

bool SameClass(const std::wstring& a, const wchar_t* b) {
    if (a.size() != std::wcslen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (std::towlower(a[i]) != std::towlower(b[i])) {
            return false;
        }
    }
    return true;
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

void ClampPos(Window& c) {
    if (c.pos < c.low) {
        c.pos = c.low;
    }
    if (c.pos > c.high) {
        c.pos = c.high;
    }
}

// The built-in behaviour of a control, run under the lock on the control's thread.
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
    if (c.kind == Kind::Combo) {
        int count = static_cast<int>(c.items.size());
        int index = static_cast<int>(static_cast<INT_PTR>(w));
        switch (msg) {
        case CB_ADDSTRING:
            c.items.push_back(TextOf(l));
            c.data.push_back(0);
            return count;
        case CB_INSERTSTRING:
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
        case CB_DELETESTRING:
            if (index < 0 || index >= count) {
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
            return count - 1;
        case CB_GETCOUNT:
            return count;
        case CB_GETCURSEL:
            return c.curSel;
        case CB_SETCURSEL:
            if (index < 0 || index >= count) {
                c.curSel = -1;
                c.text.clear();
                return CB_ERR;
            }
            c.curSel = index;
            c.text = c.items[static_cast<size_t>(index)];
            return index;
        case CB_GETLBTEXT:
            if (index < 0 || index >= count) {
                return CB_ERR;
            }
            return static_cast<LRESULT>(CopyOut(c.items[static_cast<size_t>(index)],
                                                reinterpret_cast<LPWSTR>(l), SIZE_MAX));
        case CB_GETLBTEXTLEN:
            if (index < 0 || index >= count) {
                return CB_ERR;
            }
            return static_cast<LRESULT>(c.items[static_cast<size_t>(index)].size());
        case CB_SETITEMDATA:
            if (index < 0 || index >= count) {
                return CB_ERR;
            }
            c.data[static_cast<size_t>(index)] = l;
            return CB_OKAY;
        case CB_GETITEMDATA:
            if (index < 0 || index >= count) {
                return CB_ERR;
            }
            return c.data[static_cast<size_t>(index)];
        case CB_RESETCONTENT:
            c.items.clear();
            c.data.clear();
            c.curSel = -1;
            c.text.clear();
            return CB_OKAY;
        case CB_FINDSTRINGEXACT: {
            std::wstring want = TextOf(l);
            for (int k = 0; k < count; k++) {
                int i = (index + 1 + k) % count;
                if (i < 0) {
                    i += count;
                }
                if (SameClass(c.items[static_cast<size_t>(i)], want.c_str())) {
                    return i;
                }
            }
            return CB_ERR;
        }
        default:
            return 0;
        }
    }
    if (c.kind == Kind::Progress) {
        int old = c.pos;
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
        case PBM_SETRANGE: {
            LRESULT previous = MAKELONG(c.low, c.high);
            c.low = LOWORD(l);
            c.high = HIWORD(l);
            ClampPos(c);
            return previous;
        }
        case PBM_SETRANGE32: {
            LRESULT previous = MAKELONG(c.low, c.high);
            c.low = static_cast<int>(static_cast<INT_PTR>(w));
            c.high = static_cast<int>(l);
            ClampPos(c);
            return previous;
        }
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
    if (c.kind == Kind::Static) {
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
    return 0;
}

// Appends a record of the message to one of the logs, up to the limit.
void RecordLocked(std::vector<MessageRecord>& log, Window* w, UINT msg, WPARAM wp, LPARAM lp,
                  bool posted, DWORD sender) {
    if (log.size() >= kLogLimit) {
        return;
    }
    MessageRecord r;
    r.hwnd = w->hwnd;
    r.controlId = w->kind == Kind::Dialog ? 0 : w->id;
    r.message = msg;
    r.wParam = wp;
    r.lParam = lp;
    r.timeMs = ClockNowMs();
    r.senderThread = sender;
    r.posted = posted;
    log.push_back(r);
}

void LogLocked(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool posted, DWORD sender) {
    RecordLocked(W().log, w, msg, wp, lp, posted, sender);
}

void LogIssuedLocked(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool posted, DWORD sender) {
    RecordLocked(W().issued, w, msg, wp, lp, posted, sender);
}

LRESULT DefDialogProc(HWND h, UINT msg, WPARAM w, LPARAM l);

// Runs a message on the calling thread, which is the window's own.
LRESULT Deliver(HWND h, UINT msg, WPARAM w, LPARAM l, bool posted, DWORD sender) {
    std::unique_lock<std::mutex> lk(W().lock);
    Window* win = FindLocked(h);
    if (win == nullptr) {
        return 0;
    }
    LogLocked(win, msg, w, l, posted, sender);
    if (win->kind == Kind::Dialog) {
        DLGPROC proc = win->proc;
        lk.unlock();
        INT_PTR handled = proc != nullptr ? proc(h, msg, w, l) : 0;
        LRESULT result = handled ? 0 : DefDialogProc(h, msg, w, l);
        lk.lock();
        TouchLocked();
        return result;
    }
    if (msg == BM_CLICK && win->kind == Kind::Button) {
        bool enabled = win->enabled;
        HWND parent = win->parent;
        int id = win->id;
        lk.unlock();
        if (enabled) {
            SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(h));
        }
        return 0;
    }
    LRESULT result = ControlProcLocked(*win, msg, w, l);
    TouchLocked();
    return result;
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

// Dispatches until done() (checked under the lock) holds: sent messages first, then posted
// messages, then input, then timers; when idle, the front end is asked and the thread sleeps
// until something arrives or the next timer is due.
void RunLoop(const std::function<bool()>& doneLocked) {
    DWORD me = GetCurrentThreadId();
    std::unique_lock<std::mutex> lk(W().lock);
    for (;;) {
        if (doneLocked()) {
            return;
        }
        ThreadQueue& q = W().queues[me];
        if (!q.sent.empty()) {
            Sent* s = q.sent.front();
            q.sent.pop_front();
            lk.unlock();
            LRESULT r = Deliver(s->hwnd, s->msg, s->w, s->l, false, s->sender);
            lk.lock();
            s->result = r;
            s->done = true;
            W().cv.notify_all();
            continue;
        }
        if (!q.posted.empty()) {
            Posted p = q.posted.front();
            q.posted.pop_front();
            lk.unlock();
            Deliver(p.hwnd, p.msg, p.w, p.l, true, p.sender);
            lk.lock();
            continue;
        }
        if (!q.input.empty()) {
            Input in = q.input.front();
            q.input.pop_front();
            lk.unlock();
            ProcessInput(in);
            lk.lock();
            continue;
        }
        uint64_t now = ClockNowMs();
        Timer* due = nullptr;
        uint64_t next = UINT64_MAX;
        for (Timer& t : W().timers) {
            Window* tw = FindLocked(t.hwnd);
            if (tw == nullptr || OwnerThreadLocked(tw) != me) {
                continue;
            }
            if (t.due <= now) {
                if (due == nullptr || t.due < due->due) {
                    due = &t;
                }
            } else {
                next = std::min(next, t.due);
            }
        }
        if (due != nullptr) {
            Timer fired = *due;
            // The next one is due a period after this one was due, not after it was handled:
            // a periodic timer keeps its period. Periods missed while the thread was busy give
            // no burst of messages.
            do {
                due->due += fired.elapse;
            } while (due->due <= now);
            lk.unlock();
            if (fired.proc != nullptr) {
                fired.proc(fired.hwnd, WM_TIMER, fired.id, static_cast<DWORD>(now));
            } else {
                Deliver(fired.hwnd, WM_TIMER, fired.id, 0, true, me);
            }
            lk.lock();
            continue;
        }
        std::chrono::nanoseconds wait = std::chrono::milliseconds(50);
        FrontEnd* fe = W().frontEnd;
        if (fe != nullptr && FrontEndThread() == me) {
            uint64_t before = W().changes.load();
            lk.unlock();
            std::chrono::milliseconds asked = fe->Idle();
            lk.lock();
            wait = std::max(std::chrono::milliseconds(1), asked);
            if (doneLocked() || !q.sent.empty() || !q.posted.empty() || !q.input.empty() ||
                W().changes.load() != before) {
                continue;
            }
        }
        if (next != UINT64_MAX) {
            wait = std::min(wait, ClockRealDuration(next - now) + std::chrono::microseconds(100));
        }
        q.waiting = true;
        W().idle.notify_all();
        W().cv.wait_for(lk, wait);
        q.waiting = false;
    }
}

void DestroyDialogLocked(Window* d) {
    std::vector<HWND> gone = d->children;
    gone.push_back(d->hwnd);
    auto isGone = [&](HWND h) { return std::find(gone.begin(), gone.end(), h) != gone.end(); };
    auto& timers = W().timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const Timer& t) { return isGone(t.hwnd); }),
                 timers.end());
    for (auto& entry : W().queues) {
        auto& posted = entry.second.posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(),
                                    [&](const Posted& p) { return isGone(p.hwnd); }),
                     posted.end());
        auto& sent = entry.second.sent;
        for (auto it = sent.begin(); it != sent.end();) {
            if (isGone((*it)->hwnd)) {
                (*it)->result = 0;
                (*it)->done = true;
                it = sent.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (HWND h : gone) {
        W().windows.erase(h);
    }
    auto& dialogs = W().dialogs;
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), gone.back()), dialogs.end());
    TouchLocked();
}

HWND NewHandleLocked() {
    HWND h = reinterpret_cast<HWND>(W().nextHandle);
    W().nextHandle += 4;
    return h;
}

Kind KindOf(const std::wstring& cls) {
    if (SameClass(cls, WC_STATICW)) {
        return Kind::Static;
    }
    if (SameClass(cls, WC_BUTTONW)) {
        return Kind::Button;
    }
    if (SameClass(cls, WC_COMBOBOXW)) {
        return Kind::Combo;
    }
    if (SameClass(cls, PROGRESS_CLASSW)) {
        return Kind::Progress;
    }
    return Kind::Other;
}

int ValidAnswer(UINT type, int answer) {
    std::vector<int> offered = ButtonsOf(type);
    if (std::find(offered.begin(), offered.end(), answer) != offered.end()) {
        return answer;
    }
    int esc = EscapeAnswer(type);
    return esc != 0 ? esc : offered.front();
}

void QueueInput(const Input& in, bool* ok) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(in.dialog);
    if (d == nullptr || d->kind != Kind::Dialog) {
        *ok = false;
        return;
    }
    W().queues[d->thread].input.push_back(in);
    W().cv.notify_all();
    *ok = true;
}

void AddAnswer(int answer, bool unscripted) {
    std::lock_guard<std::mutex> guard(W().lock);
    W().answers.push_back(PendingAnswer{answer, unscripted});
    W().cv.notify_all();
}

} // namespace

// ---- control interface ----------------------------------------------------------------------

void SetScreenSize(int width, int height) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (width > 0 && height > 0) {
        W().screenW = width;
        W().screenH = height;
    }
}

const ControlView* DialogView::Find(int id) const {
    for (const ControlView& c : controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

HWND CurrentDialog() {
    std::lock_guard<std::mutex> guard(W().lock);
    return W().dialogs.empty() ? nullptr : W().dialogs.back();
}

DWORD FrontEndThread() {
    std::vector<HWND>& d = W().dialogs;
    if (!d.empty()) {
        Window* w = FindLocked(d.back());
        return w != nullptr ? w->thread : 0;
    }
    return W().openBoxes.empty() ? 0 : W().openBoxes.back().thread;
}

bool ReadDialog(HWND dialog, DialogView* out) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* d = FindLocked(dialog);
    if (d == nullptr || d->kind != Kind::Dialog) {
        return false;
    }
    DialogView v;
    v.hwnd = dialog;
    v.title = d->text;
    v.window = d->rect;
    int cap = (d->style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
    v.client = RECT{0, 0, d->rect.right - d->rect.left - 2 * kFrame,
                    d->rect.bottom - d->rect.top - 2 * kFrame - cap};
    v.enabled = d->enabled;
    v.classIcon = W().classIcon;
    for (HWND ch : d->children) {
        Window* c = FindLocked(ch);
        if (c == nullptr) {
            continue;
        }
        ControlView cv;
        cv.hwnd = ch;
        cv.id = c->id;
        cv.className = c->className;
        cv.text = c->text;
        cv.style = c->style;
        cv.rect = c->rect;
        cv.enabled = c->enabled;
        cv.visible = c->visible;
        cv.items = c->items;
        cv.itemData = c->data;
        cv.curSel = c->curSel;
        cv.low = c->low;
        cv.high = c->high;
        cv.pos = c->pos;
        cv.image = c->image;
        v.controls.push_back(cv);
    }
    *out = v;
    return true;
}

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard<std::mutex> guard(W().lock);
    return W().boxes;
}

bool OpenMessageBox(MessageBoxRecord* out) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (W().openBoxes.empty()) {
        return false;
    }
    *out = W().boxes[W().openBoxes.back().record];
    return true;
}

std::vector<MessageRecord> MessageLog() {
    std::lock_guard<std::mutex> guard(W().lock);
    return W().log;
}

std::vector<IssuedMessage> IssuedMessages() {
    std::lock_guard<std::mutex> guard(W().lock);
    return W().issued;
}

size_t PendingSentMessages(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        return 0;
    }
    auto q = W().queues.find(OwnerThreadLocked(w));
    return q == W().queues.end() ? 0 : q->second.sent.size();
}

bool WaitUntilIdle(HWND window, std::chrono::milliseconds realTimeout) {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    std::unique_lock<std::mutex> lk(W().lock);
    for (;;) {
        Window* w = FindLocked(window);
        if (w == nullptr) {
            return false;
        }
        const ThreadQueue& q = W().queues[OwnerThreadLocked(w)];
        if (q.waiting && q.sent.empty() && q.posted.empty() && q.input.empty()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        W().idle.wait_for(lk, std::chrono::milliseconds(5));
    }
}

void ClearWindowRecords() {
    std::lock_guard<std::mutex> guard(W().lock);
    // Records of open boxes stay, so that their indexes remain valid.
    if (W().openBoxes.empty()) {
        W().boxes.clear();
    }
    W().log.clear();
    W().issued.clear();
}

std::vector<int> ButtonsOf(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
        return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
        return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
        return {IDYES, IDNO};
    case MB_RETRYCANCEL:
        return {IDRETRY, IDCANCEL};
    default:
        return {IDOK};
    }
}

const wchar_t* ButtonName(int id) {
    switch (id) {
    case IDOK:
        return L"OK";
    case IDCANCEL:
        return L"Cancel";
    case IDABORT:
        return L"Abort";
    case IDRETRY:
        return L"Retry";
    case IDIGNORE:
        return L"Ignore";
    case IDYES:
        return L"Yes";
    case IDNO:
        return L"No";
    default:
        return L"?";
    }
}

int EscapeAnswer(UINT type) {
    std::vector<int> offered = ButtonsOf(type);
    if (std::find(offered.begin(), offered.end(), IDCANCEL) != offered.end()) {
        return IDCANCEL;
    }
    if (offered.size() == 1 && offered[0] == IDOK) {
        return IDOK;
    }
    return 0;
}

bool PressKey(HWND dialog, UINT vk) {
    bool ok = false;
    QueueInput(Input{InputKind::Key, dialog, static_cast<int>(vk), 0}, &ok);
    return ok;
}

bool ClickButton(HWND dialog, int id) {
    bool ok = false;
    QueueInput(Input{InputKind::Click, dialog, id, 0}, &ok);
    return ok;
}

bool SelectEntry(HWND dialog, int id, int index) {
    bool ok = false;
    QueueInput(Input{InputKind::Select, dialog, id, index}, &ok);
    return ok;
}

bool PressCloseBox(HWND dialog) {
    bool ok = false;
    QueueInput(Input{InputKind::CloseBox, dialog, 0, 0}, &ok);
    return ok;
}

void AnswerMessageBox(int answer) {
    AddAnswer(answer, false);
}

void AnswerMessageBoxUnscripted(int answer) {
    AddAnswer(answer, true);
}

void ClearPendingAnswers() {
    std::lock_guard<std::mutex> guard(W().lock);
    W().answers.clear();
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds realTimeout) {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::unique_lock<std::mutex> lk(W().lock);
        W().cv.wait_for(lk, std::chrono::milliseconds(5));
    }
}

void SetFrontEnd(FrontEnd* frontEnd) {
    std::lock_guard<std::mutex> guard(W().lock);
    W().frontEnd = frontEnd;
}

uint64_t ChangeCount() {
    return W().changes.load();
}

HICON ClassIconLocked(int index) {
    return index == GCLP_HICONSM ? W().classIconSmall : W().classIcon;
}

} // namespace ui
} // namespace zxposix

using namespace zxposix::ui;

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) {
        return -1;
    }
    long long p = static_cast<long long>(number) * numerator;
    bool negative = (p < 0) != (denominator < 0);
    long long ap = p < 0 ? -p : p;
    long long ad = denominator < 0 ? -static_cast<long long>(denominator) : denominator;
    long long q = (ap + ad / 2) / ad;
    if (q > INT_MAX) {
        return -1;
    }
    return static_cast<int>(negative ? -q : q);
}

INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR templateName, HWND parent, DLGPROC proc,
                        LPARAM initParam) {
    if (!IS_INTRESOURCE(templateName) || proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HRSRC res =
        FindResourceW(nullptr, MAKEINTRESOURCEW(ZX_DIALOG_SCRIPT_ID), ZX_DIALOG_SCRIPT_TYPE);
    if (res == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, res)));
    std::string script(bytes, SizeofResource(nullptr, res));
    DialogTemplate t;
    std::string error;
    int id = static_cast<int>(reinterpret_cast<ULONG_PTR>(templateName));
    if (!ParseDialogScript(script, id, &t, &error)) {
        std::wstring line = L"DialogBoxParamW: ";
        for (char c : error) {
            line.push_back(static_cast<unsigned char>(c));
        }
        OutputDebugStringW(line.c_str());
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    int bx = 0, by = 0;
    DialogBaseUnits(t, &bx, &by);
    DWORD me = GetCurrentThreadId();
    HWND dlg;
    HWND firstTab = nullptr;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        auto d = std::make_unique<Window>();
        dlg = NewHandleLocked();
        d->hwnd = dlg;
        d->kind = Kind::Dialog;
        d->parent = parent;
        d->className = L"#32770";
        d->text = t.caption;
        d->style = t.style;
        d->exStyle = t.exStyle;
        d->enabled = (t.style & WS_DISABLED) == 0;
        d->thread = me;
        d->proc = proc;
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
        d->rect = RECT{x, y, x + ww, y + wh};
        for (const ControlTemplate& ct : t.controls) {
            auto c = std::make_unique<Window>();
            HWND h = NewHandleLocked();
            c->hwnd = h;
            c->kind = KindOf(ct.className);
            c->parent = dlg;
            c->id = ct.id;
            c->className = ct.className;
            c->text = c->kind == Kind::Combo ? std::wstring() : ct.text;
            c->style = ct.style;
            c->exStyle = ct.exStyle;
            c->enabled = (ct.style & WS_DISABLED) == 0;
            c->visible = (ct.style & WS_VISIBLE) != 0;
            c->thread = me;
            int cx = MulDiv(ct.x, bx, 4);
            int cy = MulDiv(ct.y, by, 8);
            int cwid = MulDiv(ct.cx, bx, 4);
            int chgt = MulDiv(ct.cy, by, 8);
            if (c->kind == Kind::Combo) {
                c->droppedHeight = chgt; // the template gives the dropped-down height
                chgt = by + 6;
            }
            c->rect = RECT{cx, cy, cx + cwid, cy + chgt};
            if (c->kind == Kind::Button && (ct.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                d->defId = ct.id;
            }
            if (firstTab == nullptr && (ct.style & WS_TABSTOP) && c->enabled) {
                firstTab = h;
            }
            d->children.push_back(h);
            W().windows[h] = std::move(c);
        }
        W().windows[dlg] = std::move(d);
        W().dialogs.push_back(dlg);
        TouchLocked();
    }
    Deliver(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), initParam, false, me);
    FrontEnd* fe;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        fe = W().frontEnd;
    }
    if (fe != nullptr) {
        fe->DialogShown(dlg);
    }
    RunLoop([dlg] {
        Window* d = FindLocked(dlg);
        return d == nullptr || d->ended;
    });
    Deliver(dlg, WM_DESTROY, 0, 0, false, me);
    INT_PTR result;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        Window* d = FindLocked(dlg);
        result = d != nullptr ? d->result : 0;
        if (d != nullptr) {
            DestroyDialogLocked(d);
        }
        fe = W().frontEnd;
    }
    if (fe != nullptr) {
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

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD me = GetCurrentThreadId();
    std::unique_lock<std::mutex> lk(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LogIssuedLocked(w, message, wParam, lParam, false, me);
    DWORD owner = OwnerThreadLocked(w);
    if (owner == me) {
        lk.unlock();
        return Deliver(window, message, wParam, lParam, false, me);
    }
    Sent s{window, message, wParam, lParam, me};
    W().queues[owner].sent.push_back(&s);
    W().cv.notify_all();
    while (!s.done) {
        // A thread waiting for its reply still runs messages sent to its own windows.
        ThreadQueue& mine = W().queues[me];
        if (!mine.sent.empty()) {
            Sent* in = mine.sent.front();
            mine.sent.pop_front();
            lk.unlock();
            LRESULT r = Deliver(in->hwnd, in->msg, in->w, in->l, false, in->sender);
            lk.lock();
            in->result = r;
            in->done = true;
            W().cv.notify_all();
            continue;
        }
        W().cv.wait(lk);
    }
    return s.result;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    LogIssuedLocked(w, message, wParam, lParam, true, me);
    W().queues[OwnerThreadLocked(w)].posted.push_back(Posted{window, message, wParam, lParam, me});
    W().cv.notify_all();
    return TRUE;
}

// Posted to every dialog, in the order they were made: dialogs are the top-level windows here
// (message boxes are drawn by the front ends, not windows).
void AnnounceDeviceChange() {
    const DWORD lastError = GetLastError();
    std::vector<HWND> topLevel;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        for (const auto& entry : W().windows) {
            if (entry.second->kind == Kind::Dialog) {
                topLevel.push_back(entry.first);
            }
        }
    }
    for (HWND window : topLevel) {
        PostMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); // fails for one gone
    }
    SetLastError(lastError);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (FindLocked(window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (elapse < 10) {
        elapse = 10; // USER_TIMER_MINIMUM
    }
    uint64_t due = zxposix::ClockNowMs() + elapse;
    for (Timer& t : W().timers) {
        if (t.hwnd == window && t.id == id) {
            t.elapse = elapse;
            t.due = due;
            t.proc = proc;
            W().cv.notify_all();
            return id == 0 ? 1 : id;
        }
    }
    W().timers.push_back(Timer{window, id, elapse, due, proc});
    W().cv.notify_all();
    return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    std::lock_guard<std::mutex> guard(W().lock);
    auto& timers = W().timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->hwnd == window && it->id == id) {
            timers.erase(it);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    DWORD me = GetCurrentThreadId();
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
