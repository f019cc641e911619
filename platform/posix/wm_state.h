// The records of the window manager and the helpers its files share: windows and controls,
// the per-thread queues, timers and message boxes, all under one lock. Internal to
// platform/posix (the window manager's files).
#pragma once

#include "platform/posix/clock.h"
#include "platform/posix/user_internal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zxposix {
namespace ui {

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
    LONG_PTR msgResult = 0; // DWLP_MSGRESULT: what a message the proc handled returns
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
    ClockCondition cv; // a queue or a window changed: the loops look again
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
    // Ending the session (wm_session_end.cpp).
    std::map<HWND, std::wstring> blockReasons; // ShutdownBlockReasonCreate
    bool sessionEndHeld = false;   // refused while a reason held it: asked again when none is left
    bool sessionEndAsking = false; // the dialogs are being asked
    void (*sessionEndHandler)(int) = nullptr;
    uint64_t boxSerial = 0; // message boxes opened since the start
    // The thread whose loop last consulted the front end, and whether it has blocked in a wait
    // (Sleep, WaitForSingleObject) since its loop was last idle: a modal wait inside a handler.
    std::atomic<DWORD> frontEndThread{0};
    std::atomic<bool> modalWait{false};
};

// The window manager's state; never destroyed, since worker threads may still send while the
// process exits. Everything named ...Locked expects W().lock held.
Wm& W();
// Marks a change the front ends would show and wakes every waiting loop.
void TouchLocked();
Window* FindLocked(HWND h);
DWORD OwnerThreadLocked(const Window* w);
// The dialog a window belongs to (itself for a dialog), or null.
Window* TopLevelLocked(Window* w);
HWND NewHandleLocked();
// The kind of control a window class names (without regard to case).
Kind KindOf(const std::wstring& cls);
HICON ClassIconLocked(int index);
// Copies text into a caller's buffer of `capacity` characters, cut and terminated; returns the
// characters copied.
size_t CopyOut(const std::wstring& s, LPWSTR buffer, size_t capacity);
// Window classes and list entries compare without regard to case.
bool EqualNoCase(const std::wstring& a, const wchar_t* b);
// The text an LPARAM points to (empty for null).
std::wstring TextOf(LPARAM l);

// ---- message queues and delivery (wm_messages.cpp) ----

// Runs a message on the calling thread, which is the window's own.
LRESULT Deliver(HWND h, UINT msg, WPARAM w, LPARAM l, bool posted, DWORD sender);
// Dispatches until doneLocked() holds: sent messages first, then posted messages, then input,
// then timers; when idle, the front end is asked and the thread sleeps until something arrives
// or the next timer is due.
void RunLoop(const std::function<bool()>& doneLocked);
// Forgets a dialog, its controls, their timers and queued messages; senders waiting on them get 0.
void DestroyDialogLocked(Window* d);

// ---- control procedures and input (wm_controls.cpp) ----

// The built-in behaviour of a control, run under the lock on the control's thread.
LRESULT ControlProcLocked(Window& c, UINT msg, WPARAM w, LPARAM l);
// What a dialog does with a message its procedure did not handle.
LRESULT DefDialogProc(HWND h, UINT msg, WPARAM w, LPARAM l);
// Input from outside, processed when the dialog's thread takes it from its queue.
void ProcessInput(const Input& in);
// Queues input to the dialog's thread; *ok is false when the dialog does not exist.
void QueueInput(const Input& in, bool* ok);

// Ending the session: whether the thread's loop should ask its dialogs now, and the asking
// (without the lock; the handler may end the process).
bool SessionEndDueLocked(DWORD thread);
void AskToEndSession(DWORD thread);

} // namespace ui
} // namespace zxposix
