// The POSIX window manager: templates, cross-thread messages, nested message boxes, list
// notifications, disabled input, timers, the close paths and the headless script driver.
#include "tests/platform/window_manager_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string ReadSourceFile(const char* relative) {
    std::ifstream in(std::string(ZX_TEST_SOURCE_ROOT) + "/" + relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int CommandsTo(const std::vector<MessageRecord>& log, int id, int notification) {
    int n = 0;
    for (const MessageRecord& r : log) {
        if (r.controlId == 0 && r.message == WM_COMMAND && LOWORD(r.wParam) == id &&
            HIWORD(r.wParam) == notification) {
            n++;
        }
    }
    return n;
}

} // namespace

TEST(DialogScript, ReadsTheMainDialogTemplateAsTheResourceCompilerDoes) {
    std::string script =
        ReadSourceFile("app/resource_ids.h") + "\n" + ReadSourceFile("resources/dialog.rc");
    DialogTemplate t;
    std::string error;
    ASSERT_TRUE(ParseDialogScript(script, 102, &t, &error)) << error;
    EXPECT_EQ(t.language, 1028);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 340);
    EXPECT_EQ(t.cy, 117);
    // popup, caption, system menu, modal frame, centred, and the font flag of FONT
    EXPECT_EQ(t.style, 0x80C808C0u);
    EXPECT_EQ(t.caption, L"Dialog");
    EXPECT_EQ(t.pointSize, 9);
    EXPECT_EQ(t.weight, 400);
    EXPECT_EQ(t.italic, 0);
    EXPECT_EQ(t.charset, 136);
    EXPECT_EQ(t.face, L"\u5FAE\u8EDF\u6B63\u9ED1\u9AD4");

    struct Want {
        int id;
        const wchar_t* cls;
        const wchar_t* text;
        int x, y, cx, cy;
        DWORD style;
    };
    const DWORD child = 0x50000000; // WS_CHILD | WS_VISIBLE
    const Want want[] = {
        {500, L"ComboBox", L"", 64, 11, 206, 59, child | 0x00210003},
        {-1, L"Static", L"Model ", 65, 28, 50, 8, child},
        {501, L"Static", L"Model ", 115, 28, 203, 8, child},
        {-1, L"Static", L"Serial No. ", 65, 42, 50, 8, child},
        {502, L"Static", L"Serial No. ", 115, 42, 203, 8, child},
        {-1, L"Static", L"Interface ", 65, 56, 50, 8, child},
        {503, L"Static", L"Interface ", 115, 56, 203, 8, child},
        {-1, L"Static", L"Firmware ", 65, 70, 50, 8, child},
        {504, L"Static", L"Firmware ", 115, 70, 203, 8, child},
        {-1, L"Static", L"Capacity ", 65, 84, 50, 8, child},
        {505, L"Static", L"Capacity ", 115, 84, 203, 8, child},
        {1, L"Button", L"RUN", 272, 10, 51, 14, child | 0x00010001},
        {510, L"Static", L"", 65, 100, 258, 8, child},
        {1003, L"msctls_progress32", L"", 0, 112, 339, 6, child | 0x00800000},
        {1004, L"Static", L"", 16, 11, 20, 20, child | 0x3},
        {-1, L"Static", L"", 65, 39, 250, 1, child | 0x10},
        {-1, L"Static", L"", 65, 53, 250, 1, child | 0x10},
        {-1, L"Static", L"", 65, 81, 250, 1, child | 0x10},
        {-1, L"Static", L"", 65, 67, 250, 1, child | 0x10},
        {-1, L"Static", L"", 65, 95, 250, 1, child | 0x10},
    };
    ASSERT_EQ(t.controls.size(), sizeof(want) / sizeof(want[0]));
    for (size_t i = 0; i < t.controls.size(); i++) {
        const ControlTemplate& c = t.controls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(c.id, want[i].id);
        EXPECT_EQ(c.className, want[i].cls);
        EXPECT_EQ(c.text, want[i].text);
        EXPECT_EQ(c.x, want[i].x);
        EXPECT_EQ(c.y, want[i].y);
        EXPECT_EQ(c.cx, want[i].cx);
        EXPECT_EQ(c.cy, want[i].cy);
        EXPECT_EQ(c.style, want[i].style);
    }
}

