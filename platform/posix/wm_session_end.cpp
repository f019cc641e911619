// Ending the session: the request a signal records, the questions the dialogs are asked on
// their own threads, and the reasons a dialog gives for holding the end back.
#include "platform/posix/control.h"
#include "platform/posix/wm_state.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <vector>

using namespace zxposix::ui;

namespace {

// Written by signal handlers and by other threads, read by the dialogs' threads: a lock-free
// atomic, which a signal handler may use.
std::atomic<int> g_requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");

void OnSessionEndSignal(int signalNumber) {
    g_requested = signalNumber;
}

} // namespace

namespace zxposix {

void RequestSessionEnd(int signalNumber) {
    g_requested = signalNumber > 0 ? signalNumber : 1;
}

void InstallSessionEndSignals() {
    struct sigaction action = {};
    action.sa_handler = OnSessionEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

void SetSessionEndHandler(void (*handler)(int signalNumber)) {
    std::lock_guard<std::mutex> guard(W().lock);
    W().sessionEndHandler = handler;
}

namespace ui {

bool SessionEndDueLocked(DWORD thread) {
    if (g_requested == 0 || W().sessionEndHeld || W().sessionEndAsking) {
        return false;
    }
    return std::any_of(W().windows.begin(), W().windows.end(), [&](const auto& entry) {
        return entry.second->kind == Kind::Dialog && entry.second->thread == thread;
    });
}

void AskToEndSession(DWORD thread) {
    std::vector<HWND> dialogs;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        W().sessionEndAsking = true;
        for (const auto& entry : W().windows) {
            if (entry.second->kind == Kind::Dialog && entry.second->thread == thread) {
                dialogs.push_back(entry.first);
            }
        }
    }
    const int signalNumber = g_requested;
    bool agreed = true;
    for (HWND dialog : dialogs) {
        if (Deliver(dialog, WM_QUERYENDSESSION, 0, 0, false, thread) == 0) {
            agreed = false;
        }
    }
    for (HWND dialog : dialogs) {
        Deliver(dialog, WM_ENDSESSION, agreed ? TRUE : FALSE, 0, false, thread);
    }
    void (*handler)(int) = nullptr;
    {
        std::lock_guard<std::mutex> guard(W().lock);
        W().sessionEndAsking = false;
        if (!agreed) {
            // Held until the reason that held it is gone; without one, asked again at once
            // would refuse again: it is dropped, as Windows drops a refused log-off.
            if (W().blockReasons.empty()) {
                g_requested = 0;
            } else {
                W().sessionEndHeld = true;
            }
            TouchLocked();
            return;
        }
        g_requested = 0;
        handler = W().sessionEndHandler;
    }
    if (handler != nullptr) {
        handler(signalNumber);
    }
}

std::wstring SessionEndHeldReason() {
    std::lock_guard<std::mutex> guard(W().lock);
    if (!W().sessionEndHeld || W().blockReasons.empty()) {
        return std::wstring();
    }
    return W().blockReasons.begin()->second;
}

} // namespace ui
} // namespace zxposix

BOOL ShutdownBlockReasonCreate(HWND window, LPCWSTR reason) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (FindLocked(window) == nullptr || reason == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    W().blockReasons[window] = reason;
    TouchLocked();
    return TRUE;
}

BOOL ShutdownBlockReasonDestroy(HWND window) {
    std::lock_guard<std::mutex> guard(W().lock);
    if (W().blockReasons.erase(window) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (W().blockReasons.empty()) {
        W().sessionEndHeld = false; // a held request is asked again
    }
    TouchLocked();
    return TRUE;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || w->kind != Kind::Dialog || index != DWLP_MSGRESULT) {
        SetLastError(w == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    const LONG_PTR old = w->msgResult;
    w->msgResult = value;
    return old;
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    std::lock_guard<std::mutex> guard(W().lock);
    Window* w = FindLocked(window);
    if (w == nullptr || w->kind != Kind::Dialog || index != DWLP_MSGRESULT) {
        SetLastError(w == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    return w->msgResult;
}
