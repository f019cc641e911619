#include "platform/posix/control.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

struct ClockSpeed {
    explicit ClockSpeed(double s) : previous(zxposix::GetClockSpeed()) {
        zxposix::SetClockSpeed(s);
    }
    ~ClockSpeed() { zxposix::SetClockSpeed(previous); }
    double previous;
};

DWORD WINAPI StoreParameter(LPVOID p) {
    static_cast<std::atomic<int>*>(p)->store(42);
    return 7;
}

TEST(ThreadsTest, RunsAndReportsItsExitCode) {
    std::atomic<int> value{0};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, StoreParameter, &value, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(value.load(), 42);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_FALSE(CloseHandle(t));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ThreadsTest, SuspendedThreadWaitsForResume) {
    std::atomic<int> value{0};
    HANDLE t = CreateThread(nullptr, 0, StoreParameter, &value, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
    EXPECT_EQ(value.load(), 0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(value.load(), 42);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);
}

TEST(ThreadsTest, WaitOnAnUnknownHandleFails) {
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x12345), 0), WAIT_FAILED);
}

TEST(ClockTest, SpeedFactorShortensSleepsAndAdvancesTheTickCount) {
    ClockSpeed fast(100.0);
    auto realStart = std::chrono::steady_clock::now();
    ULONGLONG tickStart = GetTickCount64();
    Sleep(3000); // 30 ms of real time at speed 100
    ULONGLONG ticks = GetTickCount64() - tickStart;
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(ticks, 3000u);
    EXPECT_LT(ticks, 3000u + 2000u);
    EXPECT_LT(real, std::chrono::milliseconds(1000));
}

TEST(ClockTest, TickCountStartsAtTheMachinesUptimeLikeWindows) {
    // Two runs of the program must not read the same tick count (working folders are named
    // after it), so it counts from the system's start, not from the process's.
    double uptimeMs = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    // A faster clock earlier in this process only moves it further ahead.
    EXPECT_GE(static_cast<double>(GetTickCount64()), uptimeMs - 1000.0);
}

TEST(ClockTest, TickCountIsMonotonicAcrossSpeedChanges) {
    ULONGLONG a = GetTickCount64();
    {
        ClockSpeed fast(50.0);
        Sleep(100);
    }
    ULONGLONG b = GetTickCount64();
    Sleep(1);
    ULONGLONG c = GetTickCount64();
    EXPECT_GE(b, a + 100);
    EXPECT_GE(c, b);
}

TEST(InterlockedTest, CompareExchangeReturnsThePreviousValue) {
    volatile LONG guard = 0;
    EXPECT_EQ(InterlockedCompareExchange(&guard, 1, 0), 0);
    EXPECT_EQ(guard, 1);
    EXPECT_EQ(InterlockedCompareExchange(&guard, 1, 0), 1); // taken: unchanged
    EXPECT_EQ(InterlockedExchange(&guard, 0), 1);
    EXPECT_EQ(guard, 0);
    EXPECT_EQ(InterlockedIncrement(&guard), 1);
    EXPECT_EQ(InterlockedDecrement(&guard), 0);
}

} // namespace