TEST(DialogScript, RefusesUnknownNamesAndMissingDialogs) {
    DialogTemplate t;
    std::string error;
    EXPECT_FALSE(ParseDialogScript(kTestScript, 201, &t, &error));
    EXPECT_NE(error.find("201"), std::string::npos);
    std::string bad = "1 DIALOGEX 0, 0, 10, 10\nSTYLE WS_POPUP | WS_NONSENSE\nBEGIN\nEND\n";
    EXPECT_FALSE(ParseDialogScript(bad, 1, &t, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    std::string open = "1 DIALOGEX 0, 0, 10, 10\nCAPTION \"unterminated\nBEGIN\nEND\n";
    EXPECT_FALSE(ParseDialogScript(open, 1, &t, &error));
}

TEST_F(WindowManager, LaysTheTemplateOutInPixelsOfItsFont) {
    HWND d = Start();
    DialogView v;
    ASSERT_TRUE(ReadDialog(d, &v));
    // 9 points at 96 dpi: base units 6 x 16; 200 x 100 units = 300 x 200 pixels of client
    EXPECT_EQ(v.client.right, 300);
    EXPECT_EQ(v.client.bottom, 200);
    // frame 3, caption 19; DS_CENTER on 1024 x 768
    EXPECT_EQ(v.window.left, 359);
    EXPECT_EQ(v.window.top, 271);
    EXPECT_EQ(v.window.right, 665);
    EXPECT_EQ(v.window.bottom, 496);
    const ControlView* status = v.Find(510);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->rect.left, 15);
    EXPECT_EQ(status->rect.top, 80);
    EXPECT_EQ(status->rect.right, 165);
    EXPECT_EQ(status->rect.bottom, 96);
    RECT screen;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(d, 510), &screen));
    EXPECT_EQ(screen.left, 359 + 3 + 15);
    EXPECT_EQ(screen.top, 271 + 3 + 19 + 80);
    EXPECT_EQ(v.title, L"Test");
    EndDialog(d, 3);
    EXPECT_EQ(Finish(), 3);
    EXPECT_EQ(CurrentDialog(), nullptr);
    EXPECT_FALSE(IsWindow(d));
}

TEST_F(WindowManager, SendFromAnotherThreadWaitsForTheDialogThread) {
    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> finished{false};
    SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ranOn = GetCurrentThreadId();
            finished = true;
        }
        return 0;
    });
    HWND d = Start();
    SendMessageW(d, kMsgA, 0, 0);
    EXPECT_TRUE(finished.load()); // SendMessageW returned only after the handler ran
    EXPECT_EQ(ranOn.load(), dialogThread_.load());
    EXPECT_NE(ranOn.load(), GetCurrentThreadId());
    // A control's own messages run on the dialog's thread too and give their results back.
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_ADDSTRING, 0, (LPARAM)L"first"), 0);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_ADDSTRING, 0, (LPARAM)L"second"), 1);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCOUNT, 0, 0), 2);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Finish(), 7);
    // A window that is gone answers 0 at once.
    EXPECT_EQ(SendMessageW(d, kMsgA, 0, 0), 0);
    EXPECT_FALSE(PostMessageW(d, kMsgA, 0, 0));
}

TEST_F(WindowManager, PostQueuesAndSentMessagesGoFirst) {
    HandlerGate gate;
    SetHandler([&](HWND, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            gate.Hold();
        }
        if (msg == kMsgB) {
            See(msg, w);
        }
        return 0;
    });
    HWND d = Start();
    MakeBusy(d, gate);
    EXPECT_TRUE(PostMessageW(d, kMsgB, 1, 0)); // returns while the dialog thread is busy
    EXPECT_TRUE(PostMessageW(d, kMsgB, 2, 0));
    std::thread sender([d] { SendMessageW(d, kMsgB, 3, 0); });
    ASSERT_TRUE(WaitUntil([d] { return PendingSentMessages(d) == 1; }, kWait));
    gate.Release();
    sender.join();
    ASSERT_TRUE(WaitUntil([] { return Seen().size() == 3; }, kWait));
    std::vector<std::pair<UINT, WPARAM>> want = {{kMsgB, 3}, {kMsgB, 1}, {kMsgB, 2}};
    EXPECT_EQ(Seen(), want);
}

