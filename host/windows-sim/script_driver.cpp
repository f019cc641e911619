// The script driver: a thread of its own that finds the dialog and the message boxes of this
// process among the top-level windows, reads them and gives them input as a user would, through
// public Win32 calls only.
//
// When to look: two hooks on the dialog's thread tell the driver that the thread took a message
// (WH_GETMESSAGE) or finished one sent to it (WH_CALLWNDPROCRET). Whether the dialog has
// settled (nothing left in its queue) is asked with a probe: a registered message posted to the
// dialog, which the GetMessage hook takes out of the stream, answering whether anything else
// is still queued behind it.
#include "host/windows-sim/script_driver.h"
#include "host/windows-sim/window_reading.h"
#include "app/resource_ids.h"
#include "sim/control.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <sstream>

namespace winsim {
namespace {

// A bound on one wait for the dialog's thread: a signal missed while the driver itself was
// reading makes it look again instead of waiting for ever.
const DWORD kLookAgainMs = 250;

std::vector<ScriptStep> g_steps;
std::FILE* g_out = nullptr;
DWORD g_dialogThread = 0;
HHOOK g_getMessageHook = nullptr;
HHOOK g_callRetHook = nullptr;
HANDLE g_activity = nullptr; // auto-reset: the dialog's thread handled something
HANDLE g_probeDone = nullptr;
HANDLE g_finished = nullptr; // manual-reset: the dialog has ended
HANDLE g_thread = nullptr;
UINT g_probeMessage = 0;
std::atomic<LONG> g_probeIdle{0};
bool g_shown = false;
int g_boxes = 0;
std::wstring g_shots; // the folder of screenshot requests, "" for none
bool g_progressShot = false;

LRESULT CALLBACK OnGetMessage(int code, WPARAM removed, LPARAM lParam) {
    if (code == HC_ACTION) {
        MSG* msg = reinterpret_cast<MSG*>(lParam);
        if (msg->message == g_probeMessage && g_probeMessage != 0) {
            if (removed == PM_REMOVE) {
                // A timer that is due counts: its WM_TIMER is the next thing handled.
                DWORD queued = HIWORD(GetQueueStatus(QS_POSTMESSAGE | QS_SENDMESSAGE | QS_TIMER));
                g_probeIdle.store(queued == 0 ? 1 : 0);
                msg->message = WM_NULL; // the dialog never sees the probe
                SetEvent(g_probeDone);
            }
        } else {
            SetEvent(g_activity);
        }
    }
    return CallNextHookEx(g_getMessageHook, code, removed, lParam);
}

LRESULT CALLBACK OnCallReturn(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && !DriverIsAsking()) {
        SetEvent(g_activity);
    }
    return CallNextHookEx(g_callRetHook, code, wParam, lParam);
}

// ---- Waiting -----------------------------------------------------------------------------------

// Until the dialog's thread handles something, the dialog ends, or the look-again bound.
void WaitForActivity() {
    HANDLE events[] = {g_activity, g_finished};
    WaitForMultipleObjects(2, events, FALSE, kLookAgainMs);
}

// True when the dialog's thread has handled everything posted to it before now and nothing is
// queued behind it.
bool QueueEmpty(HWND dialog) {
    ResetEvent(g_probeDone);
    if (!PostMessageW(dialog, g_probeMessage, 0, 0)) {
        return false;
    }
    HANDLE events[] = {g_probeDone, g_finished};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 &&
           g_probeIdle.load() != 0;
}

bool Finished() {
    return WaitForSingleObject(g_finished, 0) == WAIT_OBJECT_0;
}

// ---- Screenshots -------------------------------------------------------------------------------

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Asks for a screenshot of the screen as it is now and waits until it has been taken: writes
// NAME.request into the folder and waits for NAME.png, which whoever watches the folder (the
// test, with ImageMagick on the X display) makes. The window is painted first.
void Shot(HWND window, const char* name) {
    if (g_shots.empty()) {
        return;
    }
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    std::wstring base = g_shots + L"\\" + std::wstring(name, name + std::strlen(name));
    HANDLE change =
        FindFirstChangeNotificationW(g_shots.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    HANDLE request = CreateFileW((base + L".request").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (request != INVALID_HANDLE_VALUE) {
        CloseHandle(request);
    }
    if (change == INVALID_HANDLE_VALUE || request == INVALID_HANDLE_VALUE) {
        if (change != INVALID_HANDLE_VALUE) {
            FindCloseChangeNotification(change);
        }
        std::fprintf(stderr, "zxflash: no screenshot %s\n", name);
        return;
    }
    // A watcher that never answers costs the shot, not the run.
    const DWORD kShotBoundMs = 30000;
    DWORD started = GetTickCount();
    while (!Exists(base + L".png") && GetTickCount() - started < kShotBoundMs) {
        WaitForSingleObject(change, kShotBoundMs);
        FindNextChangeNotification(change);
    }
    FindCloseChangeNotification(change);
}

int g_refusedAnswer = 0; // an answer the box it was meant for did not offer (0: none)
BoxView g_refusedBox;

// ---- The play ----------------------------------------------------------------------------------

void AnswerBox(HWND box, size_t* nextStep) {
    BoxView v = ReadBox(box);
    char shot[32];
    std::snprintf(shot, sizeof(shot), "message-box-%d", g_boxes + 1);
    Shot(box, shot);
    int answer = 0;
    bool unscripted = true;
    bool scripted = *nextStep < g_steps.size() && g_steps[*nextStep].kind == ScriptStep::Answer;
    if (scripted && Offers(v, g_steps[*nextStep].value)) {
        answer = g_steps[*nextStep].value;
        unscripted = false;
        ++*nextStep;
    } else {
        if (scripted) {
            // A button the box lacks is never turned into another one: the script ends here,
            // as zxsim run ends it.
            g_refusedAnswer = g_steps[*nextStep].value;
            g_refusedBox = v;
            *nextStep = g_steps.size();
        }
        answer = EscapeAnswer(v);
        if (answer == 0) {
            answer = IDNO;
        }
    }
    HWND button = GetDlgItem(box, answer);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    while (IsWindow(box) && IsWindowVisible(box) && !Finished()) {
        WaitForActivity();
    }
    std::string buttons;
    for (const auto& b : v.buttons) {
        buttons += (buttons.empty() ? "" : ",") + std::string(ButtonName(b.first));
    }
    ++g_boxes;
    std::fprintf(g_out, "message box %d: caption %s, text %s, icon %s, buttons %s, answer %s%s\n",
                 g_boxes, Quote(v.caption).c_str(), Quote(v.text).c_str(), v.icon, buttons.c_str(),
                 ButtonName(answer), unscripted ? " (unscripted)" : "");
    std::fflush(g_out);
}

// What became of the script, as zxsim run judges it: an entry the list lacked (which ends the
// script before RUN), answers no box used, steps left when the dialog closed.
int g_missingEntry = -1;
LRESULT g_entryCount = 0;
int g_droppedAnswers = 0;
size_t g_next = 0; // the next step to play

// Plays one step; false when the script ends with it.
bool DoStep(HWND dialog, const ScriptStep& step) {
    switch (step.kind) {
    case ScriptStep::Select: {
        // As a user's pick: the selection moves, then the dialog hears CBN_SELENDOK and
        // CBN_SELCHANGE.
        HWND list = GetDlgItem(dialog, IDC_DISK_LIST);
        LRESULT count = Ask(list, CB_GETCOUNT, 0, 0);
        if (step.value < 0 || step.value >= count) {
            g_missingEntry = step.value;
            g_entryCount = count;
            return false;
        }
        if (!IsWindowEnabled(list)) {
            break;
        }
        Ask(list, CB_SETCURSEL, static_cast<WPARAM>(step.value), 0);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, CBN_SELENDOK),
                     reinterpret_cast<LPARAM>(list));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DISK_LIST, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(list));
        break;
    }
    case ScriptStep::Run: {
        HWND run = GetDlgItem(dialog, IDOK);
        if (run != nullptr && IsWindowEnabled(run) && IsWindowVisible(run)) {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(run));
        }
        break;
    }
    case ScriptStep::Answer:
        ++g_droppedAnswers; // no box came of the steps before: nothing is left to answer
        break;
    }
    return true;
}

