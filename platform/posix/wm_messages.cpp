// Message queues and delivery: one queue per thread, sent messages before posted ones, input,
// timers from the platform clock, and the device-change broadcast, with the Windows behaviours
// the program relies on:
//  - PostMessageW queues; SendMessageW from another thread blocks until the window's thread has
//    handled the message, and the waiting thread still runs messages sent to its own windows;
//  - WM_TIMER is generated when the queue has nothing else, from the process clock.
#include "platform/device_backend.h"
#include "platform/posix/clock.h"
#include "platform/posix/threads.h"
#include "platform/posix/wm_state.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace zxposix {
namespace ui {
namespace {

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

} // namespace

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
        win->msgResult = 0;
        lk.unlock();
        INT_PTR handled = proc != nullptr ? proc(h, msg, w, l) : 0;
        LRESULT result = 0;
        if (!handled) {
            result = DefDialogProc(h, msg, w, l);
        }
        lk.lock();
        if (handled) {
            // A handled message returns what the procedure put in DWLP_MSGRESULT.
            Window* still = FindLocked(h);
            result = still != nullptr ? still->msgResult : 0;
        }
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

// Dispatches until done() (checked under the lock) holds: sent messages first, then posted
// messages, then input, then timers; when idle, the front end is asked and the thread sleeps
// until something arrives or the next timer is due.
void RunLoop(const std::function<bool()>& doneLocked) {
    DWORD me = GetCurrentThreadId();
    ClockMember member; // a thread in a message loop takes part in the clock
    std::unique_lock<std::mutex> lk(W().lock);
    for (;;) {
        if (doneLocked()) {
            return;
        }
        if (SessionEndDueLocked(me)) {
            lk.unlock();
            AskToEndSession(me);
            lk.lock();
            continue;
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
            W().cv.NotifyAll();
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
        // Besides the next timer, the loop looks again after a while of real time (the front end's
        // polling, a session end asked from a signal handler); that holds no program time back.
        std::chrono::milliseconds wait = std::chrono::milliseconds(50);
        FrontEnd* fe = W().frontEnd;
        if (FrontEndThread() == me) {
            // Idle with nothing to dispatch: whatever wait a handler made is over.
            W().frontEndThread.store(me);
            if (W().modalWait.exchange(false)) {
                TouchLocked();
            }
        }
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
        q.waiting = true;
        W().idle.notify_all();
        W().cv.Wait(lk, next, std::chrono::steady_clock::now() + wait);
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

} // namespace ui
} // namespace zxposix

using namespace zxposix::ui;

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
    W().cv.NotifyAll();
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
            W().cv.NotifyAll();
            continue;
        }
        W().cv.Wait(lk, zxposix::kNoDeadline);
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
    W().cv.NotifyAll();
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
            W().cv.NotifyAll();
            return id == 0 ? 1 : id;
        }
    }
    W().timers.push_back(Timer{window, id, elapse, due, proc});
    W().cv.NotifyAll();
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
