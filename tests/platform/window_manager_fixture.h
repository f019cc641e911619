// The fixture of the window-manager tests: a test dialog template, a dialog procedure that
// hands messages to a handler of the test, and the dialog run on a thread of its own.
#pragma once

#include "platform/posix/control.h"
#include "platform/posix/ui_control.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace zxposix::ui;

namespace {

const char kTestScript[] =
    "#define IDD_TEST 200\n"
    "IDD_TEST DIALOGEX 0, 0, 200, 100\n"
    "STYLE DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU\n"
    "CAPTION \"Test\"\n"
    "FONT 9, \"Face\", 400, 0, 0x88\n"
    "BEGIN\n"
    "  CONTROL \"\", 500, \"ComboBox\", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 10, 10, 100, "
    "50\n"
    "  CONTROL \"RUN\", IDOK, \"Button\", BS_DEFPUSHBUTTON | WS_TABSTOP, 120, 10, 50, 14\n"
    "  CONTROL \"\", 510, \"Static\", SS_LEFT, 10, 40, 100, 8\n"
    "  CONTROL \"\", 1003, \"msctls_progress32\", WS_BORDER, 0, 90, 200, 6\n"
    "END\n";

const UINT kMsgA = WM_APP + 1;
const UINT kMsgB = WM_APP + 2;
const UINT kMsgBox = WM_APP + 3;

std::mutex g_lock;
std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> g_handler;
std::vector<std::pair<UINT, WPARAM>> g_seen; // messages of interest, in arrival order

inline void See(UINT msg, WPARAM w) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_seen.push_back({msg, w});
}

inline std::vector<std::pair<UINT, WPARAM>> Seen() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_seen;
}

inline INT_PTR CALLBACK TestProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
    }
    if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) {
        See(msg, w);
        EndDialog(h, 7);
        return TRUE;
    }
    return handler ? handler(h, msg, w, l) : 0;
}

// Holds the dialog's thread in a handler until Release(), so that what a test queues meanwhile
// waits behind it.
struct HandlerGate {
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    void Hold() {
        entered = true;
        while (!released) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Release() { released = true; }
};

class WindowManager : public ::testing::Test {
protected:
    void SetUp() override {
        zxposix::RegisterResource(ZX_DIALOG_SCRIPT_TYPE, ZX_DIALOG_SCRIPT_ID, kTestScript,
                                  sizeof(kTestScript) - 1);
        ClearRecords();
        ClearPendingAnswers();
        SetScreenSize(1024, 768);
        std::lock_guard<std::mutex> guard(g_lock);
        g_seen.clear();
        g_handler = nullptr;
    }

    void TearDown() override {
        if (thread_.joinable()) {
            if (HWND d = CurrentDialog()) {
                EndDialog(d, 0);
            }
            thread_.join();
        }
        zxposix::SetClockSpeed(1.0);
        std::lock_guard<std::mutex> guard(g_lock);
        g_handler = nullptr;
    }

    void SetHandler(std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> h) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_handler = std::move(h);
    }

    // Runs the test dialog on a thread of its own; returns its window.
    HWND Start() {
        thread_ = std::thread([this] {
            dialogThread_ = GetCurrentThreadId();
            result_ = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(200), nullptr, TestProc, 0);
        });
        EXPECT_TRUE(WaitUntil([] { return CurrentDialog() != nullptr; }, kWait));
        return CurrentDialog();
    }

    // Posts kMsgA, whose handler holds the gate, and returns once the dialog's thread is in it.
    void MakeBusy(HWND dialog, HandlerGate& gate) {
        ASSERT_TRUE(PostMessageW(dialog, kMsgA, 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return gate.entered.load(); }, kWait));
    }

    // Starts the dialog with a handler that only holds the gate on kMsgA, and makes it busy.
    HWND StartHeld(HandlerGate& gate) {
        SetHandler([&gate](HWND, UINT msg, WPARAM, LPARAM) -> INT_PTR {
            if (msg == kMsgA) {
                gate.Hold();
            }
            return 0;
        });
        HWND d = Start();
        MakeBusy(d, gate);
        return d;
    }

    INT_PTR Finish() {
        thread_.join();
        return result_;
    }

    static constexpr std::chrono::milliseconds kWait{5000};
    std::thread thread_;
    std::atomic<DWORD> dialogThread_{0};
    std::atomic<INT_PTR> result_{-2};
};

} // namespace
