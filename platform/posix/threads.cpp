// Threads, the scaled clock, interlocked operations and critical sections.
#include "platform/posix/threads.h"
#include "platform/posix/clock.h"
#include "platform/posix/control.h"
#include "platform/posix/handles.h"
#include "platform/posix/user_internal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace zxposix {

using Steady = std::chrono::steady_clock;

struct ClockWaiter {
    std::condition_variable cv;
    ClockCondition* on = nullptr;
    bool participant = false;
    uint64_t deadline = kNoDeadline; // program time
    Steady::time_point realDeadline;
    uint64_t seq = 0;   // the order of the waits, for deadlines that fall together
    bool woken = false; // handed off by a notify, or chosen as the earliest deadline
    ClockWake why = ClockWake::Notified;
};

namespace {

// Program time starts at the machine's uptime, as the Windows tick count counts from the
// system's start, so that two runs never read the same tick count. While time advances it is
// base + (real time since anchor) x speed, held at the earliest participant deadline; every
// change of who waits re-anchors it, so that time held back does not jump ahead afterwards.
struct Clock {
    std::mutex lock;
    Steady::time_point anchor = Steady::now();
    double base = std::chrono::duration<double, std::milli>(anchor.time_since_epoch()).count();
    double speed = 1.0;
    int working = 0; // participants that do not wait in the clock
    uint64_t seq = 0;
    std::vector<ClockWaiter*> waiters;
};

// Never destroyed: detached threads may still wait on it while the process ends.
Clock& TheClock() {
    static Clock* clock = new Clock;
    return *clock;
}

thread_local int t_depth = 0; // ClockJoin nesting; > 0 for a participant
thread_local ClockWaiter t_waiter;

// The earliest deadline of a participant's wait that is still to come (not yet woken).
uint64_t CapLocked(const Clock& c) {
    uint64_t cap = kNoDeadline;
    for (const ClockWaiter* w : c.waiters) {
        if (w->participant && !w->woken && w->deadline < cap) {
            cap = w->deadline;
        }
    }
    return cap;
}

double NowLocked(const Clock& c) {
    if (c.working > 0) {
        return c.base;
    }
    std::chrono::duration<double, std::milli> real = Steady::now() - c.anchor;
    double now = c.base + real.count() * c.speed;
    const uint64_t cap = CapLocked(c);
    if (cap != kNoDeadline && now > double(cap)) {
        now = double(cap);
    }
    return now < c.base ? c.base : now;
}

// Before anything changes who works or waits: time so far becomes the base.
void RebaseLocked(Clock& c) {
    c.base = NowLocked(c);
    c.anchor = Steady::now();
}

// Every waiter works its real wait out again (time started, stopped or its limit moved).
void KickLocked(Clock& c) {
    for (ClockWaiter* w : c.waiters) {
        w->cv.notify_one();
    }
}

void AddWorkingLocked(Clock& c, int delta) {
    RebaseLocked(c);
    c.working += delta;
    KickLocked(c);
}

// The participant whose deadline has come and that runs next: the earliest deadline, and of
// deadlines that fall together the first wait. Only while no participant works: one that works
// at this instant runs before time moves on.
ClockWaiter* DueLocked(Clock& c) {
    if (c.working > 0) {
        return nullptr;
    }
    const double now = NowLocked(c);
    ClockWaiter* first = nullptr;
    for (ClockWaiter* w : c.waiters) {
        if (w->participant && !w->woken && double(w->deadline) <= now &&
            (first == nullptr || w->deadline < first->deadline ||
             (w->deadline == first->deadline && w->seq < first->seq))) {
            first = w;
        }
    }
    return first;
}

// Wakes a waiter, a participant already marked working.
void WakeLocked(Clock& c, ClockWaiter* w, ClockWake why) {
    RebaseLocked(c); // while its deadline still holds time back
    w->woken = true;
    w->why = why;
    if (w->participant) {
        c.working++;
    }
    w->cv.notify_one();
}

void RemoveLocked(std::vector<ClockWaiter*>& list, ClockWaiter* w) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == w) {
            list.erase(it);
            return;
        }
    }
}

} // namespace