TEST_F(WindowManager, MessageBoxDisablesItsOwnerAndKeepsDispatching) {
    std::atomic<int> answer{0};
    SetHandler([&](HWND h, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == kMsgBox) {
            answer = MessageBoxW(h, L"Line one\nLine two", L"Caption", MB_YESNO | MB_ICONWARNING);
        }
        if (msg == kMsgB || (msg == WM_COMMAND && LOWORD(w) == IDOK)) {
            See(msg, w);
        }
        return 0;
    });
    HWND d = Start();
    PostMessageW(d, kMsgBox, 0, 0);
    MessageBoxRecord box;
    ASSERT_TRUE(WaitUntil([&] { return OpenMessageBox(&box); }, kWait));
    EXPECT_EQ(box.caption, L"Caption");
    EXPECT_EQ(box.text, L"Line one\nLine two");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_YESNO | MB_ICONWARNING));
    EXPECT_FALSE(IsWindowEnabled(d));
    // The nested loop still runs posted and sent messages, but the owner takes no input.
    PostMessageW(d, kMsgB, 10, 0);
    ASSERT_TRUE(WaitUntil([] { return Seen().size() == 1; }, kWait));
    SendMessageW(d, kMsgB, 11, 0);
    ClickButton(d, IDOK);
    PressKey(d, VK_RETURN);
    // Idle in the box's loop with nothing queued: the click and the key have been taken.
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    std::vector<std::pair<UINT, WPARAM>> want = {{kMsgB, 10}, {kMsgB, 11}};
    EXPECT_EQ(Seen(), want);
    EXPECT_EQ(answer.load(), 0);
    AnswerMessageBox(IDNO);
    ASSERT_TRUE(WaitUntil([&] { return answer.load() != 0; }, kWait));
    EXPECT_EQ(answer.load(), IDNO);
    EXPECT_TRUE(IsWindowEnabled(d));
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].open);
    EXPECT_EQ(boxes[0].answer, IDNO);
    EXPECT_FALSE(boxes[0].unscripted);
    // An answer the box does not offer gives its Esc answer: OK for a box with only OK.
    AnswerMessageBox(IDYES); // answers the next box to open
    SetHandler([&](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgBox) {
            answer = MessageBoxW(h, L"Only OK", L"C", MB_OK);
        }
        return 0;
    });
    answer = 0;
    PostMessageW(d, kMsgBox, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return answer.load() != 0; }, kWait));
    EXPECT_EQ(answer.load(), IDOK);
}

TEST_F(WindowManager, ListSelectionFromCodeRaisesNoNotificationButTheUserSelectionDoes) {
    HWND d = Start();
    SendDlgItemMessageW(d, 500, CB_ADDSTRING, 0, (LPARAM)L"disk A");
    SendDlgItemMessageW(d, 500, CB_ADDSTRING, 0, (LPARAM)L"disk B");
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_SETITEMDATA, 1, 17), CB_OKAY);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETITEMDATA, 1, 0), 17);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETITEMDATA, 2, 0), CB_ERR);
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(CommandsTo(MessageLog(), 500, CBN_SELENDOK), 0);
    EXPECT_EQ(CommandsTo(MessageLog(), 500, CBN_SELCHANGE), 0);
    // out of range: no selection
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_SETCURSEL, 5, 0), CB_ERR);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), CB_ERR);

    SelectEntry(d, 500, 0);
    ASSERT_TRUE(WaitUntil([] { return CommandsTo(MessageLog(), 500, CBN_SELCHANGE) == 1; }, kWait));
    EXPECT_EQ(CommandsTo(MessageLog(), 500, CBN_SELENDOK), 1);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), 0);
    PressKey(d, VK_DOWN);
    ASSERT_TRUE(WaitUntil([] { return CommandsTo(MessageLog(), 500, CBN_SELENDOK) == 2; }, kWait));
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), 1);
    DialogView v;
    ASSERT_TRUE(ReadDialog(d, &v));
    EXPECT_EQ(v.Find(500)->text, L"disk B");
    SendDlgItemMessageW(d, 500, CB_RESETCONTENT, 0, 0);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), CB_ERR);
}