DWORD WINAPI Play(LPVOID) {
    size_t& next = g_next;
    std::string lastScreen;
    int screens = 0;
    int escapedScreens = -1; // the state Esc was last pressed in: screens and boxes so far
    int escapedBoxes = -1;
    while (!Finished()) {
        TopWindows w = FindWindows();
        if (w.box != nullptr) {
            AnswerBox(w.box, &next);
            continue;
        }
        if (w.dialog == nullptr || !IsWindowVisible(w.dialog)) {
            WaitForActivity();
            continue;
        }
        // Settled: nothing queued, no box, no update running (the update holds the list).
        if (!QueueEmpty(w.dialog) || FindWindows().box != nullptr) {
            continue;
        }
        // The update holds the list disabled from RUN until its outcome has been shown; the
        // worker's own rescan may empty and refill the list meanwhile.
        if (!IsWindowEnabled(GetDlgItem(w.dialog, IDC_DISK_LIST))) {
            // An update runs: one screenshot once its bar is partly filled.
            HWND bar = GetDlgItem(w.dialog, IDC_PROGRESS);
            LRESULT pos = Ask(bar, PBM_GETPOS, 0, 0);
            LRESULT high = Ask(bar, PBM_GETRANGE, FALSE, 0);
            if (!g_progressShot && pos > 0 && pos < high) {
                g_progressShot = true;
                Shot(w.dialog, "update-in-progress");
            }
            WaitForActivity();
            continue;
        }
        // A screen is read control by control while other threads may still change it (a
        // rescan): it counts once two readings agree and the dialog is still settled.
        std::string screen = FormatScreen(w.dialog);
        if (screen != FormatScreen(w.dialog) || !QueueEmpty(w.dialog)) {
            continue;
        }
        if (screen != lastScreen) {
            lastScreen = screen;
            g_shown = true;
            std::fprintf(g_out, "screen %d\n%s", ++screens, screen.c_str());
            std::fflush(g_out);
        }
        if (next < g_steps.size()) {
            if (!DoStep(w.dialog, g_steps[next++])) {
                next = g_steps.size(); // nothing after it is played
            }
            continue;
        }
        if (escapedScreens != screens || escapedBoxes != g_boxes) { // once per change of state
            escapedScreens = screens;
            escapedBoxes = g_boxes;
            PostMessageW(w.dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            continue;
        }
        WaitForActivity();
    }
    return 0;
}

} // namespace

