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
namespace {

using Steady = std::chrono::steady_clock;

// Program time starts at the machine's uptime, as the Windows tick count counts from the
// system's start, so that two runs never read the same tick count.
struct Clock {
    std::mutex lock;
    Steady::time_point anchor = Steady::now();
    double anchorMs = std::chrono::duration<double, std::milli>(anchor.time_since_epoch()).count();
    double speed = 1.0;
};

Clock& TheClock() {
    static Clock clock;
    return clock;
}

double NowLocked(Clock& c) {
    std::chrono::duration<double, std::milli> real = Steady::now() - c.anchor;
    return c.anchorMs + real.count() * c.speed;
}

} // namespace

uint64_t ClockNowMs() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return static_cast<uint64_t>(NowLocked(c));
}

std::chrono::nanoseconds ClockRealDuration(uint64_t programMs) {
    Clock& c = TheClock();
    double speed;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        speed = c.speed;
    }
    return std::chrono::nanoseconds(static_cast<int64_t>(double(programMs) * 1e6 / speed));
}

void SetClockSpeed(double speed) {
    if (!(speed > 0.0)) {
        return;
    }
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    c.anchorMs = NowLocked(c);
    c.anchor = Steady::now();
    c.speed = speed;
}

double GetClockSpeed() {
    Clock& c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.speed;
}

namespace {

struct ThreadObject : HandleObject {
    std::mutex lock;
    std::condition_variable changed;
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
    try {
        std::thread([state, startAddress, parameter, id]() {
            zxposix::t_threadId = id;
            {
                std::unique_lock<std::mutex> guard(state->lock);
                state->changed.wait(guard, [&] { return state->suspendCount == 0; });
            }
            DWORD code = startAddress(parameter);
            std::lock_guard<std::mutex> guard(state->lock);
            state->exitCode = code;
            state->done = true;
            state->changed.notify_all();
        }).detach();
    } catch (...) {
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
        state->changed.notify_all();
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
    if (milliseconds == INFINITE) {
        state->changed.wait(guard, [&] { return state->done; });
        return WAIT_OBJECT_0;
    }
    auto real = zxposix::ClockRealDuration(milliseconds);
    bool done = state->changed.wait_for(guard, real, [&] { return state->done; });
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
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
    std::this_thread::sleep_for(zxposix::ClockRealDuration(milliseconds));
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
