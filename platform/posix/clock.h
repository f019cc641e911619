// The process-wide clock behind Sleep, GetTickCount64, waits and timers. Internal to
// platform/posix; tests set its speed through platform/posix/control.h.
//
// Program time advances only while every participating thread waits, at the speed factor times
// real time, and never past the earliest deadline of a participant's timed wait: the work the
// threads do takes no program time, so the speed changes how long a run takes, not how it ends.
// Participants are the threads made by CreateThread and any thread while it runs a message loop
// (or joins with ClockJoin). Other threads are outside actors: their timed waits run on the clock
// but never stop it nor hold it back.
//
// A participant counts as working unless it waits in a ClockCondition (or Sleep, or
// WaitForSingleObject). Whoever wakes a waiting participant marks it working before it runs (the
// hand-off), so that time cannot pass between the wake and the participant running. A
// participant blocked anywhere else (a mutex, real I/O) counts as working: time stands still.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zxposix {

// Milliseconds of program time: the uptime at the process start, then advancing as above.
uint64_t ClockNowMs();

// The calling thread takes part in the clock until the matching ClockLeave (calls nest).
void ClockJoin();
void ClockLeave();

// For CreateThread: counts a thread about to be made as a working participant from now, so that
// time cannot pass before it starts; the new thread then calls ClockAdopt, and ClockLeave when it
// ends. ClockUnreserve undoes a reservation whose thread could not be made.
void ClockReserve();
void ClockAdopt();
void ClockUnreserve();

// Takes part in the clock for its lifetime (a message loop, a dialog).
struct ClockMember {
    ClockMember() { ClockJoin(); }
    ~ClockMember() { ClockLeave(); }
    ClockMember(const ClockMember&) = delete;
    ClockMember& operator=(const ClockMember&) = delete;
};

struct ClockWaiter;

enum class ClockWake { Notified, Deadline, RealTimeout };

const uint64_t kNoDeadline = UINT64_MAX;

// A condition variable on the clock: a participant waiting in it waits for the clock, and
// NotifyAll hands the waiting participants off (marks them working before they run).
struct ClockCondition {
    // Waits until notified, until program time reaches programDeadline (kNoDeadline: none) or
    // until the real time realDeadline (a front end's polling; it holds no program time back).
    // May wake spuriously, as any condition variable.
    template <class Lock>
    ClockWake Wait(Lock& lock, uint64_t programDeadline,
                   std::chrono::steady_clock::time_point realDeadline =
                       std::chrono::steady_clock::time_point::max()) {
        ClockWaiter* w = Enter(programDeadline, realDeadline);
        lock.unlock();
        ClockWake why = Park(w);
        lock.lock();
        return why;
    }
    template <class Lock, class Pred> void Wait(Lock& lock, Pred done) {
        while (!done()) {
            Wait(lock, kNoDeadline);
        }
    }
    // Wakes every thread waiting in this condition.
    void NotifyAll();

    std::vector<ClockWaiter*> waiters; // under the clock's lock

private:
    ClockWaiter* Enter(uint64_t programDeadline,
                       std::chrono::steady_clock::time_point realDeadline);
    static ClockWake Park(ClockWaiter* w);
};

// Program-time deadline `ms` from now (saturating).
uint64_t ClockDeadlineIn(uint64_t ms);

} // namespace zxposix