bool ParseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error) {
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        std::string value;
        if (!(in >> value)) {
            *error = word + " needs a value";
            return false;
        }
        if (word == "--select") {
            char* end = nullptr;
            long n = std::strtol(value.c_str(), &end, 10);
            if (end == nullptr || *end != 0 || n < 0) {
                *error = "--select takes an entry number";
                return false;
            }
            steps->push_back(ScriptStep{ScriptStep::Select, static_cast<int>(n)});
            steps->push_back(ScriptStep{ScriptStep::Run, 0});
        } else if (word == "--answer") {
            std::string v;
            for (char c : value) {
                v.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
            }
            int answer = v == "ok"       ? IDOK
                         : v == "cancel" ? IDCANCEL
                         : v == "yes"    ? IDYES
                         : v == "no"     ? IDNO
                                         : 0;
            if (answer == 0) {
                *error = "--answer takes ok, cancel, yes or no";
                return false;
            }
            steps->push_back(ScriptStep{ScriptStep::Answer, answer});
        } else {
            *error = "unknown word '" + word + "'";
            return false;
        }
    }
    return true;
}

bool StartScriptDriver(const std::vector<ScriptStep>& steps, std::FILE* out,
                       const std::wstring& shots) {
    g_steps = steps;
    g_shots = shots;
    g_out = out;
    g_dialogThread = GetCurrentThreadId();
    g_probeMessage = RegisterWindowMessageW(L"zxflash win64-sim script driver probe");
    g_activity = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_probeDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_probeMessage == 0 || !g_activity || !g_probeDone || !g_finished) {
        return false;
    }
    g_getMessageHook = SetWindowsHookExW(WH_GETMESSAGE, OnGetMessage, nullptr, g_dialogThread);
    g_callRetHook = SetWindowsHookExW(WH_CALLWNDPROCRET, OnCallReturn, nullptr, g_dialogThread);
    if (g_getMessageHook == nullptr || g_callRetHook == nullptr) {
        return false;
    }
    g_thread = CreateThread(nullptr, 0, Play, nullptr, 0, nullptr);
    return g_thread != nullptr;
}

