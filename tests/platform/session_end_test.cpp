// Ending the session on POSIX (Ctrl-C, SIGTERM, SIGHUP), as Windows ends it at log-off: the
// dialogs are asked on their own thread, a refusal under a ShutdownBlockReasonCreate reason holds
// the end until that reason is gone, and a dialog's answer comes from its DWLP_MSGRESULT.
#include "tests/platform/window_manager_fixture.h"

#include <csignal>

namespace {

std::atomic<int> g_endedBy{0};

// The session's end: records the signal and closes the dialog, as the program's entry ends the
// process.
void EndForTest(int signalNumber) {
    g_endedBy = signalNumber;
    EndDialog(CurrentDialog(), 3);
}

class SessionEnd : public WindowManager {
protected:
    void SetUp() override {
        WindowManager::SetUp();
        g_endedBy = 0;
        zxposix::SetSessionEndHandler(EndForTest);
    }
    void TearDown() override {
        WindowManager::TearDown();
        zxposix::SetSessionEndHandler(nullptr);
    }

    // The session messages the dialog got, with their wParam, in order.
    static std::vector<std::pair<UINT, WPARAM>> Asked() {
        std::vector<std::pair<UINT, WPARAM>> asked;
        for (const MessageRecord& m : MessageLog()) {
            if (m.controlId == 0 &&
                (m.message == WM_QUERYENDSESSION || m.message == WM_ENDSESSION)) {
                asked.push_back({m.message, m.wParam});
            }
        }
        return asked;
    }
};

TEST_F(SessionEnd, ADialogThatDoesNotObjectEndsOnItsOwnThread) {
    std::atomic<DWORD> handledOn{0};
    SetHandler([&](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_ENDSESSION) {
            handledOn = GetCurrentThreadId();
        }
        return 0;
    });
    Start();
    zxposix::RequestSessionEnd(SIGTERM);
    EXPECT_EQ(Finish(), 3);
    EXPECT_EQ(g_endedBy.load(), SIGTERM);
    EXPECT_EQ(handledOn.load(), dialogThread_.load());
    const std::vector<std::pair<UINT, WPARAM>> want = {{WM_QUERYENDSESSION, 0},
                                                       {WM_ENDSESSION, TRUE}};
    EXPECT_EQ(Asked(), want);
}

TEST_F(SessionEnd, ARefusalUnderABlockReasonHoldsTheEndUntilTheReasonIsGone) {
    const UINT kBegin = WM_APP + 10;
    const UINT kEnd = WM_APP + 11;
    std::atomic<bool> busy{false};
    SetHandler([&](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        switch (msg) {
        case kBegin:
            busy = true;
            EXPECT_TRUE(ShutdownBlockReasonCreate(h, L"Updating"));
            return 0;
        case kEnd:
            busy = false;
            EXPECT_TRUE(ShutdownBlockReasonDestroy(h));
            return 0;
        case WM_QUERYENDSESSION:
            if (!busy) {
                return 0;
            }
            SetWindowLongPtrW(h, DWLP_MSGRESULT, FALSE);
            return TRUE;
        default:
            return 0;
        }
    });
    HWND d = Start();
    ASSERT_TRUE(PostMessageW(d, kBegin, 0, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(SessionEndHeldReason(), L""); // nothing held yet

    zxposix::RequestSessionEnd(SIGINT);
    ASSERT_TRUE(WaitUntil([] { return SessionEndHeldReason() == L"Updating"; }, kWait));
    // Held: further idle loops do not ask again while the reason stands.
    ASSERT_TRUE(PostMessageW(d, kMsgB, 0, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    std::vector<std::pair<UINT, WPARAM>> want = {{WM_QUERYENDSESSION, 0}, {WM_ENDSESSION, FALSE}};
    EXPECT_EQ(Asked(), want);
    EXPECT_EQ(g_endedBy.load(), 0);
    EXPECT_TRUE(IsWindow(d));
    // What a handled message returns is the procedure's DWLP_MSGRESULT.
    EXPECT_EQ(SendMessageW(d, WM_QUERYENDSESSION, 0, 0), 0);

    ASSERT_TRUE(PostMessageW(d, kEnd, 0, 0));
    EXPECT_EQ(Finish(), 3);
    EXPECT_EQ(g_endedBy.load(), SIGINT);
    want = {{WM_QUERYENDSESSION, 0},
            {WM_ENDSESSION, FALSE},
            {WM_QUERYENDSESSION, 0},
            {WM_QUERYENDSESSION, 0},
            {WM_ENDSESSION, TRUE}};
    EXPECT_EQ(Asked(), want);
    EXPECT_EQ(SessionEndHeldReason(), L"");
}

TEST_F(SessionEnd, ARefusalWithoutAReasonDropsTheRequest) {
    SetHandler([&](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_QUERYENDSESSION) {
            SetWindowLongPtrW(h, DWLP_MSGRESULT, FALSE);
            return TRUE;
        }
        return 0;
    });
    HWND d = Start();
    zxposix::RequestSessionEnd(SIGHUP);
    ASSERT_TRUE(WaitUntil([] { return Asked().size() == 2; }, kWait));
    ASSERT_TRUE(PostMessageW(d, kMsgB, 0, 0));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    const std::vector<std::pair<UINT, WPARAM>> want = {{WM_QUERYENDSESSION, 0},
                                                       {WM_ENDSESSION, FALSE}};
    EXPECT_EQ(Asked(), want);
    EXPECT_EQ(g_endedBy.load(), 0);
    // Unknown windows and indexes are refused.
    EXPECT_FALSE(ShutdownBlockReasonDestroy(d));
    EXPECT_EQ(SetWindowLongPtrW(d, 4, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    PressKey(d, VK_ESCAPE);
    EXPECT_EQ(Finish(), 7);
}

} // namespace