TEST_F(WindowManager, DisabledControlsIgnoreInput) {
    HWND d = Start();
    SendDlgItemMessageW(d, 500, CB_ADDSTRING, 0, (LPARAM)L"disk A");
    EXPECT_FALSE(EnableWindow(GetDlgItem(d, IDOK), FALSE)); // was enabled
    EXPECT_FALSE(EnableWindow(GetDlgItem(d, 500), FALSE));
    ClickButton(d, IDOK);
    PressKey(d, VK_RETURN); // the default button is disabled
    SelectEntry(d, 500, 0);
    PressKey(d, VK_DOWN);
    ASSERT_TRUE(WaitUntilIdle(d, kWait)); // all four taken and dropped
    std::vector<MessageRecord> log = MessageLog();
    EXPECT_EQ(CommandsTo(log, IDOK, BN_CLICKED), 0);
    EXPECT_EQ(CommandsTo(log, 500, CBN_SELENDOK), 0);
    EXPECT_EQ(CommandsTo(log, 500, CBN_SELCHANGE), 0);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_TRUE(EnableWindow(GetDlgItem(d, IDOK), TRUE));
    ClickButton(d, IDOK);
    PressKey(d, VK_RETURN);
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    // exactly the two made while enabled
    log = MessageLog();
    EXPECT_EQ(CommandsTo(log, IDOK, BN_CLICKED), 2);
    EXPECT_EQ(CommandsTo(log, 500, CBN_SELENDOK), 0);
    EXPECT_EQ(SendDlgItemMessageW(d, 500, CB_GETCURSEL, 0, 0), CB_ERR);
}

TEST_F(WindowManager, WaitUntilIdleReturnsOnceQueuedInputAndPostedMessagesAreHandled) {
    HandlerGate gate;
    SetHandler([&](HWND, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            gate.Hold();
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDOK) {
            // slow, so that a wait that does not cover the input's handling ends too early
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (msg == kMsgB || (msg == WM_COMMAND && LOWORD(w) == IDOK)) {
            See(msg, w);
        }
        return 0;
    });
    HWND d = Start();
    MakeBusy(d, gate);
    // Queued behind the busy handler: input, a posted message, input again.
    ClickButton(d, IDOK);
    PostMessageW(d, kMsgB, 1, 0);
    PressKey(d, VK_RETURN);
    EXPECT_FALSE(WaitUntilIdle(d, std::chrono::milliseconds(20))); // still in the handler
    gate.Release();
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    // Posted messages are taken before input.
    std::vector<std::pair<UINT, WPARAM>> want = {{kMsgB, 1},
                                                 {WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)},
                                                 {WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)}};
    EXPECT_EQ(Seen(), want);
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Finish(), 7);
    EXPECT_FALSE(WaitUntilIdle(d, kWait)); // the window is gone
}

std::vector<MessageRecord> TimerMessages() {
    std::vector<MessageRecord> t;
    for (const MessageRecord& r : MessageLog()) {
        if (r.message == WM_TIMER) {
            t.push_back(r);
        }
    }
    return t;
}

