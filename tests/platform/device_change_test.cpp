// The device-change announcement of the platform layer (AnnounceDeviceChange): every top-level
// window gets WM_DEVICECHANGE with DBT_DEVNODES_CHANGED, posted, so the announcing thread never
// waits for a window's thread.
#include "platform/device_backend.h"
#include "tests/platform/window_manager_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

class WindowManagerDeviceChange : public WindowManager {};

std::vector<MessageRecord> DeviceChanges(const std::vector<MessageRecord>& log) {
    std::vector<MessageRecord> out;
    for (const MessageRecord& r : log) {
        if (r.message == WM_DEVICECHANGE) {
            out.push_back(r);
        }
    }
    return out;
}

TEST_F(WindowManagerDeviceChange, EveryTopLevelWindowGetsItPostedInTheOrderTheyWereMade) {
    SetHandler([](HWND h, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == kMsgA) { // a second dialog, owned by the first
            DialogBoxParamW(nullptr, MAKEINTRESOURCEW(200), h, TestProc, 0);
        }
        return 0;
    });
    HWND outer = Start();
    ASSERT_TRUE(PostMessageW(outer, kMsgA, 0, 0));
    ASSERT_TRUE(WaitUntil([outer] { return CurrentDialog() != outer; }, kWait));
    HWND inner = CurrentDialog();
    ASSERT_NE(inner, nullptr);
    ASSERT_TRUE(WaitUntilIdle(inner, kWait));
    ClearRecords();

    AnnounceDeviceChange();
    ASSERT_TRUE(WaitUntilIdle(inner, kWait));
    const DWORD me = GetCurrentThreadId();
    const std::vector<MessageRecord> delivered = DeviceChanges(MessageLog());
    ASSERT_EQ(delivered.size(), 2u);
    const HWND order[] = {outer, inner};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(delivered[i].hwnd, order[i]);
        EXPECT_EQ(delivered[i].controlId, 0); // the dialogs, none of their controls
        EXPECT_EQ(delivered[i].wParam, 0x0007u) << "DBT_DEVNODES_CHANGED";
        EXPECT_EQ(delivered[i].lParam, 0);
        EXPECT_TRUE(delivered[i].posted);
        EXPECT_EQ(delivered[i].senderThread, me);
    }
    const std::vector<MessageRecord> issued = DeviceChanges(IssuedMessages());
    ASSERT_EQ(issued.size(), 2u);
    EXPECT_EQ(issued[0].hwnd, outer);
    EXPECT_EQ(issued[1].hwnd, inner);

    ASSERT_TRUE(PressKey(inner, VK_ESCAPE));
    ASSERT_TRUE(WaitUntil([outer] { return CurrentDialog() == outer; }, kWait));
    ASSERT_TRUE(PressKey(outer, VK_ESCAPE));
    EXPECT_EQ(Finish(), 7);
}

TEST_F(WindowManagerDeviceChange, TheAnnouncementReturnsWhileTheWindowsThreadIsBusy) {
    HandlerGate gate;
    HWND d = StartHeld(gate);
    std::future<DWORD> announced = std::async(std::launch::async, [] {
        SetLastError(4321);
        AnnounceDeviceChange();
        return GetLastError();
    });
    // Bounded only so that a blocking announcement fails instead of hanging the test.
    ASSERT_EQ(announced.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(announced.get(), 4321u);                // the announcing thread's last error is kept
    EXPECT_TRUE(DeviceChanges(MessageLog()).empty()); // still queued behind the busy handler
    gate.Release();
    ASSERT_TRUE(WaitUntil([] { return DeviceChanges(MessageLog()).size() == 1; }, kWait));
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_EQ(DeviceChanges(MessageLog()).size(), 1u);
    ASSERT_TRUE(PressKey(d, VK_ESCAPE));
    EXPECT_EQ(Finish(), 7);
}

TEST_F(WindowManagerDeviceChange, WithoutAWindowNothingIsQueuedForLater) {
    AnnounceDeviceChange();
    EXPECT_TRUE(IssuedMessages().empty());
    HWND d = Start();
    ASSERT_TRUE(WaitUntilIdle(d, kWait));
    EXPECT_TRUE(DeviceChanges(MessageLog()).empty());
    ASSERT_TRUE(PressKey(d, VK_ESCAPE));
    EXPECT_EQ(Finish(), 7);
}

} // namespace
