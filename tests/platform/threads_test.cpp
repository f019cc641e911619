#include "platform/posix/control.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

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

const std::chrono::seconds kFailSafe{30}; // only turns a hang into a failure

// What the participant threads of a test record, under its lock.
struct Record {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> order;
    std::vector<ULONGLONG> ticks;
    int ended = 0;

    void Note(const std::string& who, ULONGLONG tick) {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(who);
        ticks.push_back(tick);
    }
    void End() {
        std::lock_guard<std::mutex> guard(lock);
        ended++;
        changed.notify_all();
    }
    // Waits for `count` threads to have ended; false only after the fail-safe.
    bool WaitForEnded(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, kFailSafe, [&] { return ended >= count; });
    }
};

struct LongSleep {
    Record* record;
    DWORD ms;
};

DWORD WINAPI SleepAndNote(LPVOID p) {
    LongSleep* s = static_cast<LongSleep*>(p);
    ULONGLONG before = GetTickCount64();
    Sleep(s->ms);
    s->record->Note("slept", GetTickCount64() - before);
    s->record->End();
    return 0;
}

// A ten-minute Sleep at speed 100 000 takes 6 ms of real time, so it ends long before the
// 30-second fail-safe (at speed 1 it would take the ten minutes); a thread made by CreateThread
// takes part in the clock, so the tick count has advanced by the sleep exactly.
TEST(ClockTest, SpeedFactorShortensSleepsAndAdvancesTheTickCount) {
    ClockSpeed fast(100000.0);
    Record record;
    LongSleep sleep{&record, 600000};
    auto realStart = std::chrono::steady_clock::now();
    HANDLE t = CreateThread(nullptr, 0, SleepAndNote, &sleep, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(record.WaitForEnded(1));
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(record.ticks, std::vector<ULONGLONG>{600000});
    EXPECT_GE(real, std::chrono::milliseconds(6)); // never faster than the speed says
}

DWORD WINAPI WorkFiftyMilliseconds(LPVOID p) {
    Record* record = static_cast<Record*>(p);
    ULONGLONG before = GetTickCount64();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    volatile unsigned spins = 0;
    while (std::chrono::steady_clock::now() < end) {
        spins = spins + 1;
    }
    record->Note("worked", GetTickCount64() - before);
    record->End();
    return 0;
}

// 50 ms of real work at speed 1000 would be 50 s of program time; a participant's work takes
// none: the tick count stands still while it works.
TEST(ClockTest, TimeStandsStillWhileAParticipantWorks) {
    ClockSpeed fast(1000.0);
    Record record;
    HANDLE t = CreateThread(nullptr, 0, WorkFiftyMilliseconds, &record, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(record.WaitForEnded(1));
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(record.order, std::vector<std::string>{"worked"});
    EXPECT_EQ(record.ticks, std::vector<ULONGLONG>{0});
}

struct Sleeper {
    Record* record;
    std::string name;
    DWORD ms;
    ULONGLONG start;
};

DWORD WINAPI SleepThenNote(LPVOID p) {
    Sleeper* s = static_cast<Sleeper*>(p);
    Sleep(s->ms);
    s->record->Note(s->name, GetTickCount64() - s->start);
    s->record->End();
    return 0;
}

struct Round {
    Record* record;
    Sleeper sleepers[3];
};

// Starts the three sleepers at one instant of program time (it works while it starts them, so
// time stands still) and waits for them.
DWORD WINAPI StartSleepers(LPVOID p) {
    Round* round = static_cast<Round*>(p);
    HANDLE threads[3];
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 3; i++) {
        round->sleepers[i].start = start;
        threads[i] = CreateThread(nullptr, 0, SleepThenNote, &round->sleepers[i], 0, nullptr);
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    round->record->End();
    return 0;
}

// Deadlines one millisecond apart, at a speed where a millisecond is a microsecond of real time:
// the earliest sleeper always runs first, and each wakes at its deadline exactly (time does not
// pass a participant's deadline before it has run, however late the scheduler wakes it).
TEST(ClockTest, TheEarliestDeadlineWakesFirst) {
    ClockSpeed fast(1000000.0);
    for (int round = 0; round < 20; round++) {
        Record record;
        Round r{&record, {{&record, "c", 12, 0}, {&record, "a", 10, 0}, {&record, "b", 11, 0}}};
        HANDLE t = CreateThread(nullptr, 0, StartSleepers, &r, 0, nullptr);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(record.WaitForEnded(4));
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        EXPECT_EQ(record.order, (std::vector<std::string>{"a", "b", "c"})) << "round " << round;
        EXPECT_EQ(record.ticks, (std::vector<ULONGLONG>{10, 11, 12})) << "round " << round;
    }
}

struct HandOff {
    Record* record;
    ULONGLONG start;
    HANDLE ending;
};

DWORD WINAPI WorkAWhile(LPVOID) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
    while (std::chrono::steady_clock::now() < end) {
    }
    return 0;
}

DWORD WINAPI WaitForTheEnding(LPVOID p) {
    HandOff* h = static_cast<HandOff*>(p);
    WaitForSingleObject(h->ending, INFINITE);
    h->record->Note("waiter", GetTickCount64() - h->start);
    h->record->End();
    return 0;
}

DWORD WINAPI SleepOneMillisecond(LPVOID p) {
    HandOff* h = static_cast<HandOff*>(p);
    Sleep(1);
    h->record->Note("sleeper", GetTickCount64() - h->start);
    h->record->End();
    return 0;
}

DWORD WINAPI StartHandOff(LPVOID p) {
    HandOff* h = static_cast<HandOff*>(p);
    h->start = GetTickCount64();
    h->ending = CreateThread(nullptr, 0, WorkAWhile, nullptr, 0, nullptr);
    HANDLE waiter = CreateThread(nullptr, 0, WaitForTheEnding, h, 0, nullptr);
    HANDLE sleeper = CreateThread(nullptr, 0, SleepOneMillisecond, h, 0, nullptr);
    WaitForSingleObject(waiter, INFINITE);
    WaitForSingleObject(sleeper, INFINITE);
    CloseHandle(waiter);
    CloseHandle(sleeper);
    CloseHandle(h->ending);
    return 0;
}

// A thread that ends hands off to the thread waiting for it: the waiter counts as working from
// the moment the ending thread is done, so time cannot reach the sleeper's deadline, a
// millisecond later, before the waiter has run; the waiter sees the time of the end.
TEST(ClockTest, AnEndingThreadHandsOffToItsWaiter) {
    ClockSpeed fast(1000000.0);
    for (int round = 0; round < 20; round++) {
        Record record;
        HandOff h{&record, 0, nullptr};
        HANDLE t = CreateThread(nullptr, 0, StartHandOff, &h, 0, nullptr);
        ASSERT_NE(t, nullptr);
        ASSERT_TRUE(record.WaitForEnded(2));
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
        EXPECT_EQ(record.order, (std::vector<std::string>{"waiter", "sleeper"})) << round;
        EXPECT_EQ(record.ticks, (std::vector<ULONGLONG>{0, 1})) << round;
    }
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