TEST_F(WindowManager, TimersFireFromTheClockAndSettingAgainRestartsThem) {
    zxposix::SetClockSpeed(4.0);
    std::atomic<uint64_t> set{0};
    std::atomic<uint64_t> reset{0};
    SetHandler([&](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            // The dialog's thread stays busy from the first setting to the second, so the first
            // cannot fire in between however late the thread runs.
            set = GetTickCount64();
            SetTimer(h, 1000, 2000, nullptr);
            Sleep(1000);
            reset = GetTickCount64();
            SetTimer(h, 1000, 2000, nullptr);
        }
        return 0;
    });
    HWND d = Start();
    ASSERT_TRUE(PostMessageW(d, kMsgA, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return TimerMessages().size() >= 2; }, kWait));
    EXPECT_TRUE(KillTimer(d, 1000));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    std::vector<MessageRecord> t = TimerMessages();
    ASSERT_GE(t.size(), 2u);
    EXPECT_GE(reset.load(), set.load() + 999); // the platform clock counts whole milliseconds
    EXPECT_EQ(t[0].wParam, 1000u);
    EXPECT_TRUE(t[0].posted);
    EXPECT_GE(t[0].timeMs, reset + 2000); // counted from the second setting
    EXPECT_GT(t[0].timeMs, set + 2900);   // not from the first
    EXPECT_LT(t[0].timeMs, reset + 3000);
    EXPECT_EQ(t[1].wParam, 1000u);
    EXPECT_GE(t[1].timeMs, reset + 4000);
    EXPECT_LT(t[1].timeMs, reset + 5000);
    size_t count = t.size();
    uint64_t killed = GetTickCount64();
    ASSERT_TRUE(WaitUntil([&] { return GetTickCount64() >= killed + 3000; }, kWait));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(TimerMessages().size(), count);
    EXPECT_FALSE(KillTimer(d, 1000));
}

struct PostThenSleep {
    HWND dialog;
    std::mutex lock;
    std::vector<std::string> order;
    std::vector<uint64_t> ticks; // since the post
    uint64_t posted = 0;

    void Note(const char* who) {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(who);
        ticks.push_back(GetTickCount64() - posted);
    }
};

DWORD WINAPI PostAndSleepOneMillisecond(LPVOID p) {
    PostThenSleep* s = static_cast<PostThenSleep*>(p);
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->posted = GetTickCount64();
    }
    PostMessageW(s->dialog, kMsgA, 0, 0);
    Sleep(1);
    s->Note("worker");
    return 0;
}

// A message posted to the dialog's queue hands off to its thread: the dialog's thread works from
// the post on, so time cannot reach the poster's one-millisecond sleep before the dialog has
// handled the message (at a speed where the millisecond is a microsecond of real time).
TEST_F(WindowManager, APostedMessageHandsOffToTheDialogsThread) {
    zxposix::SetClockSpeed(1000000.0);
    PostThenSleep state;
    SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            state.Note("dialog");
        }
        return 0;
    });
    HWND d = Start();
    state.dialog = d;
    for (int round = 0; round < 20; round++) {
        {
            std::lock_guard<std::mutex> guard(state.lock);
            state.order.clear();
            state.ticks.clear();
        }
        HANDLE worker = CreateThread(nullptr, 0, PostAndSleepOneMillisecond, &state, 0, nullptr);
        ASSERT_NE(worker, nullptr);
        EXPECT_EQ(WaitForSingleObject(worker, INFINITE), WAIT_OBJECT_0);
        CloseHandle(worker);
        ASSERT_TRUE(WaitUntilIdle(d, kWait));
        std::lock_guard<std::mutex> guard(state.lock);
        EXPECT_EQ(state.order, (std::vector<std::string>{"dialog", "worker"})) << round;
        EXPECT_EQ(state.ticks, (std::vector<uint64_t>{0, 1})) << round;
    }
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Finish(), 7);
}

TEST_F(WindowManager, ATimerHandledLateKeepsItsPeriodAndMissedPeriodsGiveOneMessage) {
    zxposix::SetClockSpeed(4.0);
    std::atomic<uint64_t> armed{0};
    SetHandler([&](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgA) {
            armed = GetTickCount64();
            SetTimer(h, 1000, 2000, nullptr);
            Sleep(5000); // busy while the timer falls due at +2000 and +4000
        }
        return 0;
    });
    HWND d = Start();
    ASSERT_TRUE(PostMessageW(d, kMsgA, 0, 0));
    ASSERT_TRUE(WaitUntil([&] { return TimerMessages().size() >= 2; }, kWait));
    EXPECT_TRUE(KillTimer(d, 1000));
    std::vector<MessageRecord> t = TimerMessages();
    ASSERT_GE(t.size(), 2u);
    // one message once the thread is free, not one per missed period
    EXPECT_GE(t[0].timeMs + 1, armed + 5000);
    // the next at the period's next step, +6000; counted from the late delivery it would come
    // at +7000 or later
    EXPECT_GE(t[1].timeMs, armed + 6000);
    EXPECT_LT(t[1].timeMs, armed + 6900);
}