bool FinishScriptDriver() {
    SetEvent(g_finished);
    if (g_thread != nullptr) {
        WaitForSingleObject(g_thread, INFINITE);
        CloseHandle(g_thread);
    }
    UnhookWindowsHookEx(g_getMessageHook);
    UnhookWindowsHookEx(g_callRetHook);
    if (!g_shown) {
        std::fprintf(g_out, "dialog: not shown\n");
    }
    // Texts of the drives are bytes; as `zxsim run` prints them, any beyond ASCII is a '?'.
    auto ascii = [](const std::string& s) {
        std::wstring w;
        for (unsigned char c : s) {
            w.push_back(c < 0x80 ? static_cast<wchar_t>(c) : L'?');
        }
        return w;
    };
    for (const sim::DiskView& disk : sim::DescribeDisks()) {
        std::wstring model = ascii(disk.model);
        std::wstring firmware = ascii(disk.firmware);
        std::fprintf(g_out, "disk %s: %s%s%s, %s, model %s, firmware %s\n", disk.name.c_str(),
                     disk.kind.c_str(), disk.bridge.empty() ? "" : " ", disk.bridge.c_str(),
                     disk.present ? "present" : "away", Quote(model).c_str(),
                     Quote(firmware).c_str());
    }
    // The shutdown the program asked the simulated PC for, if any.
    const std::string shutdown = sim::ShutdownRequested();
    if (!shutdown.empty()) {
        std::fprintf(g_out, "shutdown requested: %s\n", shutdown.c_str());
    }
    std::fflush(g_out);
    // The script's faults, in zxsim run's words, on standard error.
    bool played = true;
    if (g_missingEntry >= 0) {
        std::fprintf(stderr, "zxflash: --select %d: the list has %d entries\n", g_missingEntry,
                     static_cast<int>(g_entryCount));
        played = false;
    }
    if (g_refusedAnswer != 0) {
        std::string offered;
        for (const auto& b : g_refusedBox.buttons) {
            offered += (offered.empty() ? "" : ", ") + std::string(ButtonName(b.first));
        }
        std::string refused = ButtonName(g_refusedAnswer);
        for (char& c : refused) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        std::fprintf(stderr,
                     "zxflash: --answer %s: message box %s offers %s; the script ends there\n",
                     refused.c_str(), Quote(g_refusedBox.text).c_str(), offered.c_str());
        played = false;
    }
    int unused = g_droppedAnswers;
    if (g_missingEntry < 0 && g_next < g_steps.size()) {
        unused += static_cast<int>(g_steps.size() - g_next); // the dialog closed before them
    }
    if (unused > 0) {
        std::fprintf(stderr, "zxflash: %d of the script's steps were never used\n", unused);
        played = false;
    }
    return played;
}

} // namespace winsim