uint64_t ClockNowMs() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return static_cast<uint64_t>(NowLocked(c));
}

uint64_t ClockDeadlineIn(uint64_t ms) {
    const uint64_t now = ClockNowMs();
    return ms >= kNoDeadline - now ? kNoDeadline - 1 : now + ms;
}

void ClockJoin() {
    if (t_depth++ == 0) {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        AddWorkingLocked(c, 1);
    }
}

void ClockLeave() {
    if (t_depth > 0 && --t_depth == 0) {
        Clock& c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        AddWorkingLocked(c, -1);
    }
}

void ClockReserve() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    AddWorkingLocked(c, 1);
}

void ClockAdopt() {
    t_depth = 1;
}

void ClockUnreserve() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    AddWorkingLocked(c, -1);
}

ClockWaiter* ClockCondition::Enter(uint64_t programDeadline, Steady::time_point realDeadline) {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    ClockWaiter* w = &t_waiter;
    w->on = this;
    w->participant = t_depth > 0;
    w->deadline = programDeadline;
    w->realDeadline = realDeadline;
    w->seq = ++c.seq;
    w->woken = false;
    RebaseLocked(c);
    c.waiters.push_back(w);
    waiters.push_back(w);
    if (w->participant) {
        c.working--;
    }
    KickLocked(c);
    return w;
}

ClockWake ClockCondition::Park(ClockWaiter* w) {
    Clock& c = TheClock();
    std::unique_lock<std::mutex> guard(c.lock);
    for (;;) {
        if (w->woken) {
            break;
        }
        const double now = NowLocked(c);
        if (w->deadline != kNoDeadline && double(w->deadline) <= now) {
            if (!w->participant) {
                w->woken = true;
                w->why = ClockWake::Deadline;
                break;
            }
            // Whose deadline comes first runs first; the others wait their turn.
            if (ClockWaiter* first = DueLocked(c)) {
                WakeLocked(c, first, ClockWake::Deadline);
                continue;
            }
        }
        const Steady::time_point realNow = Steady::now();
        if (realNow >= w->realDeadline) {
            w->why = ClockWake::RealTimeout;
            break;
        }
        Steady::time_point until = w->realDeadline;
        if (c.working == 0 && w->deadline != kNoDeadline) {
            // Time advances: wake when it reaches this deadline, or the earlier one it is held at
            // (then whoever waits for that one moves things on).
            const uint64_t cap = CapLocked(c);
            const double target = double(std::min(cap, w->deadline));
            if (target > now) {
                const auto real = std::chrono::nanoseconds(
                    static_cast<int64_t>((target - now) * 1e6 / c.speed) + 1000);
                if (real < until - realNow) {
                    until = realNow + real;
                }
            }
        }
        if (until == Steady::time_point::max()) {
            w->cv.wait(guard);
        } else {
            w->cv.wait_until(guard, until);
        }
    }
    RebaseLocked(c);
    RemoveLocked(c.waiters, w);
    RemoveLocked(w->on->waiters, w);
    if (w->participant && !w->woken) {
        c.working++; // woke on its own (its real limit): it works from here
    }
    w->on = nullptr;
    KickLocked(c);
    return w->why;
}

void ClockCondition::NotifyAll() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    for (ClockWaiter* w : waiters) {
        if (!w->woken) {
            WakeLocked(c, w, ClockWake::Notified);
        }
    }
}

void SetClockSpeed(double speed) {
    if (!(speed > 0.0)) {
        return;
    }
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    RebaseLocked(c);
    c.speed = speed;
    KickLocked(c);
}

double GetClockSpeed() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.speed;
}

