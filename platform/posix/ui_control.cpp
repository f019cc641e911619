// The control interface of the window manager (platform/posix/ui_control.h) for tests, tools
// and the front ends: reading the dialog and the records, input from outside, answers to message
// boxes, waits, and the front end.
#include "platform/posix/threads.h"
#include "platform/posix/wm_state.h"

#include <algorithm>
#include <chrono>

namespace zxposix {
namespace ui {
namespace {

void AddAnswer(int answer, bool unscripted) {
    std::lock_guard<std::mutex> guard(W().lock);
    W().answers.push_back(PendingAnswer{answer, unscripted});
    W().cv.NotifyAll();
}

} // namespace

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

size_t PendingPostedMessages(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr) {
        return 0;
    }
    auto q = W().queues.find(OwnerThreadLocked(w));
    return q == W().queues.end() ? 0 : q->second.posted.size();
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

int DefaultButtonIndex(UINT type) {
    const int n = static_cast<int>(ButtonsOf(type).size());
    const int index = static_cast<int>((type & MB_DEFMASK) >> 8);
    return index < n ? index : 0;
}

bool DialogInModalWait() {
    return W().modalWait.load();
}

void NoteBlockingWait() {
    const DWORD thread = W().frontEndThread.load();
    if (thread != 0 && thread == GetCurrentThreadId()) {
        W().modalWait.store(true);
        W().changes++;
    }
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
        W().cv.Wait(lk, kNoDeadline,
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
    }
}

void SetFrontEnd(FrontEnd* frontEnd) {
    std::lock_guard<std::mutex> guard(W().lock);
    W().frontEnd = frontEnd;
}

uint64_t ChangeCount() {
    return W().changes.load();
}

} // namespace ui
} // namespace zxposix