TEST_F(WindowManager, IssuedMessagesKeepTheOrderOfTheCalls) {
    HandlerGate gate;
    HWND d = StartHeld(gate);
    ClearRecords();
    DWORD me = GetCurrentThreadId();
    uint64_t before = GetTickCount64();
    ASSERT_TRUE(PostMessageW(d, kMsgB, 1, 10));
    std::atomic<DWORD> senderId{0};
    std::thread sender([&] {
        senderId = GetCurrentThreadId();
        SendMessageW(d, kMsgB, 2, 20);
    });
    ASSERT_TRUE(WaitUntil([d] { return PendingSentMessages(d) == 1; }, kWait));
    gate.Release();
    sender.join();
    uint64_t after = GetTickCount64();
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    std::vector<IssuedMessage> issued = IssuedMessages();
    ASSERT_EQ(issued.size(), 2u);
    EXPECT_EQ(issued[0].hwnd, d);
    EXPECT_EQ(issued[0].controlId, 0);
    EXPECT_EQ(issued[0].message, kMsgB);
    EXPECT_EQ(issued[0].wParam, 1u);
    EXPECT_EQ(issued[0].lParam, 10);
    EXPECT_TRUE(issued[0].posted);
    EXPECT_EQ(issued[0].senderThread, me);
    EXPECT_EQ(issued[1].hwnd, d);
    EXPECT_EQ(issued[1].message, kMsgB);
    EXPECT_EQ(issued[1].wParam, 2u);
    EXPECT_EQ(issued[1].lParam, 20);
    EXPECT_FALSE(issued[1].posted);
    EXPECT_EQ(issued[1].senderThread, senderId.load());
    for (const IssuedMessage& m : issued) {
        EXPECT_GE(m.timeMs, before);
        EXPECT_LE(m.timeMs, after);
    }
    // delivered the other way round: the send overtook the post
    std::vector<std::pair<WPARAM, bool>> delivered;
    for (const MessageRecord& r : MessageLog()) {
        if (r.message == kMsgB) {
            delivered.push_back({r.wParam, r.posted});
        }
    }
    std::vector<std::pair<WPARAM, bool>> want = {{2, false}, {1, true}};
    EXPECT_EQ(delivered, want);
    // a control's messages name the control
    SendDlgItemMessageW(d, 500, CB_GETCOUNT, 0, 0);
    issued = IssuedMessages();
    ASSERT_EQ(issued.size(), 3u);
    EXPECT_EQ(issued[2].controlId, 500);
    EXPECT_EQ(issued[2].message, static_cast<UINT>(CB_GETCOUNT));
    EXPECT_FALSE(issued[2].posted);
}

TEST_F(WindowManager, IconsLoadOnlyFromARegisteredGroupIcon) {
    static const unsigned char kDirectory[] = {0, 0, 1,  0, 1, 0, 64, 64, 0, 0,
                                               1, 0, 32, 0, 0, 0, 0,  0,  1, 0};
    zxposix::RegisterResource(RT_GROUP_ICON, 105, kDirectory, sizeof(kDirectory));
    HINSTANCE self = GetModuleHandleW(NULL);
    HANDLE icon = LoadImageW(self, MAKEINTRESOURCEW(105), IMAGE_ICON, 64, 64, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadImageW(self, MAKEINTRESOURCEW(106), IMAGE_ICON, 64, 64, LR_DEFAULTCOLOR),
              nullptr);
    EXPECT_EQ(GetLastError(), 1814u); // ERROR_RESOURCE_NAME_NOT_FOUND
    std::vector<ImageRequest> r = ImageRequests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].resourceId, 105u);
    EXPECT_EQ(r[0].type, 1u); // IMAGE_ICON
    EXPECT_EQ(r[0].cx, 64);
    EXPECT_EQ(r[0].cy, 64);
    EXPECT_EQ(r[0].flags, 0u);
    EXPECT_EQ(r[0].result, icon);
    EXPECT_EQ(r[0].error, 0u);
    EXPECT_EQ(r[1].resourceId, 106u);
    EXPECT_EQ(r[1].result, nullptr);
    EXPECT_EQ(r[1].error, 1814u);
    EXPECT_TRUE(DestroyIcon(static_cast<HICON>(icon)));
    ClearRecords();
    EXPECT_TRUE(ImageRequests().empty());
}