namespace {

struct ThreadObject : HandleObject {
    std::mutex lock;
    ClockCondition changed;
    DWORD suspendCount = 0;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
};

// Thread ids count from 1, the thread that started the process.
std::atomic<DWORD> g_nextThreadId{2};
thread_local DWORD t_threadId = 0;
const bool g_mainThreadNamed = (t_threadId = 1, true);

} // namespace
} // namespace zxposix

using zxposix::ThreadObject;

DWORD GetCurrentThreadId() {
    if (zxposix::t_threadId == 0) {
        zxposix::t_threadId = zxposix::g_nextThreadId++;
    }
    return zxposix::t_threadId;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (startAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<ThreadObject>();
    state->suspendCount = (creationFlags & CREATE_SUSPENDED) ? 1 : 0;
    DWORD id = zxposix::g_nextThreadId++;
    // The new thread takes part in the clock from now: time cannot pass before it starts.
    zxposix::ClockReserve();
    try {
        std::thread([state, startAddress, parameter, id]() {
            zxposix::t_threadId = id;
            zxposix::ClockAdopt();
            {
                std::unique_lock<std::mutex> guard(state->lock);
                state->changed.Wait(guard, [&] { return state->suspendCount == 0; });
            }
            DWORD code = startAddress(parameter);
            {
                std::lock_guard<std::mutex> guard(state->lock);
                state->exitCode = code;
                state->done = true;
                state->changed.NotifyAll(); // those waiting for the thread work before it leaves
            }
            zxposix::ClockLeave();
        }).detach();
    } catch (...) {
        zxposix::ClockUnreserve();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = id;
    }
    return zxposix::NewHandle(state);
}

DWORD ResumeThread(HANDLE thread) {
    auto state = zxposix::GetHandleAs<ThreadObject>(thread);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard<std::mutex> guard(state->lock);
    DWORD previous = state->suspendCount;
    if (state->suspendCount > 0 && --state->suspendCount == 0) {
        state->changed.NotifyAll();
    }
    return previous;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto state = zxposix::GetHandleAs<ThreadObject>(handle);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (milliseconds != 0) {
        zxposix::ui::NoteBlockingWait();
    }
    std::unique_lock<std::mutex> guard(state->lock);
    if (milliseconds == 0 || state->done) {
        return state->done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (milliseconds == INFINITE) {
        state->changed.Wait(guard, [&] { return state->done; });
        return WAIT_OBJECT_0;
    }
    const uint64_t deadline = zxposix::ClockDeadlineIn(milliseconds);
    while (!state->done) {
        if (state->changed.Wait(guard, deadline) == zxposix::ClockWake::Deadline) {
            return state->done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
    }
    return WAIT_OBJECT_0;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto state = zxposix::GetHandleAs<ThreadObject>(thread);
    if (!state || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    *exitCode = state->exitCode;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    zxposix::ui::NoteBlockingWait();
    // A condition nobody notifies, guarding nothing: the wait ends at its deadline.
    struct Nothing {
        void lock() {}
        void unlock() {}
    } nothing;
    thread_local zxposix::ClockCondition alone;
    const uint64_t deadline = zxposix::ClockDeadlineIn(milliseconds);
    while (alone.Wait(nothing, deadline) != zxposix::ClockWake::Deadline) {
    }
}

ULONGLONG GetTickCount64() {
    return zxposix::ClockNowMs();
}

DWORD GetTickCount() {
    return static_cast<DWORD>(zxposix::ClockNowMs());
}

LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    LONG expected = comparand;
    __atomic_compare_exchange_n(destination, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

SHORT InterlockedCompareExchange16(SHORT volatile* destination, SHORT exchange, SHORT comparand) {
    SHORT expected = comparand;
    __atomic_compare_exchange_n(destination, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                        PVOID comparand) {
    PVOID expected = comparand;
    __atomic_compare_exchange_n(destination, &expected, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->impl = new std::recursive_mutex();
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete static_cast<std::recursive_mutex*>(section->impl);
    section->impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    static_cast<std::recursive_mutex*>(section->impl)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    static_cast<std::recursive_mutex*>(section->impl)->unlock();
}