TEST_F(WindowManager, EscapeAndTheCloseBoxAskForCancel) {
    HWND d = Start();
    PressCloseBox(d);
    EXPECT_EQ(Finish(), 7);
    std::vector<UINT> order;
    for (const MessageRecord& r : MessageLog()) {
        if (r.message == WM_SYSCOMMAND || r.message == WM_CLOSE || r.message == WM_COMMAND) {
            order.push_back(r.message);
        }
    }
    std::vector<UINT> want = {WM_SYSCOMMAND, WM_CLOSE, WM_COMMAND};
    EXPECT_EQ(order, want);
    std::vector<std::pair<UINT, WPARAM>> seen = {{WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)}};
    EXPECT_EQ(Seen(), seen);
}

TEST_F(WindowManager, HeadlessScriptPlaysStepsAndAnswersBoxes) {
    SetHandler([&](HWND h, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            SendDlgItemMessageW(h, 500, CB_ADDSTRING, 0, (LPARAM)L"a");
            SendDlgItemMessageW(h, 500, CB_ADDSTRING, 0, (LPARAM)L"b");
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDOK) {
            MessageBoxW(h, L"Sure?", L"Q", MB_YESNO);
            MessageBoxW(h, L"Unscripted", L"Q", MB_OKCANCEL);
        }
        if (msg == WM_COMMAND && LOWORD(w) == 500 && HIWORD(w) == CBN_SELENDOK) {
            See(msg, w);
        }
        return 0;
    });
    std::unique_ptr<FrontEnd> script = MakeHeadlessScript(
        {{ScriptStep::Select, 1}, {ScriptStep::Run}, {ScriptStep::Answer, IDYES}}, nullptr);
    SetFrontEnd(script.get());
    thread_ = std::thread([this] {
        dialogThread_ = GetCurrentThreadId();
        result_ = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(200), nullptr, TestProc, 0);
    });
    INT_PTR result = Finish();
    SetFrontEnd(nullptr);
    EXPECT_EQ(result, 7); // the script ends with Esc
    std::vector<std::pair<UINT, WPARAM>> seen = {{WM_COMMAND, MAKEWPARAM(500, CBN_SELENDOK)},
                                                 {WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)}};
    EXPECT_EQ(Seen(), seen);
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].answer, IDYES);
    EXPECT_FALSE(boxes[0].unscripted);
    EXPECT_EQ(boxes[1].answer, IDCANCEL);
    EXPECT_TRUE(boxes[1].unscripted);
}

TEST(Shutdown, IsRecordedAndNeedsTheShutdownPrivilege) {
    ClearRecords();
    EXPECT_FALSE(ExitWindowsEx(EWX_POWEROFF, 0));
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    CloseHandle(token);
    std::vector<ShutdownRecord> r = ShutdownRequests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].flags, 8u);
    EXPECT_FALSE(r[0].privilegeEnabled);
    EXPECT_EQ(r[1].flags, 2u);
    EXPECT_TRUE(r[1].privilegeEnabled);
    ClearRecords();
}

TEST(MulDiv, RoundsHalfAwayFromZero) {
    EXPECT_EQ(MulDiv(65, 6, 4), 98);
    EXPECT_EQ(MulDiv(339, 6, 4), 509);
    EXPECT_EQ(MulDiv(-65, 6, 4), -98);
    EXPECT_EQ(MulDiv(117, 16, 8), 234);
    EXPECT_EQ(MulDiv(1, 1, 0), -1);
}
